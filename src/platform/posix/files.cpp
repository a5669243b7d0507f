// Files on POSIX: CreateFileA with Windows share modes and creation dispositions, and the
// handle-based reads, writes, seeks and queries over a file descriptor.
//
// A FIFO or device opens without waiting for a peer (POSIX would block a FIFO's open until
// its other end is opened), and like Windows' pipes and character devices it has no size:
// GetFileSize refuses it, so that a reader of whole files fails at once.
//
// Share modes are kept among the handles of this process: an open is refused with
// ERROR_SHARING_VIOLATION when its access is not shared by an earlier open of the same file
// (device and inode) or its share flags do not admit an earlier open's access, as Windows does.

#include "platform/posix/c_library.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

#include "kept_alive.h"
#include "platform/posix/handles.h"

namespace win32 {
namespace {

struct FileKey {
  dev_t device;
  ino_t inode;
  bool operator==(const FileKey&) const = default;
};

struct FileKeyHash {
  std::size_t operator()(const FileKey& key) const {
    return std::hash<unsigned long long>()(key.inode) ^ (std::hash<unsigned long long>()(key.device) << 1);
  }
};

struct OpenGrant {
  DWORD access;
  DWORD share;
};

// The access and share flags of every open file handle of the process.
class ShareTable {
 public:
  bool Admit(const FileKey& key, OpenGrant grant, std::uint64_t id) {
    std::lock_guard guard(lock_);
    auto& opens = files_[key];
    for (const auto& [otherId, other] : opens) {
      if (!Compatible(grant, other)) return false;
    }
    opens.emplace(id, grant);
    return true;
  }

  void Release(const FileKey& key, std::uint64_t id) {
    std::lock_guard guard(lock_);
    auto found = files_.find(key);
    if (found == files_.end()) return;
    found->second.erase(id);
    if (found->second.empty()) files_.erase(found);
  }

