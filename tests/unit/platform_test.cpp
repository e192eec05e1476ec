// The POSIX platform backend and the formatter: WinSock error numbers,
// select-like readiness, handles never 0, files, time, lock, faults.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/test_util.h"

namespace {

PlatSockAddr loopback(uint16_t port) {
  PlatSockAddr a{};
  a.family = PLAT_AF_INET;
  a.portNet = platHtons(port);
  a.addrNet = platHtonl(0x7F000001u);
  return a;
}

uint16_t boundPort(int32_t sock) {
  PlatSockAddr a{};
  EXPECT_EQ(platGetSockName(sock, &a), 0);
  return platNtohs(a.portNet);
}

// A listener on 127.0.0.1 at a free port.
int32_t makeListener() {
  int32_t s = platSocket();
  PlatSockAddr a = loopback(0);
  EXPECT_EQ(platBind(s, &a), 0);
  EXPECT_EQ(platListen(s, 4), 0);
  return s;
}

struct Pair {
  int32_t client, server;
};

Pair connectedPair(int32_t listener) {
  Pair p{platSocket(), PLAT_INVALID};
  PlatSockAddr a = loopback(boundPort(listener));
  EXPECT_EQ(platConnect(p.client, &a), 0);
  PlatSockAddr peer{};
  p.server = platAccept(listener, &peer);
  EXPECT_GT(p.server, 0);
  EXPECT_EQ(peer.addrNet, platHtonl(0x7F000001u));
  return p;
}

// Polls until the condition holds or 5 s pass (kernel state changes are
// asynchronous, even on loopback).
bool eventually(int32_t sock, int32_t mode) {
  uint32_t start = platTickCount();
  while (platTickCount() - start < 5000) {
    if (platPollSocket(sock, mode) == 1) return true;
    platSleep(1);
  }
  return false;
}

std::string tempDir() {
  std::string t = ::testing::TempDir() + "zubplatXXXXXX";
  return mkdtemp(t.data()) == nullptr ? std::string() : t;
}

}  // namespace

TEST(PlatFormat, ConversionsWidthsAndCut) {
  char buf[PLAT_FORMAT_MAX];
  EXPECT_EQ(platFormat(buf, "%s|%d|%ld|%u|%lu|%%", "ab", -5, 70000, 7u, 4294967295u), 26);
  EXPECT_STREQ(buf, "ab|-5|70000|7|4294967295|%");
  platFormat(buf, "[%1d][%3d][%3ld][%3d][%5s][%1ld]", 7, 7, -7, 12345, "ab", 0);
  EXPECT_STREQ(buf, "[7][  7][ -7][12345][   ab][0]");
  platFormat(buf, "%ld %d %u", static_cast<int32_t>(-1), INT32_MIN, 0xFFFFFFFFu);
  EXPECT_STREQ(buf, "-1 -2147483648 4294967295");
  platFormat(buf, "%s %q %5x end%", nullptr);
  EXPECT_STREQ(buf, "(null) %q %5x end%");

  std::string big(2000, 'x');
  EXPECT_EQ(platFormat(buf, "%s", big.c_str()), PLAT_FORMAT_MAX - 1);
  EXPECT_EQ(std::strlen(buf), size_t(PLAT_FORMAT_MAX - 1));
  EXPECT_EQ(platFormat(buf, "%s%d\r\n", big.c_str() + 980, 12345), PLAT_FORMAT_MAX - 1);
  EXPECT_EQ(std::string(buf + 1020), "123");  // cut inside the number, no CR LF
  EXPECT_EQ(platFormat(buf, "%2000d", 1), PLAT_FORMAT_MAX - 1);
}

