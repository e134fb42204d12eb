// The parallel worker driver: one thread per list entry, at least one per hardware thread.

#include <system_error>
#include <thread>

#include <boost/thread/thread.hpp>

#include "stubber/stubber.h"

namespace tarn::stubber {

// Thread j runs the worker with (j, count[j], T). A thread that the system refuses to
// start has its share run on the calling thread instead, so no work is skipped; every
// started thread is joined before the result is formed.
int stubber::multithreaded_processing(worker w, std::vector<std::string> list,
                                      bool check_delete_list) {
  const int hardware_threads = static_cast<int>(boost::thread::hardware_concurrency());
  const int entries = static_cast<int>(list.size());
  const int thread_count = hardware_threads > entries ? hardware_threads : entries;

  const std::size_t slots = static_cast<std::size_t>(thread_count);

  std::vector<int> counts(slots, 0);
  for (int i = 0; i < entries; ++i) ++counts[static_cast<std::size_t>(i % thread_count)];

  std::vector<std::error_code> results(slots, success);
  std::vector<std::thread> threads(slots);
  for (int j = 0; j < thread_count; ++j) {
    const auto slot = static_cast<std::size_t>(j);
    const int count = counts[slot];
    std::error_code& result = results[slot];
    try {
      threads[slot] = std::thread(
          [this, w, j, count, thread_count, &result] { result = (this->*w)(j, count, thread_count); });
    } catch (const std::system_error&) {
      result = (this->*w)(j, count, thread_count);
    }
  }
  for (std::thread& thread : threads)
    if (thread.joinable()) thread.join();

  if (!check_delete_list) return 0;
  if (!delete_collect_files.empty()) return -1;
  // A worker that failed before its scan files wrote no failed collect file.
  for (const std::error_code& result : results)
    if (result != success) return -1;
  return 0;
}

}  // namespace tarn::stubber
