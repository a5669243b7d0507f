// The print client as a contestant runs it: the built program in a process of its own, its
// standard input a pipe (or, on POSIX, a terminal, and the Windows build in Wine's console),
// against a scripted print server on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <termios.h>
#endif

#include "LumarixSocketStr.h"
#include "support/child_process.h"
#include "support/client_process.h"
#include "support/fake_print_server.h"
#include "support/message.h"
#include "support/print_client_launch.h"
#include "support/temp_dir.h"
#include "support/terminal_text.h"

namespace lumarix::testing {
namespace {

const std::string kEnd = kEol;
const std::string kFailure = kEnd + "\aFATAL: unable to connect to print server." + kEnd + kEnd;
const Reply kPrinted{{"Message", "Your file is printed"}, {"JobPages", "1"}, {"LeftPages", "12"}};

std::string Lines(std::initializer_list<std::string> lines) {
  std::string text;
  for (const auto& line : lines) text += line + kEnd;
  return text;
}

class ClientE2E : public TempDirTest {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir.path() / "contest");
    Configure("TEAM=team05\r\nPWD=secret\r\nSERVER=127.0.0.1\r\n");
  }
  void Configure(const std::string& teamFile) { dir.Write("contest/team05.dat", teamFile); }

  ProcessLaunch Launch(const std::vector<std::string>& arguments, const std::string& input = {}) const {
    return PrintClientLaunch(dir.path(), arguments, input);
  }
  ProcessResult Run(const std::vector<std::string>& arguments, const std::string& input) {
    return RunProcess(Launch(arguments, input));
  }

  // The output from the start to the confirmation, for a file given as argument.
  static std::string Confirmation(const std::string& file, const std::string& answer) {
    return kEnd + "You are printing text file " + file + kEnd + kEnd +
           "Are you sure (type YES in capital letters to confirm)? " + answer + kEnd + kEnd;
  }

  // Prints `file`, answered YES, expecting the final failure ("unable to connect", exit 1);
  // gives the time it took.
  std::chrono::steady_clock::duration RunToFailure(const std::string& file) {
    const auto start = std::chrono::steady_clock::now();
    ProcessResult result = Run({file}, "YES\n");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, Confirmation(file, "YES") + kFailure);
    return std::chrono::steady_clock::now() - start;
  }

  static std::string Printed() { return Lines({"Your file is printed", "", "1 page has been printed", "Page limit: 12 pages left", ""}); }
};

TEST_F(ClientE2E, ConfiguredTeamPrintsWithoutAskingAndSendsTheRequestExactly) {
  std::string contents;
  for (int byte = 0; byte < 256; ++byte) contents.push_back(static_cast<char>(byte));
  contents += "\r\n\x1a tail";
  std::string file = dir.Write("a.cpp", contents);
  FakePrintServer server(Answer(kPrinted));
  ASSERT_TRUE(server.listening());

  ProcessResult result = Run({file}, "YES\n");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.output, Confirmation(file, "YES") + Printed());

  Parts request = TakeParts(ParseMsg(server.Request()));
  ASSERT_EQ(request.size(), 5u);
  EXPECT_EQ(request[0].first, "ID");
  EXPECT_TRUE(std::regex_match(request[0].second, std::regex("team05_[0-9]+_([^_ ]+ )?[0-9]{1,2}:[0-9]{2}:[0-9]{2}( [^_ ]+)?_Print")))
      << request[0].second;
  EXPECT_EQ(request[1], (std::pair<std::string, std::string>{"Team", "team05"}));
  EXPECT_EQ(request[2], (std::pair<std::string, std::string>{"Password", "secret"}));
  EXPECT_EQ(request[3], (std::pair<std::string, std::string>{"Contents", contents}));
  EXPECT_EQ(request[4], (std::pair<std::string, std::string>{"Filename", file}));
}

