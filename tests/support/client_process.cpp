#include "support/client_process.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;
#endif

#include <chrono>

#include "support/deadline.h"

namespace lumarix::testing {

#if defined(_WIN32)

namespace {

std::string Quoted(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string quoted = "\"";
  for (char c : argument) quoted += c == '"' ? std::string("\\\"") : std::string(1, c);
  return quoted + "\"";
}

// Wine runs Windows programs from Unix paths on drive Z:.
std::string WindowsPath(const std::string& path) {
  if (path.empty() || path[0] != '/') return path;
  std::string converted = "Z:" + path;
  for (char& c : converted) {
    if (c == '/') c = '\\';
  }
  return converted;
}

}  // namespace

RunningProcess::RunningProcess(const ProcessLaunch& launch) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE inputRead, inputWrite, outputRead, outputWrite;
  if (!CreatePipe(&inputRead, &inputWrite, &inherit, 0)) return;
  if (!CreatePipe(&outputRead, &outputWrite, &inherit, 0)) {
    CloseHandle(inputRead);
    CloseHandle(inputWrite);
    return;
  }
  SetHandleInformation(inputWrite, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(outputRead, HANDLE_FLAG_INHERIT, 0);

  for (const auto& [name, value] : launch.environment) SetEnvironmentVariableA(name.c_str(), value.c_str());
  std::string program = WindowsPath(launch.program);
  std::string commandLine = Quoted(program);
  for (const auto& argument : launch.arguments) commandLine += " " + Quoted(argument);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inputRead;
  startup.hStdOutput = outputWrite;
  startup.hStdError = outputWrite;
  PROCESS_INFORMATION process{};
  BOOL started = CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                launch.workingDirectory.empty() ? nullptr : launch.workingDirectory.c_str(), &startup,
                                &process);
  for (const auto& [name, value] : launch.environment) SetEnvironmentVariableA(name.c_str(), nullptr);
  CloseHandle(inputRead);
  CloseHandle(outputWrite);
  if (!started) {
    CloseHandle(inputWrite);
    CloseHandle(outputRead);
    return;
  }
  CloseHandle(process.hThread);
  process_ = process.hProcess;
  input_ = inputWrite;
  output_ = outputRead;
  writer_ = std::thread(&RunningProcess::WriteInput, this, launch.input);
  reader_ = std::thread(&RunningProcess::ReadOutput, this);
}

