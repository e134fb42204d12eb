#pragma once

// Test hooks of the core storage library: fault injection in front of every backend, a
// trace of the operations issued, and capture of logged messages. Production code never
// arms them; while nothing is armed each operation pays one relaxed atomic load.

#include <cerrno>
#include <string>
#include <vector>

#include "core/tarn_visibility.h"

namespace tarn::core_testing {

enum class operation {
  open, read, write, close, fstat, ftruncate, fsync, mkdir, unlink, getxattr, fsetxattr,
  alloc, execute_command, get_snap_volfile, rename,  // rename: its path is the new name
  sync_directory, fremovexattr, syncfs
};

// One fault: matching calls fail with `error`, or (read and write) transfer at most
// `result` bytes when `result` is 0 or more.
struct fault {
  operation op;
  std::string volume;  // a volume or snapshot name; empty: every volume
  std::string path;    // a path inside the volume (leading "/" ignored), or for
                       // execute_command the program; empty: every path
  int error = EIO;
  long result = -1;    // read, write: bytes to transfer instead; execute_command: exit code
  long offset = -1;    // read, write: only at this offset; alloc: only this size
  int times = -1;      // how many matching calls it hits; -1: all
  std::string attribute;  // getxattr, fsetxattr, fremovexattr: only this attribute; empty: every one
};

TARNCORE_API void inject_fault(const fault& f);
TARNCORE_API void clear_faults();

// The operations issued since start_tracing(), in order.
struct traced_call {
  operation op;
  std::string volume;
  std::string path;
};
TARNCORE_API void start_tracing();
TARNCORE_API std::vector<traced_call> traced_calls();
TARNCORE_API void stop_tracing();

// While capturing, logged messages are kept in memory instead of being written out.
struct logged_message {
  std::string function;
  std::string text;
};
TARNCORE_API void start_capturing_messages();
TARNCORE_API std::vector<logged_message> captured_messages();
TARNCORE_API void stop_capturing_messages();

}  // namespace tarn::core_testing
