#pragma once

// Keeps the number of threads that call into a library bounded, for libraries that keep
// caches per calling thread (gfapi's memory pools, the C library's thread caches): about
// 100 KiB for each thread that has called gfapi, for as long as the thread lives. A host
// that runs a thousand workers would otherwise hold a thousand such caches.
//
// The first `direct` threads to call run their calls themselves for as long as they
// live; any other thread hands each call to one of `helpers` threads of this library and
// waits for it. A helper that cannot be started leaves its callers to call directly.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

namespace tarn::backend {

// An instance must outlive every thread that has called through it: a thread gives its
// place back when it ends. The core library's one instance is never destroyed.
class bounded_callers {
 public:
  bounded_callers(int direct, int helpers) : direct(direct), helpers(helpers) {}
  ~bounded_callers();  // stops the helpers
  bounded_callers(const bounded_callers&) = delete;
  bounded_callers& operator=(const bounded_callers&) = delete;

  template <class Call>
  auto run(Call&& call) -> decltype(call()) {
    if (admit()) return call();
    decltype(call()) result{};
    auto body = [&] { result = call(); };
    job handed{[](void* context) { (*static_cast<decltype(body)*>(context))(); }, &body};
    if (!hand_over(handed)) body();
    return result;
  }

 private:
  struct job {
    job(void (*run)(void*), void* context) : run(run), context(context) {}
    void (*const run)(void*);
    void* const context;
    std::mutex mutex;  // its own, so that finishing a job does not contend for the queue
    bool done = false;
    std::condition_variable finished;
  };

  bool admit();
  bool hand_over(job& handed);
  void start_helpers();
  void serve();

  const int direct;
  const int helpers;
  std::atomic<int> direct_callers{0};
  std::mutex mutex;
  std::condition_variable work;
  std::condition_variable helper_stopped;
  std::deque<job*> queue;
  int started = 0;  // helper threads running, under `mutex`
  bool stopping = false;
};

}  // namespace tarn::backend
