#include "tarncore/profile.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace tarn::profile {
namespace {

constexpr int operation_count = int(core_testing::operation::syncfs) + 1;

const char* const names[operation_count] = {
    "open", "read", "write", "close", "fstat", "ftruncate", "fsync", "mkdir", "unlink",
    "getxattr", "fsetxattr", "alloc", "execute_command", "get_snap_volfile", "rename",
    "sync_directory", "fremovexattr", "syncfs"};

struct counters {
  std::atomic<std::uint64_t> calls[operation_count] = {};
  std::atomic<std::uint64_t> nanoseconds[operation_count] = {};

  // Printed when the process exits. Times of calls made at once on several threads add
  // up, so a total can exceed the run's wall time.
  ~counters() {
    std::fprintf(stderr, "tarncore profile: %-16s %9s %11s %10s\n", "operation", "calls", "total s", "mean us");
    for (int i = 0; i < operation_count; ++i) {
      const std::uint64_t n = calls[i].load();
      if (n == 0) continue;
      const double total = double(nanoseconds[i].load()) / 1e9;
      std::fprintf(stderr, "tarncore profile: %-16s %9llu %11.3f %10.1f\n", names[i],
                   static_cast<unsigned long long>(n), total, total / double(n) * 1e6);
    }
  }
};

counters& totals() {
  static counters c;
  return c;
}

}  // namespace

const bool enabled = std::getenv("TARNCORE_PROFILE") != nullptr;

void add(core_testing::operation op, std::chrono::steady_clock::duration took) {
  counters& c = totals();
  c.calls[int(op)].fetch_add(1, std::memory_order_relaxed);
  c.nanoseconds[int(op)].fetch_add(
      std::uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count()),
      std::memory_order_relaxed);
}

}  // namespace tarn::profile
