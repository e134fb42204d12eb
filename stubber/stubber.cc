// The stubber object: its connections, the snapshot lookup, and its life.

#include "stubber/stubber.h"

#include <ctime>
#include <memory>

#include "config/tarn_config.h"
#include "core/tarn_utils.h"

namespace tarn::stubber {

namespace {

const char* const cluster_config_path = "/run/gluster/shared_storage/livefs.json";

iopx_tree_cfg volume_config(const std::string& volname) {
  iopx_tree_cfg cfg;
  cfg.type = "glusterfs";
  cfg.volname = volname;
  return cfg;
}

}  // namespace

tarn_debug stubber::logger;

stubber::stubber(std::string livefs_volname, std::string backup_volname)
    : livefs_volname(std::move(livefs_volname)), backup_volname(std::move(backup_volname)) {
  // The connection objects are held here until construction can no longer fail, so that a
  // configuration error does not leak them.
  std::unique_ptr<tarn_api> live(new tarn_api);
  livefs_volume = live->init(volume_config(this->livefs_volname));

  std::unique_ptr<tarn_api> backup(new tarn_api);
  backup_volume = backup->init(volume_config(this->backup_volname));

  const std::string snapshot_name =
      tarn_config::tarn_config(cluster_config_path).get_glustersnap_name();
  iopx_tree_cfg snapshot_cfg = volume_config(snapshot_name);
  snap_volname = snapshot_name;

  if (tarn_utils::get_snap_volfile(snapshot_name, snap_volfile) == 0) {
    snapshot_cfg.volfile = snap_volfile;
    std::unique_ptr<tarn_api> snapshot(new tarn_api);
    snap_volume = snapshot->init(snapshot_cfg);
    snap_api = snapshot.release();
    snap_ready = true;
    { tarn_debug unused; }
  }
  livefs_api = live.release();
  backup_api = backup.release();
}

// The volume handles go with the fields; the connection objects that made them are no
// longer used by anything once the stubber is gone.
stubber::~stubber() {
  delete snap_api;
  delete backup_api;
  delete livefs_api;
}

std::string stubber::get_current_time() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char text[26];
  if (localtime_r(&now, &local) == nullptr || asctime_r(&local, text) == nullptr) return "";
  return text;
}

std::shared_ptr<std::mutex> target_claims::claim(const std::string& target, const std::string& source) {
  std::lock_guard<std::mutex> lock(mutex);
  claim_record& record = claimed.try_emplace(target, claim_record{source, nullptr}).first->second;
  if (record.source != source) return nullptr;
  if (!record.copy_lock) record.copy_lock = std::make_shared<std::mutex>();
  return record.copy_lock;
}

void target_claims::clear() {
  std::lock_guard<std::mutex> lock(mutex);
  claimed.clear();
}

}  // namespace tarn::stubber