TEST(PlatSockets, ErrorNumbersAndResolution) {
  char desc[8];
  EXPECT_EQ(platStartup(desc, sizeof desc), 0);
  EXPECT_STREQ(desc, "ZUB POS");

  // A bound port without a listener refuses connections.
  int32_t closedPort = platSocket();
  PlatSockAddr any = loopback(0);
  ASSERT_EQ(platBind(closedPort, &any), 0);
  PlatSockAddr target = loopback(boundPort(closedPort));
  int32_t s = platSocket();
  EXPECT_EQ(platConnect(s, &target), PLAT_INVALID);
  EXPECT_EQ(platLastError(), PLAT_WSAECONNREFUSED);
  platCloseSocket(s);

  int32_t listener = makeListener();
  PlatSockAddr taken = loopback(boundPort(listener));
  s = platSocket();
  EXPECT_EQ(platBind(s, &taken), PLAT_INVALID);
  EXPECT_EQ(platLastError(), PLAT_WSAEADDRINUSE);
  platCloseSocket(s);

  EXPECT_EQ(platCloseSocket(s), PLAT_INVALID);  // already closed
  EXPECT_EQ(platLastError(), PLAT_WSAENOTSOCK);

  uint32_t addrs[4] = {};
  int32_t count = -1;
  EXPECT_EQ(platResolve("no-such-host.invalid", addrs, 4, &count), PLAT_WSAHOST_NOT_FOUND);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(platResolve("127.0.0.1", addrs, 4, &count), 0);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(addrs[0], platHtonl(0x7F000001u));

  char host[256];
  EXPECT_EQ(platGetHostName(host, sizeof host), 0);
  EXPECT_GT(std::strlen(host), 0u);
  EXPECT_EQ(platGetHostName(host, 1), PLAT_INVALID);
  EXPECT_EQ(platLastError(), PLAT_WSAEFAULT);
  platCloseSocket(listener);
  platCloseSocket(closedPort);
  platCleanup();
}

TEST(PlatSockets, HandlesAreNeverZero) {
  std::string dir = tempDir();
  ASSERT_FALSE(dir.empty());
  std::string path = dir + "/f";
  int32_t listener = makeListener();
  int saved = dup(0);
  ASSERT_GE(saved, 0);
  close(0);

  int32_t s = platSocket();
  EXPECT_GT(s, 0);
  EXPECT_EQ(fcntl(0, F_GETFD), -1);  // the system's 0 was not kept open
  PlatSockAddr a = loopback(boundPort(listener));
  EXPECT_EQ(platConnect(s, &a), 0);
  int32_t accepted = platAccept(listener, nullptr);
  EXPECT_GT(accepted, 0);
  EXPECT_NE(fcntl(accepted, F_GETFD) & FD_CLOEXEC, 0);
  int32_t f = platFileCreate(path.c_str(), PLAT_ATTR_HIDDEN);
  EXPECT_GT(f, 0);
  platFileClose(f);
  f = platFileOpen(path.c_str(), PLAT_OF_READ_DENY_WRITE);
  EXPECT_GT(f, 0);
  EXPECT_EQ(fcntl(0, F_GETFD), -1);

  dup2(saved, 0);
  close(saved);
  platFileClose(f);
  platCloseSocket(s);
  platCloseSocket(accepted);
  platCloseSocket(listener);
  platFileDelete(path.c_str());
  rmdir(dir.c_str());
}

TEST(PlatSockets, SendToClosedPeerFailsWithoutSignal) {
  signal(SIGPIPE, SIG_DFL);  // a SIGPIPE would end the test program
  int32_t listener = makeListener();
  Pair p = connectedPair(listener);
  platCloseSocket(p.server);
  char block[4096] = {};
  int32_t r = 0;
  for (int i = 0; i < 1000 && r != PLAT_INVALID; i++) {
    r = platSend(p.client, block, sizeof block);
    if (r != PLAT_INVALID) platSleep(1);
  }
  ASSERT_EQ(r, PLAT_INVALID);
  EXPECT_TRUE(platLastError() == PLAT_WSAESHUTDOWN || platLastError() == PLAT_WSAECONNRESET) << platLastError();
  platCloseSocket(p.client);
  platCloseSocket(listener);
}

