// Jobs handed to a real CUPS scheduler of the test's own: each arrives under its title and
// prints the pages the team was told, banner added.
#include "cups_queue.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "render.h"
#include "support/cups_scheduler.h"
#include "support/temp_dir.h"

namespace lumarix::printserver {
namespace {

using lumarix::testing::CupsScheduler;
using lumarix::testing::TempDirTest;

std::string ReadAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// The pages the PostScript a printer received says it has.
int DevicePages(const std::string& path) {
  std::string text = ReadAll(path);
  std::size_t at = text.rfind("\n%%Pages: ");
  return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + 10);
}

class CupsQueueTest : public TempDirTest {
 protected:
  void SetUp() override { ASSERT_TRUE(cups.started()) << cups.problem(); }

  TPrintout Render(const std::string& team, int lines) {
    TRenderRequest request;
    std::string text;
    for (int line = 0; line < lines; ++line) text += "line " + std::to_string(line) + "\n";
    request.textPath = dir.Write(team + ".txt", text);
    request.team = team;
    request.location = "Room 1";
    request.fileName = "a.cpp";
    request.timeText = "12:00";
    request.outputBase = dir.File(team);
    TPrintout printout = RenderJob(request);
    EXPECT_EQ(printout.error, "");
    return printout;
  }

  TCupsQueue Queue(const std::string& name) { return TCupsQueue{name, cups.server(), 30000}; }

  CupsScheduler cups;
};

TEST_F(CupsQueueTest, EachJobArrivesUnderItsTitleWithThePagesTheTeamWasTold) {
  ASSERT_EQ(cups.AddPrinter("desk"), "");
  std::map<std::int64_t, std::pair<std::string, std::int64_t>> sent;  // job: title, pages told
  for (auto [team, lines] : {std::pair{"alpha", 10}, std::pair{"beta", 200}}) {
    TPrintout printout = Render(team, lines);
    std::string title = JobTitle(team, "a.cpp");
    TCupsSubmission submission = SubmitToQueue(Queue("desk"), title, printout.path);
    ASSERT_EQ(submission.error, "");
    ASSERT_TRUE(cups.WaitForJobCompleted(submission.jobId)) << cups.Log();
    EXPECT_EQ(DevicePages(cups.DeviceFile("desk")), printout.pages + 1);
    sent[submission.jobId] = {title, printout.pages};

    TCupsJobStatus status = QueryOutcome(Queue("desk"), submission.jobId);
    EXPECT_EQ(status.error, "");
    EXPECT_EQ(status.state, ECupsJobState::Completed);
    EXPECT_TRUE(status.Finished());
    EXPECT_EQ(status.pagesPrinted, printout.pages + 1);
  }
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_GT(sent.rbegin()->second.second, 1);
  auto log = cups.PageLog();
  ASSERT_EQ(log.size(), 2u);
  for (const auto& entry : log) {
    ASSERT_TRUE(sent.count(entry.jobId)) << entry.jobId;
    EXPECT_EQ(entry.title, sent[entry.jobId].first);
    EXPECT_EQ(entry.pages, sent[entry.jobId].second + 1);
  }
}

TEST_F(CupsQueueTest, AClassPrintsEveryJobAndAHostileTitleStaysOneTitle) {
  for (const char* printer : {"left", "right"}) {
    ASSERT_EQ(cups.AddPrinter(printer), "");
    ASSERT_EQ(cups.AddToClass(printer, "hall"), "");
  }
  TPrintout printout = Render("gamma", 30);
  std::string team = "Caf\xe9 \"x\" $(id)\n-d other";
  std::vector<std::int64_t> jobs;
  for (int copy = 0; copy < 3; ++copy) {
    TCupsSubmission submission = SubmitToQueue(Queue("hall"), JobTitle(team, "b.cpp"), printout.path);
    ASSERT_EQ(submission.error, "");
    jobs.push_back(submission.jobId);
  }
  for (std::int64_t job : jobs) ASSERT_TRUE(cups.WaitForJobCompleted(job)) << cups.Log();
  auto log = cups.PageLog();
  ASSERT_EQ(log.size(), 3u);
  for (const auto& entry : log) {
    EXPECT_EQ(entry.title, "Caf\xc3\xa9 \"x\" $(id)?-d other: b.cpp");
    EXPECT_EQ(entry.pages, printout.pages + 1);
  }
}

TEST_F(CupsQueueTest, RefusalsAndUnknownJobsAreReportedNotMistakenForSuccess) {
  ASSERT_EQ(cups.AddPrinter("desk"), "");
  TPrintout printout = Render("delta", 5);

  TCupsSubmission submission = SubmitToQueue(Queue("nowhere"), "t", printout.path);
  EXPECT_EQ(submission.jobId, 0);
  EXPECT_NE(submission.error.find("lp exit status"), std::string::npos) << submission.error;

  submission = SubmitToQueue(Queue("desk -x"), "t", printout.path);
  EXPECT_EQ(submission.jobId, 0);
  EXPECT_NE(submission.error.find("not a queue name"), std::string::npos) << submission.error;

  submission = SubmitToQueue(Queue("desk"), "t", dir.File("missing.pdf"));
  EXPECT_EQ(submission.jobId, 0);
  EXPECT_NE(submission.error, "");

  TCupsJobStatus status = QueryOutcome(Queue("desk"), 999);
  EXPECT_EQ(status.state, ECupsJobState::Unknown);
  EXPECT_FALSE(status.Finished());
  EXPECT_NE(status.error, "");
}

TEST(CupsQueueWithoutSchedulerTest, ASchedulerThatIsNotThereIsAnError) {
  lumarix::testing::TempDir dir;
  std::string path = dir.Write("x.pdf", "%PDF-1.4\n");
  TCupsQueue queue{"desk", dir.File("no.sock"), 30000};
  TCupsSubmission submission = SubmitToQueue(queue, "t", path);
  EXPECT_EQ(submission.jobId, 0);
  EXPECT_NE(submission.error, "");
  TCupsJobStatus status = QueryOutcome(queue, 1);
  EXPECT_EQ(status.state, ECupsJobState::Unknown);
  EXPECT_NE(status.error, "");
}

}  // namespace
}  // namespace lumarix::printserver
