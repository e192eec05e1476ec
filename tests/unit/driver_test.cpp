// The driver frame: gates, deadline, state lines, dispatch, end-of-step
// logging, the error exit and the two step shapes, on a channel whose
// control socket is connected by hand to the scripted server.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/driver.h"
#include "engine/states.h"
#include "engine_fixture.h"
#include "support/test_util.h"

namespace zubtest {
namespace {

class DriverTest : public EngineTest {
 protected:
  // The channel's own log only: the socket layer's send/recv lines go to
  // the library-wide handle, which these tests keep closed.
  void openChannelLog() {
    openLog();
    globalTraceLog = 0;
  }
  // A state number no table entry has.
  static constexpr int32_t kUnknownState = 999;
};

TEST(StateTable, EveryListedStateHasItsHandlerAndNoOtherNumberHasOne) {
  int32_t listed = 0;
#define CHECK_STATE(number, name)                  \
  EXPECT_EQ(findStateHandler(number), &name) << number; \
  listed++;
  ZUB_ALL_STATES(CHECK_STATE)
#undef CHECK_STATE
  EXPECT_EQ(listed, 63);  // 50 of plain FTP, 11 of TLS, 2 of EPSV
  int32_t found = 0;
  for (int32_t s = -2; s < 10000; s++) found += findStateHandler(s) != nullptr ? 1 : 0;
  EXPECT_EQ(found, listed);
}

TEST(TimeText, SecondsAndMillisecondsOfTheLow19Bits) {
  struct Row {
    uint32_t tick;
    const char* text;
  };
  const Row rows[] = {{0, "000.000"},       {1000, "001.000"},       {12345, "012.345"},
                      {524287, "524.287"},  {524288, "000.000"},     {0xFFFFFFFFu, "524.287"},
                      {524288 + 7, "000.007"}};
  for (const Row& row : rows) EXPECT_STREQ(timeText(row.tick).text, row.text) << row.tick;
}

TEST_F(DriverTest, ChannelCheck) {
  EXPECT_EQ(zubDriver(1), ZUB_E_CHANNEL_RANGE);
  EXPECT_EQ(zubDriver(0x10000), 0);  // only the low 16 bits name the channel
}

TEST_F(DriverTest, IdleCallsWriteTheStateLineEachTime) {
  openChannelLog();
  uint32_t now = platTickCount();
  rec_->resumeTick = now - 5;
  rec_->deadlineTick = now + 100000;
  EXPECT_EQ(zubDriver(0), 0);
  EXPECT_EQ(zubDriver(0), 0);
  EXPECT_EQ(rec_->resumeTick, 0u);
  EXPECT_EQ(rec_->deadlineTick, 0u);
  EXPECT_EQ(rec_->stepCount, 0);
  EXPECT_EQ(rec_->state, -1);
  EXPECT_EQ(rec_->prevState, -2);  // state 0 does not update it
  EXPECT_EQ(normalisedLog(), "<  0:T>\r\n<  0:T>\r\n");
}

TEST_F(DriverTest, DelayGateWaitsWithoutTrace) {
  openChannelLog();
  settings.sleepTime = 30;
  rec_->nextState = kUnknownState;
  rec_->prevState = 501;
  rec_->resumeTick = platTickCount() + 100000;
  zubtest::Mark t0 = zubtest::markNow();
  EXPECT_EQ(zubDriver(0), ZUB_BUSY);
  EXPECT_GE(zubtest::msSince(t0), 30u - zubtest::kTimerSlackMs);
  EXPECT_EQ(rec_->nextState, kUnknownState);
  EXPECT_EQ(rec_->prevState, 501);
  EXPECT_EQ(rec_->state, -1);
  EXPECT_EQ(rec_->stepCount, 0);
  EXPECT_EQ(readLog(), "");
}

TEST_F(DriverTest, WritabilityGateHoldsUntilTheControlSocketCanSend) {
  openChannelLog();
  rec_->nextState = kUnknownState;
  rec_->waitWritable = 1;
  int32_t unconnected = createSocket();
  rec_->ctrlSock = unconnected;
  EXPECT_EQ(zubDriver(0), ZUB_BUSY);
  EXPECT_EQ(rec_->waitWritable, 1);
  EXPECT_EQ(rec_->idleWait[0].sock, unconnected);
  EXPECT_EQ(rec_->idleWait[0].mode, PLAT_WRITABLE);
  EXPECT_EQ(readLog(), "");
  closeSocket(unconnected, 0);

  ScriptServer srv;
  srv.silence();
  ASSERT_TRUE(srv.start());
  connectControlTo(srv);
  EXPECT_EQ(zubDriver(0), kUnknownState);
  EXPECT_EQ(rec_->waitWritable, 0);
  EXPECT_EQ(rec_->idleWait[0].mode, 0);  // cleared at the start of each step
}

TEST_F(DriverTest, UnknownStateIsReportedAndKept) {
  openChannelLog();
  rec_->nextState = kUnknownState;
  EXPECT_EQ(zubDriver(0), kUnknownState);
  EXPECT_EQ(zubDriver(0), kUnknownState);
  EXPECT_EQ(rec_->stepCount, 2);
  EXPECT_EQ(rec_->prevState, kUnknownState);
  EXPECT_EQ(rec_->state, -1);
  // The state line is written when the state changes, not while it repeats.
  EXPECT_EQ(normalisedLog(), "<999:T>\r\nERROR! Unknown state 999\r\nERROR! Unknown state 999\r\n");
}

// A command exchange through the frame: the command step's "S: " line, a
// reply step that repeats silently while nothing has come, the "R: " line.
TEST_F(DriverTest, CommandAndReplyStepsThroughTheFrame) {
  ScriptServer srv;
  srv.expect("NOOP\r\n");
  srv.expect("GO\r\n");
  srv.send("200 OK\r\n");
  ASSERT_TRUE(srv.start());
  connectControlTo(srv);
  openChannelLog();
  rec_->nextState = 240;
  EXPECT_EQ(zubDriver(0), 241);
  EXPECT_EQ(zubDriver(0), 241);
  EXPECT_EQ(rec_->idleWait[0].sock, rec_->ctrlSock);
  EXPECT_EQ(rec_->idleWait[0].mode, PLAT_READABLE);
  EXPECT_EQ(zubDriver(0), 241);
  EXPECT_EQ(normalisedLog(), "<240:T>\r\nS: NOOP\r\n\r\n<241:T>\r\n");
  ASSERT_EQ(sendAll(rec_->ctrlSock, "GO\r\n", 4), 4);
  ASSERT_TRUE(waitCtrlReadable());
  EXPECT_EQ(zubDriver(0), 0);
  EXPECT_EQ(zubDriver(0), 0);
  EXPECT_EQ(normalisedLog(), "<240:T>\r\nS: NOOP\r\n\r\n<241:T>\r\nR: 200 OK\r\n<  0:T>\r\n");
  EXPECT_EQ(rec_->stepCount, 4);
  EXPECT_TRUE(srv.waitDone());
}

TEST_F(DriverTest, DeadlinePassedWhileAReplyIsAwaited) {
  ScriptServer srv;
  srv.silence();
  ASSERT_TRUE(srv.start());
  connectControlTo(srv);
  openChannelLog();
  rec_->nextState = 241;
  uint32_t deadline = platTickCount() + 40;
  rec_->deadlineTick = deadline;
  int32_t r = 241;
  for (int i = 0; i < 400 && r == 241; i++) {
    r = zubDriver(0);
    if (r == 241) platSleep(5);
  }
  EXPECT_EQ(r, ZUB_E_TIMEOUT);
  EXPECT_EQ(rec_->nextState, 0);
  EXPECT_EQ(rec_->state, -1);
  EXPECT_EQ(rec_->lastError, 0);

  // "TimeStop exceeded [now:deadline]", then the ERROR line and the text.
  std::string log = normalisedLog();
  const std::string head = "<241:T>\r\nTimeStop exceeded [";
  ASSERT_EQ(log.substr(0, head.size()), head) << log;
  size_t colon = log.find(':', head.size());
  size_t close = log.find("]\r\n", head.size());
  ASSERT_NE(colon, std::string::npos);
  ASSERT_NE(close, std::string::npos);
  uint32_t now = static_cast<uint32_t>(std::stol(log.substr(head.size(), colon - head.size())));
  EXPECT_EQ(static_cast<uint32_t>(std::stol(log.substr(colon + 1, close - colon - 1))), deadline);
  EXPECT_TRUE(tickBefore(deadline, now));
  EXPECT_EQ(log.substr(close + 3),
            "ERROR(T): SockCode=0 zubCode=-22 PrevState=241 ThisState=-1 NextState=241\r\nSocket timed out.");
  EXPECT_EQ(zubDriver(0), 0);
}

// A code kept for a deadline by an operation that was left (a broken TLS
// data connection keeps its socket's code) is not the time-out of the next
// operation, whether that one is started at once or after an abort.
TEST_F(DriverTest, ANewOperationDoesNotInheritALeftOperationsTimeCode) {
  for (bool abortFirst : {false, true}) {
    SCOPED_TRACE(abortFirst ? "after zubAbort" : "started at once");
    ScriptServer srv;
    srv.silence();
    ASSERT_TRUE(srv.start());
    connectControlTo(srv);
    settings.replyTimeout = 100;
    rec_->timeStopError = -10054;
    if (abortFirst) {
      EXPECT_EQ(zubAbort(0), 1);
    }
    EXPECT_EQ(zubHello(0), ZUB_E_TIMEOUT);
    closeSocket(rec_->ctrlSock, 0);
    rec_->ctrlSock = rec_->ctrlRing.sock = 0;
  }
}

// Ticks wrap at 2^32: a deadline or delay armed just before the wrap must
// neither fire at once nor never.
TEST_F(DriverTest, TicksAcrossTheWrap) {
  openChannelLog();
  rec_->nextState = kUnknownState;
  uint32_t armedAt = 0xFFFFFF00u;
  rec_->deadlineTick = armedAt + 1000;  // wraps to 744
  EXPECT_EQ(driverStep(rec_, armedAt + 128), kUnknownState);
  EXPECT_EQ(driverStep(rec_, 300), kUnknownState);
  EXPECT_EQ(driverStep(rec_, 744), kUnknownState);
  EXPECT_EQ(driverStep(rec_, 745), ZUB_E_TIMEOUT);
  EXPECT_NE(readLog().find("TimeStop exceeded [745:744]\r\n"), std::string::npos);

  rec_->nextState = kUnknownState;
  rec_->resumeTick = 0xFFFFFFF0u + 100;  // wraps to 84
  settings.sleepTime = 1;
  EXPECT_EQ(driverStep(rec_, 0xFFFFFFF0u), ZUB_BUSY);
  EXPECT_EQ(driverStep(rec_, 20), ZUB_BUSY);
  EXPECT_EQ(driverStep(rec_, 84), kUnknownState);
}

// A tick armed by a session state that lands exactly on the wrap must not
// become 0, which means "no deadline" (or no delay).
TEST_F(DriverTest, SessionTicksNeverLandOnZero) {
  ScriptServer srv;
  srv.expect("NOOP\r\n");
  ASSERT_TRUE(srv.start());
  connectControlTo(srv);
  settings.replyDelay = 0;
  settings.replyTimeout = 1000;
  EXPECT_EQ(awaitConnected(rec_, 0u - 1000u), STEP_ON);
  EXPECT_EQ(rec_->nextState, 103);
  EXPECT_EQ(rec_->deadlineTick, 1u);
  settings.replyDelay = 1000;
  EXPECT_EQ(sendNoop(rec_, 0u - 1000u), STEP_ON);
  EXPECT_EQ(rec_->resumeTick, 1u);
  EXPECT_EQ(rec_->deadlineTick, 1u);
  EXPECT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty());
}

TEST_F(DriverTest, ErrorExitEffects) {
  openChannelLog();
  TempDir tmp;
  int32_t file = platFileCreate(tmp.file("partial").c_str(), PLAT_ATTR_NORMAL);
  ASSERT_GT(file, 0);
  rec_->localFile = file;
  rec_->prevState = 541;
  rec_->state = 542;
  rec_->nextState = 542;
  rec_->timeStopError = 7;
  rec_->resumeTick = platTickCount() + 100000;
  rec_->deadlineTick = platTickCount() - 5;
  std::strcpy(rec_->responseBuf, "550 No such file\r\n");
  EXPECT_EQ(errorExit(rec_, 0, ZUB_E_SERVER_ERROR), ZUB_E_SERVER_ERROR);
  EXPECT_EQ(rec_->nextState, 0);
  EXPECT_EQ(rec_->prevState, 542);
  EXPECT_EQ(rec_->state, -1);
  EXPECT_EQ(rec_->lastError, 0);
  EXPECT_EQ(rec_->timeStopError, 0);
  EXPECT_EQ(rec_->resumeTick, 0u);  // idle: the next call reports 0
  EXPECT_EQ(rec_->deadlineTick, 0u);
  EXPECT_EQ(rec_->localFile, 0);
  EXPECT_FALSE(fdIsOpen(file));
  EXPECT_EQ(normalisedLog(),
            "ERROR(T): SockCode=0 zubCode=-18 PrevState=541 ThisState=542 NextState=542\r\n"
            "FTP server returned error. 550 No such file\r\nClosing file\r\n");

  // A negative socket code wins and is kept; both texts follow, without line
  // ends of their own.
  std::remove(logPath_.c_str());
  openChannelLog();
  rec_->state = 104;
  rec_->nextState = 104;
  EXPECT_EQ(errorExit(rec_, -PLAT_WSAECONNRESET, ZUB_E_WRITE), -PLAT_WSAECONNRESET);
  EXPECT_EQ(rec_->lastError, -PLAT_WSAECONNRESET);
  EXPECT_EQ(normalisedLog(),
            "ERROR(T): SockCode=-10054 zubCode=-21 PrevState=542 ThisState=104 NextState=104\r\n"
            "Socket write error.Connection reset by remote host.");

  // A positive socket code (a handle) is not a result; the reply line of -9
  // is cut with its text at 255 characters.
  std::remove(logPath_.c_str());
  openChannelLog();
  std::memset(rec_->responseBuf, 'x', 400);
  rec_->responseBuf[400] = '\0';
  EXPECT_EQ(errorExit(rec_, 12, ZUB_E_CONNECT), ZUB_E_CONNECT);
  std::string log = readLog();
  std::string text = "Error attempting to connect. ";
  EXPECT_EQ(log.substr(log.find("\r\n") + 2), text + std::string(255 - text.size(), 'x'));
}

TEST_F(DriverTest, CommandStepSendsArmsAndFails) {
  ScriptServer srv;
  srv.expect("NOOP\r\n");
  ASSERT_TRUE(srv.start());
  connectControlTo(srv);
  openChannelLog();
  settings.replyDelay = 70;
  settings.replyTimeout = 5000;
  uint32_t now = platTickCount();
  std::strcpy(rec_->cmdBuf, "NOOP\r\n");
  EXPECT_EQ(commandStep(rec_, now, ST_readNoopReply), STEP_ON);
  EXPECT_EQ(rec_->resumeTick, now + 70);
  EXPECT_EQ(rec_->deadlineTick, now + 5000);
  EXPECT_EQ(rec_->nextState, 241);
  EXPECT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty());

