// The built server handing rendered jobs to a CUPS class of a scheduler of the test's own: each
// job arrives under a title naming team and file, with the pages the team was told (and the
// banner), the store learns how CUPS ended it, and the jury's report shows it.
#include <map>
#include <tuple>

#include "print-server/server_process.h"
#include "support/cups_scheduler.h"

namespace lumarix::testing {
namespace {

std::string Lines(int count) {
  std::string text;
  for (int line = 0; line < count; ++line) text += "line " + std::to_string(line) + "\n";
  return text;
}

TEST_F(ServerProcessTest, EachJobReachesTheCupsClassUnderItsTitleWithThePagesTheTeamWasTold) {
  CupsScheduler cups;
  ASSERT_TRUE(cups.started()) << cups.problem();
  for (const char* printer : {"left", "right"}) {
    ASSERT_EQ(cups.AddPrinter(printer), "");
    ASSERT_EQ(cups.AddToClass(printer, "hall"), "");
  }
  dir.Write("teams.txt", "team01 pw 100 Room A, seat 1\nteam02 pw 100 Room B, seat 7\n");
  Start({"--queue", "hall"}, {{"CUPS_SERVER", cups.server()}});

  // Title: what each team was told.
  std::map<std::string, std::int64_t> told;
  const std::vector<std::tuple<std::string, std::string, int>> jobs = {
      {"team01", "short.cpp", 5}, {"team02", "long.cpp", 150}, {"team01", "mid,dle.cpp", 80}};
  int id = 0;
  for (const auto& [team, file, lines] : jobs) {
    std::optional<Parts> reply = Ask(PrintRequest("r" + std::to_string(++id), team, "pw", Lines(lines), file));
    ASSERT_TRUE(reply) << server->Output();
    ASSERT_EQ(GetPartOf(*reply, "Error"), "");
    told[team + ": " + file] = std::stoll(GetPartOf(*reply, "JobPages"));
  }
  EXPECT_EQ(told["team01: short.cpp"], 1);
  EXPECT_GT(told["team02: long.cpp"], 1);

  // The store learns each outcome from the scheduler.
  for (int job = 1; job <= 3; ++job) {
    ASSERT_TRUE(server->WaitForOutput("job " + std::to_string(job) + " printed (CUPS job", 60000))
        << server->Output() << cups.Log();
  }
  std::vector<CupsScheduler::PageLogEntry> log = cups.PageLog();
  ASSERT_EQ(log.size(), 3u) << cups.Log();
  for (const auto& entry : log) {
    ASSERT_TRUE(told.count(entry.title)) << entry.title;
    EXPECT_EQ(entry.pages, told[entry.title] + 1) << entry.title << ": the pages told and the banner";
  }

  ProcessLaunch report;
  report.program = PRINT_SERVER_PATH;
  report.arguments = {"report", "--spool", Spool(), "--teams", dir.File("teams.txt"), "--csv"};
  ProcessResult result = RunProcess(report);
  ASSERT_EQ(result.exitCode, 0) << result.output;
  const std::int64_t used01 = told["team01: short.cpp"] + told["team01: mid,dle.cpp"];
  EXPECT_NE(result.output.find("team01,\"Room A, seat 1\"," + std::to_string(used01) + "," + std::to_string(100 - used01) +
                               ",2\r\n"),
            std::string::npos)
      << result.output;
  EXPECT_NE(result.output.find(",team01,\"Room A, seat 1\",\"mid,dle.cpp\"," +
                               std::to_string(told["team01: mid,dle.cpp"]) + ",\"printed (CUPS job "),
            std::string::npos)
      << result.output;
}

}  // namespace
}  // namespace lumarix::testing
