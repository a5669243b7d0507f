// The test runner: starts the system's modules as the programs do, runs the tests, and stops
// the modules again.
#include <gtest/gtest.h>

#include "LumarixSocketStr.h"
#include "LumarixTime.h"
#include "LumarixUtil.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  lumarix::StartModules({&lumarix::LumarixUtilModule, &lumarix::LumarixTimeModule, &lumarix::LumarixSocketStrModule});
  int result = RUN_ALL_TESTS();
  lumarix::StopModules();
  return result;
}