TEST_F(ClientE2E, ConfiguredTeamWithoutPasswordSendsAnEmptyOne) {
  Configure("TEAM=team05\nSERVER=127.0.0.1\n");
  std::string file = dir.Write("a.cpp", "x");
  FakePrintServer server(Answer(kPrinted));
  ProcessResult result = Run({file}, "YES\n");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(GetPartOf(TakeParts(ParseMsg(server.Request())), "Password"), "");
}

TEST_F(ClientE2E, TypedCredentialsAndFileNameWithThePasswordNeverShown) {
  Configure("SERVER=127.0.0.1\n");
  std::string file = dir.Write("b.cpp", "");
  FakePrintServer server(Answer(kPrinted));
  ProcessResult result = Run({}, "red team\nsecr\bcret\n" + file + "\nYES\n");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.output, "Enter user name: red team" + kEnd + "Enter password (not echoed): " + kEnd + kEnd +
                               "Enter source file path to print: " + file + kEnd + Confirmation(file, "YES") +
                               Printed());
  EXPECT_EQ(result.output.find("secr"), std::string::npos);
  Parts request = TakeParts(ParseMsg(server.Request()));
  EXPECT_EQ(GetPartOf(request, "Team"), "red team");
  EXPECT_EQ(GetPartOf(request, "Password"), "seccret");
  EXPECT_EQ(GetPartOf(request, "Contents"), "");
  // Without a configured team the ID starts with "_"; the typed name is not in it.
  EXPECT_EQ(GetPartOf(request, "ID").substr(0, 1), "_");
}

TEST_F(ClientE2E, AnythingButYesCancels) {
  std::string file = dir.Write("a.cpp", "x");
  const std::string banner = Lines({"\a**********************", "* PRINTING CANCELLED *", "* Your file NOT sent *",
                                    "**********************", "\a"});
  for (std::string answer : {"yes", " YES", "YES ", ""}) {
    ProcessResult result = Run({file}, answer + "\n");
    EXPECT_EQ(result.exitCode, 1) << "'" << answer << "'";
    EXPECT_EQ(result.output, Confirmation(file, answer) + banner) << "'" << answer << "'";
  }
}

TEST_F(ClientE2E, FilesThatAreNotThereOrAreNotFilesAreNotFound) {
  std::string missing = dir.File("missing.cpp");
  ProcessResult typed = Run({}, missing + "\n");
  EXPECT_EQ(typed.exitCode, 1);
  EXPECT_EQ(typed.output, kEnd + "Enter source file path to print: " + missing + kEnd + kEnd + "\aFile " + missing +
                              " could not be found" + kEnd);

  ProcessResult empty = Run({}, "\n");
  EXPECT_EQ(empty.exitCode, 1);
  EXPECT_NE(empty.output.find("\aFile  could not be found"), std::string::npos) << empty.output;

  dir.Write("a1.cpp", "x");
  for (std::string path : {dir.path().string(), dir.File("a?.cpp"), dir.File("*.cpp")}) {
    ProcessResult result = Run({path}, "YES\n");
    EXPECT_EQ(result.exitCode, 1) << path;
    EXPECT_EQ(result.output, Confirmation(path, "YES") + kEnd + "\aFile " + path + " could not be found" + kEnd) << path;
  }
}

TEST_F(ClientE2E, TheSizeLimitIsExact) {
  std::string atLimit = dir.Write("limit.txt", std::string(524288, 'x'));
  std::string over = dir.Write("over.txt", std::string(524289, 'x'));
  {
    FakePrintServer server(Answer(kPrinted));
    ProcessResult result = Run({atLimit}, "YES\n");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(GetPartOf(TakeParts(ParseMsg(server.Request())), "Contents").size(), 524288u);
  }
  FakePrintServer server(Answer(kPrinted));
  ProcessResult result = Run({over}, "YES\n");
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.output, Confirmation(over, "YES") + "\aFile read error (may be file>512k)" + kEnd);
  EXPECT_EQ(server.connections(), 0);
}

