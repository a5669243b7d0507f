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

#if defined(WINDOWS_PRINT_CLIENT_PATH)
// The Windows build's client started the same way under Wine, by the launcher of its build tree
// and in that tree's private prefix.
inline std::filesystem::path WindowsPrintClientPrefix() {
  return std::filesystem::path(WINDOWS_PRINT_CLIENT_PATH).parent_path() / "wineprefix";
}

inline ProcessLaunch WindowsPrintClientLaunch(const std::filesystem::path& dir, const std::vector<std::string>& arguments) {
  ProcessLaunch launch = PrintClientLaunch(dir, arguments);
  launch.program = (std::filesystem::path(WINDOWS_PRINT_CLIENT_PATH).parent_path() / "wine-run").string();
  launch.arguments.insert(launch.arguments.begin(), WINDOWS_PRINT_CLIENT_PATH);
  launch.environment.emplace_back("WINEPREFIX", WindowsPrintClientPrefix().string());
  return launch;
}
#endif

}  // namespace lumarix::testing
