// Sessions against the scripted server: connect and log in, the greeting,
// refused and unresolvable servers, caller-driven use, NOOP, abort, close.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "api/operation.h"
#include "net/control.h"
#include "session_fixture.h"
#include "support/test_util.h"

namespace zubtest {
namespace {

using Clock = std::chrono::steady_clock;

int64_t msSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

std::string hostName() {
  char buf[4096];
  localHostName(buf, 4095);
  return buf;
}

// The trace of a connect up to the greeting; the login lines follow it.
std::string connectTrace(const std::string& greeting) {
  return "*** zubConnect\r\n"
         "<101:T>\r\n"
         "ZUB Win32 Version 2.3.0 Build 8\r\n"
         "Description:  '" + std::string(socketDescription) + "'\r\n"
         "LocalHost: '" + hostName() + "'\r\n"
         "Server: '127.0.0.1'\r\n"
         "ServerIP = 127.0.0.1\r\n"
         "R: " + hostName() +
         "<102:T>\r\n"
         "LocalIP=[127.0.0.1]\r\n"
         "<103:T>\r\n"
         "ZUB is connected.\r\n"
         "recv(S):" + std::to_string(greeting.size()) + "\r\n"
         "R: " + greeting;
}

TEST_F(SessionTest, LoginConversationAndTraceByteForByte) {
  ScriptServer srv;
  srv.greet("220 Script server ready.\r\n");
  srv.expect("USER anna\r\n");
  srv.send("331 Password please.\r\n");
  srv.expect("PASS secret\r\n");
  srv.send("230 Welcome.\r\n");
  ASSERT_TRUE(srv.start());
  useServer(srv);
  openLog();

  auto t0 = Clock::now();
  EXPECT_EQ(zubConnect(0, "127.0.0.1", "anna", "secret"), 0);
  // The reply to PASS is looked at no earlier than 200 + 110 ms after it went.
  EXPECT_GE(msSince(t0), 300);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty());
  EXPECT_EQ(srv.transcript(), "USER anna\r\nPASS secret\r\n");
  EXPECT_EQ(rec_->serverAddr, 0x7F000001u);
  EXPECT_STREQ(rec_->localIpText, "127.0.0.1");
  EXPECT_GT(rec_->ctrlSock, 0);
  EXPECT_EQ(rec_->ctrlRing.sock, rec_->ctrlSock);
  EXPECT_EQ(rec_->nextState, 0);
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_REPLY_CODE), 230);

  std::string expected = connectTrace("220 Script server ready.\r\n") +
                         "<104:T>\r\n"
                         "send(S):11\r\n"
                         "S: USER anna\r\n\r\n"
                         "<105:T>\r\n"
                         "recv(S):22\r\n"
                         "R: 331 Password please.\r\n"
                         "<106:T>\r\n"
                         "send(S):13\r\n"
                         "S: PASS ********\r\n\r\n"
                         "<107:T>\r\n"
                         "recv(S):14\r\n"
                         "R: 230 Welcome.\r\n";
  EXPECT_EQ(normalisedLog(), expected);
}

TEST_F(SessionTest, EmptyUserOrPasswordStopsTheLogin) {
  {
    ScriptServer srv;
    srv.greet();
    ASSERT_TRUE(srv.start());
    useServer(srv);
    EXPECT_EQ(zubConnect(0, "127.0.0.1", "", "secret"), 0);
    ASSERT_TRUE(srv.waitDone());
    EXPECT_EQ(srv.transcript(), "");
    EXPECT_GT(rec_->ctrlSock, 0);
    EXPECT_TRUE(srv.errors().empty());
  }
  closeSocket(rec_->ctrlSock, 0);
  rec_->ctrlSock = rec_->ctrlRing.sock = 0;
  {
    ScriptServer srv;
    srv.greet();
    srv.expect("USER anna\r\n");
    srv.send("331 Password please.\r\n");
    ASSERT_TRUE(srv.start());
    useServer(srv);
    EXPECT_EQ(zubConnect(0, "127.0.0.1", "anna", ""), 0);
    ASSERT_TRUE(srv.waitDone());
    // Give a stray PASS a moment to show up in the transcript.
    platSleep(50);
    EXPECT_EQ(srv.transcript(), "USER anna\r\n");
    EXPECT_TRUE(srv.errors().empty());
  }
}

