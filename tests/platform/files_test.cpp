// Conformance of the Win32 file subset: these run against Wine's real implementation as well as
// our POSIX one, so the two are held to the same behaviour.
#include <gtest/gtest.h>

#include "platform/winapi.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#endif
#include "support/temp_dir.h"

namespace lumarix {
namespace {

using testing::TempDirTest;

class PlatformFiles : public TempDirTest {
 protected:
  HANDLE Open(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
    return CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
};

TEST_F(PlatformFiles, CreationDispositions) {
  std::string path = dir.File("f");
  EXPECT_EQ(Open(path, GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  HANDLE created = Open(path, GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(created, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(created, "hello", 5, &written, nullptr));
  EXPECT_EQ(written, 5u);
  EXPECT_TRUE(CloseHandle(created));

  EXPECT_EQ(Open(path, GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);

  HANDLE existing = Open(path, GENERIC_READ, 0, OPEN_ALWAYS);
  ASSERT_NE(existing, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(GetFileSize(existing, nullptr), 5u);
  EXPECT_TRUE(CloseHandle(existing));

  HANDLE truncated = Open(path, GENERIC_WRITE, 0, TRUNCATE_EXISTING);
  ASSERT_NE(truncated, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileSize(truncated, nullptr), 0u);
  EXPECT_TRUE(CloseHandle(truncated));

  HANDLE again = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(again, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(CloseHandle(again));

  EXPECT_EQ(Open(dir.File("missing-dir/f"), GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(PlatformFiles, ShareModesAdmitOnlyWhatEarlierOpensShare) {
  std::string path = dir.Write("shared", "abc");
  HANDLE reader = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);

  HANDLE secondReader = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_NE(secondReader, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(secondReader));

  EXPECT_EQ(Open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  // A reader that does not share reading with the first one is refused as well.
  EXPECT_EQ(Open(path, GENERIC_READ, FILE_SHARE_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  // A refused CREATE_ALWAYS leaves the contents alone.
  EXPECT_EQ(Open(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileSize(reader, nullptr), 3u);

  EXPECT_TRUE(CloseHandle(reader));
  HANDLE writer = Open(path, GENERIC_WRITE, 0, OPEN_EXISTING);
  EXPECT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(writer));
}

TEST_F(PlatformFiles, ReadsStopAtTheEndAndSeeksMoveThePointer) {
  std::string path = dir.Write("data", "0123456789");
  HANDLE file = Open(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  char buffer[32] = {};
  DWORD done = 0;
  EXPECT_EQ(SetFilePointer(file, 7, nullptr, FILE_BEGIN), 7u);
  EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "789");
  EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(done, 0u);

  EXPECT_EQ(SetFilePointer(file, -2, nullptr, FILE_END), 8u);
  EXPECT_EQ(SetFilePointer(file, -3, nullptr, FILE_CURRENT), 5u);
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_END), 10u);
  EXPECT_TRUE(WriteFile(file, "ab", 2, &done, nullptr));
  DWORD high = 99;
  EXPECT_EQ(GetFileSize(file, &high), 12u);
  EXPECT_EQ(high, 0u);

  EXPECT_EQ(SetFilePointer(file, -100, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
  EXPECT_TRUE(CloseHandle(file));
}

TEST_F(PlatformFiles, LastWriteTimeAndAttributes) {
  std::string path = dir.Write("t", "x");
  HANDLE file = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  FILETIME creation{}, access{}, write{};
  EXPECT_TRUE(GetFileTime(file, &creation, &access, &write));
  EXPECT_NE(write.dwHighDateTime, 0u);
  EXPECT_TRUE(CloseHandle(file));

  EXPECT_NE(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesA(dir.path().string().c_str()) & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesA(dir.File("none").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(PlatformFiles, WrongHandlesFailCleanly) {
  HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(0x7FFFFF0));
  DWORD done = 1;
  char buffer[4];
  EXPECT_FALSE(ReadFile(bogus, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(WriteFile(bogus, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(GetFileSize(bogus, nullptr), INVALID_FILE_SIZE);
  EXPECT_FALSE(CloseHandle(bogus));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  HANDLE file = Open(dir.Write("once", "1"), GENERIC_READ, 0, OPEN_EXISTING);
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_FALSE(CloseHandle(file));
  EXPECT_FALSE(ReadFile(file, buffer, 1, &done, nullptr));

  // Opening a directory as a file is refused.
  EXPECT_EQ(Open(dir.path().string(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

#if !defined(_WIN32)
// A FIFO or a device is no regular file: it opens without waiting for a writer and has no
// size, so that a reader of whole files fails at once.
TEST_F(PlatformFiles, AFifoOrADeviceOpensAtOnceAndHasNoSize) {
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, std::string("/dev/null")}) {
    auto opening =
        std::async(std::launch::async, [&] { return Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING); });
    if (opening.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << path << ": the open waits for a writer";
      ::close(::open(path.c_str(), O_WRONLY | O_NONBLOCK));  // lets the open end
    }
    HANDLE handle = opening.get();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << path;
    EXPECT_EQ(GetFileSize(handle, nullptr), INVALID_FILE_SIZE) << path;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION) << path;
    EXPECT_TRUE(CloseHandle(handle));
  }
}
#endif

}  // namespace
}  // namespace lumarix
