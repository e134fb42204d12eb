#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
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

// Bytes of scan files that all workers of a stub run copy at once. A file takes its size
// (at most the whole limit) before its data moves and gives it back once its copy is
// written: on GlusterFS dozens of large copies at once contend for the bricks and finish
// later together than a few at a time do, while windows of small files, which take
// little, still copy at full width. Turns go in order of arrival, so no large file is
// passed over for ever. Only the first in line is woken when bytes come free: the
// others could not go before it anyway, and waking all of a window's waiting copies
// whenever a file finished made three in five of a large run's context switches.
class bytes_in_flight {
 public:
  explicit bytes_in_flight(std::uint64_t limit) : limit(limit) {}

  // Holds `bytes` of the limit for as long as it lives.
  class taken {
   public:
    taken(bytes_in_flight& budget, std::uint64_t bytes);
    ~taken();
    taken(const taken&) = delete;
    taken& operator=(const taken&) = delete;

   private:
    bytes_in_flight& budget;
    std::uint64_t bytes;
  };

 private:
  // Called with `mutex` held: the waiter stays in line, and its condition alive, until
  // it has seen the wake-up.
  void wake_first_in_line();

  std::mutex mutex;
  const std::uint64_t limit;
  std::uint64_t in_flight = 0;
  std::deque<std::condition_variable*> waiting;  // in order of arrival
};

}  // namespace tarn::stubber