TEST_F(SessionTest, PasswordFollowsEvenA230ToUser) {
  ScriptServer srv;
  srv.greet();
  srv.expect("USER anna\r\n");
  srv.send("230 Already logged in.\r\n");
  srv.expect("PASS secret\r\n");
  srv.send("202 Not needed.\r\n");
  ASSERT_TRUE(srv.start());
  useServer(srv);
  EXPECT_EQ(zubConnect(0, "127.0.0.1", "anna", "secret"), 0);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty());
  EXPECT_EQ(srv.transcript(), "USER anna\r\nPASS secret\r\n");
}

TEST_F(SessionTest, RefusingGreetingEndsWithServerErrorInState103) {
  ScriptServer srv;
  srv.greet("421 Too many users.\r\n");
  ASSERT_TRUE(srv.start());
  useServer(srv);
  openLog();
  EXPECT_EQ(zubConnect(0, "127.0.0.1", "anna", "secret"), ZUB_E_SERVER_ERROR);
  EXPECT_EQ(errorText(ZUB_E_SERVER_ERROR), "FTP server returned error. 421 Too many users.\r\n");
  EXPECT_EQ(rec_->nextState, 0);
  EXPECT_EQ(rec_->prevState, 103);
  std::string log = normalisedLog();
  EXPECT_NE(log.find("SockCode=0 zubCode=-18 PrevState=102 ThisState=103 NextState=103\r\n"), std::string::npos)
      << log;
  EXPECT_EQ(log.find("S: USER"), std::string::npos);
  EXPECT_EQ(srv.transcript(), "");
  // The channel is idle afterwards.
  EXPECT_EQ(zubDriver(0), 0);
}

TEST_F(SessionTest, RefusedConnectionAndUnknownHost) {
  zubSetInteger(0, ZUB_SET_CTRL_PORT, closedPort());
  openLog();
  EXPECT_EQ(zubConnect(0, "127.0.0.1", "anna", "secret"), -PLAT_WSAECONNREFUSED);
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_LAST_ERROR), -PLAT_WSAECONNREFUSED);
  std::string log = normalisedLog();
  EXPECT_NE(log.find("SockCode=-10061 zubCode=0 PrevState=-2 ThisState=101 NextState=101\r\n"), std::string::npos)
      << log;
  EXPECT_EQ(zubDriver(0), 0);

  // A refusal ends the attempt at once with its own code whether the connect
  // blocks or not (a non-blocking one learns of it in state 102 unless the
  // refusal comes back within the call); connectTimeout is never waited out.
  zubSetInteger(0, ZUB_SET_CONNECT_TIMEOUT, 5000);
  for (int32_t blocking : {1, 0}) {
    SCOPED_TRACE(blocking);
    zubSetInteger(0, ZUB_SET_BLOCKING_CONNECT, blocking);
    size_t logStart = normalisedLog().size();
    auto start = Clock::now();
    EXPECT_EQ(zubConnect(0, "127.0.0.1", "anna", "secret"), -PLAT_WSAECONNREFUSED);
    EXPECT_LT(msSince(start), 2000);
    EXPECT_EQ(rec_->ctrlSock, 0);  // closed, as after any attempt that never connected
    EXPECT_EQ(rec_->waitWritable, 0);
    std::string tail = normalisedLog().substr(logStart);
    EXPECT_NE(tail.find("SockCode=-10061 zubCode=0 PrevState="), std::string::npos) << tail;
    EXPECT_EQ(tail.find("TimeStop exceeded"), std::string::npos) << tail;
    EXPECT_EQ(zubDriver(0), 0);
  }
  zubSetInteger(0, ZUB_SET_BLOCKING_CONNECT, 1);

  auto t0 = Clock::now();
  EXPECT_EQ(zubConnect(0, "no-such-host.invalid", "anna", "secret"), -PLAT_WSAHOST_NOT_FOUND);
  EXPECT_LT(msSince(t0), 20000);
  log = normalisedLog();
  EXPECT_NE(log.find("Server: 'no-such-host.invalid'\r\n"), std::string::npos);
  EXPECT_NE(log.find("SockCode=-11001 zubCode=0"), std::string::npos) << log;
  // The socket made for the attempt never connected: it is closed, or a
  // close would wait for it to become writable for ever.
  EXPECT_EQ(rec_->ctrlSock, 0);
  zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
  EXPECT_EQ(zubClose(0), 0);
  int32_t r = 0;
  for (int guard = 0; guard < 200 && (r = zubDriver(0)) > 0; guard++) {
  }
  EXPECT_EQ(r, 0);
}