#if !defined(_WIN32)
TEST_F(ClientE2E, AFifoIsNoFileToReadAndFailsAtOnce) {
  const std::string fifo = dir.File("fifo.cpp");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  FakePrintServer server(Answer(kPrinted));
  ProcessResult result = Run({fifo}, "YES\n");
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.output, Confirmation(fifo, "YES") + "\aFile read error (may be file>512k)" + kEnd);
  EXPECT_EQ(server.connections(), 0);
}
#endif

TEST_F(ClientE2E, NoServerConfiguredFailsAtOnceWithExitCodeOne) {
  Configure("TEAM=team05\n");
  std::string file = dir.Write("a.cpp", "x");
  EXPECT_LT(RunToFailure(file), std::chrono::seconds(6));
}

TEST_F(ClientE2E, RepliesForOtherRequestsAreIgnored) {
  std::string file = dir.Write("a.cpp", "x");
  ServerScript script = Answer(kPrinted);
  auto right = script.reply;
  script.reply = [right](const std::string& request) {
    std::vector<std::string> chunks{Gather({{"ID", "someone_else"}, {"Error", "not yours"}}),
                                    Gather({{"Message", "no ID at all"}})};
    for (auto& chunk : right(request)) chunks.push_back(chunk);
    return chunks;
  };
  FakePrintServer server(script);
  ProcessResult result = Run({file}, "YES\n");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.output, Confirmation(file, "YES") + Printed());
}

TEST_F(ClientE2E, PageCountsInTheirThreeLengthClasses) {
  std::string file = dir.Write("a.cpp", "x");
  struct Case {
    const char* jobPages;
    const char* leftPages;
    std::string expected;
  } cases[] = {
      {"1", "1", Lines({"1 page has been printed", "Page limit: 1 page left", ""})},
      {"12345", "01", Lines({"12345 pages have been printed", "Page limit: 01 pages left", ""})},
      {"123456", "unlimited", Lines({"Infinity pages have been printed", "Page limit: infinity pages left", ""})},
  };
  for (const auto& test : cases) {
    FakePrintServer server(Answer({{"JobPages", test.jobPages}, {"LeftPages", test.leftPages}}));
    ProcessResult result = Run({file}, "YES\n");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, Confirmation(file, "YES") + test.expected) << test.jobPages;
  }
}

TEST_F(ClientE2E, ErrorShowsTheFatalBlockAfterTheMessage) {
  std::string file = dir.Write("a.cpp", "x");
  FakePrintServer server(Answer({{"Message", "Seen"}, {"Error", "Quota exceeded"}}));
  ProcessResult result = Run({file}, "YES\n");
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.output, Confirmation(file, "YES") +
                               Lines({"Seen", "", "\aFATAL ERROR: Quota exceeded",
                                      "*** Please immediately report to the jury ***",
                                      "Unable to send file to the printer, exiting.", "\a"}));
}

TEST_F(ClientE2E, WarningEndsAsAnAnsweredRequest) {
  std::string file = dir.Write("a.cpp", "x");
  FakePrintServer server(Answer({{"JobPages", "2"}, {"Warning", "NUL bytes"}}));
  ProcessResult result = Run({file}, "YES\n");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.output, Confirmation(file, "YES") + Lines({"2 pages have been printed", "WARNING: NUL bytes", ""}));
}

// The client writes its own line ends; a LF or CR LF inside a reply text is the server's and
// reaches the screen (or the file the output is redirected to) unconverted.
TEST_F(ClientE2E, ReplyTextsPassThroughByteExact) {
  std::string file = dir.Write("a.cpp", "x");
  {
    FakePrintServer server(Answer({{"Message", "one\ntwo\r\nthree\r"}, {"Warning", "a\nb\r\n"}}));
    ProcessResult result = Run({file}, "YES\n");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, Confirmation(file, "YES") + "one\ntwo\r\nthree\r" + kEnd + kEnd + "WARNING: a\nb\r\n" + kEnd + kEnd);
  }
  FakePrintServer server(Answer({{"Error", "no\nquota\r\n"}}));
  ProcessResult result = Run({file}, "YES\n");
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.output, Confirmation(file, "YES") + "\aFATAL ERROR: no\nquota\r\n" + kEnd +
                               Lines({"*** Please immediately report to the jury ***",
                                      "Unable to send file to the printer, exiting.", "\a"}));
}

