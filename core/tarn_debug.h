#pragma once

#include "core/tarn_visibility.h"

namespace tarn {

// The core library's logger. Messages go where the library's settings send them
// (standard error and syslog by default). Safe under concurrent calls.
class TARNCORE_API tarn_debug {
 public:
  tarn_debug();
  ~tarn_debug();

  // One message at error level: `function` names the caller, the rest is printf-style.
  void error(const char* function, const char* format, ...) const
      __attribute__((format(printf, 3, 4)));
};

}  // namespace tarn
