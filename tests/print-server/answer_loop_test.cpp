// The built print server against plain sockets on loopback: whatever one peer does, the others
// are answered; answers never wait for the printer; a crash loses no answered job.
#include <signal.h>

#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "job_store.h"
#include "print-server/server_process.h"

namespace lumarix::testing {
namespace {

using printserver::TJobStore;
using printserver::TStoredJob;

std::vector<std::string> SpoolFiles(const std::string& spool) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(spool)) {
    if (entry.path().extension() == ".txt") files.push_back(entry.path().string());
  }
  return files;
}

TEST_F(ServerProcessTest, AnswersDoNotWaitForTheSlowPrinterAndPrintingFollows) {
  const std::string release = dir.File("release");
  Start({"--print-command", "while [ ! -e " + release + " ]; do sleep 0.05; done; true"});
  // The first job holds the printer; both teams are answered at once all the same.
  std::optional<Parts> first = Ask(PrintRequest("t1_1", "team01", "pw", "one\n"), 5000);
  std::optional<Parts> second = Ask(PrintRequest("t2_1", "team02", "pw", "two\n"), 5000);
  ASSERT_TRUE(first && second) << server->Output();
  EXPECT_EQ(GetPartOf(*first, "JobPages"), "1");
  EXPECT_EQ(GetPartOf(*second, "LeftPages"), "999");
  dir.Write("release", "");
  EXPECT_TRUE(server->WaitForOutput("job 2 printed (exit status 0)")) << server->Output();
}

TEST_F(ServerProcessTest, PeersThatNeverFinishAreClosedAndOnlyTheirChannelsEnd) {
  Start({"--request-timeout", "1"});
  Peer idle(port), half(port), garbage(port), resetting(port);
  ASSERT_TRUE(idle.connected() && half.connected() && garbage.connected() && resetting.connected());
  const std::string request = Gather(PrintRequest("t1_1", "team01", "pw", "x\n"));
  ASSERT_TRUE(half.Send(request.substr(0, request.size() / 2)));
  ASSERT_TRUE(garbage.Send(std::string(100000, 'g')));
  ASSERT_TRUE(resetting.Send(request.substr(0, 10)));
  resetting.Reset();

  // Meanwhile another team is answered, and a connection idle after its answer is closed too.
  Peer answered(port);
  ASSERT_TRUE(answered.Send(Gather(PrintRequest("t2_1", "team02", "pw", "y\n"))));
  std::optional<Parts> reply = answered.Reply();
  ASSERT_TRUE(reply) << server->Output();
  EXPECT_EQ(GetPartOf(*reply, "ID"), "t2_1");
  EXPECT_TRUE(idle.SeesClose());
  EXPECT_TRUE(half.SeesClose());
  EXPECT_TRUE(garbage.SeesClose());
  EXPECT_TRUE(answered.SeesClose());

  // A file above the client's limit is refused and not spooled.
  reply = Ask(PrintRequest("t1_2", "team01", "pw", std::string(524289, 'z')));
  ASSERT_TRUE(reply);
  EXPECT_EQ(GetPartOf(*reply, "Error"), "The file is larger than 524288 bytes; it was not printed");
  EXPECT_EQ(SpoolFiles(Spool()).size(), 1u);
}

TEST_F(ServerProcessTest, AReplyReachesOnlyTheConnectionThatAsked) {
  Start({"--print-command", "sleep 0.3; true"});
  for (int round = 0; round < 5; ++round) {
    const std::string suffix = "_" + std::to_string(round);
    // While a job prints, a peer asks and leaves at once; the next peer may be given its
    // channel, and must get its own answer, not the one meant for the peer that left.
    Peer first(port);
    ASSERT_TRUE(first.Send(Gather(PrintRequest("first" + suffix, "team01", "pw", "x\n"))));
    {
      Peer leaving(port);
      ASSERT_TRUE(leaving.Send(Gather(PrintRequest("gone" + suffix, "team01", "pw", "x\n"))));
    }
    ASSERT_TRUE(first.Reply()) << server->Output();
    Peer next(port);
    ASSERT_TRUE(next.Send(Gather(PrintRequest("next" + suffix, "team02", "pw", "y\n"))));
    std::optional<Parts> reply = next.Reply();
    ASSERT_TRUE(reply) << server->Output();
    EXPECT_EQ(GetPartOf(*reply, "ID"), "next" + suffix);
  }
}

