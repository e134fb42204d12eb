// The deletion worker: removes from the backup volume the copies that collect files name.

#include "stubber/naming.h"
#include "stubber/stubber.h"

namespace tarn::stubber {

namespace {
const char* const label = "stubber::begin_deletion()";
}  // namespace

std::error_code stubber::begin_deletion(int first, int count, int stride) {
  for (int i = 0; i < count; ++i) {
    const std::error_code result = delete_collect_file(delete_collect_files[first + i * stride]);
    if (result != success) return result;
  }
  return success;
}

// A copy that cannot be removed (already gone, never made) is skipped without a message.
std::error_code stubber::delete_collect_file(const std::string& collect_file) {
  collect_work work;
  if (const std::error_code result = read_collect_file(label, collect_file, work); result != success)
    return result;
  for (const std::string& scan_file : work.scan_list) {
    const std::string target_path = naming::target_path(work.backup_directory, scan_file);
    // A copy that records another source belongs to a different file: keep it.
    std::string source;
    if (read_copy_source(target_path, source) == 0 && source != scan_file) {
      logger.error(label, "Kept %s: it is the copy of %s", target_path.c_str(), source.c_str());
      continue;
    }
    backup_api->unlink(backup_volume, target_path);
  }

  std::lock_guard<std::mutex> lock(list_mutex);
  cleared_dirs.push_back(work.backup_directory);
  return success;
}

}  // namespace tarn::stubber
