// The contest configuration: finding the contest and the team file, the line rules, includes,
// the team check, and every stop with exit code 7.
#include "ureadcfg/userreadcfg.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>

#include "LumarixUtil.h"
#include "support/environment.h"
#include "support/temp_dir.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>

#include "platform/posix/testing.h"
#endif

namespace lumarix {
namespace {

using testing::ScopedEnvironment;

// In a death test: what the reader writes to standard output is matched on standard error.
void StdoutToStderr() {
  std::fflush(stdout);
#if defined(_WIN32)
  _dup2(_fileno(stderr), _fileno(stdout));
#else
  ::dup2(2, 1);
#endif
}

void ReadConfigShowingOutput(bool strict) {
  StdoutToStderr();
  ReadUserConfig(strict);
  std::printf("returned\n");
  Halt(0);
}

class UserReadCfg : public testing::TempDirTest {
 protected:
  UserReadCfg()
      : programDir_(dir.path() / "program"),
        ctdir_("CTDIR", dir.path().string().c_str()),
        team_("TEAM", nullptr) {
    UserReadCfgModule.Shutdown();  // a fresh module for every test
    std::filesystem::create_directory(programDir_);
#if !defined(_WIN32)
    // "ctdir.txt" is looked for beside the program: here, an empty directory of the test's own.
    win32::testing::SetModuleFileName((programDir_ / "print-client").string().c_str());
#endif
  }
  ~UserReadCfg() override {
#if !defined(_WIN32)
    win32::testing::SetModuleFileName(nullptr);
#endif
    UserReadCfgModule.Shutdown();
  }

