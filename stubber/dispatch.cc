// init: the entry point that runs the stub, delete and truncate operations.

#include "stubber/stubber.h"

namespace tarn::stubber {

namespace {
const char* const label = "stubber::init()";
}  // namespace

int stubber::init(std::string container, int operation) {
  if (operation != stub && operation != remove && operation != archive) return -1;

  std::string& container_field = operation == remove ? delete_container : stub_container;
  std::vector<std::string>& list = operation == remove ? delete_collect_files : stub_collect_files;
  container_field = container;
  if (container.empty()) {
    logger.error(label, "Container file is empty. Please provide a valid value");
    return -1;
  }
  if (read_live_list(list, container_field) != success) {
    logger.error(label, "Failed to generate collect file list from conatiner file.");
    if (operation != remove) cleanup_container_files(stub_container);
    return -1;
  }

  switch (operation) {
    case stub:
      return run_stub(stub_container);
    case remove:
      multithreaded_processing(&stubber::begin_deletion, delete_collect_files, false);
      cleanup_container_files(delete_container);
      return 0;
    default:
      if (truncate() != 0) {
        logger.error(label, "Files truncation failed.");
        cleanup_container_files(stub_container);
        return -1;
      }
      cleanup_container_files(stub_container);
      return 0;
  }
}

// A failed stub run removes the container and its collect files, then the copies of the
// scan files that failed in this run (the deletion worker knows them by their failed
// collect files).
int stubber::run_stub(const std::string& container) {
  claims.clear();
  made_directories.clear();
  refill_copy_budget();
  {
    std::lock_guard<std::mutex> lock(failures_mutex);
    run_failures.clear();
  }
  if (multithreaded_processing(&stubber::begin_stubbing, stub_collect_files, true) == 0) return 0;
  logger.error(label, "Stubbing failed.");
  cleanup_container_files(container);
  multithreaded_processing(&stubber::begin_deletion, delete_collect_files, false);
  return -1;
}

}  // namespace tarn::stubber
