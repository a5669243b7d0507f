// The test runner: starts the system's modules as the programs do, runs the tests, and stops
// the modules again.
#include <gtest/gtest.h>

#include "LumarixSocket.h"
#include "LumarixSocketStr.h"
#include "LumarixTime.h"
#include "LumarixUtil.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // A death test's child runs the program afresh, so that it has the library thread too.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  lumarix::StartModules({&lumarix::LumarixUtilModule, &lumarix::LumarixTimeModule, &lumarix::LumarixSocketStrModule,
                         &lumarix::LumarixSocketModule});
  int result = RUN_ALL_TESTS();
  lumarix::StopModules();
  return result;
}
