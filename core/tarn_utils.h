#pragma once

#include <list>
#include <string>

#include "core/tarn_visibility.h"

namespace tarn {

class TARNCORE_API tarn_utils {
 public:
  // Runs `command`, split at blanks into a program (searched on PATH) and its arguments,
  // without a shell: no name in it is interpreted. The program's standard input is
  // /dev/null; its standard output is appended to `output` line by line (at most
  // `max_lines` lines, or 10,000 when `max_lines` is 0 or less) and its standard error to
  // `errors` (at most 64 KiB). The program is never cut short.
  // Returns its exit status, 128 + the signal for a program killed by a signal, 127 when
  // the program cannot be found or started, -1 when no process could be made.
  static int execute_command(std::string command, std::list<std::string>& output,
                             std::string& errors, int max_lines);

  // Looks up the snapshot `name`. Returns 0 and its volfile in `volfile` when the snapshot
  // exists, otherwise an errno value (ENOENT when there is no such snapshot).
  static int get_snap_volfile(std::string name, std::string& volfile);
};

}  // namespace tarn
