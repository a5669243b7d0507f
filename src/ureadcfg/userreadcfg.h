// Contest configuration: finds the contest directory and this machine's team description file,
// reads it with its includes and answers key lookups for the rest of the process.
//
// In strict mode every problem is one line on standard output and exit code 7; in quiet mode
// problems leave keys unset, except too many configuration files, which stops in both modes.
#pragma once

#include <string>

#include "LumarixModules.h"

namespace lumarix {

extern bool StrictConfig;
extern std::string CtDir;     // the contest directory in use; empty: the current directory
extern std::string TeamName;  // selects the team file and must match its "TEAM" key
extern std::string TeamFile;  // the team file found; "<unknown>" while none is

constexpr int kMaxCfgKeys = 237;
constexpr std::size_t kMaxCfgValueLength = 1024;
constexpr int kMaxCfgFiles = 16;
constexpr int kConfigExitCode = 7;

void ReadUserConfig(bool strict);
// The value stored under exactly `name` (stored keys are upper case); empty when none is.
std::string CfgValue(const std::string& name);
// Replaces a stored key's value (an empty value too); stores a new key only with a non-empty
// value and while fewer than kMaxCfgKeys keys are stored.
void SetCfgValue(const std::string& key, const std::string& value);

extern const TModule UserReadCfgModule;

}  // namespace lumarix
