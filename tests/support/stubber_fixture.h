#pragma once

#include <memory>
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

}  // namespace tarn::test
