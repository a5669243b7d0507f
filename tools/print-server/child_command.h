// A program the print server runs for a job (a renderer, a CUPS client): started from an
// argument vector, never through a shell, so that no team name or file name is ever read as a
// command; bounded in time and in the size of the files it writes; its standard output and
// error kept, up to a limit, for the job's record.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumarix::printserver {

struct TChildCommand {
  std::vector<std::string> arguments;  // the first names the program, looked up on PATH
  // "NAME=value" entries that make up the child's whole environment; none: the server's own.
  std::optional<std::vector<std::string>> environment;
  std::string outputFile;  // standard output goes to this file (created or truncated); empty: kept
  int timeoutMs = 30000;
  std::uint64_t fileSizeLimit = 0;  // the largest file the child may write; 0: no limit
  std::size_t keptOutputLimit = 64 * 1024;  // the last bytes of output kept
  // When set (the server stopping), the child is killed as on a timeout, within 100 ms.
  const std::atomic<bool>* cancel = nullptr;
};

struct TChildResult {
  bool started = false;
  bool timedOut = false;
  bool canceled = false;
  int exitCode = -1;    // when it exited
  int signal = 0;       // when a signal ended it
  std::string output;   // standard error, and standard output when it goes to no file: the end
  std::string problem;  // why it could not be started

  bool Succeeded() const { return started && !timedOut && signal == 0 && exitCode == 0; }
  // The exit code, or 128 + the signal, as a shell gives it; nothing when it did not end by itself.
  std::optional<int> ExitStatus() const;
  // "exit status 2", "killed by signal 9", "timed out after 30000 ms", "cannot start ...".
  std::string Describe(const TChildCommand& command) const;
};

// The last `lines` lines of a text (at most 4096 bytes of them).
std::string LastLines(const std::string& text, int lines);

// Runs the command to its end or until its time is up, when the command and everything it
// started are killed; what it wrote before it was stopped is kept. Every descriptor of the
// server other than the three standard ones is closed in the child, so no connection outlives
// its answer in a child.
TChildResult RunChild(const TChildCommand& command);

}  // namespace lumarix::printserver
