// Servers that misbehave: each scenario is scripted, must end within its time
// limits with a negative code (or success where the protocol allows it), and
// must leave the channel able to log in and talk to a good server again.
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "session_fixture.h"
#include "support/test_util.h"

namespace zubtest {
namespace {

class HostileServerTest : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_EQ(zubSetLocalDir(0, dir_.path().c_str()), 0);
    // Active-mode ports of this process's own, clear of the ephemeral range
    // and of the other tests' blocks.
    zubSetInteger(0, ZUB_SET_DATA_PORT, 1100 + (getpid() % 56) * 16);
  }

  // After a scenario: the same channel logs in to a fresh, well-behaved
  // server and a NOOP goes through.
  void expectReusable(const std::string& scenario) {
    zubClose(0);
    ScriptServer good;
    good.greet();
    good.expect("USER anna\r\n");
    good.send("331 Password please.\r\n");
    good.expect("PASS secret\r\n");
    good.send("230 Welcome.\r\n");
    good.expect("NOOP\r\n");
    good.send("200 OK\r\n");
    good.expect("QUIT\r\n");
    good.send("221 Bye.\r\n");
    ASSERT_TRUE(good.start());
    useServer(good);
    EXPECT_EQ(zubConnect(0, "127.0.0.1", "anna", "secret"), 0) << scenario;
    EXPECT_EQ(zubHello(0), 0) << scenario;
    EXPECT_EQ(zubClose(0), 0) << scenario;
    EXPECT_TRUE(good.waitDone()) << scenario;
    EXPECT_TRUE(good.errors().empty()) << scenario;
  }

  TempDir dir_;
};

// Bytes that a text-minded transfer would damage, and that show a cut.
std::string bodyOf(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 11;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

// A data connection that ends in a reset is not an end of data: the
// download or listing fails with the socket's code, though the server
// follows with 226, and the byte count says what arrived.
TEST_F(HostileServerTest, DataConnectionResetIsNoEndOfData) {
  struct Row {
    const char* name;
    DataMode mode;
    bool listing;
  };
  const Row rows[] = {
      {"passive download", DataMode::Passive, false},
      {"active download", DataMode::Active, false},
      {"passive listing", DataMode::Passive, true},
      {"active listing", DataMode::Active, true},
  };
  const std::string body = bodyOf(256 * 1024);
  for (const Row& row : rows) {
    ScriptServer srv;
    loginTo(srv);
    zubSetInteger(0, ZUB_SET_PASSIVE, row.mode == DataMode::Passive ? 1 : 0);
    srv.openData(row.mode);
    if (row.listing) {
      srv.expect("LIST\r\n");
    } else {
      srv.expect("RETR cut.bin\r\n");
    }
    srv.connectData(row.mode);
    srv.send("150 Opening data connection.\r\n");
    srv.dataSend(body);
    srv.dataClose(true);
    srv.send("226 Transfer complete.\r\n");
    srv.silence();
    auto t0 = std::chrono::steady_clock::now();
    if (row.listing) {
      static char list[512 * 1024];
      EXPECT_EQ(zubGetList(0, ZUB_LIST, list, sizeof list), -PLAT_WSAECONNRESET) << row.name;
      EXPECT_LE(rec_->listLen, static_cast<int32_t>(body.size())) << row.name;
    } else {
      EXPECT_EQ(zubGetFile(0, "cut.bin"), -PLAT_WSAECONNRESET) << row.name;
      std::string got = readFile(dir_.file("cut.bin"));
      EXPECT_EQ(zubGetInteger(0, ZUB_GET_BYTES), static_cast<int32_t>(got.size())) << row.name;
      EXPECT_EQ(got, body.substr(0, got.size())) << row.name;
    }
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_LAST_ERROR), -PLAT_WSAECONNRESET) << row.name;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5)) << row.name;
    EXPECT_EQ(rec_->nextState, 0) << row.name;
    EXPECT_EQ(rec_->dataSock, 0) << row.name;
    srv.stop();
    expectReusable(row.name);
  }
}


// A reply that trickles in: a line must end within lineTimeout (1 s here) of
// its first byte, however often a byte comes, and an unfinished line is
// never taken as the reply.
TEST_F(HostileServerTest, RepliesThatTrickleIn) {
  struct Row {
    const char* name;
    std::vector<std::string> pieces;
    int delayMs;
    int32_t result;
  };
  std::vector<std::string> slow{"250 "};
  for (int i = 0; i < 60; i++) slow.push_back(".");
  slow.push_back("\r\n");
  const Row rows[] = {
      {"byte by byte inside lineTimeout", {"2", "5", "0", " ", "O", "K", "\r", "\n"}, 40, 0},
      {"byte every 50 ms for 3 s", slow, 50, ZUB_E_TIMEOUT},
  };
  for (const Row& row : rows) {
    ScriptServer srv;
    loginTo(srv);
    srv.expect("CWD /pub\r\n");
    srv.sendChunks(row.pieces, row.delayMs);
    srv.silence();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(zubSetServerDir(0, "/pub"), row.result) << row.name;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1800)) << row.name;
    srv.stop();
    expectReusable(row.name);
  }
}

}  // namespace
}  // namespace zubtest
