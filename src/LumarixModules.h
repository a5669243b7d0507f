// Process start and end: the system's modules start in a fixed order and stop in reverse, on
// every way the process ends. Halt is the one way to end the process with an exit code; the
// run-time error and the assertion failure both go through it.
#pragma once

#include <functional>
#include <initializer_list>
#include <span>

namespace lumarix {

struct TModule {
  void (*Startup)();
  void (*Shutdown)();
};

// The modules in start order (the system's own lists are in LumarixModuleOrder.h).
using TModuleList = std::span<const TModule* const>;

// Starts the modules in the order given. An exception from a start-up stops the modules
// already started and ends the process as an unhandled error (its message on standard error,
// exit code 217).
void StartModules(TModuleList modules);
inline void StartModules(std::initializer_list<const TModule*> modules) {
  StartModules(TModuleList(modules.begin(), modules.size()));
}
// Stops the started modules in reverse order; each is stopped at most once.
void StopModules();

// Starts the modules, runs `body` and ends the process with its result.
[[noreturn]] void RunProgram(TModuleList modules, const std::function<int()>& body);
[[noreturn]] inline void RunProgram(std::initializer_list<const TModule*> modules, const std::function<int()>& body) {
  RunProgram(TModuleList(modules.begin(), modules.size()), body);
}

// Stops the modules, flushes standard output and ends the process with `exitCode`, from any
// thread. One thread ends the process: another that calls Halt, RunError or AssertionFailure
// meanwhile waits there until the process has ended.
[[noreturn]] void Halt(int exitCode);
// "Runtime error <code>" on standard output, then Halt(code).
[[noreturn]] void RunError(int code);
// The place an assertion failure names: a source module and a line. Each assertion has a
// fixed site of its own, so that its report stays the same whatever becomes of our source.
struct TSourceSite {
  const char* module;
  int line;
};
// "Assertion failure (<module>, line <line>)" on standard error, then Halt(1).
[[noreturn]] void AssertionFailure(const TSourceSite& site);

constexpr int kUnhandledErrorExitCode = 217;

}  // namespace lumarix

// Stops with an assertion failure naming `site` (a TSourceSite) when `condition` is false.
#define LUMARIX_ASSERT(condition, site) ((condition) ? static_cast<void>(0) : ::lumarix::AssertionFailure(site))
