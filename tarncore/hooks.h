#pragma once

// The library's side of the test hooks (testing.h) and of the statistics (stats.h).

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "tarncore/testing.h"

namespace tarn::hooks {

extern std::atomic<bool> armed;  // any fault, trace or capture active

struct outcome {
  int error = 0;      // fail with this errno
  long result = -1;   // or, for read and write, transfer at most this many bytes
};

// Records the call when tracing and returns the fault that hits it, if any.
std::optional<outcome> check_slow(core_testing::operation op, const std::string& volume,
                                  const std::string& path, long offset,
                                  const std::string& attribute);

inline std::optional<outcome> check(core_testing::operation op, const std::string& volume,
                                    const std::string& path, long offset = -1,
                                    const std::string& attribute = std::string()) {
  if (!armed.load(std::memory_order_relaxed)) return std::nullopt;
  return check_slow(op, volume, path, offset, attribute);
}

// Whether any fault is set: copies inside the storage then give way to the reads, writes
// and buffers that the faults are for.
bool faults_set();

// Hands a message to the capture when capturing; false when it must be logged normally.
bool capture_message(const char* function, const std::string& text);

void count_write(std::uint64_t bytes);
void count_written_file();

}  // namespace tarn::hooks
