// Connecting by name and via the server file, against a plain listener on 127.0.0.1.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "LumarixSocket.h"
#include "support/loopback_peer.h"
#include "support/message.h"
#include "support/socket_fixture.h"
#include "support/temp_dir.h"

namespace lumarix {
namespace {

using namespace socklib;
using testing::Bytes;
using testing::PlainListener;

class SocketConnect : public testing::ChannelsTest {
 protected:
  void TearDown() override { SelectServerFileName(""); }
  // A channel that must have connected to the listener, kept for the fixture to close.
  void ExpectConnected(std::int32_t ch, const char* remote) {
    ASSERT_GE(ch, 0);
    opened.push_back(ch);
    EXPECT_EQ(sockdata[ch].load()->remote, remote);
    EXPECT_EQ(sockdata[ch].load()->udata, 9);
    const SOCKET peer = listener.Accept();
    ASSERT_NE(peer, INVALID_SOCKET);
    closesocket(peer);
  }
  std::string ServerFile(std::uint16_t family, std::int16_t length, const std::string& address) {
    std::string bytes = Bytes({family & 0xFF, family >> 8, length & 0xFF, (length >> 8) & 0xFF}) + address;
    return dir.Write("server.dat", bytes);
  }
  // Moves the file's last-write time, so that the next connect reads it again.
  static void Touch(const std::string& path, int hours) {
    const auto time = std::filesystem::last_write_time(path);
    std::filesystem::last_write_time(path, time + std::chrono::hours(hours));
  }

  PlainListener listener;
  testing::TempDir dir;
  const std::string loopback = Bytes({127, 0, 0, 1});
};

TEST_F(SocketConnect, ByDottedAddressAndByName) {
  ExpectConnected(ConnectByName(listener.port(), 9, "127.0.0.1"), "127.0.0.1");
  ExpectConnected(ConnectByName(listener.port(), 9, "localhost"), "127.0.0.1");
}

TEST_F(SocketConnect, ARefusedConnectionGivesMinusOneAndKeepsNoChannel) {
  std::uint16_t closedPort = 0;
  {
    PlainListener gone;
    closedPort = gone.port();
  }
  const std::int32_t before = GetNewChannel();
  DecRef(before);
  EXPECT_EQ(ConnectByName(closedPort, 9, "127.0.0.1"), -1);
  const std::int32_t after = GetNewChannel();
  EXPECT_EQ(after, before);
  DecRef(after);
}

TEST_F(SocketConnect, WithAllChannelsInUseTheConnectionIsClosedAgain) {
  std::vector<std::int32_t> taken;
  for (std::int32_t c = GetNewChannel(); c >= 0; c = GetNewChannel()) taken.push_back(c);
  EXPECT_EQ(ConnectByName(listener.port(), 9, "127.0.0.1"), -1);
  for (std::int32_t c : taken) DecRef(c);
  const SOCKET peer = listener.Accept();
  ASSERT_NE(peer, INVALID_SOCKET);
  EXPECT_TRUE(testing::SeesClose(peer));
  closesocket(peer);
}

TEST_F(SocketConnect, ViaFileReadsTheAddressAndRefusesBadFiles) {
  const std::string path = ServerFile(2, 4, loopback);
  SelectServerFileName(path);
  ExpectConnected(ConnectViaFile(listener.port(), 9), "127.0.0.1");
  struct Bad {
    std::uint16_t family;
    std::int16_t length;
    std::string address;
  };
  for (const Bad& bad : {Bad{3, 4, loopback}, Bad{2, 5, loopback + "x"}, Bad{2, 4, loopback.substr(0, 3)},
                         Bad{2, -1, loopback}}) {
    ServerFile(bad.family, bad.length, bad.address);
    Touch(path, 1);
    EXPECT_EQ(ConnectViaFile(listener.port(), 9), -1) << bad.family << " " << bad.length;
  }
  ServerFile(2, 4, loopback);
  Touch(path, 2);
  ExpectConnected(ConnectViaFile(listener.port(), 9), "127.0.0.1");
  std::filesystem::remove(path);
  EXPECT_EQ(ConnectViaFile(listener.port(), 9), -1);
  ServerFile(2, 4, loopback);
  SelectServerFileName("");
  EXPECT_EQ(ConnectViaFile(listener.port(), 9), -1);
}

#if !defined(_WIN32)
// Windows refuses to connect to the any-address that a file without address bytes leaves;
// Wine hands it to the host, which would connect to itself, so this runs on POSIX only.
TEST_F(SocketConnect, AFileWithoutAddressBytesReachesNoLocalServer) {
  SelectServerFileName(ServerFile(2, 0, ""));
  EXPECT_EQ(ConnectViaFile(listener.port(), 9), -1);
}
#endif

TEST_F(SocketConnect, TheFileIsReadAgainOnlyWhenItsTimeOrNameChanges) {
  const std::string path = ServerFile(2, 4, loopback);
  // A whole second, which every file system keeps exactly when it is set again.
  const auto time = std::chrono::floor<std::chrono::seconds>(std::filesystem::last_write_time(path));
  std::filesystem::last_write_time(path, time);
  SelectServerFileName(path);
  ExpectConnected(ConnectViaFile(listener.port(), 9), "127.0.0.1");
  ServerFile(3, 4, loopback);
  std::filesystem::last_write_time(path, time);
  SelectServerFileName(path);  // the same name keeps what was read
  ExpectConnected(ConnectViaFile(listener.port(), 9), "127.0.0.1");
  SelectServerFileName(dir.File("other.dat"));
  EXPECT_EQ(ConnectViaFile(listener.port(), 9), -1);
  SelectServerFileName(path);  // another name in between forces the read
  EXPECT_EQ(ConnectViaFile(listener.port(), 9), -1);
}

}  // namespace
}  // namespace lumarix
