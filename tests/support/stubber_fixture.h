#pragma once

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "stubber/stubber.h"
#include "tests/support/fixture.h"

namespace tarn::test {

// A stubber on fresh local volumes "live" and "backup", with the snapshot "livesnap".
class stubber_test : public cluster_test {
 protected:
  std::unique_ptr<stubber::stubber> make_stubber() {
    return std::make_unique<stubber::stubber>(cluster->live_name, cluster->backup_name);
  }

  // The close calls of the trace, as "volume:path".
  static std::vector<std::string> closes() {
    std::vector<std::string> result;
    for (const auto& call : core_testing::traced_calls())
      if (call.op == core_testing::operation::close) result.push_back(call.volume + ":" + call.path);
    return result;
  }

  static std::error_code code(int value) { return std::error_code(value, std::generic_category()); }
};

// While it lives, stubbers made copy `files` scan files of a collect file at once.
class copy_window {
 public:
  explicit copy_window(int files) {
    const char* current = std::getenv("TARNCORE_COPY_WINDOW");
    if (current) saved = current;
    ::setenv("TARNCORE_COPY_WINDOW", std::to_string(files).c_str(), 1);
  }
  ~copy_window() {
    if (saved) ::setenv("TARNCORE_COPY_WINDOW", saved->c_str(), 1);
    else ::unsetenv("TARNCORE_COPY_WINDOW");
  }
  copy_window(const copy_window&) = delete;
  copy_window& operator=(const copy_window&) = delete;

 private:
  std::optional<std::string> saved;
};

}  // namespace tarn::test
