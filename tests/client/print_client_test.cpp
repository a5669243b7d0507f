#include "client/print_client.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace lumarix {
namespace {

TEST(ClientPrintClient, FirstArgumentSplitsAtControlsAndSpacesOutsideQuotes) {
  EXPECT_EQ(FirstArgument("print-client.exe a.cpp b.cpp"), "a.cpp");
  EXPECT_EQ(FirstArgument("print-client.exe"), "");
  EXPECT_EQ(FirstArgument("print-client.exe   \t "), "");
  EXPECT_EQ(FirstArgument("\"C:\\Program Files\\print-client.exe\" \"my file.cpp\" x"), "my file.cpp");
  EXPECT_EQ(FirstArgument("p a\"b c\"d e"), "ab cd");
  EXPECT_EQ(FirstArgument("p\x01" "a.cpp"), "a.cpp");
  EXPECT_EQ(FirstArgument("p \"unterminated quote"), "unterminated quote");
  EXPECT_EQ(FirstArgument("p C:\\dir\\a.cpp"), "C:\\dir\\a.cpp");  // backslashes are not escapes
}

TEST(ClientPrintClient, ShowFatalErrorWritesItsFourLines) {
  ::testing::internal::CaptureStdout();
  ShowFatalError("disk on fire");
  std::fflush(stdout);
  std::string output = ::testing::internal::GetCapturedStdout();
  std::erase(output, '\r');  // the platform's line end, CR LF on Windows
  EXPECT_EQ(output,
            "\aFATAL ERROR: disk on fire\n*** Please immediately report to the jury ***\n"
            "Unable to send file to the printer, exiting.\n\a\n");
}

}  // namespace
}  // namespace lumarix