TEST_F(SessionTest, HostNameIsResolvedAndTraced) {
  ScriptServer srv;
  srv.greet();
  ASSERT_TRUE(srv.start());
  useServer(srv);
  openLog();
  EXPECT_EQ(zubConnect(0, "localhost", "", ""), 0);
  std::string log = normalisedLog();
  EXPECT_NE(log.find("Server: 'localhost'\r\nServerIP = 127.0.0.1\r\n"), std::string::npos) << log;
  ASSERT_TRUE(srv.waitDone());
}

TEST_F(SessionTest, NonBlockingConnect) {
  EXPECT_EQ(zubSetInteger(0, ZUB_SET_BLOCKING_CONNECT, 0), 0);
  EXPECT_EQ(rec_->nonBlockConnect, 1);
  ScriptServer srv;
  srv.greet();
  srv.expect("USER anna\r\n");
  srv.send("331 Password please.\r\n");
  srv.expect("PASS secret\r\n");
  srv.send("230 Welcome.\r\n");
  srv.expect("NOOP\r\n");
  srv.send("200 Fine.\r\n");
  ASSERT_TRUE(srv.start());
  useServer(srv);
  EXPECT_EQ(zubConnect(0, "127.0.0.1", "anna", "secret"), 0);
  EXPECT_EQ(rec_->nonBlockArg, 0u);  // handed back to blocking mode
  EXPECT_STREQ(rec_->localIpText, "127.0.0.1");
  EXPECT_EQ(zubHello(0), 0);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty());

  // A refused non-blocking attempt never becomes writable: it ends at once
  // with the refusal, not at the connect deadline.
  closeSocket(rec_->ctrlSock, 0);
  rec_->ctrlSock = rec_->ctrlRing.sock = 0;
  zubSetInteger(0, ZUB_SET_CTRL_PORT, closedPort());
  zubSetInteger(0, ZUB_SET_CONNECT_TIMEOUT, 5000);
  auto t0 = Clock::now();
  EXPECT_EQ(zubConnect(0, "127.0.0.1", "anna", "secret"), -PLAT_WSAECONNREFUSED);
  EXPECT_LT(msSince(t0), 2000);
}

TEST_F(SessionTest, ServerThatNeverGreetsTimesOut) {
  ScriptServer srv;
  srv.silence();
  ASSERT_TRUE(srv.start());
  useServer(srv);
  zubSetInteger(0, ZUB_SET_REPLY_TIMEOUT, 400);
  zubSetInteger(0, ZUB_SET_LINE_TIMEOUT, 200);
  auto t0 = Clock::now();
  EXPECT_EQ(zubConnect(0, "127.0.0.1", "anna", "secret"), ZUB_E_TIMEOUT);
  EXPECT_LT(msSince(t0), 5000);
  EXPECT_EQ(zubDriver(0), 0);
}

// Runs the driver until it returns 0 or an error; the results with runs of
// the same value collapsed into one.
std::vector<int32_t> driveToEnd(int32_t ch) {
  std::vector<int32_t> seen;
  for (int i = 0; i < 100000; i++) {
    int32_t r = zubDriver(ch);
    if (seen.empty() || seen.back() != r) seen.push_back(r);
    if (r <= 0) break;
  }
  return seen;
}

