// Conformance of the environment and program-path calls: these run against Wine's real
// implementation as well as our POSIX one.
#include <gtest/gtest.h>

#include <string>

#include "platform/winapi.h"
#include "support/environment.h"

namespace lumarix {
namespace {

TEST(PlatformEnvironment, ValuesSizesAndUnsetVariables) {
  testing::ScopedEnvironment set("LUMARIX_TEST_VALUE", "abcdef");
  char buffer[16] = "untouched";
  EXPECT_EQ(GetEnvironmentVariableA("LUMARIX_TEST_VALUE", buffer, sizeof buffer), 6u);
  EXPECT_STREQ(buffer, "abcdef");
  char small[6] = "xxxxx";
  EXPECT_EQ(GetEnvironmentVariableA("LUMARIX_TEST_VALUE", small, sizeof small), 7u);  // the size it needs
  testing::ScopedEnvironment unset("LUMARIX_TEST_UNSET", nullptr);
  EXPECT_EQ(GetEnvironmentVariableA("LUMARIX_TEST_UNSET", buffer, sizeof buffer), 0u);
  EXPECT_EQ(GetLastError(), 203u);  // ERROR_ENVVAR_NOT_FOUND
}

TEST(PlatformEnvironment, ProgramFileIsTheRunningExecutable) {
  char path[MAX_PATH * 4] = {};
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(std::string(path).size(), length);
  EXPECT_NE(std::string(path).find("lumarix-tests"), std::string::npos) << path;
  char small[4] = {};
  EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), 4u);  // cut, and said so
  EXPECT_EQ(std::string(small, 3), std::string(path, 3));
}

}  // namespace
}  // namespace lumarix
