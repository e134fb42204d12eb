#pragma once

#include <cstdint>

#include "core/tarn_visibility.h"

namespace tarn::core_stats {

// What this process has written to volumes so far, for a host's summary.
struct totals {
  std::uint64_t bytes_written = 0;
  std::uint64_t files_written = 0;  // files closed after at least one write
};

TARNCORE_API totals current();

}  // namespace tarn::core_stats
