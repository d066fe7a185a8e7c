// Entry of every test program: runs a child entry when asked to, the tests otherwise.
#include <gtest/gtest.h>

#include "support/ChildProcess.h"

int main(int argc, char** argv) {
  int exitCode = 0;
  if (test_support::RunChildIfRequested(&exitCode)) return exitCode;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
