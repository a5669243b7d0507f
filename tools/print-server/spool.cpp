#include "spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "LumarixUtil.h"

namespace lumarix::printserver {
namespace {

// The server runs on Linux only, where the system's separator is the POSIX one its paths need.
static_assert(kPathSeparator == '/');

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
bool NameWithoutReplacing(const std::string& temporary, const std::string& dir, const std::string& stem, std::string& path) {
  for (int attempt = 1; attempt < 100000; ++attempt) {
    path = dir + kPathSeparator + stem + (attempt == 1 ? "" : "-" + std::to_string(attempt)) + ".txt";
    if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EEXIST) return false;
  }
  errno = EEXIST;
  return false;
}

}  // namespace

TSpoolBatch::~TSpoolBatch() {
  for (const TPending& file : pending_) {
    if (file.fd >= 0) ::close(file.fd);
    if (!file.temporary.empty()) ::unlink(file.temporary.c_str());
  }
}

std::string SpoolTemporaryName(const std::string& dir, const std::string& suffix) {
  static std::atomic<unsigned> sequence{0};
  return dir + kPathSeparator + kTemporaryPrefix + std::to_string(::getpid()) + "-" + std::to_string(++sequence) + suffix;
}

bool WriteSpoolTemporary(const std::string& path, const std::string& bytes, std::string& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    const std::size_t slash = path.rfind(kPathSeparator);
    error = SystemError("cannot create a file in the spool directory " + path.substr(0, slash));
    return false;
  }
  const bool written = WriteAll(fd, bytes);
  if (!written) error = SystemError("cannot write the spool file");
  if (::close(fd) != 0 && written) {
    error = SystemError("cannot write the spool file");
    ::unlink(path.c_str());
    return false;
  }
  if (!written) ::unlink(path.c_str());
  return written;
}

int TSpoolBatch::Add(const std::string& stem, const std::string& bytes, std::string& error) {
  TPending file;
  file.stem = stem;
  file.temporary = SpoolTemporaryName(dir_, ".tmp");
  file.fd = ::open(file.temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (file.fd < 0) {
    error = SystemError("cannot create a file in the spool directory " + dir_);
    return -1;
  }
  if (!WriteAll(file.fd, bytes)) {
    error = SystemError("cannot write the spool file");
    ::close(file.fd);
    ::unlink(file.temporary.c_str());
    return -1;
  }
  pending_.push_back(file);
  return static_cast<int>(pending_.size()) - 1;
}

std::vector<TSpoolResult> TSpoolBatch::Publish() {
  std::vector<TSpoolResult> results(pending_.size());
  bool anyPublished = false;
  for (std::size_t i = 0; i < pending_.size(); ++i) {
    TPending& file = pending_[i];
    TSpoolResult& result = results[i];
    const bool flushed = ::fsync(file.fd) == 0;
    const int flushErrno = errno;
    const bool closed = ::close(file.fd) == 0;
    file.fd = -1;
    if (!flushed || !closed) {
      errno = flushed ? errno : flushErrno;
      result.error = SystemError("cannot write the spool file");
    } else if (!NameWithoutReplacing(file.temporary, dir_, file.stem, result.path)) {
      result.error = SystemError("cannot name the spool file");
    } else {
      file.temporary.clear();
      result.ok = anyPublished = true;
      continue;
    }
    ::unlink(file.temporary.c_str());
    file.temporary.clear();
  }
  if (anyPublished && !SyncDirectory(dir_)) {
    const std::string error = SystemError("cannot flush the spool directory");
    for (TSpoolResult& result : results) {
      if (!result.ok) continue;
      ::unlink(result.path.c_str());
      result = TSpoolResult{false, {}, error};
    }
  }
  pending_.clear();
  return results;
}

void RemoveSpoolTemporaries(const std::string& dir) {
  DIR* entries = ::opendir(dir.c_str());
  if (!entries) return;
  const std::size_t prefixLength = std::strlen(kTemporaryPrefix);
  while (const dirent* entry = ::readdir(entries)) {
    if (std::strncmp(entry->d_name, kTemporaryPrefix, prefixLength) == 0) {
      ::unlink((dir + kPathSeparator + entry->d_name).c_str());
    }
  }
  ::closedir(entries);
}

}  // namespace lumarix::printserver
