// What the benchmarks that run real processes share: the print port 17244, which the real
// client always speaks to, the command line's options, and a work directory of the run's own.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

// Makes the port this process's own for as long as it runs: a network namespace of its own
// (with its loopback up) when it may, as root, which its children share; otherwise the shared
// lock of the port, held until the process ends. Returns which of the two, for the report.
std::string TakePrintPort();
// The shared lock of the port alone, for a server that programs outside the process reach.
void LockPrintPort();

// The "--option value" pairs of the command line. An option outside `known`, or one without a
// value, ends the program with `usage`.
std::map<std::string, std::string> ReadOptions(int argc, char** argv, const std::vector<std::string>& known,
                                               const std::string& usage);
// A new directory under /tmp for one run, named after `name`; ends the program when it cannot.
std::filesystem::path MakeWorkDirectory(const std::string& name);
// The whole file; empty when it cannot be read (a log not yet written, say).
std::string ReadWhole(const std::filesystem::path& path);
// Writes `bytes` as the whole file; ends the program when it cannot.
void WriteFile(const std::filesystem::path& path, const std::string& bytes);

// Starts `arguments` with exactly `environment`, its standard input from the file `input`, its
// standard output and error into the file `output`, or into the descriptor `outputFd` when no
// file is named. Returns the process, or -1 when it cannot be started.
int StartProcess(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                 const std::string& input, const std::string& output, int outputFd = -1);
