// The library's log: its level, its echo on standard output, its stamped lines in a file that
// may change name, and the error file that grows whatever the level.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "LumarixSocket.h"
#include "LumarixUtil.h"
#include "socket/internal.h"
#include "support/scoped_log.h"
#include "support/socket_fixture.h"
#include "support/temp_dir.h"

namespace lumarix {
namespace {

using namespace socklib;
using testing::ScopedCurrentDirectory;
using testing::ScopedLog;
using testing::TempDir;

// "DD.MM.YYYY HH:MM:SS [tid] text" CR LF, alone.
bool IsStampedLine(const std::string& line, const std::string& tid, const std::string& text) {
  const std::string pattern = "00.00.0000 00:00:00";
  if (line.size() < pattern.size() || line.substr(pattern.size()) != " [" + tid + "] " + text + "\r\n") return false;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
    if ((pattern[i] == '0') != digit || (!digit && line[i] != pattern[i])) return false;
  }
  return true;
}

TEST(SocketLog, LevelZeroWritesNothingButTheErrorFileStillGrows) {
  TempDir dir;
  ScopedCurrentDirectory here(dir.path());
  ScopedLog log(0, true, dir.File("log.txt"));
  ::testing::internal::CaptureStdout();
  SOCKET_LOG(1, "FATAL: nothing %d", 1);
  LogLine("nothing either");
  ErrorFileLine("Socket library error: attempting to close refcnt=0\r\n");
  ErrorFileLine("Socket library error: attempting to close refcnt=0\r\n");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(FileExists(dir.File("log.txt")));
  EXPECT_EQ(dir.Read(kErrorFileName),
            "Socket library error: attempting to close refcnt=0\r\nSocket library error: attempting to close refcnt=0\r\n");
}

TEST(SocketLog, EchoWithoutFileWritesUpToTheLevelOnStandardOutput) {
  ScopedLog log(3, true);
  ::testing::internal::CaptureStdout();
  SOCKET_LOG(3, "Allocated channel %d", 4);
  SOCKET_LOG(4, "Identified message: socket send event for channel %d", 4);
  SOCKET_LOG(1, "Socket library is %s", "terminated");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Allocated channel 4\nSocket library is terminated\n");
}

TEST(SocketLog, LinesAreStampedAndAChangedFileNameMovesTheLog) {
  TempDir dir;
  ScopedLog log(2, false, dir.File("first.txt"));
  SOCKET_LOG(2, "one %s", "x");
  LogFileName = dir.File("second.txt");
  SOCKET_LOG(2, "two");
  SOCKET_LOG(3, "three is above the level");
  const std::string tid = std::to_string(GetCurrentThreadId());
  EXPECT_TRUE(IsStampedLine(dir.Read("first.txt"), tid, "one x")) << dir.Read("first.txt");
  EXPECT_TRUE(IsStampedLine(dir.Read("second.txt"), tid, "two")) << dir.Read("second.txt");
}

}  // namespace
}  // namespace lumarix
