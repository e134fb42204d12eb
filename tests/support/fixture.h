#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tarncore/testing.h"
#include "tests/support/cluster.h"
#include "tests/support/isolation.h"

namespace tarn::test {

// A test on fresh volumes, with faults cleared and messages captured. Local volumes
// unless a subclass names another backend.
class cluster_test : public ::testing::Test {
 protected:
  virtual backend kind() const { return backend::local; }

  void SetUp() override {
    if (!isolated()) GTEST_SKIP() << "needs root and a private mount namespace";
    if (kind() == backend::glusterfs) {
      if (auto reason = gluster_unavailable()) {
        const char* ci = std::getenv("CI");
        if (ci && std::strcmp(ci, "true") == 0) FAIL() << *reason << " (CI must run the GlusterFS tests)";
        GTEST_SKIP() << *reason;
      }
    }
    cluster = std::make_unique<test_cluster>(kind());
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

  std::unique_ptr<test_cluster> cluster;
};

// A fixture whose tests run once per backend (TEST_P with INSTANTIATE_ON_BOTH_BACKENDS).
template <class Fixture>
class on_both_backends : public Fixture, public ::testing::WithParamInterface<backend> {
 protected:
  backend kind() const override { return this->GetParam(); }
};

inline void PrintTo(backend b, std::ostream* out) { *out << (b == backend::local ? "local" : "glusterfs"); }

inline std::string backend_name(const ::testing::TestParamInfo<backend>& info) {
  return info.param == backend::local ? "local" : "glusterfs";
}

#define INSTANTIATE_ON_BOTH_BACKENDS(fixture)                                                  \
  INSTANTIATE_TEST_SUITE_P(backends, fixture,                                                  \
                           ::testing::Values(::tarn::test::backend::local,                     \
                                             ::tarn::test::backend::glusterfs),                \
                           ::tarn::test::backend_name)

}  // namespace tarn::test