TEST(PlatSockets, ReadinessMirrorsSelect) {
  int32_t fresh = platSocket();
  EXPECT_EQ(platPollSocket(fresh, PLAT_READABLE), 0);
  EXPECT_EQ(platPollSocket(fresh, PLAT_WRITABLE), 0);
  EXPECT_EQ(platPollSocket(fresh, PLAT_ERROR), 0);
  // A never-connected socket must not end a wait for writability at once.
  PlatWait w{fresh, PLAT_WRITABLE};
  zubtest::Mark t0 = zubtest::markNow();
  EXPECT_EQ(platWaitSockets(&w, 1, 100), 0);
  EXPECT_GE(zubtest::msSince(t0), 100u - zubtest::kTimerSlackMs);

  int32_t listener = makeListener();
  EXPECT_EQ(platPollSocket(listener, PLAT_READABLE), 0);
  int32_t client = platSocket();
  uint32_t nonBlocking = 1;
  ASSERT_EQ(platSetNonBlocking(client, &nonBlocking), 0);
  PlatSockAddr a = loopback(boundPort(listener));
  int32_t rc = platConnect(client, &a);
  EXPECT_TRUE(rc == 0 || platLastError() == PLAT_WSAEWOULDBLOCK);
  EXPECT_TRUE(eventually(listener, PLAT_READABLE));
  int32_t server = platAccept(listener, nullptr);
  ASSERT_GT(server, 0);
  EXPECT_TRUE(eventually(client, PLAT_WRITABLE));
  EXPECT_EQ(platPollSocket(client, PLAT_ERROR), 0);
  EXPECT_EQ(platPollSocket(client, PLAT_READABLE), 0);

  EXPECT_EQ(platSend(server, "hi", 2), 2);
  EXPECT_TRUE(eventually(client, PLAT_READABLE));
  w = PlatWait{client, PLAT_READABLE};
  EXPECT_EQ(platWaitSockets(&w, 1, 5000), 1);
  char buf[8];
  EXPECT_EQ(platRecv(client, buf, sizeof buf), 2);
  EXPECT_EQ(platRecv(client, buf, sizeof buf), PLAT_INVALID);
  EXPECT_EQ(platLastError(), PLAT_WSAEWOULDBLOCK);
  platCloseSocket(server);
  EXPECT_TRUE(eventually(client, PLAT_READABLE));  // end of stream
  EXPECT_EQ(platRecv(client, buf, sizeof buf), 0);
  EXPECT_EQ(platPollSocket(client, PLAT_ERROR), 0);
  platCloseSocket(client);

  // A reset of an established connection reads as readable, not as a
  // failed connection attempt, and recv reports it.
  Pair p = connectedPair(listener);
  struct linger hard = {1, 0};
  ASSERT_EQ(setsockopt(p.server, SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
  platCloseSocket(p.server);
  EXPECT_TRUE(eventually(p.client, PLAT_READABLE));
  EXPECT_EQ(platPollSocket(p.client, PLAT_ERROR), 0);
  w = PlatWait{p.client, PLAT_WRITABLE};  // the wait agrees with the poll
  EXPECT_EQ(platWaitSockets(&w, 1, 5000), platPollSocket(p.client, PLAT_WRITABLE));
  EXPECT_EQ(platRecv(p.client, buf, sizeof buf), PLAT_INVALID);
  EXPECT_EQ(platLastError(), PLAT_WSAECONNRESET);
  platCloseSocket(p.client);

  // A refused non-blocking connect: error set, never writable or readable.
  uint16_t port = boundPort(listener);
  platCloseSocket(listener);
  client = platSocket();
  ASSERT_EQ(platSetNonBlocking(client, &nonBlocking), 0);
  a = loopback(port);
  rc = platConnect(client, &a);
  ASSERT_EQ(rc, PLAT_INVALID);
  if (platLastError() == PLAT_WSAEWOULDBLOCK) {
    EXPECT_TRUE(eventually(client, PLAT_ERROR));
  } else {
    EXPECT_EQ(platLastError(), PLAT_WSAECONNREFUSED);
  }
  EXPECT_EQ(platPollSocket(client, PLAT_ERROR), 1);
  EXPECT_EQ(platPollSocket(client, PLAT_WRITABLE), 0);
  EXPECT_EQ(platPollSocket(client, PLAT_READABLE), 0);
  w = PlatWait{client, PLAT_WRITABLE};
  t0 = zubtest::markNow();
  EXPECT_EQ(platWaitSockets(&w, 1, 5000), 1);
  EXPECT_LT(zubtest::msSince(t0), 2500u);
  platCloseSocket(client);

  // A closed descriptor: neither readable nor writable, but an error.
  EXPECT_EQ(platPollSocket(client, PLAT_READABLE), 0);
  EXPECT_EQ(platPollSocket(client, PLAT_WRITABLE), 0);
  EXPECT_EQ(platPollSocket(client, PLAT_ERROR), 1);
  EXPECT_EQ(platPollSocket(fresh, 4), 0);
  platCloseSocket(fresh);
}

TEST(PlatSockets, DescriptorsAbove1024) {
  struct rlimit lim;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
  if (lim.rlim_cur < 1100) {
    if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < 1100) GTEST_SKIP() << "descriptor limit below 1100";
    lim.rlim_cur = 1100;
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0) GTEST_SKIP() << "cannot raise the descriptor limit";
  }
  int32_t listener = makeListener();
  Pair p = connectedPair(listener);
  int high = fcntl(p.client, F_DUPFD_CLOEXEC, 1050);
  ASSERT_GE(high, 1050);
  platCloseSocket(p.client);
  EXPECT_EQ(platPollSocket(high, PLAT_WRITABLE), 1);
  EXPECT_EQ(platPollSocket(high, PLAT_READABLE), 0);
  EXPECT_EQ(platSend(p.server, "x", 1), 1);
  PlatWait w{high, PLAT_READABLE};
  EXPECT_EQ(platWaitSockets(&w, 1, 5000), 1);
  EXPECT_EQ(platPollSocket(high, PLAT_READABLE), 1);
  platCloseSocket(high);
  platCloseSocket(p.server);
  platCloseSocket(listener);
}