TEST_F(SessionTest, CallerDrivenSessionStepByStep) {
  ScriptServer srv;
  srv.greet();
  srv.expect("USER anna\r\n");
  srv.send("331 Password please.\r\n");
  srv.expect("PASS secret\r\n");
  srv.send("230 Welcome.\r\n");
  srv.expect("NOOP\r\n");
  srv.send("200 Fine.\r\n");
  srv.expect("QUIT\r\n");
  srv.send("221 Bye.\r\n");
  srv.expectClose();
  ASSERT_TRUE(srv.start());
  useServer(srv);
  EXPECT_EQ(zubSetInteger(0, ZUB_SET_AUTO_CALL, 0), 0);
  // A reply delay puts the delay gate (9999) after every command.
  zubSetInteger(0, ZUB_SET_REPLY_DELAY, 100);
  openLog();

  EXPECT_EQ(zubConnect(0, "127.0.0.1", "anna", "secret"), 0);
  EXPECT_EQ(rec_->nextState, 101);
  platSleep(50);
  EXPECT_EQ(srv.connections(), 0u);  // armed only: nothing happened yet
  EXPECT_EQ(driveToEnd(0), (std::vector<int32_t>{102, ZUB_BUSY, 103, 104, 105, ZUB_BUSY, 106, 107, ZUB_BUSY, 0}));

  EXPECT_EQ(zubHello(0), 0);
  EXPECT_EQ(rec_->nextState, 240);
  EXPECT_EQ(driveToEnd(0), (std::vector<int32_t>{241, ZUB_BUSY, 0}));

  // Caller-driven close sends QUIT but leaves the socket to the caller.
  EXPECT_EQ(zubClose(0), 0);
  EXPECT_EQ(driveToEnd(0), (std::vector<int32_t>{221, ZUB_BUSY, 0}));
  EXPECT_GT(rec_->ctrlSock, 0);
  EXPECT_EQ(rec_->ctrlRing.head, rec_->ctrlRing.tail);
  closeSocket(rec_->ctrlSock, 0);
  rec_->ctrlSock = rec_->ctrlRing.sock = 0;
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty());
  EXPECT_EQ(srv.transcript(), "USER anna\r\nPASS secret\r\nNOOP\r\nQUIT\r\n");
  zubSetInteger(0, ZUB_SET_AUTO_CALL, 1);

  // The fixed pauses: the reply to PASS is looked at no earlier than
  // replyDelay + 200 ms after it went, the reply to QUIT no earlier than
  // 4 x replyDelay, the one to NOOP no earlier than replyDelay.
  std::string log = readLog();
  EXPECT_GE(stateGap(log, 106, 107), 300) << log;
  EXPECT_GE(stateGap(log, 240, 241), 100) << log;
  EXPECT_GE(stateGap(log, 220, 221), 400) << log;
  EXPECT_LT(stateGap(log, 220, 221), 5000) << log;
}

// Without the pauses the reply to PASS is read as soon as it comes, and the
// close at the end does not linger.
TEST_F(SessionTest, WithoutPausesLoginAndCloseDoNotWait) {
  zubSetInteger(0, ZUB_SET_PAUSES, 0);
  ScriptServer srv;
  openLog();
  auto t0 = Clock::now();
  loginTo(srv);
  EXPECT_LT(msSince(t0), 300);
  EXPECT_LT(stateGap(readLog(), 106, 107), 200);
  srv.expect("QUIT\r\n");
  srv.send("221 Bye.\r\n");
  t0 = Clock::now();
  EXPECT_EQ(zubClose(0), 0);
  EXPECT_LT(msSince(t0), 250);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_EQ(srv.transcript(), "USER anna\r\nPASS secret\r\nQUIT\r\n");
}

TEST_F(SessionTest, UnaskedTextBetweenBlockingOperationsIsDiscarded) {
  ScriptServer srv;
  loginTo(srv);
  // Text the server sends on its own while the channel is idle; an error
  // code, so that taking it for the answer to NOOP would fail the call.
  srv.send("500 Unasked noise.\r\n");
  ASSERT_TRUE(srv.waitDone());
  ASSERT_TRUE(waitCtrlReadable());
  srv.expect("NOOP\r\n");
  srv.send("200 Fine.\r\n");
  EXPECT_EQ(zubHello(0), 0);
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_REPLY_CODE), 200);

  // Caller-driven use does not discard: the waiting text is read as the reply.
  srv.send("500 More noise.\r\n");
  ASSERT_TRUE(srv.waitDone());
  ASSERT_TRUE(waitCtrlReadable());
  srv.expect("NOOP\r\n");
  srv.send("200 Fine.\r\n");
  zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
  EXPECT_EQ(zubHello(0), 0);
  EXPECT_EQ(driveToEnd(0).back(), ZUB_E_SERVER_ERROR);
  zubSetInteger(0, ZUB_SET_AUTO_CALL, 1);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty());
}

TEST_F(SessionTest, HelloFailures) {
  ScriptServer srv;
  loginTo(srv);
  srv.expect("NOOP\r\n");
  srv.send("421 Closing.\r\n");
  EXPECT_EQ(zubHello(0), ZUB_E_SERVER_ERROR);
  EXPECT_EQ(errorText(ZUB_E_SERVER_ERROR), "FTP server returned error. 421 Closing.\r\n");

  // No reply at all: the reply deadline ends the wait.
  srv.expect("NOOP\r\n");
  zubSetInteger(0, ZUB_SET_REPLY_TIMEOUT, 300);
  auto t0 = Clock::now();
  EXPECT_EQ(zubHello(0), ZUB_E_TIMEOUT);
  EXPECT_GE(msSince(t0), 250);
  EXPECT_LT(msSince(t0), 5000);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty());

  // A failing send of NOOP is reported with its socket code; the log names
  // the connect error -9 as the library's code (other commands: -21).
  openLog();
  platFaultSet(PLAT_OP_SEND, 1, PLAT_WSAECONNRESET);
  EXPECT_EQ(zubHello(0), -PLAT_WSAECONNRESET);
  platFaultClearAll();
  EXPECT_NE(readLog().find("SockCode=-10054 zubCode=-9 PrevState="), std::string::npos) << readLog();
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_LAST_ERROR), -PLAT_WSAECONNRESET);
}

