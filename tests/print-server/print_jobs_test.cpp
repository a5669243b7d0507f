#include "print_jobs.h"

#include <gtest/gtest.h>


namespace lumarix::printserver {
namespace {


TEST(PrintServerPrintJobs, TeamListLoadsTeamsPasswordsAndQuotas) {
  TTeamList teams;
  std::string error;
  ASSERT_TRUE(teams.Load("# team password quota\r\nteam01 secret 10\nteam02 pw -\n\nteam03 open\n", error));
  EXPECT_TRUE(teams.restricted());
  ASSERT_NE(teams.Find("team01"), nullptr);
  EXPECT_EQ(teams.Find("team01")->password, "secret");
  EXPECT_EQ(teams.Find("team01")->quota, 10);
  EXPECT_FALSE(teams.Find("team02")->quota.has_value());
  EXPECT_FALSE(teams.Find("team03")->quota.has_value());
  EXPECT_EQ(teams.Find("team04"), nullptr);

  TTeamList bad;
  EXPECT_FALSE(bad.Load("team01 pw 10\nteam02 pw ten\n", error));
  EXPECT_EQ(error, "line 2: bad page quota 'ten'");
  EXPECT_FALSE(TTeamList().Load("team01 pw 10\n\nteam01 pw 5\n", error));
  EXPECT_EQ(error, "line 3: team 'team01' is listed twice");
}

TEST(PrintServerPrintJobs, TeamListTheRestOfALineAfterTheQuotaIsTheTeamsLocation) {
  TTeamList teams;
  std::string error;
  ASSERT_TRUE(teams.Load("team01 pw 50  Room B, seat 12 \r\nteam02 pw - Hall\tA\nteam03 pw 5\n", error)) << error;
  EXPECT_EQ(teams.Find("team01")->location, "Room B, seat 12");
  EXPECT_EQ(teams.Find("team01")->quota, 50);
  EXPECT_EQ(teams.Find("team02")->location, "Hall\tA");
  EXPECT_FALSE(teams.Find("team02")->quota.has_value());
  EXPECT_EQ(teams.Find("team03")->location, "");
}

TEST(PrintServerPrintJobs, CheckRequestRefusesWrongPasswordsUnknownTeamsAndFilesAboveTheLimit) {
  TTeamList teams;
  std::string error;
  ASSERT_TRUE(teams.Load("team01 secret\n", error));
  TPrintJob job{"t_1", "team01", "secret", std::string(kMaxContents, 'x'), "a.cpp"};
  EXPECT_FALSE(CheckRequest(job, teams).has_value());
  job.password = "guess";
  EXPECT_EQ(CheckRequest(job, teams), ErrorReply("t_1", "Wrong team name or password"));
  job.password = "secret";
  job.team = "team99";
  EXPECT_EQ(CheckRequest(job, teams), ErrorReply("t_1", "Wrong team name or password"));
  job.team = "team01";
  job.contents += 'x';
  EXPECT_EQ(CheckRequest(job, teams),
            ErrorReply("t_1", "The file is larger than 524288 bytes; it was not printed"));
  EXPECT_TRUE(CheckRequest(job, TTeamList()).has_value()) << "the size limit holds without a team list too";
}

TEST(PrintServerPrintJobs, NamesNeitherBreakALineNorLeaveTheSpoolDirectory) {
  EXPECT_EQ(PrintableName(std::string("a\nTeam: x\0\\", 11)), "a\\x0ATeam: x\\x00\\x5C");
  EXPECT_EQ(PrintableName(std::string(300, 'n')), std::string(200, 'n') + "...");
  EXPECT_EQ(SafeNamePart("../x\\y/z.cpp"), "___x_y_z_cpp");
  EXPECT_EQ(SafeNamePart(std::string(10000, 'a')), std::string(40, 'a'));
  EXPECT_EQ(SafeNamePart(""), "_");
}

}  // namespace
}  // namespace lumarix::printserver
