#pragma once

// Call counts and wall time of the core library's operations in this process, printed to
// standard error at exit when TARNCORE_PROFILE is set: where a run's time goes, operation
// by operation. Off, each operation pays one load of a constant.

#include <chrono>

#include "tarncore/testing.h"

namespace tarn::profile {

extern const bool enabled;

void add(core_testing::operation op, std::chrono::steady_clock::duration took);

// Times the operation that it lives in.
class timed_call {
 public:
  explicit timed_call(core_testing::operation op) : op(op) {
    if (enabled) started = std::chrono::steady_clock::now();
  }
  ~timed_call() {
    if (enabled && counted) add(op, std::chrono::steady_clock::now() - started);
  }
  // For an operation that the storage turned down before it began, so that others do it.
  void drop() { counted = false; }
  timed_call(const timed_call&) = delete;
  timed_call& operator=(const timed_call&) = delete;

 private:
  const core_testing::operation op;
  bool counted = true;
  std::chrono::steady_clock::time_point started;
};

}  // namespace tarn::profile