TEST_F(SessionTest, CloseInBlockingUseClosesSocketAndLogEvenAfterAnError) {
  ScriptServer srv;
  loginTo(srv);
  openLog();
  srv.expect("QUIT\r\n");
  srv.send("500 Will not.\r\n");
  srv.expectClose();
  EXPECT_EQ(zubClose(0), ZUB_E_SERVER_ERROR);
  EXPECT_EQ(rec_->ctrlSock, 0);
  EXPECT_EQ(rec_->ctrlRing.sock, 0);
  EXPECT_EQ(rec_->logFile, 0);
  EXPECT_EQ(globalTraceLog, 0);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty());
  std::string log = readLog();
  EXPECT_NE(log.find("Closing control socket\r\n"), std::string::npos);
  EXPECT_EQ(log.rfind("Closing control socket\r\n") + 24, log.size());

  // With the log closed, later calls write nothing to it.
  EXPECT_EQ(zubDebug(0, 0, 0, 0), 1);
  EXPECT_EQ(readLog(), log);
}

TEST_F(SessionTest, CloseAfterGoodbyeAndOnANeverConnectedChannel) {
  ScriptServer srv;
  loginTo(srv);
  srv.expect("QUIT\r\n");
  srv.send("221 Bye.\r\n");
  srv.expectClose();
  auto t0 = Clock::now();
  EXPECT_EQ(zubClose(0), 0);
  EXPECT_GE(msSince(t0), 240);  // the close's linger pause
  EXPECT_EQ(rec_->ctrlSock, 0);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty());
  EXPECT_EQ(srv.transcript(), "USER anna\r\nPASS secret\r\nQUIT\r\n");

  // Channel 1 never connected: nothing to wait for, nothing sent.
  t0 = Clock::now();
  EXPECT_EQ(zubClose(1), 0);
  EXPECT_LT(msSince(t0), 2000);
  EXPECT_EQ(channelTable[1]->ctrlSock, 0);
}

// A channel without a control socket, or whose connection attempt failed,
// must fail its commands at once and close without waiting: socket 0 is
// none, and a failed socket never becomes writable.
TEST_F(SessionTest, CommandsOnANeverConnectedOrFailedChannelDoNotWait) {
  openLog(1);
  auto t0 = Clock::now();
  EXPECT_EQ(zubHello(1), ZUB_E_SOCKET_CLOSED);
  EXPECT_EQ(zubSetServerDir(1, "/pub"), ZUB_E_SOCKET_CLOSED);
  EXPECT_LT(msSince(t0), 1500);  // replyTimeout is 3000 here
  std::string log = normalisedLog();
  EXPECT_NE(log.find("SockCode=-1 zubCode=-9 PrevState="), std::string::npos) << log;
  EXPECT_NE(log.find("SockCode=-1 zubCode=-21 PrevState="), std::string::npos) << log;
  EXPECT_EQ(log.find("send("), std::string::npos) << log;
  closeChannelLog(1);

  // A non-blocking attempt that is refused ends at once and closes its
  // socket; the next operations must not wait at the writability gate for
  // ever (they arm no deadline of their own).
  EXPECT_EQ(zubSetInteger(0, ZUB_SET_BLOCKING_CONNECT, 0), 0);
  zubSetInteger(0, ZUB_SET_CTRL_PORT, closedPort());
  zubSetInteger(0, ZUB_SET_CONNECT_TIMEOUT, 300);
  int32_t r = zubConnect(0, "127.0.0.1", "anna", "secret");
  EXPECT_EQ(r, -PLAT_WSAECONNREFUSED);
  EXPECT_EQ(rec_->ctrlSock, 0);
  t0 = Clock::now();
  EXPECT_LT(zubHello(0), 0);
  EXPECT_EQ(zubClose(0), 0);  // nothing to say QUIT to
  EXPECT_LT(msSince(t0), 2500);
  EXPECT_EQ(rec_->ctrlSock, 0);

  // The same attempt, caller-driven and aborted while it is under way: the
  // gate it leaves has no deadline once the next operation is armed.
  zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
  EXPECT_EQ(zubConnect(0, "127.0.0.1", "anna", "secret"), 0);
  EXPECT_EQ(zubDriver(0), 102);
  EXPECT_EQ(zubAbort(0), 1);
  EXPECT_EQ(rec_->waitWritable, 1);
  zubSetInteger(0, ZUB_SET_AUTO_CALL, 1);
  t0 = Clock::now();
  EXPECT_LT(zubHello(0), 0);
  EXPECT_LT(msSince(t0), 2500);
}

