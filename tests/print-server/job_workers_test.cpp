// The workers with a real database file, a real spool directory and real print commands.
#include "job_workers.h"

#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace lumarix::printserver {
namespace {

using Clock = std::chrono::steady_clock;

class JobWorkersTest : public lumarix::testing::TempDirTest {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir.path() / "spool");
    std::string error;
    ASSERT_TRUE(teams.Load("team01 pw 5\n", error));
    options.spoolDir = dir.File("spool");
    options.databasePath = dir.File("jobs.db");
    options.teams = &teams;
  }
  void Start() {
    std::string error;
    ASSERT_TRUE(workers.Start(options, error)) << error;
  }
  // Submits one job and waits for its answer.
  TReply Ask(const TPrintJob& job) {
    workers.Submit(TJobTicket{7, 1, job});
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
      std::vector<TCompletion> done = workers.TakeCompletions();
      if (!done.empty()) return done.front().reply;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ADD_FAILURE() << "no answer";
    return {};
  }
  // The spool files (the texts as sent); renderings and their PDFs aside.
  std::vector<std::string> Spooled() const {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path() / "spool")) {
      if (entry.path().extension() == ".txt") files.push_back(entry.path().string());
    }
    return files;
  }
  TJobStore& Store() {
    std::string error;
    if (!storeOpen && !(storeOpen = store.Open(options.databasePath, error))) ADD_FAILURE() << error;
    return store;
  }

  TTeamList teams;
  TWorkerOptions options;
  TJobWorkers workers;
  TJobStore store;
  bool storeOpen = false;
};

TPrintJob Job(const std::string& id, const std::string& contents) { return {id, "team01", "pw", contents, "a.cpp"}; }

TEST_F(JobWorkersTest, RecordsSpoolsAndAnswersAJobOnceHoweverOftenItIsAsked) {
  Start();
  const std::string contents(70, '\n');
  const TReply reply = Ask(Job("t_1", contents));
  EXPECT_EQ(reply, (TReply{{"ID", "t_1"},
                           {"Message", "File a.cpp has been sent to the printer"},
                           {"JobPages", "2"},
                           {"LeftPages", "3"}}));
  EXPECT_EQ(Ask(Job("t_1", contents)), reply) << "the same answer again";
  const std::string refused = ReplyPart(Ask(Job("t_2", std::string(400, '\n'))), "Error");
  EXPECT_TRUE(refused.rfind("Page quota exceeded: the job has ", 0) == 0 && refused.find(" pages, 3 left") != std::string::npos)
      << refused;

  ASSERT_EQ(Spooled().size(), 1u);
  const std::string spooled = lumarix::testing::TempDir::ReadPath(Spooled()[0]);
  EXPECT_EQ(spooled.substr(0, 33), "Team: team01  File: a.cpp  Time: ");
  EXPECT_EQ(spooled.substr(spooled.find('\n') + 1), contents);
  EXPECT_EQ(Store().UsedPages("team01"), 2);
  EXPECT_EQ(store.AllJobs().size(), 1u);
}

TEST_F(JobWorkersTest, AJobOverThePerJobLimitIsRefusedWithItsNumbersAndNotCharged) {
  options.pageLimit = 2;
  teams = TTeamList();
  std::string error;
  ASSERT_TRUE(teams.Load("team01 pw 100\n", error));
  Start();
  // 131 lines fit two pages, but the last is wrapped onto many more: the pages are counted as printed.
  const std::string wide = std::string(130, '\n') + std::string(100 * 68, 'w') + "\n";
  const std::string refused = ReplyPart(Ask(Job("t_1", wide)), "Error");
  EXPECT_TRUE(refused.rfind("The job has ", 0) == 0) << refused;
  EXPECT_NE(refused.find(" pages, more than the limit of 2 pages per job; it was not printed"), std::string::npos)
      << refused;
  EXPECT_GT(std::stoll(refused.substr(12)), 2) << refused;
  EXPECT_TRUE(Spooled().empty());
  EXPECT_EQ(Store().UsedPages("team01"), 0);

  const TReply accepted = Ask(Job("t_2", std::string(130, '\n')));
  EXPECT_EQ(ReplyPart(accepted, "JobPages"), "2");
  EXPECT_EQ(ReplyPart(accepted, "LeftPages"), "98");
}