TEST(PlatServices, TimeLockAndMemory) {
  uint32_t t0 = platTickCount();
  platSleep(50);
  uint32_t t1 = platTickCount();
  EXPECT_GE(t1 - t0, 49u);
  EXPECT_LT(t1 - t0, 5000u);

  for (int cycle = 0; cycle < 2; cycle++) {
    platLockCreate();
    platLockEnter();
    platLockEnter();  // re-entry by the owner must not deadlock
    platLockLeave();
    std::atomic<int> entered{0};
    std::thread other([&] {
      platLockEnter();
      entered = 1;
      platLockLeave();
    });
    platSleep(30);
    EXPECT_EQ(entered.load(), 0);  // still held once by this thread
    platLockLeave();
    other.join();
    EXPECT_EQ(entered.load(), 1);
    platLockDestroy();
  }

  auto* mem = static_cast<unsigned char*>(platAllocZeroed(100000));
  ASSERT_NE(mem, nullptr);
  int nonzero = 0;
  for (int i = 0; i < 100000; i++) nonzero += mem[i] != 0;
  EXPECT_EQ(nonzero, 0);
  platFree(mem);
}

TEST(PlatFiles, CreateOpenReadWriteSeekDelete) {
  std::string dir = tempDir();
  ASSERT_FALSE(dir.empty());
  std::string winPath = dir + "\\data.bin";  // backslash as separator
  std::string path = dir + "/data.bin";

  int32_t f = platFileCreate(winPath.c_str(), PLAT_ATTR_NORMAL);
  ASSERT_GT(f, 0);
  EXPECT_EQ(platFileWrite(f, "hello world", 11), 11);
  EXPECT_EQ(platFileWrite(f, "", 0), 0);
  EXPECT_EQ(platFileClose(f), 0);
  EXPECT_EQ(platFileCreateNew(path.c_str(), PLAT_ATTR_NORMAL), PLAT_INVALID);  // exists

  f = platFileOpen(path.c_str(), PLAT_OF_WRITE_DENY_WRITE);  // no truncation
  ASSERT_GT(f, 0);
  EXPECT_EQ(platFileSeek(f, 6), 6);
  EXPECT_EQ(platFileWrite(f, "WORLD", 5), 5);
  platFileClose(f);
  f = platFileOpen(winPath.c_str(), PLAT_OF_READ_DENY_WRITE);
  ASSERT_GT(f, 0);
  char buf[32] = {};
  EXPECT_EQ(platFileRead(f, buf, sizeof buf), 11);
  EXPECT_STREQ(buf, "hello WORLD");
  EXPECT_EQ(platFileRead(f, buf, sizeof buf), 0);
  EXPECT_EQ(platFileWrite(f, "x", 1), PLAT_INVALID);  // opened for reading
  platFileClose(f);

  EXPECT_EQ(platFileOpen(path.c_str(), 0x22), PLAT_INVALID);
  EXPECT_EQ(platFileOpen(dir.c_str(), PLAT_OF_READ_DENY_WRITE), PLAT_INVALID);
  EXPECT_NE(platFileDelete(winPath.c_str()), 0);
  EXPECT_EQ(platFileDelete(path.c_str()), 0);
  EXPECT_EQ(platFileOpen(path.c_str(), PLAT_OF_WRITE_DENY_WRITE), PLAT_INVALID);  // never creates
  std::string tooLong(PATH_MAX + 10, 'a');
  EXPECT_EQ(platFileCreate(tooLong.c_str(), PLAT_ATTR_NORMAL), PLAT_INVALID);
  f = platFileCreateNew(path.c_str(), PLAT_ATTR_HIDDEN);
  EXPECT_GT(f, 0);
  platFileClose(f);
  platFileDelete(path.c_str());
  rmdir(dir.c_str());

  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  int32_t len = static_cast<int32_t>(std::strlen(cwd));
  char out[PATH_MAX] = "junk";
  EXPECT_EQ(platCurrentDir(out, len), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(platCurrentDir(out, len + 1), len);
  EXPECT_STREQ(out, cwd);
}

TEST(PlatFiles, OffsetsPast4GiB) {
  std::string dir = tempDir();
  ASSERT_FALSE(dir.empty());
  std::string path = dir + "/sparse.bin";
  int32_t f = platFileCreate(path.c_str(), PLAT_ATTR_NORMAL);
  ASSERT_GT(f, 0);
  const int64_t far = (int64_t(5) << 30) + 3;
  bool written = platFileSeek(f, far) == far && platFileWrite(f, "Z", 1) == 1;
  platFileClose(f);
  if (!written) {
    platFileDelete(path.c_str());
    rmdir(dir.c_str());
    GTEST_SKIP() << "the file system refused a sparse 5 GiB file";
  }
  f = platFileOpen(path.c_str(), PLAT_OF_READ_DENY_WRITE);
  char buf[4] = {};
  EXPECT_EQ(platFileSeek(f, far), far);
  EXPECT_EQ(platFileRead(f, buf, 4), 1);
  EXPECT_EQ(buf[0], 'Z');
  EXPECT_EQ(platFileSeek(f, 0), 0);
  EXPECT_EQ(platFileRead(f, buf, 1), 1);
  EXPECT_EQ(buf[0], 0);
  platFileClose(f);
  platFileDelete(path.c_str());
  rmdir(dir.c_str());
}

TEST(PlatFaults, NthCallFailsOnce) {
  platFaultSet(PLAT_OP_SOCKET, 2, PLAT_WSAEMFILE);
  int32_t first = platSocket();
  EXPECT_GT(first, 0);
  EXPECT_EQ(platSocket(), PLAT_INVALID);
  EXPECT_EQ(platLastError(), PLAT_WSAEMFILE);
  int32_t third = platSocket();
  EXPECT_GT(third, 0);

  platFaultSet(PLAT_OP_SEND, 1, PLAT_WSAECONNRESET);
  EXPECT_EQ(platSend(first, "x", 1), PLAT_INVALID);
  EXPECT_EQ(platLastError(), PLAT_WSAECONNRESET);
  platCloseSocket(first);
  platCloseSocket(third);

  uint32_t addr = 0;
  int32_t count = 0;
  platFaultSet(PLAT_OP_RESOLVE, 1, PLAT_WSATRY_AGAIN);
  EXPECT_EQ(platResolve("127.0.0.1", &addr, 1, &count), PLAT_WSATRY_AGAIN);
  platFaultSet(PLAT_OP_STARTUP, 1, PLAT_WSASYSNOTREADY);
  EXPECT_EQ(platStartup(nullptr, 0), PLAT_WSASYSNOTREADY);
  platFaultSet(PLAT_OP_ALLOC, 1, 0);
  EXPECT_EQ(platAllocZeroed(16), nullptr);

  std::string dir = tempDir();
  std::string path = dir + "/f";
  platFaultSet(PLAT_OP_FILE_CREATE, 1, 0);
  EXPECT_EQ(platFileCreate(path.c_str(), 0), PLAT_INVALID);
  int32_t f = platFileCreate(path.c_str(), 0);
  ASSERT_GT(f, 0);
  platFaultSet(PLAT_OP_FILE_WRITE, 1, 0);
  EXPECT_EQ(platFileWrite(f, "x", 1), PLAT_INVALID);
  platFileClose(f);

  platFaultSet(PLAT_OP_FILE_OPEN, 3, 0);
  platFaultSet(PLAT_OP_FILE_OPEN, 0, 0);  // cleared before it fires
  platFaultSet(PLAT_OP_FILE_READ, 1, 0);
  platFaultClearAll();
  for (int i = 0; i < 3; i++) {
    f = platFileOpen(path.c_str(), PLAT_OF_READ_DENY_WRITE);
    EXPECT_GT(f, 0);
    EXPECT_EQ(platFileRead(f, &addr, 1), 0);
    platFileClose(f);
  }
  platFileDelete(path.c_str());
  rmdir(dir.c_str());
}

// 0 means "no socket / no file" in the channel record: a call that reaches
// the platform with it must fail instead of touching the process's stdin.
TEST(PlatformHandles, ZeroIsNeverUsedAsAHandle) {
  char byte = 'x';
  EXPECT_EQ(platSend(0, &byte, 1), PLAT_INVALID);
  EXPECT_EQ(platLastError(), PLAT_WSAENOTSOCK);
  EXPECT_EQ(platRecv(0, &byte, 1), PLAT_INVALID);
  EXPECT_EQ(platCloseSocket(0), PLAT_INVALID);
  EXPECT_EQ(platPollSocket(0, PLAT_READABLE), 0);
  EXPECT_EQ(platPollSocket(0, PLAT_WRITABLE), 0);
  EXPECT_EQ(platPollSocket(0, PLAT_ERROR), 1);
  EXPECT_EQ(platFileWrite(0, &byte, 1), PLAT_INVALID);
  EXPECT_EQ(platFileRead(0, &byte, 1), PLAT_INVALID);
  EXPECT_EQ(platFileSeek(0, 0), -1);
  EXPECT_EQ(platFileClose(0), PLAT_INVALID);
}
