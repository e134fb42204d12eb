#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tarn::stubber {

// Threads that help one stub worker take a step (copy, rename, mark) for every scan file
// of its copy window at once, so that the steps' waits on storage overlap. Started once
// for a collect file rather than once a window: a window of small local files takes less
// time than starting its threads would.
class window_helpers {
 public:
  // Starts up to `count` threads; fewer when the system refuses more (then the worker
  // itself takes the steps that they would have taken).
  explicit window_helpers(int count);
  ~window_helpers();  // stops and joins them
  window_helpers(const window_helpers&) = delete;
  window_helpers& operator=(const window_helpers&) = delete;

  std::size_t size() const { return threads.size(); }

  // Runs step(i) for every i below `steps`, on the helpers and the calling thread, and
  // returns once every one has ended.
  void run(std::size_t steps, const std::function<void(std::size_t)>& step);

 private:
  void serve();
  // Takes the next step of the current run under `lock` and runs it without; false when
  // none is left.
  bool take_step(std::unique_lock<std::mutex>& lock);

  std::mutex mutex;
  std::condition_variable work;
  std::condition_variable finished;
  const std::function<void(std::size_t)>* current = nullptr;
  std::size_t steps = 0;
  std::size_t next = 0;
  std::size_t done = 0;
  bool stopping = false;
  std::vector<std::thread> threads;
};

}  // namespace tarn::stubber
