#include "LumarixUtil.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "support/tick_control.h"

namespace lumarix {
namespace {

using testing::TempDirTest;

class LumarixUtil : public TempDirTest {};

TEST_F(LumarixUtil, ReadFileTextAtTheLimitReadsWholeAndOneOverFailsOnlyWhenStrict) {
  std::string limitBytes(4096, 'x');
  limitBytes[17] = '\0';
  std::string atLimit = dir.Write("limit", limitBytes);
  std::string over = dir.Write("over", limitBytes + "y");

  std::string text = "old";
  EXPECT_TRUE(ReadFileText(atLimit, 4096, true, text));
  EXPECT_EQ(text, limitBytes);
  EXPECT_TRUE(ReadFileText(atLimit, 4096, false, text));
  EXPECT_EQ(text, limitBytes);

  text = "old";
  EXPECT_FALSE(ReadFileText(over, 4096, true, text));
  EXPECT_EQ(text, "");
  EXPECT_TRUE(ReadFileText(over, 4096, false, text));
  EXPECT_EQ(text, limitBytes);
}

TEST_F(LumarixUtil, ReadFileTextEmptyFileGivesEmptyTextAndMissingFileLeavesOutputAlone) {
  std::string text = "old";
  EXPECT_TRUE(ReadFileText(dir.Write("empty", ""), 100, true, text));
  EXPECT_EQ(text, "");

  text = "untouched";
  EXPECT_FALSE(ReadFileText(dir.File("missing"), 100, true, text));
  EXPECT_EQ(text, "untouched");
}

TEST_F(LumarixUtil, ReadFileTextReadHandleTextAlwaysClosesTheHandle) {
  HANDLE handle = OpenForRead(dir.Write("f", "abc"));
  ASSERT_FALSE(IsBadHandle(handle));
  std::string text;
  EXPECT_TRUE(ReadHandleText(handle, 10, true, text));
  EXPECT_EQ(text, "abc");
  EXPECT_FALSE(CloseFileHandle(handle));  // already closed

  handle = OpenForRead(dir.Write("big", "abcdef"));
  text = "old";
  EXPECT_FALSE(ReadHandleText(handle, 3, true, text));
  EXPECT_EQ(text, "");
  EXPECT_FALSE(CloseFileHandle(handle));
}

TEST_F(LumarixUtil, ReadFileTextReadHandleTextOfABadHandleFailsWithEmptyText) {
  std::string text = "old";
  EXPECT_FALSE(ReadHandleText(INVALID_HANDLE_VALUE, 10, true, text));
  EXPECT_EQ(text, "");
}

TEST_F(LumarixUtil, AppendCreatesMissingFilesAndAppendsAfterExistingContents) {
  std::string path = dir.File("log.txt");
  EXPECT_TRUE(AppendToFile("", path, true));
  EXPECT_TRUE(FileExists(path));
  EXPECT_EQ(dir.Read("log.txt"), "");

  EXPECT_TRUE(AppendToFile("one\r\n", path, true));
  EXPECT_TRUE(AppendToFile(std::string("two\0\r\n", 6), path, false));
  EXPECT_EQ(dir.Read("log.txt"), std::string("one\r\ntwo\0\r\n", 11));
}

TEST_F(LumarixUtil, AppendOpenForAppendWritesAtTheEnd) {
  std::string path = dir.Write("f", "head-");
  HANDLE handle = OpenForAppend(path, true);
  ASSERT_FALSE(IsBadHandle(handle));
  EXPECT_TRUE(WriteText("tail", handle));
  EXPECT_TRUE(WriteText("", handle));
  EXPECT_TRUE(CloseFileHandle(handle));
  EXPECT_EQ(dir.Read("f"), "head-tail");
}

TEST_F(LumarixUtil, AppendExclusiveAppendKeepsOthersOut) {
  std::string path = dir.File("excl");
  HANDLE handle = OpenForAppend(path, false);
  ASSERT_FALSE(IsBadHandle(handle));
  std::string text;
  EXPECT_FALSE(ReadFileText(path, 10, true, text));
  EXPECT_FALSE(AppendToFile("x", path, true));
  EXPECT_TRUE(CloseFileHandle(handle));
  EXPECT_TRUE(AppendToFile("x", path, true));
}

TEST_F(LumarixUtil, AppendFailsWhereNoFileCanBeMade) {
  EXPECT_FALSE(AppendToFile("x", dir.File("no-such-dir/f"), true));
  EXPECT_TRUE(IsBadHandle(OpenForAppend(dir.path().string(), true)));
}

TEST_F(LumarixUtil, FileExistsAndFileTimeOf) {
  EXPECT_TRUE(FileExists(dir.path().string()));
  EXPECT_TRUE(FileExists(dir.Write("f", "1")));
  EXPECT_FALSE(FileExists(dir.File("missing")));

  EXPECT_EQ(FileTimeOf(dir.File("missing")), 0u);
  std::uint64_t time = FileTimeOf(dir.File("f"));
  // After 1 January 2020 in FILETIME units: a real last-write time, not a made-up one.
  EXPECT_GT(time, 132223104000000000ull);
}

TEST_F(LumarixUtil, IsBadHandleOnlyZeroAndInvalidHandleValue) {
  EXPECT_TRUE(IsBadHandle(nullptr));
  EXPECT_TRUE(IsBadHandle(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(IsBadHandle(reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(4))));
  EXPECT_FALSE(IsBadHandle(reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2))));
}

// As Windows documents them: FILE_SHARE_READ is 1, FILE_SHARE_WRITE 2 and FILE_SHARE_DELETE 4,
// the last known to the NT family only (Windows 95, 98 and Me refuse an open that asks for it).
struct ShareFact {
  DWORD platformId;
  const char* family;
  DWORD shareMode;
};
const ShareFact kShareFacts[] = {
    {0, "Win32s", 0x3},
    {1, "Windows 95, 98 and Me", 0x3},
    {2, "the NT family", 0x7},
};

TEST_F(LumarixUtil, ShareModeIsAllTheRunningFamilyKnowsAndAdmitsTheClientsOwnOpens) {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  ASSERT_TRUE(GetVersionExA(&version));
  const ShareFact* fact = nullptr;
  for (const ShareFact& row : kShareFacts) {
    if (row.platformId == version.dwPlatformId) fact = &row;
  }
  ASSERT_NE(fact, nullptr) << "platform " << version.dwPlatformId;
  EXPECT_EQ(fact->platformId, 2u) << "Windows, Wine and the POSIX layer are of the NT family";
  EXPECT_EQ(ShareMode(), fact->shareMode) << fact->family;

  // A file the client reads can still be appended to by the client, and the other way round.
  const std::string path = dir.Write("shared", "a");
  HANDLE reader = OpenForRead(path);
  ASSERT_FALSE(IsBadHandle(reader));
  HANDLE appender = OpenForAppend(path, true);
  EXPECT_FALSE(IsBadHandle(appender));
  HANDLE secondReader = OpenForRead(path);
  EXPECT_FALSE(IsBadHandle(secondReader));
  for (HANDLE handle : {reader, appender, secondReader}) {
    if (!IsBadHandle(handle)) {
      EXPECT_TRUE(CloseFileHandle(handle));
    }
  }
}

TEST_F(LumarixUtil, LogTextControlBytesBecomeTheirDecimalValue) {
  EXPECT_EQ(LogText(""), "");
  EXPECT_EQ(LogText("plain text ~\x7f\x80\xff"), "plain text ~\x7f\x80\xff");
  EXPECT_EQ(LogText("\t\n"), "#9#10");
  EXPECT_EQ(LogText(std::string("\0---\0+++\0", 9)), "#0---#0+++#0");
  EXPECT_EQ(LogText("\r\x18\x1f"), "#13#24#31");
  std::string allControl(100, '\x1f');
  EXPECT_EQ(LogText(allControl).size(), 300u);
}

#if TICK_CONTROL_AVAILABLE
TEST_F(LumarixUtil, TicksSinceIsRightAcrossTheWrap) {
  testing::ScopedTickCount tick(4294967000u);
  std::uint32_t start = GetTickCount();
  tick.Set(500);
  EXPECT_EQ(TicksSince(start), 796u);
  tick.Set(start);
  EXPECT_EQ(TicksSince(start), 0u);
}
#endif

TEST_F(LumarixUtil, TicksSinceGrowsWithTheRealClock) {
  std::uint32_t start = GetTickCount();
  EXPECT_LT(TicksSince(start), 60000u);
  EXPECT_LT(TicksSince(start - 5000), 65000u);
  EXPECT_GE(TicksSince(start - 5000), 5000u);
}

}  // namespace
}  // namespace lumarix
