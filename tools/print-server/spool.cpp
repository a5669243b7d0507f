#include "spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace lumarix::printserver {
namespace {

constexpr const char* kTemporaryPrefix = ".spool-";

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool SyncDirectory(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

// Gives the temporary file its final name without replacing any file; EEXIST tries the next.
bool Publish(const std::string& temporary, const std::string& dir, const std::string& stem, std::string& path) {
  for (int attempt = 1; attempt < 100000; ++attempt) {
    path = dir + "/" + stem + (attempt == 1 ? "" : "-" + std::to_string(attempt)) + ".txt";
    if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EEXIST) return false;
  }
  errno = EEXIST;
  return false;
}

}  // namespace

TSpoolResult WriteSpoolFile(const std::string& dir, const std::string& stem, const std::string& bytes) {
  static std::atomic<unsigned> sequence{0};
  TSpoolResult result;
  const std::string temporary =
      dir + "/" + kTemporaryPrefix + std::to_string(::getpid()) + "-" + std::to_string(++sequence) + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    result.error = SystemError("cannot create a file in the spool directory " + dir);
    return result;
  }
  const bool written = WriteAll(fd, bytes) && ::fsync(fd) == 0;
  const int writeErrno = errno;
  const bool closed = ::close(fd) == 0;
  if (!written || !closed) {
    errno = written ? errno : writeErrno;
    result.error = SystemError("cannot write the spool file");
    ::unlink(temporary.c_str());
    return result;
  }
  if (!Publish(temporary, dir, stem, result.path)) {
    result.error = SystemError("cannot name the spool file");
    ::unlink(temporary.c_str());
    return result;
  }
  if (!SyncDirectory(dir)) {
    result.error = SystemError("cannot flush the spool directory");
    ::unlink(result.path.c_str());
    return result;
  }
  result.ok = true;
  return result;
}

void RemoveSpoolTemporaries(const std::string& dir) {
  DIR* entries = ::opendir(dir.c_str());
  if (!entries) return;
  const std::size_t prefixLength = std::strlen(kTemporaryPrefix);
  while (const dirent* entry = ::readdir(entries)) {
    if (std::strncmp(entry->d_name, kTemporaryPrefix, prefixLength) == 0) {
      ::unlink((dir + "/" + entry->d_name).c_str());
    }
  }
  ::closedir(entries);
}

}  // namespace lumarix::printserver
