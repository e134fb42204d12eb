#include "stubber/window_helpers.h"

#include <algorithm>
#include <system_error>

namespace tarn::stubber {

window_helpers::window_helpers(int count) {
  threads.reserve(count > 0 ? std::size_t(count) : 0);
  for (int i = 0; i < count; ++i) {
    try {
      threads.emplace_back(&window_helpers::serve, this);
    } catch (const std::system_error&) {
      break;
    }
  }
}

window_helpers::~window_helpers() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
  }
  work.notify_all();
  for (std::thread& thread : threads) thread.join();
}

void window_helpers::run(std::size_t count, const std::function<void(std::size_t)>& step) {
  std::unique_lock<std::mutex> lock(mutex);
  current = &step;
  steps = count;
  next = 0;
  done = 0;
  if (count > 1) work.notify_all();
  while (take_step(lock)) {
  }
  finished.wait(lock, [&] { return done == steps; });
  current = nullptr;
}

bool window_helpers::take_step(std::unique_lock<std::mutex>& lock) {
  if (!current || next >= steps) return false;
  const std::size_t i = next++;
  const std::function<void(std::size_t)>& step = *current;
  lock.unlock();
  step(i);
  lock.lock();
  if (++done == steps) finished.notify_all();
  return true;
}

void window_helpers::serve() {
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    work.wait(lock, [&] { return stopping || (current && next < steps); });
    if (stopping) return;
    take_step(lock);
  }
}

bytes_in_flight::taken::taken(bytes_in_flight& b, std::uint64_t wanted)
    : budget(b), bytes(std::min(wanted, b.limit)) {
  std::unique_lock<std::mutex> lock(budget.mutex);
  std::condition_variable my_turn;
  budget.waiting.push_back(&my_turn);
  my_turn.wait(lock, [&] {
    return budget.waiting.front() == &my_turn && budget.in_flight + bytes <= budget.limit;
  });
  budget.waiting.pop_front();
  budget.in_flight += bytes;
  budget.wake_first_in_line();  // the next one may fit beside this one
}

bytes_in_flight::taken::~taken() {
  std::lock_guard<std::mutex> lock(budget.mutex);
  budget.in_flight -= bytes;
  budget.wake_first_in_line();
}

void bytes_in_flight::wake_first_in_line() {
  if (!waiting.empty()) waiting.front()->notify_one();
}

}  // namespace tarn::stubber