TEST_F(JobWorkersTest, HostileNamesStayInsideTheSpoolAndOnTheirHeaderLine) {
  options.teams = nullptr;
  Start();
  const std::string team("../../x\nTeam: forged\0\\", 22);
  const std::string file = "../" + std::string(10000, 'f') + "/..\\b\r\n.cpp";
  TPrintJob job{"t_1", team, "", "body\n", file};
  EXPECT_EQ(ReplyPart(Ask(job), "JobPages"), "1");
  ASSERT_EQ(Spooled().size(), 1u);
  const std::filesystem::path path = Spooled()[0];
  EXPECT_EQ(path.parent_path(), dir.path() / "spool");
  EXPECT_LT(path.filename().string().size(), 120u);
  const std::string spooled = lumarix::testing::TempDir::ReadPath(path.string());
  EXPECT_EQ(spooled.find('\n'), spooled.size() - 6) << "one header line, then the body";
  EXPECT_EQ(spooled.find('\r'), std::string::npos);
  ASSERT_EQ(Store().AllJobs().size(), 1u);
  EXPECT_EQ(store.AllJobs()[0].team, team) << "kept as sent";
}

TEST_F(JobWorkersTest, ASpoolOrStoreThatCannotBeWrittenIsAnsweredWithAnErrorAndChargesNothing) {
  Start();
  // A write that fails halfway (the file size limit stands for a full disk) leaves nothing.
  signal(SIGXFSZ, SIG_IGN);
  rlimit original{};
  getrlimit(RLIMIT_FSIZE, &original);
  rlimit small = original;
  small.rlim_cur = 64 * 1024;
  setrlimit(RLIMIT_FSIZE, &small);
  const TReply tooBig = Ask(Job("t_1", std::string(100000, 'x')));
  setrlimit(RLIMIT_FSIZE, &original);
  EXPECT_EQ(ReplyPart(tooBig, "Error"), "The print server cannot spool the job: cannot write the spool file: File too large");
  EXPECT_TRUE(Spooled().empty());

  // The database locked by another writer.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(options.databasePath.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  const TReply locked = Ask(Job("t_2", "x\n"));
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_EQ(ReplyPart(locked, "Error"), "The print server cannot record the job: database is locked");
  EXPECT_TRUE(Spooled().empty());

  // A spool directory that is gone.
  std::filesystem::remove(dir.path() / "spool");
  EXPECT_EQ(ReplyPart(Ask(Job("t_3", "x\n")), "Error"),
            "The print server cannot spool the job: cannot create a file in the spool directory " + options.spoolDir +
                ": No such file or directory");
  EXPECT_EQ(Store().UsedPages("team01"), 0);
  EXPECT_TRUE(store.AllJobs().empty());
  std::filesystem::create_directories(dir.path() / "spool");
  EXPECT_EQ(ReplyPart(Ask(Job("t_4", "x\n")), "LeftPages"), "4") << "the workers carry on";
}

TEST_F(JobWorkersTest, APrintCommandBeyondItsTimeIsStoppedAndRecordedWithItsLastLines) {
  options.print =
      CommandPrintStep("for i in 1 2 3 4 5 6 7 8 9 10 11 12; do echo line$i; done; sleep 60; true", std::chrono::seconds(1));
  Start();
  const auto started = Clock::now();
  EXPECT_EQ(ReplyPart(Ask(Job("t_1", "x\n")), "JobPages"), "1");
  std::optional<TStoredJob> job;
  while (Clock::now() - started < std::chrono::seconds(30)) {
    job = Store().Job(1);
    if (job && job->state == "failed") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(job);
  EXPECT_EQ(job->state, "failed");
  EXPECT_EQ(job->exitStatus, 128 + SIGKILL);
  EXPECT_EQ(job->printOutput.substr(0, 12), "line3\nline4\n");
  EXPECT_NE(job->printOutput.find("line12\n[stopped after 1 s]"), std::string::npos) << job->printOutput;
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(20));
}

}  // namespace
}  // namespace lumarix::printserver
