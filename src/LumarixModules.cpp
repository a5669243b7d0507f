#include "LumarixModules.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <vector>

#include "kept_alive.h"
#include "platform/winapi.h"

namespace lumarix {
namespace {

// The process is ended by one thread only: the first that asks, be it the main thread or the
// library thread. The same thread may ask again (a module's shutdown that halts); another
// thread that asks meanwhile waits for the end instead, so that the report is written once,
// the modules stop once, and no thread runs on past the report with its own.
std::atomic<DWORD> endingThread{0};

void ClaimTheEnd() {
  const DWORD self = GetCurrentThreadId();
  DWORD owner = 0;
  if (endingThread.compare_exchange_strong(owner, self) || owner == self) return;
  for (;;) Sleep(INFINITE);  // the ending thread ends this one with the process
}

struct ModuleState {
  std::recursive_mutex lock;
  std::vector<const TModule*> started;  // in start order
};

ModuleState& State() {
  static KeptAlive<ModuleState> state;
  return *state;
}

[[noreturn]] void UnhandledError(const char* message) {
  ClaimTheEnd();
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", message);
  Halt(kUnhandledErrorExitCode);
}

}  // namespace

void StartModules(TModuleList modules) {
  for (const TModule* module : modules) {
    try {
      if (module->Startup) module->Startup();
    } catch (const std::exception& error) {
      UnhandledError(error.what());
    }
    std::lock_guard guard(State().lock);
    State().started.push_back(module);
  }
}

void StopModules() {
  auto& state = State();
  std::lock_guard guard(state.lock);
  // A module taken off the list before its shutdown runs is never stopped twice, even when its
  // shutdown ends the process itself.
  while (!state.started.empty()) {
    const TModule* module = state.started.back();
    state.started.pop_back();
    try {
      if (module->Shutdown) module->Shutdown();
    } catch (const std::exception& error) {
      std::fprintf(stderr, "%s\n", error.what());
    }
  }
}

void RunProgram(TModuleList modules, const std::function<int()>& body) {
  StartModules(modules);
  int exitCode = 0;
  try {
    exitCode = body();
  } catch (const std::exception& error) {
    UnhandledError(error.what());
  }
  Halt(exitCode);
}

void Halt(int exitCode) {
  ClaimTheEnd();
  StopModules();
  std::fflush(stdout);
  std::fflush(stderr);
  // Ends every thread at once, without the static destructors of exit: the other thread may
  // still be running (the main thread when the library thread ends the process, or a library
  // thread that did not finish in time) and must not find the program's objects destroyed.
  std::_Exit(exitCode);
}

void RunError(int code) {
  ClaimTheEnd();
  std::printf("Runtime error %d\n", code);
  Halt(code);
}

void AssertionFailure(const TSourceSite& site) {
  ClaimTheEnd();
  std::fflush(stdout);
  std::fprintf(stderr, "%s (%s, line %d)\n", "Assertion failure", site.module, site.line);
  Halt(1);
}

}  // namespace lumarix
