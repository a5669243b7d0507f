// The print server as a person runs it: the built program in a process of its own with a spool
// directory and a team list, and the built client printing through it.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "support/client_process.h"
#include "support/print_client_launch.h"
#include "support/temp_dir.h"

namespace lumarix::testing {
namespace {

const std::string kEnd = kEol;

class PrintServerE2E : public TempDirTest {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir.path() / "contest");
    std::filesystem::create_directories(dir.path() / "spool");
    dir.Write("teams.txt", "# team password quota location\nteam05 secret 3 Room B, seat 12\n");
    Configure("secret");
  }
  void Configure(const std::string& password) {
    dir.Write("contest/team05.dat", "TEAM=team05\r\nPWD=" + password + "\r\nSERVER=127.0.0.1\r\n");
  }

  ProcessLaunch Server() const {
    ProcessLaunch launch;
    launch.program = PRINT_SERVER_PATH;
    launch.arguments = {"--address", "127.0.0.1", "--port", "17244", "--spool", dir.File("spool"),
                        "--teams", dir.File("teams.txt")};
    launch.workingDirectory = dir.path().string();
    return launch;
  }

  // The words of one page of a PDF (from 1), blanks squeezed.
  static std::string PdfText(const std::filesystem::path& pdf, int page) {
    ProcessLaunch launch;
    launch.program = "/usr/bin/pdftotext";
    launch.arguments = {"-f", std::to_string(page), "-l", std::to_string(page), pdf.string(), "-"};
    ProcessResult result = RunProcess(launch);
    std::string words;
    for (char c : result.output) {
      const bool blank = c == ' ' || c == '\n' || c == '\f' || c == '\r';
      if (blank && (words.empty() || words.back() == ' ')) continue;
      words += blank ? ' ' : c;
    }
    if (!words.empty() && words.back() == ' ') words.pop_back();
    return words;
  }

  ProcessResult Print(const std::string& file) const { return RunProcess(PrintClientLaunch(dir.path(), {file}, "YES\n")); }

  std::vector<std::filesystem::path> Spooled() const {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path() / "spool")) {
      if (entry.path().extension() == ".txt") files.push_back(entry.path());
    }
    return files;
  }
};

TEST_F(PrintServerE2E, TheClientPrintsThroughTheServerWhichChecksSpoolsAndStaysUp) {
  RunningProcess server(Server());
  ASSERT_TRUE(server.started());
  ASSERT_TRUE(server.WaitForOutput("listening on 127.0.0.1:17244", 20000)) << server.Output();

  const std::string contents = "#include <cstdio>\r\nint main() { std::puts(\"hi\"); }\r\n";
  std::string file = dir.Write("hello.cpp", contents);
  ProcessResult printed = Print(file);
  EXPECT_EQ(printed.exitCode, 0) << printed.output;
  EXPECT_NE(printed.output.find("Are you sure (type YES in capital letters to confirm)? YES" + kEnd + kEnd + "File " +
                                file + " has been sent to the printer" + kEnd + kEnd + "1 page has been printed" + kEnd +
                                "Page limit: 2 pages left" + kEnd + kEnd),
            std::string::npos)
      << printed.output;
  EXPECT_TRUE(server.WaitForOutput("spooled to")) << server.Output();

  // One file: a header line naming the team, the file and the time, then the contents as sent.
  std::vector<std::filesystem::path> spooled = Spooled();
  ASSERT_EQ(spooled.size(), 1u);
  std::string job = TempDir::ReadPath(spooled[0].string());
  const std::string header = "Team: team05  File: " + file + "  Time: ";
  ASSERT_GT(job.size(), header.size() + contents.size());
  EXPECT_EQ(job.substr(0, header.size()), header);
  std::string rest = job.substr(header.size());
  EXPECT_EQ(rest.find('\n'), rest.size() - contents.size() - 1) << job;  // the time, on the same line
  EXPECT_EQ(rest.substr(rest.size() - contents.size()), contents);

  // Beside it the rendered job, as a runner carries it: a banner with the team and where it
  // sits, then the page with a header naming team, location, file and "page 1 of 1".
  EXPECT_TRUE(server.WaitForOutput("job 1 spooled", 30000)) << server.Output();
  std::filesystem::path pdf = spooled[0];
  pdf.replace_extension(".pdf");
  EXPECT_EQ(PdfText(pdf, 1), "team05 Room B, seat 12");
  const std::string page = PdfText(pdf, 2);
  EXPECT_NE(page.find("team05, Room B, seat 12"), std::string::npos) << page;
  EXPECT_NE(page.find("hello.cpp"), std::string::npos) << page;
  EXPECT_NE(page.find("page 1 of 1"), std::string::npos) << page;
  EXPECT_NE(page.find("int main() { std::puts(\"hi\"); }"), std::string::npos) << page;

  // A wrong password is refused with an error; nothing more is spooled and the server stays up.
  Configure("wrong");
  ProcessResult refused = Print(file);
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.output.find("\aFATAL ERROR: Wrong team name or password" + kEnd), std::string::npos)
      << refused.output;
  EXPECT_EQ(Spooled().size(), 1u);

  Configure("secret");
  ProcessResult again = Print(file);
  EXPECT_EQ(again.exitCode, 0) << again.output;
  EXPECT_NE(again.output.find("Page limit: 1 page left" + kEnd), std::string::npos) << again.output;
  EXPECT_EQ(Spooled().size(), 2u);

  // SIGTERM ends the loop; the server closes its channel and ends normally.
  server.Stop();
  EXPECT_EQ(server.Wait(10000), 0);
  EXPECT_NE(server.Output().find(" stopped\n"), std::string::npos) << server.Output();
}

}  // namespace
}  // namespace lumarix::testing
