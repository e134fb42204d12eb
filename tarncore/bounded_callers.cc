#include "tarncore/bounded_callers.h"

#include <system_error>
#include <thread>

namespace tarn::backend {

namespace {

// What a thread is to the bounded_callers it has called through. Gives its place back
// when the thread ends.
struct caller_state {
  const void* owner = nullptr;          // the bounded_callers whose direct place it holds
  std::atomic<int>* counted = nullptr;  // and that one's count of them
  bool helper = false;
  ~caller_state() {
    if (counted) counted->fetch_sub(1, std::memory_order_relaxed);
  }
};

thread_local caller_state this_thread_state;

}  // namespace

bool bounded_callers::admit() {
  caller_state& state = this_thread_state;
  if (state.owner == this || state.helper) return true;
  if (state.owner) return false;  // a thread holds one place at most
  if (direct_callers.fetch_add(1, std::memory_order_relaxed) < direct) {
    state.owner = this;
    state.counted = &direct_callers;
    return true;
  }
  direct_callers.fetch_sub(1, std::memory_order_relaxed);
  return false;
}

bool bounded_callers::hand_over(job& handed) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (started < helpers) start_helpers();
    if (started == 0) return false;
    queue.push_back(&handed);
  }
  work.notify_one();
  std::unique_lock<std::mutex> lock(handed.mutex);
  handed.finished.wait(lock, [&] { return handed.done; });
  return true;
}

// Called with `mutex` held. Helpers are detached; the destructor waits for them to stop.
void bounded_callers::start_helpers() {
  try {
    for (; started < helpers; ++started) std::thread(&bounded_callers::serve, this).detach();
  } catch (const std::system_error&) {
    // as many as could be started serve; with none, callers call directly
  }
}

void bounded_callers::serve() {
  this_thread_state.helper = true;
  for (;;) {
    job* next = nullptr;
    {
      std::unique_lock<std::mutex> lock(mutex);
      work.wait(lock, [this] { return stopping || !queue.empty(); });
      if (queue.empty()) {
        --started;
        helper_stopped.notify_all();
        return;
      }
      next = queue.front();
      queue.pop_front();
    }
    next->run(next->context);
    // Signalled under the job's mutex: its caller cannot return, and destroy the job,
    // before the helper lets go of it.
    std::lock_guard<std::mutex> lock(next->mutex);
    next->done = true;
    next->finished.notify_one();
  }
}

bounded_callers::~bounded_callers() {
  std::unique_lock<std::mutex> lock(mutex);
  stopping = true;
  work.notify_all();
  helper_stopped.wait(lock, [this] { return started == 0; });
}

}  // namespace tarn::backend
