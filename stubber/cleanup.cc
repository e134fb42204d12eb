// Removal of a container file and the collect files that it lists from the live volume.

#include "stubber/stubber.h"

namespace tarn::stubber {

namespace {
const char* const label = "stubber::cleanup_container_files";
}  // namespace

// No failure stops the cleanup: each path that cannot be removed is reported on its own.
void stubber::cleanup_container_files(std::string container) {
  if (container.empty()) {
    logger.error(label, "Container file is empty. Failed to cleanup.");
    return;
  }
  std::vector<std::string> collect_files;
  read_live_list(collect_files, container);
  collect_files.push_back(container);
  for (const std::string& path : collect_files) {
    if (livefs_api->unlink(livefs_volume, path) != success)
      logger.error(label, "Failed to unlink %s from volume %s.", path.c_str(), livefs_volname.c_str());
  }
}

}  // namespace tarn::stubber
