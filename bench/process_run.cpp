#include "process_run.h"

#include <fcntl.h>
#include <spawn.h>
#include <net/if.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

bool OwnNetwork() {
  if (::unshare(CLONE_NEWNET) != 0) return false;
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  ifreq request{};
  std::strcpy(request.ifr_name, "lo");
  bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags |= IFF_UP;
  up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  if (fd >= 0) ::close(fd);
  return up;
}

}  // namespace

void LockPrintPort() {
  // Kept open, and so locked, until the process ends.
  const int lock = ::open("/tmp/lumarix-print-port.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0666);
  if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
    std::fprintf(stderr, "cannot take the print port's lock\n");
    std::exit(1);
  }
}

std::string TakePrintPort() {
  if (OwnNetwork()) return "own network namespace";
  LockPrintPort();
  return "shared loopback";
}

namespace {

[[noreturn]] void Stop(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::exit(1);
}

}  // namespace

std::map<std::string, std::string> ReadOptions(int argc, char** argv, const std::vector<std::string>& known,
                                               const std::string& usage) {
  std::map<std::string, std::string> options;
  for (int i = 1; i < argc; i += 2) {
    const std::string option = argv[i];
    if (i + 1 >= argc || std::find(known.begin(), known.end(), option) == known.end()) Stop(usage);
    options[option] = argv[i + 1];
  }
  return options;
}

std::filesystem::path MakeWorkDirectory(const std::string& name) {
  std::string pattern = "/tmp/lumarix-" + name + ".XXXXXX";
  if (!::mkdtemp(pattern.data())) Stop("cannot make a work directory");
  return pattern;
}

std::string ReadWhole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  if (!out) Stop("cannot write " + path.string());
}

int StartProcess(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                 const std::string& input, const std::string& output, int outputFd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  if (output.empty()) {
    posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> argv, envp;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  for (const std::string& variable : environment) envp.push_back(const_cast<char*>(variable.c_str()));
  envp.push_back(nullptr);
  pid_t pid = -1;
  const bool started = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0;
  posix_spawn_file_actions_destroy(&actions);
  return started ? pid : -1;
}
