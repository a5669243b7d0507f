// Conformance of the find-file calls (the "Finding files" part of files.cpp): these run against
// Wine's real implementation as well as our POSIX one.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "platform/winapi.h"
#include "support/temp_dir.h"

namespace lumarix {
namespace {

using testing::TempDirTest;

class PlatformFind : public TempDirTest {
 protected:
  // The names a search finds, "." and ".." left out.
  std::set<std::string> Find(const std::string& pattern, DWORD* error = nullptr) {
    std::set<std::string> names;
    WIN32_FIND_DATAA data{};
    HANDLE search = FindFirstFileA(dir.File(pattern).c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) {
      if (error) *error = GetLastError();
      return names;
    }
    int guard = 0;
    do {
      std::string name = data.cFileName;
      if (name != "." && name != "..") names.insert(name);
    } while (++guard < 1000 && FindNextFileA(search, &data));
    if (error) *error = GetLastError();
    EXPECT_TRUE(FindClose(search));
    return names;
  }
};

TEST_F(PlatformFind, WildcardsMatchWithoutRegardToCase) {
  dir.Write("Team05.DAT", "x");
  dir.Write("team05old.dat", "x");
  dir.Write("team5.dat", "x");
  dir.Write("other.txt", "x");
  DWORD error = 0;
  EXPECT_EQ(Find("team05*.dat", &error), (std::set<std::string>{"Team05.DAT", "team05old.dat"}));
  EXPECT_EQ(error, ERROR_NO_MORE_FILES);
  EXPECT_EQ(Find("TEAM?.dat"), (std::set<std::string>{"team5.dat"}));
  EXPECT_EQ(Find("*.dat").size(), 3u);
  EXPECT_EQ(Find("other.txt"), (std::set<std::string>{"other.txt"}));
}

TEST_F(PlatformFind, DirectoriesAreReportedWithTheirAttribute) {
  std::filesystem::create_directory(dir.path() / "sub.dat");
  dir.Write("file.dat", "hello");
  WIN32_FIND_DATAA data{};
  HANDLE search = FindFirstFileA(dir.File("*.dat").c_str(), &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  int directories = 0, files = 0;
  int guard = 0;
  do {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ++directories;
      EXPECT_STREQ(data.cFileName, "sub.dat");
    } else {
      ++files;
      EXPECT_STREQ(data.cFileName, "file.dat");
      EXPECT_EQ(data.nFileSizeLow, 5u);
    }
  } while (++guard < 10 && FindNextFileA(search, &data));
  EXPECT_TRUE(FindClose(search));
  EXPECT_EQ(directories, 1);
  EXPECT_EQ(files, 1);
}

TEST_F(PlatformFind, NoMatchAndBadHandles) {
  DWORD error = 0;
  EXPECT_TRUE(Find("*.dat", &error).empty());
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(Find("missing/*.dat", &error).empty());
  EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
  WIN32_FIND_DATAA data{};
  EXPECT_FALSE(FindNextFileA(INVALID_HANDLE_VALUE, &data));
  EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
}

}  // namespace
}  // namespace lumarix