TEST_F(ServerProcessTest, KillNineAtAnyMomentLosesNoAnsweredJobAndChargesNoneTwice) {
  std::map<std::string, Parts> answered;
  std::map<std::string, std::string> sent;
  std::mt19937 random(20261209);
  int next = 0;
  for (int round = 0; round < 10; ++round) {
    Start();
    // The crash comes at a moment of chance among the requests.
    const int killAfterMs = std::uniform_int_distribution<int>(0, 300)(random);
    std::thread killer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(killAfterMs));
      server->Signal(SIGKILL);
    });
    for (;;) {
      // New jobs of one to three pages, and now and then one that was answered before.
      std::string id = "team01_" + std::to_string(next);
      if (next % 4 == 3 && !answered.empty()) {
        id = std::next(answered.begin(), next % static_cast<int>(answered.size()))->first;
      } else {
        sent[id] = std::string(static_cast<std::size_t>(60 * (next % 3) + 1), '\n');
      }
      ++next;
      std::optional<Parts> reply = Ask(PrintRequest(id, "team01", "pw", sent[id]), 5000);
      if (!reply) break;
      if (answered.count(id)) {
        EXPECT_EQ(*reply, answered[id]) << "a repeated request gets the first answer";
      } else {
        answered[id] = *reply;
      }
    }
    killer.join();
    server->Wait(10000);
  }
  ASSERT_GT(answered.size(), 5u) << "the crashes came between requests";

  TJobStore store;
  std::string error;
  ASSERT_TRUE(store.Open(Spool() + "/print-server.db", error)) << error;
  std::map<std::string, int> rows;
  std::int64_t pages = 0;
  for (const TStoredJob& job : store.AllJobs()) {
    ++rows[job.requestId];
    pages += job.pages;
    // Every recorded job's file is whole: its header line, then exactly what was sent.
    const std::string spooled = TempDir::ReadPath(job.spoolPath);
    const std::size_t header = spooled.find('\n');
    ASSERT_NE(header, std::string::npos) << job.spoolPath;
    EXPECT_EQ(spooled.substr(header + 1), sent[job.requestId]) << job.spoolPath;
  }
  EXPECT_EQ(store.UsedPages("team01"), pages) << "charged exactly once per recorded job";
  for (const auto& [id, reply] : answered) {
    EXPECT_EQ(rows[id], 1) << id << " was answered, so it is recorded, once";
    EXPECT_EQ(GetPartOf(reply, "Error"), "") << id;
  }
}

TEST_F(ServerProcessTest, JobsAnsweredButNotPrintedBeforeACrashArePrintedAfterTheRestart) {
  Start({"--print-command", "sleep 600; true"});
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(Ask(PrintRequest("team01_" + std::to_string(i), "team01", "pw", "x\n"))) << server->Output();
  }
  server->Signal(SIGKILL);
  server->Wait(10000);
  const std::string printed = dir.File("printed.log");
  Start({"--print-command", "printf '%s\\n' >> " + printed});
  EXPECT_TRUE(server->WaitForOutput("job 3 printed")) << server->Output();
  // Each job rendered again from its spool file, and its PDF beside it handed to the command.
  std::string log = TempDir::ReadPath(printed);
  for (const std::string& file : SpoolFiles(Spool())) {
    const std::string pdf = file.substr(0, file.size() - 4) + ".pdf";
    EXPECT_NE(log.find(pdf + "\n"), std::string::npos) << log;
    EXPECT_TRUE(std::filesystem::exists(pdf)) << pdf;
  }
  EXPECT_EQ(SpoolFiles(Spool()).size(), 3u);
}

TEST_F(ServerProcessTest, ATeamListThatCannotBeReadOrParsedStopsTheStartNamingFileAndLine) {
  dir.Write("teams.txt", "team01 pw 10\nteam02 pw ten\n");
  ProcessResult bad = RunProcess(Launch({}));
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_NE(bad.output.find(dir.File("teams.txt") + " is not valid: line 2: bad page quota 'ten'"), std::string::npos)
      << bad.output;
  ProcessLaunch missing = Launch({"--teams", dir.File("missing.txt")});
  ProcessResult unreadable = RunProcess(missing);
  EXPECT_EQ(unreadable.exitCode, 1);
  EXPECT_NE(unreadable.output.find("cannot read the team list " + dir.File("missing.txt")), std::string::npos)
      << unreadable.output;
}

TEST_F(ServerProcessTest, UnfinishedRequestsTogetherHoldBoundedMemory) {
  Start({"--memory-limit", "32", "--request-timeout", "600"});
  const long before = PeakMemoryKiB();
  // Twelve peers each send 12 MiB of one packet that never ends: 144 MiB if all were kept.
  std::vector<std::thread> peers;
  std::atomic<int> closed{0};
  for (int i = 0; i < 12; ++i) {
    peers.emplace_back([&] {
      Peer peer(port);
      const std::string chunk(1 << 20, 'm');
      bool sent = true;
      for (int mib = 0; mib < 12 && sent; ++mib) sent = peer.Send(chunk);
      if (!sent || peer.SeesClose(2000)) ++closed;
    });
  }
  for (std::thread& peer : peers) peer.join();
  EXPECT_GT(closed.load(), 0);
  const long grown = PeakMemoryKiB() - before;
  EXPECT_LT(grown, 100 * 1024) << "KiB; the limit is 32 MiB beyond the start";
  EXPECT_TRUE(Ask(PrintRequest("t1_1", "team01", "pw", "x\n"))) << "the server stays up";
}

}  // namespace
}  // namespace lumarix::testing
