// The socket primitives: readiness tests under the global lock, the waits and
// their "!" marks, whole sends with their trace line, closing with a linger.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "engine_fixture.h"
#include "support/test_util.h"

namespace zubtest {
namespace {

class SocketsTest : public EngineTest {
 protected:
  // True when another thread can take the global lock within ms.
  static bool lockIsFree(int ms = 2000) {
    auto taken = std::make_shared<std::atomic<bool>>(false);
    std::thread([taken] {
      platLockEnter();
      platLockLeave();
      *taken = true;
    }).detach();
    for (int i = 0; i < ms && !*taken; i++) platSleep(1);
    return *taken;
  }
};

TEST_F(SocketsTest, BadModeIsRefusedAndLeavesTheLockFree) {
  int32_t s = createSocket();
  ASSERT_GT(s, 0);
  EXPECT_EQ(testSocket(s, 0), ZUB_E_BAD_STATUS_FLAG);
  EXPECT_EQ(testSocket(s, 4), ZUB_E_BAD_STATUS_FLAG);
  EXPECT_TRUE(lockIsFree());
  // "No socket" (0) is never ready, whatever the process has as descriptor 0.
  EXPECT_EQ(testSocket(0, PLAT_WRITABLE), 0);
  EXPECT_EQ(testSocket(0, PLAT_READABLE), 0);
  EXPECT_EQ(closeSocket(s, 0), 1);
}

// The leak checks of the sweeps count descriptors: the count must see a
// socket and a file while they are open, and lose them when they close.
TEST_F(SocketsTest, DescriptorCountSeesSocketsAndFiles) {
  TempDir dir;
  const int before = openDescriptorCount();
  ASSERT_GT(before, 0);
  int32_t s = createSocket();
  ASSERT_GT(s, 0);
  EXPECT_EQ(openDescriptorCount(), before + 1);
  int32_t f = platFileCreate(dir.file("counted").c_str(), PLAT_ATTR_NORMAL);
  ASSERT_GT(f, 0);
  EXPECT_EQ(openDescriptorCount(), before + 2);
  EXPECT_EQ(closeSocket(s, 0), 1);
  platFileClose(f);
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST_F(SocketsTest, CreateFailureIsInvalidSocket) {
  platFaultSet(PLAT_OP_SOCKET, 1, PLAT_WSAEMFILE);
  EXPECT_EQ(createSocket(), ZUB_E_INVALID_SOCKET);
  EXPECT_TRUE(lockIsFree());
}

TEST_F(SocketsTest, WaitsOnASocketThatNeverConnects) {
  openLog();
  settings.sleepTime = 10;
  int32_t s = createSocket();
  ASSERT_GT(s, 0);

  // 0 ms: one error test and one condition test, no sleep, no mark.
  settings.sleepTime = 300;
  uint32_t t0 = platTickCount();
  EXPECT_EQ(waitForWritable(s, 0), 0);
  EXPECT_LT(platTickCount() - t0, 150u);
  EXPECT_EQ(readLog(), "");

  // 50 ms: one mark per sleep, given up once 50 ms have passed.
  settings.sleepTime = 10;
  t0 = platTickCount();
  EXPECT_EQ(waitForWritable(s, 50), 0);
  uint32_t took = platTickCount() - t0;
  EXPECT_GE(took, 50u);
  EXPECT_LT(took, 1000u);
  std::string log = readLog();
  EXPECT_GE(log.size(), 1u);
  EXPECT_LE(log.size(), 6u);
  EXPECT_EQ(log, std::string(log.size(), '!'));

  // The readable wait writes no marks.
  EXPECT_EQ(waitForReadable(s, 30), 0);
  EXPECT_EQ(readLog(), log);
  EXPECT_EQ(closeSocket(s, 0), 1);
}

TEST_F(SocketsTest, RefusedConnectEndsTheWaitAtOnce) {
  // A port where nothing listens.
  int32_t probe = createSocket();
  PlatSockAddr a{};
  a.family = PLAT_AF_INET;
  a.addrNet = platHtonl(0x7F000001u);
  ASSERT_EQ(platBind(probe, &a), 0);
  ASSERT_EQ(platGetSockName(probe, &a), 0);
  closeSocket(probe, 0);

  int32_t s = createSocket();
  uint32_t arg = 1;
  ASSERT_EQ(platSetNonBlocking(s, &arg), 0);
  platConnect(s, &a);
  // Let the refusal arrive, then the wait must end at its first poll.
  PlatWait w{s, PLAT_WRITABLE};
  platWaitSockets(&w, 1, 1000);
  uint32_t t0 = platTickCount();
  EXPECT_EQ(waitForWritable(s, 5000), 0);
  EXPECT_LT(platTickCount() - t0, 1000u);
  EXPECT_EQ(testSocket(s, PLAT_ERROR), 1);
  closeSocket(s, 0);
}

TEST_F(SocketsTest, SendAllSendsWholeAndTracesEachSend) {
  ScriptServer srv;
  srv.expect("NOOP 1234\r\n");
  srv.send("200 Fine\r\n");
  ASSERT_TRUE(srv.start());
  connectControlTo(srv);
  openLog();
  int32_t s = rec_->ctrlSock;
  EXPECT_EQ(sendAll(s, "NOOP 1234\r\n", 11), 11);
  EXPECT_EQ(readLog(), "send(" + std::to_string(s) + "):11\r\n");
  EXPECT_EQ(sendAll(s, "", 0), 0);  // nothing to send, once writable
  EXPECT_EQ(waitForReadable(s, 3000), 1);
  EXPECT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty());

  // A failing send reports the socket error; the trace shows its result.
  platFaultSet(PLAT_OP_SEND, 1, PLAT_WSAECONNRESET);
  EXPECT_EQ(sendAll(s, "QUIT\r\n", 6), -PLAT_WSAECONNRESET);
  EXPECT_NE(readLog().find("send(" + std::to_string(s) + "):-1\r\n"), std::string::npos);

  // Without a library-wide log nothing is written.
  std::string before = readLog();
  globalTraceLog = 0;
  EXPECT_EQ(sendAll(s, "NOOP\r\n", 6), 6);
  EXPECT_EQ(readLog(), before);
}

TEST_F(SocketsTest, SendAllGivesUpOnASocketThatNeverBecomesWritable) {
  settings.replyTimeout = 100;
  int32_t s = createSocket();
  uint32_t t0 = platTickCount();
  EXPECT_EQ(sendAll(s, "USER x\r\n", 8), ZUB_E_SOCKET_CLOSED);
  EXPECT_GE(platTickCount() - t0, 100u);
  closeSocket(s, 0);
}

// 0 is "no socket": nothing can become ready on it, so a wait or a send
// fails at once instead of holding the caller for its whole time.
TEST_F(SocketsTest, NoSocketFailsWithoutWaiting) {
  openLog();
  settings.replyTimeout = 3000;
  uint32_t t0 = platTickCount();
  EXPECT_EQ(waitForWritable(0, 3000), 0);
  EXPECT_EQ(waitForReadable(0, 3000), 0);
  EXPECT_EQ(sendAll(0, "NOOP\r\n", 6), ZUB_E_SOCKET_CLOSED);
  EXPECT_LT(platTickCount() - t0, 1000u);
  EXPECT_EQ(readLog(), "");  // no marks, no send
}

TEST_F(SocketsTest, CloseLingersInsideTheLock) {
  int32_t s = createSocket();
  ASSERT_GT(s, 0);
  std::atomic<int32_t> result{0};
  zubtest::Mark t0 = zubtest::markNow();
  std::thread closer([&] { result = closeSocket(s, 0x10000 + 500); });  // only the low 16 bits count
  platSleep(50);
  // Another channel's readiness test waits for the linger to end.
  testSocket(s, PLAT_READABLE);
  uint32_t blocked = zubtest::msSince(t0);
  closer.join();
  uint32_t took = zubtest::msSince(t0);
  EXPECT_EQ(result.load(), 1);
  EXPECT_GE(took, 250u - zubtest::kTimerSlackMs);
  EXPECT_LT(took, 2000u);
  EXPECT_GE(blocked, 240u - zubtest::kTimerSlackMs);

  s = createSocket();
  t0 = zubtest::markNow();
  EXPECT_EQ(closeSocket(s, 125), 1);
  EXPECT_GE(zubtest::msSince(t0), 62u - zubtest::kTimerSlackMs);

  EXPECT_EQ(closeSocket(-5, 0), -PLAT_WSAENOTSOCK);
  EXPECT_TRUE(lockIsFree());
}

// Without the pauses a close neither lingers nor holds the lock, and the
// peer still receives every byte sent before it, then the end.
TEST_F(SocketsTest, CloseWithoutPausesIsImmediateAndGraceful) {
  zubSetInteger(0, ZUB_SET_PAUSES, 0);
  int32_t listener = createSocket();
  PlatSockAddr a{};
  a.family = PLAT_AF_INET;
  a.addrNet = platHtonl(0x7F000001u);
  ASSERT_EQ(platBind(listener, &a), 0);
  ASSERT_EQ(platListen(listener, 1), 0);
  ASSERT_EQ(platGetSockName(listener, &a), 0);
  int32_t client = createSocket();
  ASSERT_EQ(platConnect(client, &a), 0);
  PlatSockAddr peer{};
  int32_t server = platAccept(listener, &peer);
  ASSERT_GT(server, 0);
  std::string got;
  std::thread reader([&] {
    char buf[65536];
    int32_t n;
    while ((n = platRecv(server, buf, static_cast<int32_t>(sizeof buf))) > 0) got.append(buf, static_cast<size_t>(n));
  });
  const std::string sent(1000000, 'x');
  ASSERT_EQ(sendAll(client, sent.data(), static_cast<int32_t>(sent.size())), 1000000);
  uint32_t t0 = platTickCount();
  EXPECT_EQ(closeSocket(client, 500), 1);
  EXPECT_LT(platTickCount() - t0, 250u);
  reader.join();
  EXPECT_EQ(got.size(), sent.size());
  closeSocket(server, 500);
  closeSocket(listener, 500);
}

}  // namespace
}  // namespace zubtest
