#include "support/client_process.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

extern char** environ;
#endif

#include <thread>

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

ProcessResult RunProcess(const ProcessLaunch& launch) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE inputRead, inputWrite, outputRead, outputWrite;
  ProcessResult result;
  if (!CreatePipe(&inputRead, &inputWrite, &inherit, 0)) return result;
  if (!CreatePipe(&outputRead, &outputWrite, &inherit, 0)) return result;
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
    return result;
  }
  std::thread reader([&] {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(outputRead, buffer, sizeof buffer, &got, nullptr) && got > 0) result.output.append(buffer, got);
  });
  DWORD written = 0;
  if (!launch.input.empty()) WriteFile(inputWrite, launch.input.data(), static_cast<DWORD>(launch.input.size()), &written, nullptr);
  CloseHandle(inputWrite);
  if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(launch.timeoutMs)) == WAIT_OBJECT_0) {
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    result.exitCode = static_cast<int>(code);
  } else {
    TerminateProcess(process.hProcess, 255);
  }
  reader.join();
  CloseHandle(outputRead);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return result;
}

#else

ProcessResult RunProcess(const ProcessLaunch& launch) {
  ::signal(SIGPIPE, SIG_IGN);  // a child that ends without reading its input must not end us
  ProcessResult result;
  int input[2], output[2];
  if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) return result;
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  ::posix_spawn_file_actions_adddup2(&actions, output[1], 1);
  ::posix_spawn_file_actions_adddup2(&actions, output[1], 2);
  if (!launch.workingDirectory.empty()) ::posix_spawn_file_actions_addchdir_np(&actions, launch.workingDirectory.c_str());

  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    bool replaced = false;
    for (const auto& [name, value] : launch.environment) {
      if (std::strncmp(*entry, (name + "=").c_str(), name.size() + 1) == 0) replaced = true;
    }
    if (!replaced) environment.emplace_back(*entry);
  }
  for (const auto& [name, value] : launch.environment) environment.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> arguments{launch.program};
  arguments.insert(arguments.end(), launch.arguments.begin(), launch.arguments.end());
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  int spawned = ::posix_spawn(&pid, launch.program.c_str(), &actions, nullptr, argv.data(), envp.data());
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(input[0]);
  ::close(output[1]);
  if (spawned != 0) {
    ::close(input[1]);
    ::close(output[0]);
    return result;
  }
  std::thread writer([&] {
    std::size_t done = 0;
    while (done < launch.input.size()) {
      ssize_t put = ::write(input[1], launch.input.data() + done, launch.input.size() - done);
      if (put <= 0) break;
      done += static_cast<std::size_t>(put);
    }
    ::close(input[1]);
  });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(launch.timeoutMs);
  char buffer[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      break;
    }
    struct pollfd readable{output[0], POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0) continue;
    ssize_t got = ::read(output[0], buffer, sizeof buffer);
    if (got <= 0) break;
    result.output.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(output[0]);
  writer.join();
  int status = 0;
  ::waitpid(pid, &status, 0);
  bool intime = std::chrono::steady_clock::now() < deadline;
  if (intime && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

#endif

}  // namespace lumarix::testing