void RunningProcess::WriteInput(std::string input) {
  DWORD written = 0;
  if (!input.empty()) WriteFile(input_, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
  CloseHandle(input_);
}

void RunningProcess::ReadOutput() {
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(output_, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    std::lock_guard guard(lock_);
    text_.append(buffer, got);
    changed_.notify_all();
  }
  CloseHandle(output_);
  std::lock_guard guard(lock_);
  outputEnded_ = true;
  changed_.notify_all();
}

bool RunningProcess::started() const { return process_ != nullptr; }

void RunningProcess::Stop() {
  if (started() && !ended_) TerminateProcess(process_, 255);
}

int RunningProcess::Wait(int timeoutMs) {
  if (!started() || ended_) return exitCode_;
  DWORD code = 0;
  if (WaitForSingleObject(process_, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0 &&
      GetExitCodeProcess(process_, &code)) {
    exitCode_ = static_cast<int>(code);
  } else {
    TerminateProcess(process_, 255);
    WaitForSingleObject(process_, INFINITE);
  }
  ended_ = true;
  CloseHandle(process_);
  OutputEnded(10000);  // the last bytes may still be in the pipe
  return exitCode_;
}

#else

ExecImage::ExecImage(const ProcessLaunch& launch) : program_(launch.program), directory_(launch.workingDirectory) {
  for (char** entry = environ; *entry; ++entry) {
    bool replaced = false;
    for (const auto& [name, value] : launch.environment) {
      if (std::strncmp(*entry, (name + "=").c_str(), name.size() + 1) == 0) replaced = true;
    }
    if (!replaced) environment_.emplace_back(*entry);
  }
  for (const auto& [name, value] : launch.environment) environment_.push_back(name + "=" + value);
  arguments_.push_back(launch.program);
  arguments_.insert(arguments_.end(), launch.arguments.begin(), launch.arguments.end());
  // The strings are complete before their addresses are taken.
  for (auto& argument : arguments_) argv_.push_back(argument.data());
  argv_.push_back(nullptr);
  for (auto& entry : environment_) envp_.push_back(entry.data());
  envp_.push_back(nullptr);
}

RunningProcess::RunningProcess(const ProcessLaunch& launch) {
  ::signal(SIGPIPE, SIG_IGN);  // a child that ends without reading its input must not end us
  int input[2], output[2];
  if (::pipe2(input, O_CLOEXEC) != 0) return;
  if (::pipe2(output, O_CLOEXEC) != 0) {
    ::close(input[0]);
    ::close(input[1]);
    return;
  }
  ExecImage image(launch);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  ::posix_spawn_file_actions_adddup2(&actions, output[1], 1);
  ::posix_spawn_file_actions_adddup2(&actions, output[1], 2);
  if (image.directory()) ::posix_spawn_file_actions_addchdir_np(&actions, image.directory());
  pid_t pid = -1;
  int spawned = ::posix_spawn(&pid, image.program(), &actions, nullptr, image.argv(), image.envp());
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(input[0]);
  ::close(output[1]);
  if (spawned != 0) {
    ::close(input[1]);
    ::close(output[0]);
    return;
  }
  pid_ = pid;
  input_ = input[1];
  output_ = output[0];
  writer_ = std::thread(&RunningProcess::WriteInput, this, launch.input);
  reader_ = std::thread(&RunningProcess::ReadOutput, this);
}

void RunningProcess::WriteInput(std::string input) {
  for (std::size_t done = 0; done < input.size();) {
    ssize_t put = ::write(input_, input.data() + done, input.size() - done);
    if (put <= 0) break;
    done += static_cast<std::size_t>(put);
  }
  ::close(input_);
}

void RunningProcess::ReadOutput() {
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(output_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    std::lock_guard guard(lock_);
    text_.append(buffer, static_cast<std::size_t>(got));
    changed_.notify_all();
  }
  ::close(output_);
  std::lock_guard guard(lock_);
  outputEnded_ = true;
  changed_.notify_all();
}

bool RunningProcess::started() const { return pid_ > 0; }

void RunningProcess::Stop() { Signal(SIGTERM); }

void RunningProcess::Signal(int signal) {
  if (started() && !ended_) ::kill(pid_, signal);
}

int RunningProcess::Wait(int timeoutMs) {
  if (!started() || ended_) return exitCode_;
  const Deadline deadline(timeoutMs);
  bool exited = false;
  int status = 0;
  // The output ends when the process does; a process that closed it early is polled for.
  if (OutputEnded(timeoutMs)) {
    while (!exited && !deadline.Passed()) {
      exited = ::waitpid(pid_, &status, WNOHANG) == pid_;
      if (!exited) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (!exited) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  } else {
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  ended_ = true;
  OutputEnded(10000);
  return exitCode_;
}

#endif

RunningProcess::~RunningProcess() {
  if (started() && !ended_) {
#if defined(_WIN32)
    TerminateProcess(process_, 255);
#else
    ::kill(pid_, SIGKILL);
#endif
    Wait(10000);
  }
  if (writer_.joinable()) writer_.join();
  if (reader_.joinable()) reader_.join();
}

bool RunningProcess::OutputEnded(int timeoutMs) {
  std::unique_lock guard(lock_);
  return changed_.wait_until(guard, Deadline(timeoutMs).end(), [this] { return outputEnded_; });
}

bool RunningProcess::WaitForOutput(std::string_view text, int timeoutMs) {
  std::unique_lock guard(lock_);
  changed_.wait_until(guard, Deadline(timeoutMs).end(),
                      [&] { return outputEnded_ || text_.find(text) != std::string::npos; });
  return text_.find(text) != std::string::npos;
}

std::string RunningProcess::Output() {
  std::lock_guard guard(lock_);
  return text_;
}

ProcessResult RunProcess(const ProcessLaunch& launch) {
  RunningProcess process(launch);
  ProcessResult result;
  result.exitCode = process.Wait(launch.timeoutMs);
  result.output = process.Output();
  return result;
}

}  // namespace lumarix::testing
