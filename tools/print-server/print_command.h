// The print command, run as a child process apart from the answering loop: the shell runs the
// command with the spool file's path as its last argument, its output is kept (the last lines),
// and a command that runs longer than its time limit is stopped with its whole process group.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

namespace lumarix::printserver {

struct TCommandResult {
  bool succeeded = false;         // exit status 0 within the time limit
  bool timedOut = false;
  std::optional<int> exitStatus;  // the exit status, or 128 + the signal that ended it
  std::string output;             // the last lines of standard output and error
  std::string failure;            // why the command could not be started
};

// Runs `command "path"` with /bin/sh; gives up after `limit`, or as soon as `cancel` is set
// (then the result is timedOut too).
TCommandResult RunPrintCommand(const std::string& command, const std::string& path, std::chrono::milliseconds limit,
                               const std::atomic<bool>* cancel = nullptr);

// The last `lines` lines of a text (at most 4096 bytes of them).
std::string LastLines(const std::string& text, int lines);

}  // namespace lumarix::printserver