  std::filesystem::path programDir_;
  ScopedEnvironment ctdir_;
  ScopedEnvironment team_;
};

using UserReadCfgDeathTest = UserReadCfg;

TEST_F(UserReadCfg, LineRules) {
  dir.Write("server.dat",
            "Team=alpha\n"
            "team = beta\r\n"
            "#PWD=hidden\n"
            "PWD\n"
            "=gamma\n"
            "SERVER=host=1\r\n"
            "empty=\n"
            "Key With Space=v\n"
            "Lower=MiXeD\n"
            "\xe4x=umlaut\n"
            "LONG=" + std::string(1030, 'v') + "\n"
            "EXACT=" + std::string(1024, 'w') + "\r\n"
            "CR=a\rb\n"
            "LAST=unterminated");
  ReadUserConfig(false);
  EXPECT_EQ(CfgValue("TEAM"), "alpha");
  EXPECT_EQ(CfgValue("TEAM "), " beta");
  EXPECT_EQ(CfgValue("#PWD"), "");
  EXPECT_EQ(CfgValue("PWD"), "");
  EXPECT_EQ(CfgValue(""), "");
  EXPECT_EQ(CfgValue("SERVER"), "host=1");
  EXPECT_EQ(CfgValue("EMPTY"), "");
  EXPECT_EQ(CfgValue("KEY WITH SPACE"), "v");
  EXPECT_EQ(CfgValue("LOWER"), "MiXeD");
  EXPECT_EQ(CfgValue("Lower"), "");
  EXPECT_EQ(CfgValue("\xe4X"), "umlaut");  // only a to z change case
  EXPECT_EQ(CfgValue("LONG"), std::string(1024, 'v'));
  EXPECT_EQ(CfgValue("EXACT"), std::string(1024, 'w'));
  EXPECT_EQ(CfgValue("CR"), "a\rb");
  EXPECT_EQ(CfgValue("LAST"), "unterminated");
  EXPECT_EQ(TeamFile, dir.File("server.dat"));
}

TEST_F(UserReadCfg, EmptyValuesAndTheEndOfFileByte) {
  dir.Write("server.dat", "TEAM=alpha\nX=1\nTEAM=\nNEVER=\nY=2\x1aZ=3\n");
  ReadUserConfig(false);  // the team check fails: quiet mode keeps what was read
  EXPECT_EQ(CfgValue("TEAM"), "");
  EXPECT_EQ(CfgValue("X"), "1");
  EXPECT_EQ(CfgValue("Y"), "2");
  EXPECT_EQ(CfgValue("Z"), "");
  SetCfgValue("NEVER", "");
  EXPECT_EQ(CfgValue("NEVER"), "");
}

TEST_F(UserReadCfg, IncludesAreReadDepthFirstWhereTheyStand) {
  std::filesystem::create_directory(dir.path() / "sub");
  std::string nested = dir.File("sub") + kPathSeparator + "nested.cfg";
  dir.Write("sub/nested.cfg", "C=nested\nD=nested\n");
  dir.Write("common.cfg", "A=common\nB=common\nINCLUDE=" + nested + "\nD=common\nINCLUDE=\ninclude=missing.cfg\nE=1\n");
  dir.Write("server.dat", "TEAM=t1\nA=team\nB=team\nInclude=common.cfg\nB=after\n");
  ReadUserConfig(false);
  EXPECT_EQ(CfgValue("A"), "common");
  EXPECT_EQ(CfgValue("B"), "after");
  EXPECT_EQ(CfgValue("C"), "nested");
  EXPECT_EQ(CfgValue("D"), "common");
  EXPECT_EQ(CfgValue("E"), "1");
  EXPECT_EQ(CfgValue("INCLUDE"), "");
}

TEST_F(UserReadCfg, SixteenFilesAreAllowed) {
  for (int i = 1; i <= 15; ++i) {
    dir.Write("c" + std::to_string(i) + ".cfg",
              "DEPTH=" + std::to_string(i) + (i < 15 ? "\nINCLUDE=c" + std::to_string(i + 1) + ".cfg\n" : "\n"));
  }
  dir.Write("server.dat", "TEAM=t\nINCLUDE=c1.cfg\n");
  ReadUserConfig(true);
  EXPECT_EQ(CfgValue("DEPTH"), "15");
}

TEST_F(UserReadCfgDeathTest, SelfIncludeIsTooComplicatedInQuietMode) {
  dir.Write("server.dat", "TEAM=t\nINCLUDE=server.dat\n");
  EXPECT_EXIT(ReadConfigShowingOutput(false), ::testing::ExitedWithCode(kConfigExitCode),
              "^\\*\\*fatal\\*\\*: too complicated configuration files\n$");
}

TEST_F(UserReadCfg, KeysBeyondTheTableAreNotStored) {
  std::string text = "TEAM=t\n";
  for (int i = 1; i < 240; ++i) text += "K" + std::to_string(i) + "=" + std::to_string(i) + "\n";
  text += "K1=changed\nK236=late\n";
  dir.Write("server.dat", text);
  ReadUserConfig(false);
  EXPECT_EQ(CfgValue("K1"), "changed");
  EXPECT_EQ(CfgValue("K236"), "late");  // the 237th key
  EXPECT_EQ(CfgValue("K237"), "");
  EXPECT_EQ(CfgValue("K239"), "");
}

TEST_F(UserReadCfg, TheTeamVariableSelectsTheFile) {
  dir.Write("team05.dat", "TEAM=team05\nPWD=secret\n");
  dir.Write("team06.dat", "TEAM=someone else\nPWD=other\n");
  {
    ScopedEnvironment team("TEAM", "team05");
    ReadUserConfig(false);
    EXPECT_EQ(TeamFile, dir.File("team05.dat"));
    EXPECT_EQ(CfgValue("PWD"), "secret");
  }
  ScopedEnvironment team("TEAM", "team06");
  ReadUserConfig(false);  // the file's TEAM differs: quiet mode keeps its keys
  EXPECT_EQ(CfgValue("TEAM"), "someone else");
  EXPECT_EQ(CfgValue("PWD"), "other");
}

TEST_F(UserReadCfg, TwoMatchingFilesGiveNoTeamFile) {
  dir.Write("team05.dat", "TEAM=team05\n");
  dir.Write("team05old.dat", "TEAM=team05\n");
  ScopedEnvironment team("TEAM", "team05");
  ReadUserConfig(false);
  EXPECT_EQ(TeamFile, "<unknown>");
  EXPECT_EQ(CfgValue("TEAM"), "");
}

TEST_F(UserReadCfg, DirectoriesDoNotCountAsTeamFiles) {
  std::filesystem::create_directory(dir.path() / "server-old.dat");
  dir.Write("server.dat", "TEAM=t\n");
  ReadUserConfig(true);
  EXPECT_EQ(TeamFile, dir.File("server.dat"));
}

TEST_F(UserReadCfg, ContestDirectoryWithTrailingSeparator) {
  dir.Write("server.dat", "TEAM=t\n");
  ScopedEnvironment ctdir("CTDIR", (dir.path().string() + kPathSeparator).c_str());
  ReadUserConfig(true);
  EXPECT_EQ(TeamFile, dir.File("server.dat"));
}

TEST_F(UserReadCfg, LongTeamVariableIsTakenWhole) {
  std::string name(5000, 'n');
  ScopedEnvironment team("TEAM", name.c_str());
  ReadUserConfig(false);
  EXPECT_EQ(TeamName, name);
  EXPECT_EQ(TeamFile, "<unknown>");
}

TEST_F(UserReadCfg, NothingAnywhereGivesEmptyLookups) {
  ScopedEnvironment ctdir("CTDIR", nullptr);
  ReadUserConfig(false);
  for (const char* key : {"TEAM", "PWD", "SERVER", "SERVFILE", ""}) EXPECT_EQ(CfgValue(key), "") << key;
  EXPECT_EQ(TeamFile, "<unknown>");
}

struct StrictStop {
  const char* name;
  const char* message;
  void (*prepare)(const testing::TempDir& dir);
};

const StrictStop kStrictStops[] = {
    {"NoContest", "\\*\\*\\*fatal\\*\\*\\*: No contest found\\.", [](const testing::TempDir&) {}},
    {"NoTeamFile", "\\*\\*fatal\\*\\*: team description file not found",
     [](const testing::TempDir& dir) { dir.Write("team05.dat", "TEAM=team05\n"); }},
    {"TwoTeamFiles", "\\*\\*fatal\\*\\*: more than one team description file found",
     [](const testing::TempDir& dir) {
       dir.Write("server.dat", "TEAM=a\n");
       dir.Write("server2.dat", "TEAM=a\n");
     }},
    {"InvalidTeam", "\\*\\*fatal\\*\\*: invalid local configuration file",
     [](const testing::TempDir& dir) { dir.Write("server.dat", "PWD=x\n"); }},
    {"UnreadableInclude", "\\*\\*fatal\\*\\*: error reading local configuration file",
     [](const testing::TempDir& dir) { dir.Write("server.dat", "TEAM=a\nINCLUDE=missing.cfg\n"); }},
    {"TooComplicated", "\\*\\*fatal\\*\\*: too complicated configuration files",
     [](const testing::TempDir& dir) { dir.Write("server.dat", "TEAM=a\nINCLUDE=server.dat\n"); }},
};

class UserReadCfgStrictDeathTest : public UserReadCfg, public ::testing::WithParamInterface<StrictStop> {};

TEST_P(UserReadCfgStrictDeathTest, StopsWithItsMessageAndExitCode7) {
  GetParam().prepare(dir);
  std::optional<ScopedEnvironment> ctdir;
  if (std::string(GetParam().name) == "NoContest") ctdir.emplace("CTDIR", nullptr);
  EXPECT_EXIT(ReadConfigShowingOutput(true), ::testing::ExitedWithCode(kConfigExitCode),
              std::string("^") + GetParam().message + "\n$");
}

INSTANTIATE_TEST_SUITE_P(Messages, UserReadCfgStrictDeathTest, ::testing::ValuesIn(kStrictStops),
                         [](const auto& info) { return std::string(info.param.name); });

#if !defined(_WIN32)
TEST_F(UserReadCfg, CtDirFileBesideTheProgramNamesTheContest) {
  // Its first line is taken as it is: here the directory's name ends in a space.
  std::filesystem::path contest = dir.path() / "contest ";
  std::filesystem::create_directory(contest);
  dir.Write("contest /server.dat", "TEAM=t\nPWD=p\n");
  dir.Write("program/ctdir.txt", contest.string() + "\r\nignored\n");
  ScopedEnvironment ctdir("CTDIR", nullptr);
  ReadUserConfig(true);
  EXPECT_EQ(CtDir, contest.string());
  EXPECT_EQ(CfgValue("PWD"), "p");
}

TEST_F(UserReadCfg, WithoutContestTheProgramDirectoryIsTried) {
  dir.Write("program/server.dat", "TEAM=t\n");
  ScopedEnvironment ctdir("CTDIR", nullptr);
  ReadUserConfig(false);
  EXPECT_EQ(CtDir, programDir_.string() + "/");
  EXPECT_EQ(TeamFile, programDir_.string() + "/server.dat");
}
#endif

}  // namespace
}  // namespace lumarix
