// The stubber object: its connections, the snapshot lookup, and its life.

#include "stubber/stubber.h"

#include <ctime>
#include <memory>

#include "config/tarn_config.h"
#include "core/tarn_utils.h"
#include "stubber/window_helpers.h"

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
    : livefs_volname(std::move(livefs_volname)),
      backup_volname(std::move(backup_volname)),
      copying(std::make_unique<bytes_in_flight>(copy_bytes_in_flight)) {
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
  refill_copy_budget();
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

target_claims::outcome target_claims::claim(const std::string& target, const std::string& source,
                                            bool wait, bool& created) {
  std::unique_lock<std::mutex> lock(mutex);
  // Looked up afresh after each wait: the claim may have been dropped meanwhile.
  for (;;) {
    const auto found = claimed.try_emplace(target, claim_record{source, false});
    created = found.second;
    claim_record& record = found.first->second;
    if (record.source != source) return outcome::other_source;
    if (!record.copying) {
      record.copying = true;
      return outcome::taken;
    }
    if (!wait) return outcome::busy;
    released.wait(lock);
  }
}

void target_claims::release(const std::string& target, bool forget) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = claimed.find(target);
    if (found == claimed.end()) return;
    if (forget) claimed.erase(found);
    else found->second.copying = false;
  }
  released.notify_all();
}

void target_claims::clear() {
  std::lock_guard<std::mutex> lock(mutex);
  claimed.clear();
}

}  // namespace tarn::stubber
