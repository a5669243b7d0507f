// The store in a real database file, opened again as after a restart.
#include "job_store.h"

#include <gtest/gtest.h>

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
    ASSERT_TRUE(store.AddJob({"t_1", team, "a.cpp", "/spool/1.txt", 2, reply}, error)) << error;
    ASSERT_TRUE(store.AddJob({"t_2", team, "b.cpp", "/spool/2.txt", 3, reply}, error)) << error;
    ASSERT_TRUE(store.AddJob({"t_3", team, "c.cpp", "/spool/3.txt", 1, reply}, error)) << error;
    ASSERT_TRUE(store.Commit(error)) << error;
    EXPECT_FALSE(store.AddJob({"t_1", team, "a.cpp", "/spool/4.txt", 2, reply}, error)) << "one record per request";
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
  EXPECT_EQ(unprinted[1].state, "printing");
  EXPECT_EQ(store.Job(3)->exitStatus, 0);
}

}  // namespace
}  // namespace lumarix::printserver
