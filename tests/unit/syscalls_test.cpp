// The table of system calls and its faults: any call by number, a hook
// deciding per call, short sends and short writes, replaced entries.  Only
// plat* calls, so the same cases run on every backend.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/syscalls.h"
#include "support/test_util.h"

namespace {

PlatSockAddr loopbackAny() {
  PlatSockAddr a{};
  a.family = PLAT_AF_INET;
  a.addrNet = platHtonl(0x7F000001u);
  return a;
}

// A connected client/server pair over 127.0.0.1; listener kept for closing.
struct Pair {
  int32_t listener, client, server;
};

Pair connectedPair() {
  Pair p{platSocket(), platSocket(), PLAT_INVALID};
  PlatSockAddr a = loopbackAny();
  EXPECT_EQ(platBind(p.listener, &a), 0);
  EXPECT_EQ(platListen(p.listener, 1), 0);
  EXPECT_EQ(platGetSockName(p.listener, &a), 0);
  EXPECT_EQ(platConnect(p.client, &a), 0);
  PlatSockAddr peer{};
  p.server = platAccept(p.listener, &peer);
  EXPECT_GT(p.server, 0);
  return p;
}

void closePair(const Pair& p) {
  platCloseSocket(p.client);
  platCloseSocket(p.server);
  platCloseSocket(p.listener);
}

class SysCalls : public ::testing::Test {
 protected:
  void SetUp() override {
    platStartup(nullptr, 0);  // WinSock serves no socket call before it
    platFaultClearAll();      // counts from here
  }
  void TearDown() override {
    platFaultClearAll();
    platCleanup();
  }
};

// Fails every call of one operation with a test-chosen error; notes the
// call numbers it was asked about.
struct HookLog {
  PlatOp failOp;
  int32_t error;
  std::vector<uint32_t> calls;
};

int32_t hookFailOne(PlatOp op, uint32_t call, void* context) {
  HookLog* log = static_cast<HookLog*>(context);
  log->calls.push_back(call);
  return op == log->failOp ? log->error : 0;
}

uint32_t fakeTick() { return 123456u; }

}  // namespace

// The nth counted call of any operation fails with an error that fits that
// operation, the test's own or the default one, and the hit is reported.
TEST_F(SysCalls, NthCallOfAnyOperation) {
  EXPECT_EQ(platFaultCalls(PLAT_OP_COUNT), 0u);

  platFaultNthCall(4, nullptr);
  int32_t a = platSocket();  // call 1
  uint32_t addr = 0;
  int32_t count = 0;
  EXPECT_EQ(platResolve("127.0.0.1", &addr, 1, &count), 0);  // call 2
  PlatSockAddr name = loopbackAny();
  EXPECT_EQ(platBind(a, &name), 0);                     // call 3 (WinSock names bound sockets only)
  EXPECT_EQ(platGetSockName(a, &name), PLAT_INVALID);  // call 4 fails
  EXPECT_EQ(platLastError(), platFaultDefaultError(PLAT_OP_GETSOCKNAME));
  int32_t op = 0;
  EXPECT_EQ(platFaultLastHit(&op), 4u);
  EXPECT_EQ(op, PLAT_OP_GETSOCKNAME);
  EXPECT_EQ(platGetSockName(a, &name), 0);  // once only
  EXPECT_EQ(platFaultCalls(PLAT_OP_COUNT), 5u);
  EXPECT_EQ(platFaultCalls(PLAT_OP_GETSOCKNAME), 2u);

  int32_t errors[PLAT_OP_COUNT];
  for (int32_t& e : errors) e = 1;
  errors[PLAT_OP_RESOLVE] = PLAT_WSATRY_AGAIN;
  errors[PLAT_OP_CLOSE] = PLAT_WSAEINTR;
  platFaultNthCall(1, errors);
  EXPECT_EQ(platResolve("127.0.0.1", &addr, 1, &count), PLAT_WSATRY_AGAIN);
  EXPECT_EQ(count, 0);
  // A failing close still frees the socket.
  platFaultNthCall(1, errors);
  EXPECT_EQ(platCloseSocket(a), PLAT_INVALID);
  EXPECT_EQ(platLastError(), PLAT_WSAEINTR);
  EXPECT_EQ(platGetSockName(a, &name), PLAT_INVALID);
  EXPECT_EQ(platLastError(), PLAT_WSAENOTSOCK);

  // Every operation has an error of its own kind; none lets a call pass.
  for (int32_t i = 0; i < PLAT_OP_COUNT; i++) EXPECT_NE(platFaultDefaultError(static_cast<PlatOp>(i)), 0) << i;
}