TEST_F(SessionTest, AbortClosesOnlyTheDataSide) {
  ScriptServer srv;
  loginTo(srv);
  openLog();
  // Nothing open on the data side: only the entry line.
  EXPECT_EQ(zubAbort(0), 1);
  EXPECT_EQ(readLog(), "*** zubAbort\r\n");

  // An armed operation is dropped and both data sockets are closed.
  rec_->listenSock = createSocket();
  rec_->dataSock = createSocket();
  rec_->dataRing.sock = rec_->dataSock;
  rec_->dataRing.head = 3;
  rec_->dataRing.tail = 9;
  zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
  EXPECT_EQ(zubHello(0), 0);
  EXPECT_EQ(zubAbort(0), 1);
  EXPECT_EQ(rec_->nextState, 0);
  EXPECT_EQ(rec_->listenSock, 0);
  EXPECT_EQ(rec_->dataSock, 0);
  EXPECT_EQ(rec_->dataRing.sock, 0);
  EXPECT_EQ(rec_->dataRing.head, rec_->dataRing.tail);
  EXPECT_GT(rec_->ctrlSock, 0);  // the session stays
  EXPECT_EQ(zubDriver(0), 0);    // nothing was sent
  zubSetInteger(0, ZUB_SET_AUTO_CALL, 1);
  std::string log = readLog();
  EXPECT_NE(log.find("*** zubAbort\r\nClosing listener socket\r\nClosing data socket\r\n"), std::string::npos) << log;

  srv.expect("NOOP\r\n");
  srv.send("200 Still here.\r\n");
  EXPECT_EQ(zubHello(0), 0);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty());
  EXPECT_EQ(srv.transcript(), "USER anna\r\nPASS secret\r\nNOOP\r\n");
}

TEST_F(SessionTest, ConnectArgumentsAndGuards) {
  openLog();
  EXPECT_EQ(zubConnect(0, nullptr, nullptr, "x"), ZUB_E_NO_SERVER_NAME);
  EXPECT_EQ(zubConnect(0, "h", nullptr, nullptr), ZUB_E_NO_USER);
  EXPECT_EQ(zubConnect(0, "h", "u", nullptr), ZUB_E_NO_PASSWORD);
  EXPECT_EQ(readLog(), "*** zubConnect\r\n*** zubConnect\r\n*** zubConnect\r\n");
  EXPECT_EQ(rec_->nextState, 0);
  EXPECT_STREQ(rec_->serverName, "");

  // Bounded copies: 64 characters, cut at CR or LF.
  zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
  std::string longName(100, 'n');
  EXPECT_EQ(zubConnect(0, longName.c_str(), "us\r\ner", "pa\nss"), 0);
  EXPECT_EQ(std::string(rec_->serverName), std::string(64, 'n'));
  EXPECT_STREQ(rec_->userName, "us");
  EXPECT_STREQ(rec_->password, "pa");
  EXPECT_EQ(rec_->nextState, 101);
  EXPECT_EQ(zubAbort(0), 1);
  zubSetInteger(0, ZUB_SET_AUTO_CALL, 1);
  platFileClose(rec_->logFile);
  rec_->logFile = 0;
  globalTraceLog = 0;

  EXPECT_EQ(zubHello(2), ZUB_E_CHANNEL_RANGE);
  EXPECT_EQ(zubClose(2), ZUB_E_CHANNEL_RANGE);
  EXPECT_EQ(zubAbort(65536 + 2), ZUB_E_CHANNEL_RANGE);
  EXPECT_EQ(zubAbort(65536 + 1), 1);
  zubRelease();
  EXPECT_EQ(zubConnect(0, "h", "u", "p"), ZUB_E_NOT_ATTACHED);
  EXPECT_EQ(zubHello(0), ZUB_E_NOT_ATTACHED);
  EXPECT_EQ(zubAbort(0), ZUB_E_NOT_ATTACHED);
  ASSERT_EQ(zubAttach(2, 0), 1);
  rec_ = channelTable[0];
}

}  // namespace
}  // namespace zubtest
