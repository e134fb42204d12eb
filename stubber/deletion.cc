// The deletion worker: removes from the backup volume the copies that collect files name.
// After a failed stub run it is also the failure pass, which removes only the copies of
// that run's failures that no mark names.

#include <cerrno>

#include "stubber/naming.h"
#include "stubber/stubber.h"
#include "stubber/volume_reads.h"

namespace tarn::stubber {

namespace {
const char* const label = "stubber::begin_deletion()";
const char* const copy_attribute = "trusted.riridized.uuid";

// No attribute, or no file: nothing records a source.
bool absent(int error) { return error == ENOENT || error == ENODATA; }
}  // namespace

std::error_code stubber::begin_deletion(int first, int count, int stride) {
  for (int i = 0; i < count; ++i) {
    const std::error_code result = delete_collect_file(delete_collect_files[first + i * stride]);
    if (result != success) return result;
  }
  return success;
}

// A copy that cannot be removed (already gone, never made) is skipped without a message.
// A copy whose source cannot be read, say over a lost connection, may belong to another
// file and is kept.
std::error_code stubber::delete_collect_file(const std::string& collect_file) {
  std::vector<failed_scan_file> failures;
  if (take_failures(collect_file, failures)) {
    remove_failed_copies(failures);
    std::lock_guard<std::mutex> lock(list_mutex);
    for (const failed_scan_file& failure : failures) cleared_dirs.push_back(failure.backup_directory);
    return success;
  }
  collect_work work;
  if (const std::error_code result = read_collect_file(label, collect_file, work); result != success)
    return result;
  for (const std::string& scan_file : work.scan_list) {
    const std::string target_path = naming::target_path(work.backup_directory, scan_file);
    backup_api->unlink(backup_volume, naming::partial_copy_path(target_path));  // a killed run's
    std::string source;
    const int error = read_copy_source(target_path, source);
    if (error == 0 && source != scan_file) {
      logger.error(label, "Kept %s: it is the copy of %s", target_path.c_str(), source.c_str());
      continue;
    }
    if (error != 0 && !absent(error)) {
      logger.error(label, "Kept %s: its source cannot be read (error %d)", target_path.c_str(), error);
      continue;
    }
    backup_api->unlink(backup_volume, target_path);
  }

  std::lock_guard<std::mutex> lock(list_mutex);
  cleared_dirs.push_back(work.backup_directory);
  return success;
}

// Only a copy that records the failed scan file as its source, and that its live file's
// mark does not name, is this run's to remove: the target may hold an earlier run's good
// copy, which a failed copy never replaces.
void stubber::remove_failed_copies(const std::vector<failed_scan_file>& failures) {
  for (const failed_scan_file& failure : failures) {
    const char* const target = failure.target_path.c_str();
    backup_api->unlink(backup_volume, naming::partial_copy_path(failure.target_path));
    std::string source;
    const int error = read_copy_source(failure.target_path, source);
    if (error == ENOENT) continue;  // no copy
    if (error != 0) {
      logger.error(label, "Kept %s: its source cannot be read (error %d)", target, error);
    } else if (source != failure.scan_file) {
      logger.error(label, "Kept %s: it is the copy of %s", target, source.c_str());
    } else if (live_mark_may_name(failure.scan_file, failure.target_path)) {
      logger.error(label, "Kept %s: the mark of %s names it", target, failure.scan_file.c_str());
    } else if (const std::error_code result = backup_api->unlink(backup_volume, failure.target_path);
               result != success && result.value() != ENOENT) {
      logger.error(label, "Failed to remove %s on volume %s (error %d)", target,
                   backup_volname.c_str(), result.value());
    }
  }
}

bool stubber::live_mark_may_name(const std::string& scan_file, const std::string& target_path) {
  std::string mark;
  const int error = read_attribute(livefs_api, livefs_volume, scan_file, copy_attribute, mark);
  return error ? !absent(error) : mark == target_path;
}

}  // namespace tarn::stubber