TEST_F(ClientE2E, AReplyInSingleBytesAndAReplyFollowedByTheCloseBothArrive) {
  std::string file = dir.Write("a.cpp", "x");
  {
    FakePrintServer server(Answer(kPrinted, nullptr, 1, false));
    ProcessResult result = Run({file}, "YES\n");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, Confirmation(file, "YES") + Printed());
  }
  FakePrintServer server(Answer(kPrinted, nullptr, 0, true));
  ProcessResult result = Run({file}, "YES\n");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.output, Confirmation(file, "YES") + Printed());
}

TEST_F(ClientE2E, AServerThatClosesOrSendsGarbageEndsTheWaitAtOnce) {
  std::string file = dir.Write("a.cpp", "x");
  ServerScript garbage;
  garbage.reply = [](const std::string&) { return std::vector<std::string>{std::string("\0---\0a\x18\x01\0+++\0", 12)}; };
  ServerScript closing;
  closing.closeAtOnce = true;
  for (const ServerScript& script : {closing, garbage}) {
    FakePrintServer server(script);
    EXPECT_LT(RunToFailure(file), std::chrono::seconds(7));
  }
}

TEST_F(ClientE2E, NoReplyFailsAfterAboutEightSeconds) {
  std::string file = dir.Write("a.cpp", "x");
  ServerScript silent;
  silent.closeAfterReply = false;
  FakePrintServer server(silent);
  EXPECT_GE(RunToFailure(file), std::chrono::milliseconds(7900));
}

TEST_F(ClientE2E, AServerFileNamesTheServer) {
  std::string file = dir.Write("a.cpp", "x");
  const std::string serverFile = dir.File("server.bin");
  Configure("TEAM=team05\nPWD=secret\nSERVFILE=" + serverFile + "\n");
  // Family 2, length 4, then 127.0.0.1 in network byte order.
  dir.Write("server.bin", std::string("\x02\x00\x04\x00\x7f\x00\x00\x01", 8));
  {
    FakePrintServer server(Answer(kPrinted));
    ASSERT_TRUE(server.listening());
    ProcessResult result = Run({file}, "YES\n");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, Confirmation(file, "YES") + Printed());
    EXPECT_EQ(GetPartOf(TakeParts(ParseMsg(server.Request())), "Contents"), "x");
  }
  // A family other than 2, a length above 4, or fewer address bytes than announced: no
  // connection is tried and the failure comes at once.
  for (std::string bad : {std::string("\x03\x00\x04\x00\x7f\x00\x00\x01", 8), std::string("\x02\x00\x05\x00\x7f\x00\x00\x01\x00", 9),
                          std::string("\x02\x00\x04\x00\x7f\x00", 6)}) {
    SCOPED_TRACE("server file of " + std::to_string(bad.size()) + " bytes");
    dir.Write("server.bin", bad);
    FakePrintServer server(Answer(kPrinted));
    EXPECT_LT(RunToFailure(file), std::chrono::seconds(6));
    EXPECT_EQ(server.connections(), 0);
  }
}

