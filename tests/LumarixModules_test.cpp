#include "LumarixModules.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace lumarix {
namespace {

void SayStartA() { std::fprintf(stderr, "start A\n"); }
void SayStopA() { std::fprintf(stderr, "stop A\n"); }
void SayStartB() { std::fprintf(stderr, "start B\n"); }
void SayStopB() { std::fprintf(stderr, "stop B\n"); }
void FailStart() { throw std::runtime_error("Calendar date out of range"); }
// A shutdown that itself ends the process must not run a second time.
void StopByHalting() {
  std::fprintf(stderr, "stop halting\n");
  Halt(5);
}

const TModule kA{"A", SayStartA, SayStopA};
const TModule kB{"B", SayStartB, SayStopB};
const TModule kFailing{"Failing", FailStart, SayStopB};
const TModule kHalting{"Halting", nullptr, StopByHalting};

using ModulesDeathTest = ::testing::Test;

TEST_F(ModulesDeathTest, HaltStopsModulesInReverseOrder) {
  EXPECT_EXIT(
      {
        StartModules({&kA, &kB});
        Halt(3);
      },
      ::testing::ExitedWithCode(3), "start A\nstart B\nstop B\nstop A\n");
}

TEST_F(ModulesDeathTest, RunErrorStopsModulesAndExitsWithItsCode) {
  EXPECT_EXIT(
      {
        StartModules({&kA});
        RunError(239);
      },
      ::testing::ExitedWithCode(239), "start A\nstop A\n");
}

TEST_F(ModulesDeathTest, AssertionFailureNamesModuleAndLine) {
  constexpr int line = __LINE__ + 4;
  EXPECT_EXIT(
      {
        StartModules({&kA});
        LUMARIX_ASSERT(1 + 1 == 3, "LumarixSocket");
      },
      ::testing::ExitedWithCode(1),
      "Assertion failure \\(LumarixSocket, line " + std::to_string(line) + "\\)\nstop A\n");
}

TEST_F(ModulesDeathTest, FailedStartupStopsOnlyTheModulesBeforeIt) {
  EXPECT_EXIT(StartModules({&kA, &kFailing, &kB}), ::testing::ExitedWithCode(kUnhandledErrorExitCode),
              "start A\nCalendar date out of range\nstop A\n$");
}

TEST_F(ModulesDeathTest, AShutdownThatHaltsRunsOnce) {
  EXPECT_EXIT(
      {
        StartModules({&kA, &kHalting});
        Halt(0);
      },
      ::testing::ExitedWithCode(5), "stop halting\nstop A\n$");
}

TEST_F(ModulesDeathTest, RunProgramEndsWithTheBodysResult) {
  EXPECT_EXIT(RunProgram({&kA}, [] { return 9; }), ::testing::ExitedWithCode(9), "start A\nstop A\n");
}

TEST(Modules, PassingAssertionDoesNothing) {
  int evaluated = 0;
  LUMARIX_ASSERT(++evaluated == 1, "LumarixSocket");
  EXPECT_EQ(evaluated, 1);
}

}  // namespace
}  // namespace lumarix