// A hook sees every counted call in order and decides which fail.
TEST_F(SysCalls, HookDecidesPerCall) {
  zubtest::TempDir dir;
  std::string path = dir.file("hooked");
  HookLog log{PLAT_OP_FILE_WRITE, 1, {}};
  platFaultSetHook(hookFailOne, &log);
  int32_t f = platFileCreate(path.c_str(), PLAT_ATTR_NORMAL);
  ASSERT_GT(f, 0);
  EXPECT_EQ(platFileWrite(f, "abc", 3), PLAT_INVALID);
  EXPECT_EQ(platFileClose(f), 0);
  EXPECT_EQ(platFileDelete(path.c_str()), 1);
  EXPECT_EQ(log.calls, (std::vector<uint32_t>{1, 2, 3, 4}));

  log.failOp = PLAT_OP_SEND;
  log.error = PLAT_WSAENOBUFS;
  Pair p = connectedPair();
  EXPECT_EQ(platSend(p.client, "x", 1), PLAT_INVALID);
  EXPECT_EQ(platLastError(), PLAT_WSAENOBUFS);
  platFaultSetHook(nullptr, nullptr);
  EXPECT_EQ(platSend(p.client, "x", 1), 1);
  closePair(p);
}

// Limits make sends and file calls short; a short file write that cannot go
// on (a fault after the first piece: disk full) is a failure, not a count.
TEST_F(SysCalls, ShortSendsAndShortWrites) {
  Pair p = connectedPair();
  platFaultLimit(PLAT_OP_SEND, 3);
  EXPECT_EQ(platSend(p.client, "abcdefgh", 8), 3);
  platFaultLimit(PLAT_OP_RECV, 2);
  char buf[16] = {};
  uint32_t start = platTickCount();
  int32_t got = 0;
  while (got == 0 && platTickCount() - start < 5000) {
    got = platRecvReady(p.server, buf, sizeof buf);
    if (got == PLAT_NOTHING_READY) got = 0;
  }
  EXPECT_EQ(got, 2);
  EXPECT_EQ(std::string(buf, 2), "ab");
  closePair(p);

  zubtest::TempDir dir;
  std::string path = dir.file("short");
  platFaultLimit(PLAT_OP_FILE_WRITE, 4);
  int32_t f = platFileCreate(path.c_str(), PLAT_ATTR_NORMAL);
  ASSERT_GT(f, 0);
  uint32_t before = platFaultCalls(PLAT_OP_FILE_WRITE);
  EXPECT_EQ(platFileWrite(f, "0123456789", 10), 10);  // three system calls
  EXPECT_EQ(platFaultCalls(PLAT_OP_FILE_WRITE) - before, 3u);
  platFaultSet(PLAT_OP_FILE_WRITE, 2, 1);
  EXPECT_EQ(platFileWrite(f, "abcdefgh", 8), PLAT_INVALID);
  EXPECT_EQ(platFileClose(f), 0);
  EXPECT_EQ(zubtest::readFile(path), "0123456789abcd");

  platFaultLimit(PLAT_OP_FILE_READ, 3);
  f = platFileOpen(path.c_str(), PLAT_OF_READ_DENY_WRITE);
  ASSERT_GT(f, 0);
  char back[32] = {};
  EXPECT_EQ(platFileRead(f, back, sizeof back), 14);  // whole, from short reads
  EXPECT_EQ(std::string(back, 14), "0123456789abcd");
  platFileClose(f);
}

// Any entry can be replaced; clearing the faults puts the backend's back.
TEST_F(SysCalls, ReplacedEntryAndRestore) {
  platSys.tickCount = fakeTick;
  EXPECT_EQ(platTickCount(), 123456u);
  platFaultClearAll();
  EXPECT_EQ(platSys.tickCount, platSysDefault.tickCount);
  uint32_t t0 = platTickCount();
  platSleep(40);
  EXPECT_GE(platTickCount() - t0, 20u);  // Wine's tick moves in steps of 16 ms
}
