// The test runner: starts the system's modules as the programs do, runs the tests, and stops
// the modules again. Runners built with LUMARIX_TESTS_WITHOUT_SOCKETS leave the socket library
// out, for tests that fork children (a child has none of its parent's threads).
#include <gtest/gtest.h>

#include "LumarixModuleOrder.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // A death test's child runs the program afresh, so that it has the library thread too.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
#if defined(LUMARIX_TESTS_WITHOUT_SOCKETS)
  lumarix::StartModules(lumarix::kThreadlessLibraryModules);
#else
  lumarix::StartModules(lumarix::kLibraryModules);
#endif
  int result = RUN_ALL_TESTS();
  lumarix::StopModules();
  return result;
}
