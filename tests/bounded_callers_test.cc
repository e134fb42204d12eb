// The bound on threads that call gfapi: calls from threads beyond it run on helper threads
// and still return their own results, and a thread that ends gives its place back.

#include "tarncore/bounded_callers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace tarn::backend {
namespace {

// Records the threads that ran calls.
struct witness {
  std::mutex mutex;
  std::set<std::thread::id> runners;
  void saw(std::thread::id id) {
    std::lock_guard<std::mutex> lock(mutex);
    runners.insert(id);
  }
};

TEST(bounded_callers, calls_beyond_the_bound_run_on_helpers_with_their_own_results) {
  bounded_callers callers(2, 3);
  witness seen;
  std::atomic<int> wrong{0};
  std::atomic<int> ready{0}, finished{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 20; ++t) {
    threads.emplace_back([&, t] {
      // All twenty live while any of them calls: none ends and gives its place back.
      ++ready;
      while (ready < 20) std::this_thread::yield();
      for (int i = 0; i < 200; ++i) {
        const long result = callers.run([&]() -> long {
          seen.saw(std::this_thread::get_id());
          return long(t) * 1000 + i;
        });
        if (result != long(t) * 1000 + i) ++wrong;
      }
      ++finished;
      while (finished < 20) std::this_thread::yield();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_LE(seen.runners.size(), 5u) << "two direct callers and three helpers at most";
  EXPECT_GE(seen.runners.size(), 3u) << "the helpers ran calls";
}

TEST(bounded_callers, a_thread_that_ends_gives_its_place_back) {
  bounded_callers callers(1, 1);
  auto runs_itself = [&] {
    bool own = false;
    std::thread caller([&] {
      const std::thread::id self = std::this_thread::get_id();
      own = callers.run([&] { return std::this_thread::get_id() == self; });
    });
    caller.join();
    return own;
  };
  EXPECT_TRUE(runs_itself());
  EXPECT_TRUE(runs_itself()) << "the first caller's place is free again";

  std::promise<bool> placed;
  std::promise<void> release;
  std::thread holder([&] {
    const std::thread::id self = std::this_thread::get_id();
    placed.set_value(callers.run([&] { return std::this_thread::get_id() == self; }));
    release.get_future().wait();  // holds its place until released
  });
  ASSERT_TRUE(placed.get_future().get());
  EXPECT_FALSE(runs_itself()) << "a second thread goes through the helper";
  release.set_value();
  holder.join();
  EXPECT_TRUE(runs_itself());
}

}  // namespace
}  // namespace tarn::backend