#if !defined(_WIN32)
// At a real terminal: the person types the team, the password and the file name, and presses
// Ctrl+C at every prompt. The terminal is raw while the client reads, so the byte 0x03 reaches it
// as a key (no SIGINT for its process group) and the readers ignore it.
TEST_F(ClientE2E, AtATerminalThePasswordIsNeverShownAndCtrlCIsIgnored) {
  Configure("SERVER=127.0.0.1\n");
  std::string file = dir.Write("typed.cpp", "int main() {}\n");
  FakePrintServer server(Answer(kPrinted));
  ASSERT_TRUE(server.listening());

  ChildProcess client(ChildProcess::Input::Terminal, Launch({}));
  ASSERT_TRUE(client.WaitFor("Enter user name: ")) << client.Screen();
  client.Type("red\x03 team\r");
  ASSERT_TRUE(client.WaitFor("Enter password (not echoed): ")) << client.Screen();
  client.Type("\x7fQz\x03# 7\x7fK9\r");  // Backspace on nothing; a blank kept; Backspace takes the 7
  ASSERT_TRUE(client.WaitFor("Enter source file path to print: ")) << client.Screen();
  client.Type(file.substr(0, 4) + "\x03" + file.substr(4) + "\r");
  ASSERT_TRUE(client.WaitFor("(type YES in capital letters to confirm)? ")) << client.Screen();
  client.Type("\x03YES\r");
  ASSERT_EQ(client.Wait(20000), 0) << client.Screen();

  // The terminal turns each line end into CR LF.
  const std::string end = "\r\n";
  EXPECT_EQ(client.Screen(), "Enter user name: red team" + end + "Enter password (not echoed): " + end + end +
                                 "Enter source file path to print: " + file + end + end +
                                 "You are printing text file " + file + end + end +
                                 "Are you sure (type YES in capital letters to confirm)? YES" + end + end +
                                 "Your file is printed" + end + end + "1 page has been printed" + end +
                                 "Page limit: 12 pages left" + end + end);
  for (const char* piece : {"Qz", "#", "K9"}) EXPECT_EQ(client.Screen().find(piece), std::string::npos) << piece;
  struct termios mode = client.TerminalMode();
  EXPECT_TRUE((mode.c_lflag & ICANON) && (mode.c_lflag & ECHO) && (mode.c_lflag & ISIG)) << "terminal left raw";

  Parts request = TakeParts(ParseMsg(server.Request()));
  EXPECT_EQ(GetPartOf(request, "Team"), "red team");
  EXPECT_EQ(GetPartOf(request, "Password"), "Qz# K9");
  EXPECT_EQ(GetPartOf(request, "Filename"), file);
  EXPECT_EQ(GetPartOf(request, "Contents"), "int main() {}\n");
}

// The Windows build in Wine's own console: with a pseudo-terminal as its standard input, Wine
// hands the program real console input records, so this is the Win32 console input path end to
// end. Wine draws with cursor movements, so the screen is compared as the person sees it (Wine
// shows no bell). Wine may take long to start; every wait is bounded.
class ClientE2EWineConsole : public ClientE2E {
 protected:
  static constexpr int kStartMs = 90000;
  static constexpr int kStepMs = 20000;

  void SetUp() override {
    ClientE2E::SetUp();
    const std::filesystem::path client = WINDOWS_PRINT_CLIENT_PATH;
    if (!std::filesystem::exists(client) || !std::filesystem::exists(client.parent_path() / "wine-run")) {
      GTEST_SKIP() << "no Windows build with its Wine launcher at " << client;
    }
    ASSERT_TRUE(std::filesystem::exists(WindowsPrintClientPrefix() / ".ready"))
        << "no Wine prefix: run scripts/wine-prefix " << WindowsPrintClientPrefix();
    Configure("SERVER=127.0.0.1\n");
    dir.Write("typed.cpp", "int main() {}\r\n");
  }

  // Wine's console makes the terminal raw only once the program first waits for a key, a moment
  // after the first prompt shows; what is typed before that is the terminal's own cooked line.
  static void WaitForTheFirstPrompt(ChildProcess& client) {
    ASSERT_TRUE(client.WaitForVisible("Enter user name: ", kStartMs)) << client.Screen();
    ASSERT_TRUE(client.WaitForTerminalMode([](const struct termios& mode) { return !(mode.c_lflag & ICANON); }, kStepMs))
        << "the terminal stayed in line mode";
  }

  static std::string Transcript() {
    return "Enter user name: red team\nEnter password (not echoed): \n\nEnter source file path to print: typed.cpp\n\n"
           "You are printing text file typed.cpp\n\nAre you sure (type YES in capital letters to confirm)? YES\n\n"
           "Your file is printed\n\n1 page has been printed\nPage limit: 12 pages left\n\n";
  }

