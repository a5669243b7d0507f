#include "LumarixModules.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <vector>

namespace lumarix {
namespace {

struct ModuleState {
  std::recursive_mutex lock;
  std::vector<const TModule*> started;  // in start order
};

ModuleState& State() {
  static ModuleState* state = new ModuleState;  // used from exit paths after statics are gone
  return *state;
}

[[noreturn]] void UnhandledError(const char* message) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", message);
  Halt(kUnhandledErrorExitCode);
}

}  // namespace

void StartModules(std::initializer_list<const TModule*> modules) {
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

void RunProgram(std::initializer_list<const TModule*> modules, const std::function<int()>& body) {
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
  StopModules();
  std::fflush(stdout);
  std::fflush(stderr);
  std::exit(exitCode);
}

void RunError(int code) {
  std::printf("Runtime error %d\n", code);
  Halt(code);
}

void AssertionFailure(const char* module, int line) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s (%s, line %d)\n", "Assertion failure", module, line);
  Halt(1);
}

}  // namespace lumarix
