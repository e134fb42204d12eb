// What stubbing and deletion derive alike from a collect file: the collect prefix, its
// snap time, the backup directory and the scan list.

#include "stubber/naming.h"
#include "stubber/stubber.h"

namespace tarn::stubber {

std::error_code stubber::read_snap_time(const std::string& collect_prefix,
                                        std::string& snap_time) {
  return naming::read_snap_time(livefs_api, livefs_volume, collect_prefix, snap_time);
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
