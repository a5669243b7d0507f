// The store in a real database file, opened again as after a restart.
#include "job_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "support/temp_dir.h"

namespace lumarix::printserver {
namespace {

TEST(JobStore, KeepsJobsRepliesAndUsedPagesAcrossAReopen) {
  lumarix::testing::TempDir dir;
  const std::string path = dir.File("jobs.db");
  const std::string team("team\0\n01", 8);
  const TReply reply{{"ID", "t_1"}, {"Message", std::string("a\0b", 3)}, {"JobPages", "2"}};
  std::string error;
  {
    TJobStore store;
    ASSERT_TRUE(store.Open(path, error)) << error;
    ASSERT_TRUE(store.Begin(error)) << error;
    ASSERT_TRUE(store.AddJob({"t_1", team, "a.cpp", "/spool/1.txt", 2, reply, "Room 1"}, error)) << error;
    ASSERT_TRUE(store.AddJob({"t_2", team, "b.cpp", "/spool/2.txt", 3, reply, ""}, error)) << error;
    ASSERT_TRUE(store.AddJob({"t_3", team, "c.cpp", "/spool/3.txt", 1, reply, ""}, error)) << error;
    ASSERT_TRUE(store.Commit(error)) << error;
    EXPECT_FALSE(store.AddJob({"t_1", team, "a.cpp", "/spool/4.txt", 2, reply, ""}, error)) << "one record per request";
    ASSERT_TRUE(store.MarkPrinting(2, error));
    ASSERT_TRUE(store.RecordPrintOutcome(3, "printed", 0, "ok", error));
  }
  TJobStore store;
  ASSERT_TRUE(store.Open(path, error)) << error;
  EXPECT_EQ(store.UsedPages(team), 6);
  EXPECT_EQ(store.UsedPages("team"), 0);
  EXPECT_EQ(store.RecordedReply(team, "t_1"), reply);
  EXPECT_FALSE(store.RecordedReply("team", "t_1").has_value());
  std::vector<TStoredJob> unprinted = store.UnprintedJobs();
  ASSERT_EQ(unprinted.size(), 2u) << "recorded, and printing when the server stopped";
  EXPECT_EQ(unprinted[0].spoolPath, "/spool/1.txt");
  EXPECT_EQ(unprinted[0].location, "Room 1");
  EXPECT_EQ(unprinted[1].state, "printing");
  EXPECT_EQ(store.Job(3)->exitStatus, 0);
}

TEST(JobStore, ADatabaseOfAnOlderServerKeepsItsJobsAndLearnsTheNewColumns) {
  lumarix::testing::TempDir dir;
  const std::string path = dir.File("old.db");
  sqlite3* old = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &old), SQLITE_OK);
  // The tables as the first version of the server made them, with one job recorded.
  ASSERT_EQ(sqlite3_exec(old,
                         "CREATE TABLE jobs(number INTEGER PRIMARY KEY AUTOINCREMENT, request_id TEXT NOT NULL,"
                         " team TEXT NOT NULL, filename TEXT NOT NULL, pages INTEGER NOT NULL, state TEXT NOT NULL,"
                         " received_at TEXT NOT NULL DEFAULT (datetime('now', 'localtime')), printed_at TEXT,"
                         " spool_path TEXT NOT NULL, reply BLOB NOT NULL, exit_status INTEGER, print_output TEXT,"
                         " UNIQUE(team, request_id));"
                         "CREATE TABLE teams(team TEXT PRIMARY KEY, used_pages INTEGER NOT NULL);"
                         "INSERT INTO jobs(request_id, team, filename, pages, state, spool_path, reply)"
                         " VALUES('t_1', 'team01', 'a.cpp', 2, 'printed', '/spool/1.txt', x'00');"
                         "INSERT INTO teams VALUES('team01', 2);",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(old);

  std::string error;
  for (int open = 0; open < 2; ++open) {  // the second open finds the changes made
    TJobStore store;
    ASSERT_TRUE(store.Open(path, error)) << error;
    std::vector<TStoredJob> jobs = store.AllJobs();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].requestId, "t_1");
    EXPECT_EQ(jobs[0].location, "");
    EXPECT_EQ(store.UsedPages("team01"), 2);
  }
  TJobStore store;
  ASSERT_TRUE(store.Open(path, error)) << error;
  ASSERT_TRUE(store.RecordQueued(1, 42, error)) << error;
  ASSERT_EQ(store.QueuedJobs().size(), 1u);
  ASSERT_TRUE(store.RecordCupsOutcome(1, "printed", "completed", error)) << error;
  EXPECT_TRUE(store.QueuedJobs().empty());
  EXPECT_EQ(store.Job(1)->cupsJobId, 42);
  EXPECT_EQ(store.Job(1)->cupsState, "completed");
}

}  // namespace
}  // namespace lumarix::printserver
