// The rendering of a job, read back from the PDF as a printer would take it: its pages counted
// by poppler and its words extracted from each page.
#include "render.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/client_process.h"
#include "support/temp_dir.h"

namespace lumarix::printserver {
namespace {

using lumarix::testing::ProcessLaunch;
using lumarix::testing::RunProcess;
using lumarix::testing::TempDirTest;

std::string Run(const std::string& program, std::vector<std::string> arguments) {
  ProcessLaunch launch;
  launch.program = program;
  launch.arguments = std::move(arguments);
  auto result = RunProcess(launch);
  EXPECT_EQ(result.exitCode, 0) << program << ": " << result.output;
  return result.output;
}

int PdfPages(const std::string& pdf) {
  std::string info = Run("/usr/bin/pdfinfo", {pdf});
  std::size_t at = info.find("Pages:");
  return at == std::string::npos ? -1 : std::stoi(info.substr(at + 6));
}

// The text of one page (from 1), as laid out.
std::string PageText(const std::string& pdf, int page) {
  return Run("/usr/bin/pdftotext", {"-layout", "-f", std::to_string(page), "-l", std::to_string(page), pdf, "-"});
}

class RenderTest : public TempDirTest {
 protected:
  TRenderRequest Request(const std::string& text) {
    TRenderRequest request;
    request.textPath = dir.Write("job.txt", text);
    request.team = "Blue Penguins";
    request.location = "Room 2, seat 14";
    request.fileName = "solution.cpp";
    request.timeText = "2026-12-09 16:48";
    request.outputBase = dir.File("job");
    return request;
  }
};

TEST_F(RenderTest, PagesAreCountedAsPrintedAndEachHeaderSaysWhoseTheyAre) {
  std::string text = "ab\tafter-tab\n";
  std::string longLine;
  for (int word = 0; word < 60; ++word) longLine += "word" + std::to_string(word) + " ";
  text += longLine + "\n";
  text += "bytes:\x01\x7f|caf\xe9|\n";
  text += "before-feed\n\fafter-feed\n";
  for (int line = 0; line < 150; ++line) text += "line " + std::to_string(line) + "\n";

  TPrintout printout = RenderJob(Request(text));
  ASSERT_EQ(printout.error, "");
  ASSERT_GE(printout.pages, 4);  // the page before the feed, and 150 lines after it
  std::string pdf = printout.path;
  ASSERT_EQ(PdfPages(pdf), printout.pages + 1);

  std::string banner = PageText(pdf, 1);
  EXPECT_NE(banner.find("Blue Penguins"), std::string::npos) << banner;
  EXPECT_NE(banner.find("Room 2, seat 14"), std::string::npos) << banner;
  EXPECT_EQ(banner.find("page "), std::string::npos) << banner;

  for (int page = 1; page <= printout.pages; ++page) {
    std::string shown = PageText(pdf, page + 1);
    std::string pageOf = "page " + std::to_string(page) + " of " + std::to_string(printout.pages);
    for (const std::string& expected :
         {std::string("Blue Penguins, Room 2, seat 14"), std::string("solution.cpp"), pageOf,
          std::string("2026-12-09 16:48")})
      EXPECT_NE(shown.find(expected), std::string::npos) << "page " << page << " lacks " << expected << ":\n" << shown;
  }

  std::string first = PageText(pdf, 2);
  EXPECT_NE(first.find("ab      after-tab"), std::string::npos) << first;  // the tab reaches column 8
  EXPECT_NE(first.find("word0 "), std::string::npos) << first;
  EXPECT_NE(first.find("word59"), std::string::npos) << first;  // wrapped, not cut
  EXPECT_NE(first.find("bytes:\\001\\177|caf\xc3\xa9|"), std::string::npos) << first;
  EXPECT_NE(first.find("before-feed"), std::string::npos) << first;
  EXPECT_EQ(first.find("after-feed"), std::string::npos) << first;
  EXPECT_NE(PageText(pdf, 3).find("after-feed"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.File("job.body.ps")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("job.banner.ps")));
}

TEST_F(RenderTest, NamesCannotAddFormatCodesFieldsLinesOrPages) {
  TRenderRequest request = Request("one page\n");
  request.team = "T$% %W $= $(HOME) |x| (p) \\ \nsecond\fthird";
  request.location = "R%% $n\x01";
  request.fileName = "a$%b|c%D.c";
  request.outputBase = dir.File("job %d");  // to Ghostscript, a page number format
  TPrintout printout = RenderJob(request);
  ASSERT_EQ(printout.error, "");
  EXPECT_EQ(printout.path, dir.File("job %d.pdf"));
  EXPECT_TRUE(std::filesystem::exists(printout.path));
  EXPECT_EQ(printout.pages, 1);
  ASSERT_EQ(PdfPages(printout.path), 2);

  std::string banner = PageText(printout.path, 1);
  for (const char* expected : {"T$%", "%W", "$(HOME)", "\\174x\\174", "\\012second\\014third", "R%% $n\\001"})
    EXPECT_NE(banner.find(expected), std::string::npos) << expected << " not in:\n" << banner;
  std::string page = PageText(printout.path, 2);
  for (const char* expected : {"T$% %W $= $(HOME)", "R%% $n\\001", "a$%b\\174c%D.c", "page 1 of 1"})
    EXPECT_NE(page.find(expected), std::string::npos) << expected << " not in:\n" << page;
  EXPECT_EQ(page.find("third"), std::string::npos) << page;  // the header stays one shortened line
}

TEST_F(RenderTest, TheTextIsReadInTheCodePageNamed) {
  // 0x82 is a control character in Latin-1 and an e with acute in the IBM PC's code page.
  TRenderRequest request = Request("caf\x82\n");
  TPrintout printout = RenderJob(request);
  ASSERT_EQ(printout.error, "");
  EXPECT_NE(PageText(printout.path, 2).find("caf\\202"), std::string::npos);

  request.encoding = "ibmpc";
  printout = RenderJob(request);
  ASSERT_EQ(printout.error, "");
  EXPECT_NE(PageText(printout.path, 2).find("caf\xc3\xa9"), std::string::npos);

  request.encoding = "utf-8";
  printout = RenderJob(request);
  EXPECT_NE(printout.error.find("utf-8"), std::string::npos);
  EXPECT_EQ(printout.path, "");
}

TEST_F(RenderTest, AMissingTextIsAnErrorNotAnEmptyJob) {
  TRenderRequest request = Request("");
  EXPECT_EQ(RenderText(request).error, "");  // an empty text is no error: it has no pages
  request.textPath = dir.File("gone.txt");   // enscript exits 0 here, with no page count
  TPrintout printout = RenderJob(request);
  EXPECT_NE(printout.error.find("gone.txt"), std::string::npos) << printout.error;
  EXPECT_EQ(printout.path, "");
}

TEST_F(RenderTest, ARenderingOverItsLimitsFailsAndLeavesNothing) {
  TRenderRequest request = Request(std::string(5000, '\f'));  // a page each
  request.limits.maxOutputBytes = 200000;
  TRenderedText rendered = RenderText(request);
  EXPECT_NE(rendered.error.find("output limit"), std::string::npos) << rendered.error;
  EXPECT_EQ(rendered.pages, 0);

  request = Request(std::string(400000, '\f'));
  request.limits.maxOutputBytes = 1u << 30;
  request.limits.timeoutMs = 300;
  rendered = RenderText(request);
  EXPECT_NE(rendered.error.find("timed out"), std::string::npos) << rendered.error;
  EXPECT_FALSE(std::filesystem::exists(dir.File("job.body.ps")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("job.banner.ps")));
}

}  // namespace
}  // namespace lumarix::printserver
