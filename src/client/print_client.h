// The print client's main flow: from the configuration to the exit code.
#pragma once

#include <string>
#include <vector>

namespace lumarix {

constexpr unsigned short kPrintServerPort = 17244;
constexpr std::uint32_t kMaxPrintFileSize = 524288;
constexpr std::uint32_t kReplyWaitMilliseconds = 8000;

// Argument 1 of a command line split at characters 1..32 outside double quotes, the quotes
// removed; empty when there is none.
std::string FirstArgument(const std::string& commandLine);

// The dialogue and the request; returns the process's exit code.
int PrintClientMain(const std::vector<std::string>& arguments);

// The four lines of the client's fatal-error block.
void ShowFatalError(const std::string& text);

}  // namespace lumarix
