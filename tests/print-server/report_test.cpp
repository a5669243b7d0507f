// The jury's report from the store's rows: aligned columns for reading, and CSV that keeps any
// name whole.
#include "report.h"

#include <gtest/gtest.h>

namespace lumarix::printserver {
namespace {

TStoredJob StoredJob(const std::string& time, const std::string& team, const std::string& location,
                     const std::string& file, std::int64_t pages, const std::string& state) {
  TStoredJob job;
  job.receivedAt = time;
  job.team = team;
  job.location = location;
  job.filename = file;
  job.pages = pages;
  job.state = state;
  return job;
}

class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(teams.Load("team01 pw 20 Room A, seat 1\nteam02 pw - Room B\nteam03 pw 5\n", error)) << error;
    jobs.push_back(StoredJob("2026-12-09 10:00:01", "team01", "Room A, seat 1", "a.cpp", 3, "printed"));
    jobs.back().cupsJobId = 17;
    jobs.back().cupsState = "completed";
    jobs.push_back(StoredJob("2026-12-09 10:05:00", "team02", "Room B", "say \"hi\",\nnow.cpp", 12, "failed"));
    jobs.back().exitStatus = 1;
    jobs.push_back(StoredJob("2026-12-09 10:06:00", "team01", "Room A, seat 1", "b.cpp", 2, "spooled"));
  }
  TTeamList teams;
  std::vector<TStoredJob> jobs;
  std::vector<std::pair<std::string, std::int64_t>> used{{"team01", 5}, {"team02", 12}};
};

TEST_F(ReportTest, ATableWithEachTeamsPagesAndEveryJobInAlignedColumns) {
  EXPECT_EQ(MakeReport(teams, used, jobs, EReportFormat::Table),
            "Teams\n"
            "team    location        pages used  pages left  jobs\n"
            "------  --------------  ----------  ----------  ----\n"
            "team01  Room A, seat 1  5           15          2\n"
            "team02  Room B          12          unlimited   1\n"
            "team03                  0           5           0\n"
            "\n"
            "Jobs\n"
            "time                 team    location        file                  pages  state\n"
            "-------------------  ------  --------------  --------------------  -----  --------------------------------\n"
            "2026-12-09 10:00:01  team01  Room A, seat 1  a.cpp                 3      printed (CUPS job 17, completed)\n"
            "2026-12-09 10:05:00  team02  Room B          say \"hi\",\\x0Anow.cpp  12     failed (exit status 1)\n"
            "2026-12-09 10:06:00  team01  Room A, seat 1  b.cpp                 2      spooled\n");
}

TEST_F(ReportTest, CsvQuotesFieldsWithCommasQuotesAndLineBreaksAndKeepsThemWhole) {
  EXPECT_EQ(MakeReport(teams, used, jobs, EReportFormat::Csv),
            "team,location,pages used,pages left,jobs\r\n"
            "team01,\"Room A, seat 1\",5,15,2\r\n"
            "team02,Room B,12,unlimited,1\r\n"
            "team03,,0,5,0\r\n"
            "\r\n"
            "time,team,location,file,pages,state\r\n"
            "2026-12-09 10:00:01,team01,\"Room A, seat 1\",a.cpp,3,\"printed (CUPS job 17, completed)\"\r\n"
            "2026-12-09 10:05:00,team02,Room B,\"say \"\"hi\"\",\nnow.cpp\",12,failed (exit status 1)\r\n"
            "2026-12-09 10:06:00,team01,\"Room A, seat 1\",b.cpp,2,spooled\r\n");
  EXPECT_EQ(CsvField("plain"), "plain");
  EXPECT_EQ(CsvField("cr\rhere"), "\"cr\rhere\"");
}

TEST_F(ReportTest, ATeamOverItsQuotaHasNoPagesLeftAndTeamsNotListedStillShow) {
  used = {{"team03", 7}, {"gone", 4}};
  jobs = {StoredJob("2026-12-09 11:00:00", "gone", "", "x.cpp", 4, "printed")};
  const std::string csv = MakeReport(teams, used, jobs, EReportFormat::Csv);
  EXPECT_NE(csv.find("team03,,7,0,0\r\n"), std::string::npos) << csv;
  EXPECT_NE(csv.find("gone,,4,unlimited,1\r\n"), std::string::npos) << csv;
}

}  // namespace
}  // namespace lumarix::printserver