  // A failing send ends with the send's own code; -21 shows in the trace.
  rec_->state = 240;
  platFaultSet(PLAT_OP_SEND, 1, PLAT_WSAECONNRESET);
  EXPECT_EQ(commandStep(rec_, now, ST_readNoopReply), -PLAT_WSAECONNRESET);
  EXPECT_EQ(rec_->lastError, -PLAT_WSAECONNRESET);
  EXPECT_EQ(rec_->nextState, 0);
  EXPECT_NE(readLog().find("SockCode=-10054 zubCode=-21 "), std::string::npos);
}

TEST_F(DriverTest, ReplyStepShapes) {
  ScriptServer srv;
  srv.expect("A\r\n");
  srv.send("331 Go on\r\n");
  srv.expect("B\r\n");
  srv.send("530 Not logged in\r\n");
  srv.expect("C\r\n");
  srv.send("220-Rea");  // a reply that never finishes
  ASSERT_TRUE(srv.start());
  connectControlTo(srv);
  openChannelLog();

  rec_->state = rec_->nextState = 105;
  EXPECT_EQ(replyStep(rec_, ST_sendPass), STEP_ON);  // nothing yet: the state runs again
  EXPECT_EQ(rec_->nextState, 105);
  EXPECT_EQ(rec_->idleWait[0].mode, PLAT_READABLE);

  ASSERT_EQ(sendAll(rec_->ctrlSock, "A\r\n", 3), 3);
  ASSERT_TRUE(waitCtrlReadable());
  EXPECT_EQ(replyStep(rec_, ST_sendPass), REPLY_READ);
  EXPECT_EQ(rec_->nextState, 106);
  EXPECT_EQ(rec_->replyCode, 331);

  rec_->state = rec_->nextState = 107;
  ASSERT_EQ(sendAll(rec_->ctrlSock, "B\r\n", 3), 3);
  ASSERT_TRUE(waitCtrlReadable());
  EXPECT_EQ(replyStep(rec_, ST_idle), ZUB_E_SERVER_ERROR);
  EXPECT_EQ(rec_->nextState, 0);
  EXPECT_NE(readLog().find("SockCode=0 zubCode=-18 PrevState=-2 ThisState=107 NextState=107\r\n"
                           "FTP server returned error. 530 Not logged in\r\n"),
            std::string::npos);

  // A reply that never ends fails once the deadline has passed: -22 through
  // the error exit, not a hang.
  rec_->state = rec_->nextState = 502;
  ASSERT_EQ(sendAll(rec_->ctrlSock, "C\r\n", 3), 3);
  ASSERT_TRUE(waitCtrlReadable());
  rec_->deadlineTick = platTickCount() + 200;
  uint32_t t0 = platTickCount();
  EXPECT_EQ(replyStep(rec_, ST_idle), ZUB_E_TIMEOUT);
  EXPECT_LT(platTickCount() - t0, 3000u);
  EXPECT_EQ(rec_->nextState, 0);
  EXPECT_NE(readLog().find("zubCode=-22 PrevState=107 ThisState=502 NextState=502\r\nSocket timed out."),
            std::string::npos);
}

}  // namespace
}  // namespace zubtest
