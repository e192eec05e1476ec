// The receive that never waits, on which the rings rely instead of a poll
// before each receive: nothing ready, data, the peer's close, an injected
// failure, and the ring on top of it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "core/channel.h"
#include "engine/ring.h"
#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Pair {
  int32_t listener = 0, client = 0, server = 0;
  Pair() {
    platStartup(nullptr, 0);  // WinSock serves no socket call before it
    listener = platSocket();
    PlatSockAddr a{};
    a.family = PLAT_AF_INET;
    a.addrNet = platHtonl(0x7F000001u);
    if (platBind(listener, &a) != 0 || platListen(listener, 1) != 0 || platGetSockName(listener, &a) != 0) return;
    client = platSocket();
    if (platConnect(client, &a) != 0) return;
    PlatSockAddr peer{};
    server = platAccept(listener, &peer);
  }
  ~Pair() {
    for (int32_t s : {listener, client, server}) {
      if (s > 0) platCloseSocket(s);
    }
    platCleanup();
  }
};

TEST(RecvReady, NeverWaitsAndReportsDataCloseAndFailure) {
  Pair p;
  ASSERT_GT(p.server, 0);
  char buf[16];
  auto t0 = Clock::now();
  EXPECT_EQ(platRecvReady(p.client, buf, sizeof buf), PLAT_NOTHING_READY);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1));

  // An injected failure is kept for a receive that finds bytes.
  platFaultSet(PLAT_OP_RECV, 1, PLAT_WSAECONNRESET);
  EXPECT_EQ(platRecvReady(p.client, buf, sizeof buf), PLAT_NOTHING_READY);
  ASSERT_EQ(platSend(p.server, "abc", 3), 3);
  PlatWait w{p.client, PLAT_READABLE};
  ASSERT_EQ(platWaitSockets(&w, 1, 3000), 1);
  EXPECT_EQ(platRecvReady(p.client, buf, sizeof buf), PLAT_INVALID);
  EXPECT_EQ(platLastError(), PLAT_WSAECONNRESET);
  platFaultClearAll();

  ASSERT_EQ(platSend(p.server, "defg", 4), 4);
  ASSERT_EQ(platWaitSockets(&w, 1, 3000), 1);
  // The failed receive took its bytes with it, as a broken connection would.
  int32_t n = platRecvReady(p.client, buf, sizeof buf);
  ASSERT_EQ(n, 4);
  EXPECT_EQ(std::string(buf, 4), "defg");

  platCloseSocket(p.server);
  p.server = 0;
  ASSERT_EQ(platWaitSockets(&w, 1, 3000), 1);
  EXPECT_EQ(platRecvReady(p.client, buf, sizeof buf), 0);
}

TEST(RecvReady, RingOnAnIdleThenClosedConnection) {
  Pair p;
  ASSERT_GT(p.server, 0);
  static ReceiveRing ring;
  ring = ReceiveRing{};
  ring.sock = p.client;
  EXPECT_EQ(fillRing(&ring), 0);
  EXPECT_EQ(waitRingData(&ring, 0), 0);
  EXPECT_EQ(ring.idleCount, 2);
  ASSERT_EQ(platSend(p.server, "hello", 5), 5);
  EXPECT_EQ(waitRingData(&ring, 3000), 1);
  char out[8] = {};
  EXPECT_EQ(takeFromRing(&ring, out, 8), 5);
  EXPECT_STREQ(out, "hello");
  platCloseSocket(p.server);
  p.server = 0;
  PlatWait w{p.client, PLAT_READABLE};
  ASSERT_EQ(platWaitSockets(&w, 1, 3000), 1);
  EXPECT_EQ(takeFromRing(&ring, out, 8), -1);
}

}  // namespace
