// Runs a built program as a process of its own, the way a contestant's shell would: given
// arguments, environment variables and the bytes of its standard input (a pipe), it gives back
// the exit code and everything written to standard output and standard error.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace lumarix::testing {

struct ProcessResult {
  int exitCode = -1;  // -1: did not end within the time limit (it was killed)
  std::string output;
};

struct ProcessLaunch {
  std::string program;
  std::vector<std::string> arguments;
  std::vector<std::pair<std::string, std::string>> environment;  // set for the child only
  std::string workingDirectory;
  std::string input;
  int timeoutMs = 30000;
};

ProcessResult RunProcess(const ProcessLaunch& launch);

// The line end the programs write on this platform.
#if defined(_WIN32)
constexpr const char* kEol = "\r\n";
#else
constexpr const char* kEol = "\n";
#endif

}  // namespace lumarix::testing
