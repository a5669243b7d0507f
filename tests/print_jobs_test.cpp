#include "print_jobs.h"

#include <gtest/gtest.h>

#include "support/message.h"
#include "support/temp_dir.h"

namespace lumarix::printserver {
namespace {

using lumarix::testing::GetPartOf;
using lumarix::testing::MakeMsg;
using lumarix::testing::Parts;
using lumarix::testing::TakeParts;

TEST(CountPages, SixtyLinesAPageAndFormFeedsStartNewOnes) {
  EXPECT_EQ(CountPages(""), 0);
  EXPECT_EQ(CountPages("x"), 1);
  EXPECT_EQ(CountPages(std::string(60, '\n')), 1);
  EXPECT_EQ(CountPages(std::string(61, '\n')), 2);
  EXPECT_EQ(CountPages(std::string(120, '\n')), 2);
  EXPECT_EQ(CountPages(std::string(120, '\n') + "tail"), 3);
  EXPECT_EQ(CountPages("a\fb"), 2);
  EXPECT_EQ(CountPages("a\f"), 1);
  EXPECT_EQ(CountPages("\f\f\fa"), 1);
  EXPECT_EQ(CountPages(std::string(60, '\n') + "\f" + "b"), 2);  // no blank page after a full one
}

TEST(TeamList, LoadsTeamsPasswordsAndQuotas) {
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
}

class HandleRequestTest : public lumarix::testing::TempDirTest {
 protected:
  Parts Handle(const Parts& request, TJobOutcome* kept = nullptr) {
    TMessagePart* head = MakeMsg(request);
    server.options.spoolDir = dir.path().string();
    TJobOutcome outcome = HandleRequest(head, server, "09.12.2026 10:00:00");
    FreeMsg(head);
    Parts reply = TakeParts(outcome.reply);
    if (kept) *kept = outcome;
    return reply;
  }
  static Parts Request(const std::string& password, const std::string& contents) {
    return {{"ID", "t_1_10:00:00_Print"}, {"Team", "team01"}, {"Password", password}, {"Contents", contents},
            {"Filename", "a.cpp"}};
  }
  TPrintServer server;
  TTeamList& teams = server.teams;
};

TEST_F(HandleRequestTest, SpoolsAnAcceptedJobWithItsHeaderAndCountsItsPages) {
  std::string error;
  ASSERT_TRUE(teams.Load("team01 secret 5\n", error));
  TJobOutcome outcome;
  std::string contents = std::string(70, '\n');
  EXPECT_EQ(Handle(Request("secret", contents), &outcome),
            (Parts{{"ID", "t_1_10:00:00_Print"}, {"Message", "File a.cpp has been sent to the printer"},
                   {"JobPages", "2"}, {"LeftPages", "3"}}));
  ASSERT_FALSE(outcome.spooledPath.empty());
  std::string spooled = lumarix::testing::TempDir::ReadPath(outcome.spooledPath);
  EXPECT_EQ(spooled, "Team: team01  File: a.cpp  Time: 09.12.2026 10:00:00\n" + contents);

  // The quota counts what was printed before.
  EXPECT_EQ(GetPartOf(Handle(Request("secret", std::string(200, '\n'))), "Error"),
            "Page quota exceeded: the job has 4 pages, 3 left");
  EXPECT_EQ(GetPartOf(Handle(Request("secret", "x")), "LeftPages"), "2");
}

TEST_F(HandleRequestTest, RefusesWrongPasswordsUnknownTeamsAndIncompleteRequests) {
  std::string error;
  ASSERT_TRUE(teams.Load("team01 secret\n", error));
  EXPECT_EQ(GetPartOf(Handle(Request("guess", "x")), "Error"), "Wrong team name or password");
  Parts stranger = Request("secret", "x");
  stranger[1].second = "team99";
  EXPECT_EQ(GetPartOf(Handle(stranger), "Error"), "Wrong team name or password");
  Parts incomplete = Request("secret", "x");
  incomplete.pop_back();
  Parts reply = Handle(incomplete);
  EXPECT_EQ(GetPartOf(reply, "ID"), "t_1_10:00:00_Print");
  EXPECT_EQ(GetPartOf(reply, "Error"), "Incomplete print request");
}

TEST_F(HandleRequestTest, WithoutATeamListEveryoneMayPrintWithoutLimit) {
  Parts reply = Handle(Request("", ""));
  EXPECT_EQ(GetPartOf(reply, "JobPages"), "0");
  EXPECT_EQ(GetPartOf(reply, "LeftPages"), "unlimited");
  EXPECT_EQ(GetPartOf(reply, "Error"), "");
}

TEST_F(HandleRequestTest, WarnsAboutNulBytesButPrints) {
  Parts reply = Handle(Request("", std::string("a\0b", 3)));
  EXPECT_EQ(GetPartOf(reply, "JobPages"), "1");
  EXPECT_EQ(GetPartOf(reply, "Warning"), "The file holds NUL bytes; it may not print as expected");
}

TEST(SpoolFileName, KeepsOnlySafeCharacters) {
  EXPECT_EQ(SpoolFileName("team01", "09.12.2026 10:00:00", 7), "team01_09-12-2026-10-00-00_7.txt");
  EXPECT_EQ(SpoolFileName("../x\\y", "t", 1), "--_x_y_t_1.txt");
}

}  // namespace
}  // namespace lumarix::printserver
