#include "LumarixModules.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/winapi.h"

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

const TModule kA{SayStartA, SayStopA};
const TModule kB{SayStartB, SayStopB};
const TModule kFailing{FailStart, SayStopB};
const TModule kHalting{nullptr, StopByHalting};
constexpr TSourceSite kSite{"LumarixSocket", 1088};

using LumarixModulesDeathTest = ::testing::Test;

TEST_F(LumarixModulesDeathTest, HaltStopsModulesInReverseOrder) {
  EXPECT_EXIT(
      {
        StartModules({&kA, &kB});
        Halt(3);
      },
      ::testing::ExitedWithCode(3), "start A\nstart B\nstop B\nstop A\n");
}

TEST_F(LumarixModulesDeathTest, RunErrorStopsModulesAndExitsWithItsCode) {
  EXPECT_EXIT(
      {
        StartModules({&kA});
        RunError(239);
      },
      ::testing::ExitedWithCode(239), "start A\nstop A\n");
}

TEST_F(LumarixModulesDeathTest, AssertionFailureNamesItsSite) {
  EXPECT_EXIT(
      {
        StartModules({&kA});
        LUMARIX_ASSERT(1 + 1 == 3, kSite);
      },
      ::testing::ExitedWithCode(1), "^start A\nAssertion failure \\(LumarixSocket, line 1088\\)\nstop A\n$");
}

// Another thread ends the process while the main thread runs on: the modules stop once, on
// that thread, and the process ends with every thread and without the static teardown, which
// would destroy what the main thread is still using.
void SayAtExit() { std::fprintf(stderr, "static teardown\n"); }

TEST_F(LumarixModulesDeathTest, AnotherThreadEndsTheProcessWhileTheMainThreadRuns) {
  EXPECT_EXIT(
      {
        std::atexit(SayAtExit);
        StartModules({&kA});
        std::thread([] { AssertionFailure(kSite); }).detach();
        HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        WaitForSingleObject(never, 10000);  // the process ends long before
        std::fprintf(stderr, "main ran on\n");
        Halt(0);
      },
      ::testing::ExitedWithCode(1), "^start A\nAssertion failure \\(LumarixSocket, line 1088\\)\nstop A\n$");
}

// A thread that asks to end the process while another is ending it waits for that end: its
// report is not written and the modules are not stopped a second time.
HANDLE stopping = nullptr;
HANDLE mainAsked = nullptr;
void StopAWhileTheMainThreadAsks() {
  std::fprintf(stderr, "stop A\n");
  SetEvent(stopping);
  WaitForSingleObject(mainAsked, 10000);
  Sleep(200);  // room for a main thread that was not held to write its report
}
const TModule kStoppedSlowly{nullptr, StopAWhileTheMainThreadAsks};

TEST_F(LumarixModulesDeathTest, AThreadAskingToEndWhileAnotherEndsWaitsForThatEnd) {
  EXPECT_EXIT(
      {
        stopping = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        mainAsked = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        StartModules({&kStoppedSlowly});
        std::thread([] { AssertionFailure(kSite); }).detach();
        WaitForSingleObject(stopping, 10000);
        SetEvent(mainAsked);
        AssertionFailure({"Main", 2});
      },
      ::testing::ExitedWithCode(1), "^Assertion failure \\(LumarixSocket, line 1088\\)\nstop A\n$");
}

TEST_F(LumarixModulesDeathTest, FailedStartupStopsOnlyTheModulesBeforeIt) {
  EXPECT_EXIT(StartModules({&kA, &kFailing, &kB}), ::testing::ExitedWithCode(kUnhandledErrorExitCode),
              "start A\nCalendar date out of range\nstop A\n$");
}

TEST_F(LumarixModulesDeathTest, AShutdownThatHaltsRunsOnce) {
  EXPECT_EXIT(
      {
        StartModules({&kA, &kHalting});
        Halt(0);
      },
      ::testing::ExitedWithCode(5), "stop halting\nstop A\n$");
}

TEST_F(LumarixModulesDeathTest, RunProgramEndsWithTheBodysResult) {
  EXPECT_EXIT(RunProgram({&kA}, [] { return 9; }), ::testing::ExitedWithCode(9), "start A\nstop A\n");
}

// A passing assertion evaluates its condition once and lets the process go on: no report, no
// stop of the modules, the exit code the program chose.
TEST_F(LumarixModulesDeathTest, APassingAssertionLetsTheProgramGoOn) {
  EXPECT_EXIT(RunProgram({&kA},
                         [] {
                           int evaluated = 0;
                           LUMARIX_ASSERT(++evaluated == 1, kSite);
                           std::fprintf(stderr, "evaluated %d\n", evaluated);
                           return 4;
                         }),
              ::testing::ExitedWithCode(4), "^start A\nevaluated 1\nstop A\n$");
}

}  // namespace
}  // namespace lumarix