 private:
  static bool Compatible(OpenGrant a, OpenGrant b) {
    return Shares(a.share, b.access) && Shares(b.share, a.access);
  }
  static bool Shares(DWORD share, DWORD access) {
    if ((access & GENERIC_READ) && !(share & FILE_SHARE_READ)) return false;
    if ((access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return false;
    return true;
  }

  std::mutex lock_;
  std::unordered_map<FileKey, std::unordered_map<std::uint64_t, OpenGrant>, FileKeyHash> files_;
};

ShareTable& Shares() {
  static lumarix::KeptAlive<ShareTable> table;
  return *table;
}

std::uint64_t NextOpenId() {
  static std::atomic<std::uint64_t> next{1};
  return next++;
}

class FileObject final : public posix::HandleObject {
 public:
  FileObject(int fd, FileKey key, std::uint64_t id, bool owned = true)
      : fd_(fd), key_(key), id_(id), owned_(owned) {}
  ~FileObject() override { Close(); }

  int fd() const { return fd_; }

  bool Close() override {
    if (fd_ < 0) return true;
    if (!owned_) {
      fd_ = -1;
      return true;
    }
    Shares().Release(key_, id_);
    int result = ::close(fd_);
    fd_ = -1;
    if (result != 0) posix::SetLastErrorFromErrno();
    return result == 0;
  }

 private:
  int fd_;
  FileKey key_;
  std::uint64_t id_;
  bool owned_;
};

int OpenFlags(DWORD access, DWORD disposition) {
  int flags = O_CLOEXEC;
  bool reads = access & GENERIC_READ;
  bool writes = access & GENERIC_WRITE;
  flags |= reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
  switch (disposition) {
    case CREATE_NEW: return flags | O_CREAT | O_EXCL;
    case CREATE_ALWAYS: return flags | O_CREAT | O_TRUNC;
    case OPEN_EXISTING: return flags;
    case OPEN_ALWAYS: return flags | O_CREAT;
    case TRUNCATE_EXISTING: return flags | O_TRUNC;
    default: return -1;
  }
}

// Truncation waits until the share check passed, so a refused open changes nothing. The open
// does not wait for a FIFO's other end; the handle then blocks as any other.
int OpenWithoutTruncation(const char* path, int flags) {
  int fd = ::open(path, (flags & ~O_TRUNC) | O_NONBLOCK, 0666);
  if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

// The error of a failed open or query of `path`: as Windows, a missing directory on the way is
// ERROR_PATH_NOT_FOUND and only a missing last component ERROR_FILE_NOT_FOUND.
void SetLastErrorForPath(const char* path) {
  int error = errno;
  if (error == ENOENT) {
    std::string parent(path);
    std::size_t slash = parent.find_last_of('/');
    parent = slash == std::string::npos ? "." : slash == 0 ? "/" : parent.substr(0, slash);
    struct stat info {};
    if (::stat(parent.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return;
    }
  }
  SetLastError(posix::ErrorFromErrno(error));
}

std::shared_ptr<FileObject> FileOf(HANDLE handle) { return posix::HandleAs<FileObject>(handle); }

// Windows FILETIME: 100-nanosecond intervals since 1 January 1601 (UTC).
FILETIME FileTimeFrom(const struct timespec& time) {
  constexpr std::uint64_t kSecondsFrom1601To1970 = 11644473600ull;
  std::uint64_t value = (static_cast<std::uint64_t>(time.tv_sec) + kSecondsFrom1601To1970) * 10000000ull +
                        static_cast<std::uint64_t>(time.tv_nsec) / 100;
  return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

}  // namespace

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE) {
  int flags = OpenFlags(desiredAccess, creationDisposition);
  if (fileName == nullptr || flags < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (*fileName == '\0') {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  struct stat before {};
  bool existed = ::stat(fileName, &before) == 0;
  if (existed && S_ISDIR(before.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  int fd = OpenWithoutTruncation(fileName, flags);
  if (fd < 0) {
    SetLastErrorForPath(fileName);
    return INVALID_HANDLE_VALUE;
  }
  struct stat info {};
  ::fstat(fd, &info);
  FileKey key{info.st_dev, info.st_ino};
  std::uint64_t id = NextOpenId();
  if (!Shares().Admit(key, OpenGrant{desiredAccess, shareMode}, id)) {
    ::close(fd);
    SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  if ((flags & O_TRUNC) && ::ftruncate(fd, 0) != 0) {
    posix::SetLastErrorFromErrno();
    Shares().Release(key, id);
    ::close(fd);
    return INVALID_HANDLE_VALUE;
  }
  if (flagsAndAttributes & FILE_FLAG_SEQUENTIAL_SCAN) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  bool reportsExisting = creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS;
  SetLastError(existed && reportsExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return posix::InsertHandle(std::make_shared<FileObject>(fd, key, id));
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED) {
  if (bytesRead) *bytesRead = 0;
  auto object = FileOf(file);
  if (!object) return FALSE;
  DWORD total = 0;
  while (total < bytesToRead) {
    ssize_t got = ::read(object->fd(), static_cast<char*>(buffer) + total, bytesToRead - total);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      posix::SetLastErrorFromErrno();
      if (bytesRead) *bytesRead = total;
      return FALSE;
    }
    if (got == 0) break;  // end of file: success with fewer bytes, as on Windows
    total += static_cast<DWORD>(got);
  }
  if (bytesRead) *bytesRead = total;
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, LPOVERLAPPED) {
  if (bytesWritten) *bytesWritten = 0;
  auto object = FileOf(file);
  if (!object) return FALSE;
  DWORD total = 0;
  while (total < bytesToWrite) {
    ssize_t put = ::write(object->fd(), static_cast<const char*>(buffer) + total, bytesToWrite - total);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      posix::SetLastErrorFromErrno();
      if (bytesWritten) *bytesWritten = total;
      return FALSE;
    }
    total += static_cast<DWORD>(put);
  }
  if (bytesWritten) *bytesWritten = total;
  return TRUE;
}

DWORD GetFileSize(HANDLE file, LPDWORD fileSizeHigh) {
  auto object = FileOf(file);
  struct stat info {};
  if (!object || ::fstat(object->fd(), &info) != 0) {
    if (object) posix::SetLastErrorFromErrno();
    return INVALID_FILE_SIZE;
  }
  if (!S_ISREG(info.st_mode)) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return INVALID_FILE_SIZE;
  }
  auto size = static_cast<std::uint64_t>(info.st_size);
  if (fileSizeHigh) *fileSizeHigh = static_cast<DWORD>(size >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(size);
}

BOOL GetFileTime(HANDLE file, LPFILETIME creationTime, LPFILETIME lastAccessTime, LPFILETIME lastWriteTime) {
  auto object = FileOf(file);
  struct stat info {};
  if (!object) return FALSE;
  if (::fstat(object->fd(), &info) != 0) {
    posix::SetLastErrorFromErrno();
    return FALSE;
  }
  // POSIX keeps no creation time; the status change time stands in for it.
  if (creationTime) *creationTime = FileTimeFrom(info.st_ctim);
  if (lastAccessTime) *lastAccessTime = FileTimeFrom(info.st_atim);
  if (lastWriteTime) *lastWriteTime = FileTimeFrom(info.st_mtim);
  return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distanceToMove, PLONG distanceToMoveHigh, DWORD moveMethod) {
  auto object = FileOf(file);
  if (!object) return INVALID_SET_FILE_POINTER;
  int whence = moveMethod == FILE_BEGIN ? SEEK_SET : moveMethod == FILE_CURRENT ? SEEK_CUR
             : moveMethod == FILE_END   ? SEEK_END : -1;
  if (whence < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  // Without a high part the distance is a signed 32-bit value; with one, a signed 64-bit value.
  std::int64_t distance = distanceToMoveHigh
      ? static_cast<std::int64_t>((static_cast<std::uint64_t>(static_cast<DWORD>(*distanceToMoveHigh)) << 32) |
                                  static_cast<DWORD>(distanceToMove))
      : distanceToMove;
  off_t position = ::lseek(object->fd(), distance, whence);
  if (position < 0) {
    SetLastError(errno == EINVAL ? ERROR_NEGATIVE_SEEK : posix::ErrorFromErrno(errno));
    return INVALID_SET_FILE_POINTER;
  }
  auto where = static_cast<std::uint64_t>(position);
  if (distanceToMoveHigh) *distanceToMoveHigh = static_cast<LONG>(where >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(where);
}

DWORD GetFileAttributesA(LPCSTR fileName) {
  struct stat info {};
  if (fileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (::stat(fileName, &info) != 0) {
    SetLastErrorForPath(fileName);
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD attributes = S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (::access(fileName, W_OK) != 0) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

// ---- Standard streams

HANDLE posix::InsertStreamHandle(int fd) {
  struct stat info {};
  ::fstat(fd, &info);
  return InsertHandle(std::make_shared<FileObject>(fd, FileKey{info.st_dev, info.st_ino}, 0, false));
}

// ---- Finding files
//
// The pattern's last component may hold `*` (any run of characters) and `?` (one character);
// letters match without regard to ASCII case, as on Windows. Every entry is reported, "." and
// ".." and directories included: filtering by attributes is the caller's, as on Windows.

namespace {

char FoldCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool MatchesPattern(std::string_view name, std::string_view pattern) {
  std::size_t n = 0, p = 0;
  std::size_t starAt = std::string_view::npos, resumeAt = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || FoldCase(pattern[p]) == FoldCase(name[n]))) {
      ++n;
      ++p;
    } else if (p < pattern.size() && pattern[p] == '*') {
      starAt = p++;
      resumeAt = n;
    } else if (starAt != std::string_view::npos) {
      p = starAt + 1;
      n = ++resumeAt;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

class FindObject final : public posix::HandleObject {
 public:
  FindObject(std::string directory, std::deque<std::string> names)
      : directory_(std::move(directory)), names_(std::move(names)) {}

  // Fills `data` with the next entry that can still be looked at; false when none is left.
  bool Next(WIN32_FIND_DATAA& data) {
    while (!names_.empty()) {
      std::string name = std::move(names_.front());
      names_.pop_front();
      if (Describe(name, data)) return true;
    }
    return false;
  }

 private:
  bool Describe(const std::string& name, WIN32_FIND_DATAA& data) const {
    std::string path = directory_ + "/" + name;
    struct stat info {};
    if (name.size() >= MAX_PATH || ::stat(path.c_str(), &info) != 0) return false;
    std::memset(&data, 0, sizeof data);
    data.dwFileAttributes = S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (::access(path.c_str(), W_OK) != 0) data.dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
    data.ftCreationTime = FileTimeFrom(info.st_ctim);
    data.ftLastAccessTime = FileTimeFrom(info.st_atim);
    data.ftLastWriteTime = FileTimeFrom(info.st_mtim);
    auto size = static_cast<std::uint64_t>(info.st_size);
    data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(size);
    std::memcpy(data.cFileName, name.c_str(), name.size() + 1);
    return true;
  }

  std::string directory_;
  std::deque<std::string> names_;
};

}  // namespace

HANDLE FindFirstFileA(LPCSTR fileName, LPWIN32_FIND_DATAA findFileData) {
  if (fileName == nullptr || findFileData == nullptr || *fileName == '\0') {
    SetLastError(fileName && *fileName == '\0' ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string_view path(fileName);
  std::size_t slash = path.find_last_of('/');
  std::string directory = slash == std::string_view::npos ? "." : slash == 0 ? "/" : std::string(path.substr(0, slash));
  std::string_view pattern = slash == std::string_view::npos ? path : path.substr(slash + 1);
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) {
    SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : posix::ErrorFromErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  std::deque<std::string> names;
  while (const struct dirent* entry = ::readdir(dir)) {
    if (MatchesPattern(entry->d_name, pattern)) names.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());  // a stable order, as NTFS gives
  auto search = std::make_shared<FindObject>(std::move(directory), std::move(names));
  if (!search->Next(*findFileData)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return posix::InsertHandle(std::move(search));
}

BOOL FindNextFileA(HANDLE findFile, LPWIN32_FIND_DATAA findFileData) {
  auto search = posix::HandleAs<FindObject>(findFile);
  if (!search) return FALSE;
  if (findFileData == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!search->Next(*findFileData)) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  return TRUE;
}

BOOL FindClose(HANDLE findFile) {
  if (!posix::HandleAs<FindObject>(findFile)) return FALSE;
  return CloseHandle(findFile);
}

}  // namespace win32
