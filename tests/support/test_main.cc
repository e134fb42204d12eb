#include <gtest/gtest.h>

#include "tests/support/isolation.h"

int main(int argc, char** argv) {
  tarn::test::isolate_process();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
