// The built print client as the end-to-end tests start it: in `dir`, with its contest directory
// `dir`/contest and no TEAM from the tests' own environment.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "support/client_process.h"

namespace lumarix::testing {

inline ProcessLaunch PrintClientLaunch(const std::filesystem::path& dir, const std::vector<std::string>& arguments,
                                       const std::string& input = {}) {
  ProcessLaunch launch;
  launch.program = PRINT_CLIENT_PATH;
  launch.arguments = arguments;
  launch.environment = {{"CTDIR", (dir / "contest").string()}, {"TEAM", ""}};
  launch.workingDirectory = dir.string();
  launch.input = input;
  return launch;
}

}  // namespace lumarix::testing
