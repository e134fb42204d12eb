// What stubbing and deletion derive alike from a collect file: the collect prefix, its
// snap time, the backup directory and the scan list.

#include <cerrno>
#include <cstring>

#include "stubber/naming.h"
#include "stubber/stubber.h"

namespace tarn::stubber {

namespace {
const char* const snap_time_attribute = "user.snap_time";
}  // namespace

std::error_code stubber::read_snap_time(const std::string& collect_prefix,
                                        std::string& snap_time) {
  snap_time = naming::default_snap_time;
  iovec probe{nullptr, 0};
  const long length = livefs_api->getxattr(livefs_volume, collect_prefix, snap_time_attribute, &probe);
  if (length == -1) return success;
  const tarn_mem::buffer_handle buffer = livefs_api->alloc_io_buffer(length + 1);
  if (!buffer) return std::error_code(ENOMEM, std::generic_category());
  std::memset(buffer->get_base(), 0, std::size_t(length) + 1);
  iovec value{buffer->get_base(), std::size_t(length) + 1};
  if (livefs_api->getxattr(livefs_volume, collect_prefix, snap_time_attribute, &value) == -1)
    return success;
  snap_time.assign(buffer->get_base(), strnlen(buffer->get_base(), std::size_t(length) + 1));
  return success;
}

std::error_code stubber::read_collect_file(const char* label, const std::string& collect_file,
                                           collect_work& work) {
  work.prefix = naming::collect_prefix(collect_file);
  std::string snap_time;
  if (const std::error_code result = read_snap_time(work.prefix, snap_time); result != success) {
    logger.error(label, "Failed to read snap time of %s on volume %s.", work.prefix.c_str(),
                 livefs_volname.c_str());
    return result;
  }
  if (const std::error_code result = read_live_list(work.scan_list, collect_file); result != success) {
    logger.error(label, "Failed to generate file list from collect file.");
    return result;
  }
  work.backup_directory = naming::backup_directory(work.prefix, snap_time);
  return success;
}

}  // namespace tarn::stubber