  // The end of a typed dialogue: the client printed, the password never showed, and the
  // server got what was typed.
  static void ExpectPrinted(ChildProcess& client, FakePrintServer& server) {
    ASSERT_EQ(client.Wait(kStepMs), 0) << VisibleText(client.Screen());
    EXPECT_EQ(VisibleText(client.Screen()), Transcript());
    for (const char* piece : {"Qz", "#", "K9"}) EXPECT_EQ(client.Screen().find(piece), std::string::npos) << piece;
    Parts request = TakeParts(ParseMsg(server.Request()));
    EXPECT_EQ(GetPartOf(request, "Team"), "red team");
    EXPECT_EQ(GetPartOf(request, "Password"), "Qz#K9");
    EXPECT_EQ(GetPartOf(request, "Filename"), "typed.cpp");
    EXPECT_EQ(GetPartOf(request, "Contents"), "int main() {}\r\n");
  }
};

TEST_F(ClientE2EWineConsole, TypedDialogueWithBackspaceAndArrowsAndThePasswordNeverShown) {
  FakePrintServer server(Answer(kPrinted));
  ASSERT_TRUE(server.listening());
  ChildProcess client(ChildProcess::Input::Terminal, WindowsPrintClientLaunch(dir.path(), {}));
  WaitForTheFirstPrompt(client);
  if (HasFatalFailure()) return;
  client.Type("rex");
  ASSERT_TRUE(client.WaitForVisible("rex", kStepMs)) << client.Screen();
  client.Type("\x7f" "d\x1b[D te\x1b[Aam\r");  // the backspace takes the x; Left and Up are ignored
  ASSERT_TRUE(client.WaitForVisible("Enter password (not echoed): ", kStepMs)) << client.Screen();
  client.Type("Qz#7\x7fK9\x1b[B\r");  // the backspace takes the 7; Down is ignored
  ASSERT_TRUE(client.WaitForVisible("Enter source file path to print: ", kStepMs)) << client.Screen();
  client.Type("typed.cpp\r");
  ASSERT_TRUE(client.WaitForVisible("(type YES in capital letters to confirm)? ", kStepMs)) << client.Screen();
  client.Type("YES\r");
  ExpectPrinted(client, server);
}

// Ctrl+C at every prompt, in the middle of a word too. Wine's console raises a Ctrl+C event for
// it, which used to end the client at once with exit code 0 and nothing printed. The terminal
// discards input not yet read when Ctrl+C comes, so each Ctrl+C follows what was shown.
TEST_F(ClientE2EWineConsole, CtrlCAtEveryPromptIsIgnored) {
  FakePrintServer server(Answer(kPrinted));
  ASSERT_TRUE(server.listening());
  ChildProcess client(ChildProcess::Input::Terminal, WindowsPrintClientLaunch(dir.path(), {}));
  WaitForTheFirstPrompt(client);
  if (HasFatalFailure()) return;
  client.Type("\x03red");
  ASSERT_TRUE(client.WaitForVisible("red", kStepMs)) << client.Screen();
  client.Type("\x03 team\r");
  ASSERT_TRUE(client.WaitForVisible("Enter password (not echoed): ", kStepMs)) << client.Screen();
  client.Type("\x03Qz#K9\r");
  ASSERT_TRUE(client.WaitForVisible("Enter source file path to print: ", kStepMs)) << client.Screen();
  client.Type("\x03typed");
  ASSERT_TRUE(client.WaitForVisible("typed", kStepMs)) << client.Screen();
  client.Type("\x03.cpp\r");
  ASSERT_TRUE(client.WaitForVisible("(type YES in capital letters to confirm)? ", kStepMs)) << client.Screen();
  client.Type("\x03YES");
  ASSERT_TRUE(client.WaitForVisible("YES", kStepMs)) << client.Screen();
  client.Type("\x03\r");
  ExpectPrinted(client, server);
}
#endif

}  // namespace
}  // namespace lumarix::testing
