#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tarncore/testing.h"
#include "tests/support/cluster.h"
#include "tests/support/isolation.h"

namespace tarn::test {

// A test on fresh local volumes, with faults cleared and messages captured.
class cluster_test : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!isolated()) GTEST_SKIP() << "needs root and a private mount namespace";
    cluster = std::make_unique<local_cluster>();
    core_testing::start_capturing_messages();
  }
  void TearDown() override {
    core_testing::clear_faults();
    core_testing::stop_tracing();
    core_testing::stop_capturing_messages();
    cluster.reset();
  }

  // The captured messages as "function: text" lines.
  static std::vector<std::string> messages() {
    std::vector<std::string> lines;
    for (const auto& m : core_testing::captured_messages()) lines.push_back(m.function + ": " + m.text);
    return lines;
  }

  std::unique_ptr<local_cluster> cluster;
};

}  // namespace tarn::test
