// A child process for console tests (POSIX): its standard output is a real pseudo-terminal
// whose screen the test reads; its standard input is the same terminal, a pipe holding given
// bytes, or closed. The child runs a body and ends through Halt with the body's result, so
// that the modules' shutdown runs as in the programs; or it runs a built program instead.
#pragma once

#if !defined(_WIN32)
#include <sys/types.h>
#include <termios.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "support/client_process.h"

namespace lumarix::testing {

class ChildProcess {
 public:
  enum class Input { Terminal, Pipe, Closed };

  ChildProcess(Input input, std::function<int()> body, std::string pipedInput = {});
  // Executes the launch's program, arguments, environment and working directory (its input
  // field is not used). The parent prepares all of it, so the child of a process with threads
  // does only async-signal-safe work before the exec.
  ChildProcess(Input input, const ProcessLaunch& launch, std::string pipedInput = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Bytes as typed at the terminal.
  void Type(std::string_view bytes);
  // Waits until the screen shows `text` after what earlier waits consumed; false on timeout.
  bool WaitFor(std::string_view text, int timeoutMs = 10000);
  // As WaitFor, on the screen's text as a person sees it (VisibleText): for a console that
  // draws with cursor movements. Its own consumed part is kept apart from WaitFor's.
  bool WaitForVisible(std::string_view text, int timeoutMs = 10000);
  // Everything the child has written to the terminal so far.
  const std::string& Screen();
  void Resize(unsigned short rows, unsigned short cols);
  void Signal(int signal);
  // Closes the terminal's master side: the child's terminal hangs up.
  void HangUp();
  // Waits for the end: the exit code, or 128 + the signal that ended it; -1 on timeout.
  int Wait(int timeoutMs = 10000);
  // The terminal's mode as it is now.
  struct termios TerminalMode() const;
  // Waits until the terminal's mode is `wanted`; false on timeout.
  bool WaitForTerminalMode(const std::function<bool(const struct termios&)>& wanted, int timeoutMs = 10000);

 private:
  // Forks; the child, its terminal and input in place, runs `inChild`, which must not return.
  void Start(Input input, const std::function<void()>& inChild, const std::string& pipedInput);
  void Drain(int timeoutMs);
  // Waits until `view` of the screen holds `text` at or after `seen`, which it then moves past.
  bool WaitUntilShown(const std::function<std::string()>& view, std::string_view text, std::size_t& seen,
                      int timeoutMs);

  int master_ = -1;
  int slave_ = -1;
  pid_t pid_ = -1;
  std::string screen_;
  std::size_t seen_ = 0;
  std::size_t seenVisible_ = 0;
  std::optional<int> status_;
};

}  // namespace lumarix::testing
#endif
