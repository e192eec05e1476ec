// The receive rings and the reply reader, on real loopback sockets fed by the
// scripted server, and on rings set up by hand for the wrap cases.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/reply.h"
#include "engine/ring.h"
#include "engine_fixture.h"
#include "fuzz/reply_fuzz.h"

namespace zubtest {
namespace {

class ReplyTest : public EngineTest {
 protected:
  std::string response() const { return rec_->responseBuf; }
  int32_t queued() const { return (rec_->ctrlRing.tail - rec_->ctrlRing.head) & (RING_SIZE - 1); }
};

// ---- Pure parts ----

TEST(ParseReplyCode, Table) {
  struct Row {
    const char* text;
    int32_t len;  // for the bounded form; -1 = use the whole text
    int32_t code;
    int32_t next;  // offset of *next
  };
  const Row rows[] = {
      {"220 Ready\r\n", -1, 220, 4},
      {"230-Hello\r\n", -1, 230, 4},
      {"257 \"/pub\"\r\n", -1, 257, 4},
      {"220", -1, 220, 4},               // the terminator is read as the end of the code
      {"", -1, 0, 1},
      {" continued\r\n", -1, 0, 1},
      {"The end\r\n", -1, 0, 1},
      {"12345678901234", -1, static_cast<int32_t>(1234567890u), 10},  // ten digits at most
      {"9999999999 x", -1, static_cast<int32_t>(9999999999ull & 0xFFFFFFFFu), 10},
      {"550 No\r\n", 3, 550, 3},         // bounded: stops at the length, reads nothing past it
      {"425 Can't", 12, 425, 4},
      {"15", 2, 15, 2},
      {"x", 0, 0, 0},
  };
  for (const Row& row : rows) {
    const char* next = nullptr;
    int32_t code = row.len < 0 ? parseReplyCode(row.text, &next) : parseReplyCodeN(row.text, row.len, &next);
    EXPECT_EQ(code, row.code) << row.text;
    EXPECT_EQ(next - row.text, row.next) << row.text;
  }
}

// A ring without a socket, loaded by hand so that its bytes wrap.
TEST(Ring, CopiesAcrossTheWrapWithoutMovingOnPeek) {
  static ReceiveRing ring;
  std::memset(&ring, 0, sizeof ring);
  const std::string content = "abcdef\r\n220 wrapped\r\nrest";
  ring.head = RING_SIZE - 12;
  for (size_t i = 0; i < content.size(); i++) ring.bytes[(ring.head + i) & (RING_SIZE - 1)] = content[i];
  ring.tail = static_cast<uint16_t>((ring.head + content.size()) & (RING_SIZE - 1));

  char buf[64] = {};
  EXPECT_EQ(peekRing(&ring, buf, 63), static_cast<int32_t>(content.size()));
  EXPECT_EQ(std::string(buf, content.size()), content);
  EXPECT_EQ(ring.head, RING_SIZE - 12);
  EXPECT_EQ(ring.idleCount, 1);  // the receive attempt found nothing

  // Taken in two pieces, the second across the wrap; a queued-only copy
  // neither receives nor moves.
  EXPECT_EQ(takeFromRing(&ring, buf, 8), 8);
  EXPECT_EQ(std::string(buf, 8), "abcdef\r\n");
  EXPECT_EQ(peekQueued(&ring, buf, 13), 13);
  EXPECT_EQ(std::string(buf, 13), "220 wrapped\r\n");
  EXPECT_EQ(takeFromRing(&ring, buf, 13), 13);
  EXPECT_EQ(ring.idleCount, 1);
  EXPECT_EQ(takeFromRing(&ring, buf, 10), 4);
  EXPECT_EQ(std::string(buf, 4), "rest");
  EXPECT_EQ(ring.head, ring.tail);
  // Empty and no socket: nothing, and the attempt is counted.
  int32_t idle = ring.idleCount;
  EXPECT_EQ(takeFromRing(&ring, buf, 10), 0);
  EXPECT_EQ(ring.idleCount, idle + 1);
}

// ---- Rings on a real socket ----

TEST_F(ReplyTest, FillRingWrapsReceiveAndTracesIt) {
  ScriptServer srv;
  std::string payload(200, '\0');
  for (size_t i = 0; i < payload.size(); i++) payload[i] = static_cast<char>('A' + i % 26);
  srv.send(payload);
  ASSERT_TRUE(srv.start());
  connectControlTo(srv);
  openLog();
  ASSERT_TRUE(srv.waitDone());
  ASSERT_TRUE(waitCtrlReadable());

  // 50 queued bytes just before the end of the ring: the receive must wrap.
  ReceiveRing* ring = &rec_->ctrlRing;
  ring->head = 4000;
  ring->tail = 4050;
  std::memset(ring->bytes + 4000, '.', 50);
  EXPECT_EQ(fillRing(ring), 200);
  EXPECT_EQ(ring->tail, 154);
  EXPECT_EQ(ring->bytes[154], 0);  // the queued bytes are followed by a NUL
  std::vector<char> out(400);
  EXPECT_EQ(takeFromRing(ring, out.data(), 400), 250);
  EXPECT_EQ(std::string(out.data(), 50), std::string(50, '.'));
  EXPECT_EQ(std::string(out.data() + 50, 200), payload);

  // Nothing more: a take on the empty ring reports the load it found.
  EXPECT_EQ(takeFromRing(ring, out.data(), 400), 0);
  std::string log = normalisedLog();
  EXPECT_NE(log.find("recv(S):200\r\n"), std::string::npos) << log;
  EXPECT_NE(readLog().find("zubQueueLoad=0\r\n"), std::string::npos) << log;
}

TEST_F(ReplyTest, FullRingReceivesNothingUntilRoomIsMade) {
  ScriptServer srv;
  srv.send(std::string(6000, 'd'));
  ASSERT_TRUE(srv.start());
  connectControlTo(srv);
  ASSERT_TRUE(srv.waitDone());
  ReceiveRing* ring = &rec_->ctrlRing;
  // Fill the ring to its 4095 usable positions.
  while (queued() < RING_SIZE - 1) {
    ASSERT_TRUE(waitCtrlReadable());
    ASSERT_GE(fillRing(ring), 0);
  }
  EXPECT_EQ(queued(), RING_SIZE - 1);
  EXPECT_EQ(fillRing(ring), 0);
  EXPECT_EQ(queued(), RING_SIZE - 1);
  char buf[100];
  EXPECT_EQ(takeFromRing(ring, buf, 100), 100);
  EXPECT_EQ(fillRing(ring), 100);  // exactly the free room is asked for
  EXPECT_EQ(queued(), RING_SIZE - 1);
}

// ---- The reply reader ----

TEST_F(ReplyTest, OneLineInOnePiece) {
  ScriptServer srv;
  srv.send("220 Ready\r\n");
  srv.send("257 \"/pub\" is the current directory\r\n");
  ASSERT_TRUE(srv.start());
  connectControlTo(srv);
  openLog();
  ASSERT_EQ(waitRingData(&rec_->ctrlRing, 3000), 1);
  std::strcpy(rec_->replyNotes, "old");
  EXPECT_EQ(readReply(rec_), 11);
  EXPECT_EQ(rec_->replyCode, 220);
  EXPECT_EQ(response(), "220 Ready\r\n");
  EXPECT_STREQ(rec_->replyTextPtr, "eady\r\n");
  EXPECT_STREQ(rec_->replyNotes, "");

  EXPECT_GT(readReply(rec_), 0);
  EXPECT_EQ(rec_->replyCode, 257);
  EXPECT_EQ(std::string(rec_->replyTextPtr, 5), "/pub\"");
  // The final line is not traced by the reader (the driver's "R: " does it).
  EXPECT_EQ(readLog().find("220 Ready"), std::string::npos);
}

// A short multi-line reply delivered in pieces of every size from 1 byte to
// the whole: the result must not depend on how the bytes arrive.
TEST_F(ReplyTest, MultiLineReplyAtEverySplit) {
  const std::string reply = "230-Hello\r\n continued\r\n230 Done\r\n";
  ScriptServer srv;
  for (size_t k = 1; k <= reply.size(); k++) {
    srv.sendSplit(reply, std::vector<size_t>(reply.size() / k, k), 2);
    srv.expect("NEXT\r\n");
  }
  ASSERT_TRUE(srv.start());
  connectControlTo(srv);
  openLog();
  for (size_t k = 1; k <= reply.size(); k++) {
    ASSERT_EQ(waitRingData(&rec_->ctrlRing, 3000), 1) << "split " << k;
    EXPECT_EQ(readReply(rec_), 10) << "split " << k;
    EXPECT_EQ(rec_->replyCode, 230) << "split " << k;
    EXPECT_EQ(response(), "230 Done\r\n") << "split " << k;
    EXPECT_STREQ(rec_->replyTextPtr, "one\r\n") << "split " << k;
    EXPECT_EQ(queued(), 0) << "split " << k;
    ASSERT_EQ(sendAll(rec_->ctrlSock, "NEXT\r\n", 6), 6);
  }
  EXPECT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty());
  std::string log = readLog();
  EXPECT_EQ(count(log, "r: 230-Hello\r\n"), reply.size());
  EXPECT_EQ(count(log, "c:  continued\r\n"), reply.size());
}

TEST_F(ReplyTest, ReplyLongerThanTheRingIsReadInFull) {
  std::string reply;
  for (int i = 0; i < 100; i++) reply += "230-line " + std::to_string(100 + i) + " " + std::string(50, 'z') + "\r\n";
  reply += "230 End\r\n";
  ASSERT_GT(reply.size(), 6000u);
  ScriptServer srv;
  srv.send(reply);
  ASSERT_TRUE(srv.start());
  connectControlTo(srv);
  openLog();
  ASSERT_TRUE(srv.waitDone());
  ASSERT_EQ(waitRingData(&rec_->ctrlRing, 3000), 1);
  EXPECT_EQ(readReply(rec_), 9);
  EXPECT_EQ(rec_->replyCode, 230);
  EXPECT_EQ(queued(), 0);
  std::string log = readLog();
  EXPECT_EQ(count(log, "r: 230-line "), 100u);
  EXPECT_NE(log.find("r: 230-line 199 "), std::string::npos);
}

TEST_F(ReplyTest, RefusalsAndNotes) {
  ScriptServer srv;
  srv.send("400 Not now\r\n200 Next\r\n");
  srv.expect("GO\r\n");
  srv.send("550 No such file\r\n");
  srv.expect("GO\r\n");
  srv.send("230-Hi\r\nThe end\r\n230 Done\r\n");
  ASSERT_TRUE(srv.start());
  connectControlTo(srv);
  openLog();

  // 400: refused, but neither a note nor traced; the next line stays queued.
  ASSERT_EQ(waitRingData(&rec_->ctrlRing, 3000), 1);
  EXPECT_EQ(readReply(rec_), ZUB_E_SERVER_ERROR);
  EXPECT_EQ(rec_->replyCode, 400);
  EXPECT_EQ(response(), "400 Not now\r\n");
  EXPECT_STREQ(rec_->replyNotes, "");
  EXPECT_EQ(readLog().find("FtpResponse"), std::string::npos);
  EXPECT_EQ(readReply(rec_), 10);
  EXPECT_EQ(rec_->replyCode, 200);

  // 550: refused, noted and traced.
  ASSERT_EQ(sendAll(rec_->ctrlSock, "GO\r\n", 4), 4);
  ASSERT_EQ(waitRingData(&rec_->ctrlRing, 3000), 1);
  EXPECT_EQ(readReply(rec_), ZUB_E_SERVER_ERROR);
  EXPECT_EQ(rec_->replyCode, 550);
  EXPECT_STREQ(rec_->replyNotes, "550 No such file\r\n");
  EXPECT_NE(readLog().find("\r\nFtpResponse: [550 No such file\r\n] Code=550\r\n"), std::string::npos);

  // A text line without a code is a note, and does not end the reply even
  // when its fourth character is a space; the notes start afresh.
  ASSERT_EQ(sendAll(rec_->ctrlSock, "GO\r\n", 4), 4);
  ASSERT_EQ(waitRingData(&rec_->ctrlRing, 3000), 1);
  EXPECT_EQ(readReply(rec_), 10);
  EXPECT_EQ(rec_->replyCode, 230);
  EXPECT_STREQ(rec_->replyNotes, "The end\r\n");
  EXPECT_TRUE(srv.waitDone());
}

// A server that refuses and closes at once must have its refusal read, not
// an "ended connection" taken for success.
TEST_F(ReplyTest, RefusalFollowedByCloseIsStillRead) {
  ScriptServer srv;
  srv.send("421 Service not available, closing control connection.\r\n");
  srv.closeControl();
  ASSERT_TRUE(srv.start());
  connectControlTo(srv);
  ASSERT_TRUE(srv.waitDone());
  ASSERT_TRUE(waitCtrlReadable());
  platSleep(50);  // the end of the connection is queued behind the reply
  ASSERT_EQ(waitRingData(&rec_->ctrlRing, 0), 1);
  EXPECT_EQ(readReply(rec_), ZUB_E_SERVER_ERROR);
  EXPECT_EQ(rec_->replyCode, 421);
  // Nothing left: the end of the connection counts as a read reply (1) and
  // the code is kept.
  EXPECT_EQ(waitRingData(&rec_->ctrlRing, 0), -1);
  EXPECT_EQ(readReply(rec_), 1);
  EXPECT_EQ(rec_->replyCode, 421);
}

// The reply steps must tell an ended connection from a reply; readReply
// itself keeps answering 1 for it.
TEST_F(ReplyTest, EndedConnectionIsToldApartFromAReply) {
  ScriptServer srv;
  srv.send("230-Partial\r\n");
  srv.closeControl();
  ASSERT_TRUE(srv.start());
  connectControlTo(srv);
  ASSERT_TRUE(srv.waitDone());
  ASSERT_EQ(waitRingData(&rec_->ctrlRing, 3000), 1);
  EXPECT_EQ(readReplyOrEnd(rec_), REPLY_CONNECTION_ENDED);  // after its first line
  EXPECT_EQ(rec_->replyCode, 230);
  EXPECT_EQ(readReplyOrEnd(rec_), REPLY_CONNECTION_ENDED);
  EXPECT_EQ(readReply(rec_), 1);

  closeSocket(rec_->ctrlSock, 0);
  rec_->ctrlSock = rec_->ctrlRing.sock = 0;
  EXPECT_EQ(readReplyOrEnd(rec_), REPLY_CONNECTION_ENDED);  // no socket: no reply either
}

TEST_F(ReplyTest, NoControlSocketReadsNothing) {
  std::strcpy(rec_->replyNotes, "kept");
  rec_->replyCode = 7;
  EXPECT_EQ(readReply(rec_), 1);
  EXPECT_STREQ(rec_->replyNotes, "kept");
  EXPECT_EQ(rec_->replyCode, 7);
}

TEST_F(ReplyTest, SilentConnectionCountsTwoIdleAttempts) {
  ScriptServer srv;
  srv.silence();
  ASSERT_TRUE(srv.start());
  connectControlTo(srv);
  int32_t idle = rec_->ctrlRing.idleCount;
  EXPECT_EQ(waitRingData(&rec_->ctrlRing, 0), 0);
  EXPECT_EQ(rec_->ctrlRing.idleCount, idle + 2);
  uint32_t t0 = platTickCount();
  EXPECT_EQ(waitRingData(&rec_->ctrlRing, 60), 0);
  EXPECT_GE(platTickCount() - t0, 60u);
}

// The reader gives up once the step's deadline (or replyTimeout from the
// start of the read) has passed: a silent or trickling server cannot hang it.
TEST_F(ReplyTest, ReadReplyIsBounded) {
  ScriptServer srv;
  // A reply that trickles intermediate lines and never ends.
  srv.sendChunks(std::vector<std::string>(200, "230-more\r\n"), 20);
  ASSERT_TRUE(srv.start());
  connectControlTo(srv);
  ASSERT_EQ(waitRingData(&rec_->ctrlRing, 3000), 1);

  rec_->deadlineTick = platTickCount() + 300;
  uint32_t t0 = platTickCount();
  EXPECT_EQ(readReply(rec_), ZUB_E_TIMEOUT);
  uint32_t took = platTickCount() - t0;
  EXPECT_GE(took, 250u);
  EXPECT_LT(took, 2500u);

  // No deadline set: replyTimeout from the start of the read.
  rec_->deadlineTick = 0;
  settings.replyTimeout = 300;
  t0 = platTickCount();
  EXPECT_EQ(readReply(rec_), ZUB_E_TIMEOUT);
  took = platTickCount() - t0;
  EXPECT_GE(took, 250u);
  EXPECT_LT(took, 2500u);
  srv.stop();
}

TEST_F(ReplyTest, ReadReplyIsBoundedOnASilentServer) {
  ScriptServer srv;
  srv.silence();
  ASSERT_TRUE(srv.start());
  connectControlTo(srv);
  settings.lineTimeout = 5000;  // the bound cuts the line wait short
  rec_->deadlineTick = platTickCount() + 200;
  uint32_t t0 = platTickCount();
  EXPECT_EQ(readReply(rec_), ZUB_E_TIMEOUT);
  EXPECT_LT(platTickCount() - t0, 2000u);
}

TEST_F(ReplyTest, FlushDiscardsWhatIsWaiting) {
  ScriptServer srv;
  srv.send("200 stale one\r\n200 stale two\r\n");
  srv.expect("NOW\r\n");
  srv.send("200 fresh\r\n");
  ASSERT_TRUE(srv.start());
  connectControlTo(srv);
  ASSERT_TRUE(waitCtrlReadable());
  platSleep(20);
  flushReplies(rec_);
  EXPECT_EQ(queued(), 0);
  ASSERT_EQ(sendAll(rec_->ctrlSock, "NOW\r\n", 5), 5);
  ASSERT_EQ(waitRingData(&rec_->ctrlRing, 3000), 1);
  EXPECT_EQ(readReply(rec_), 11);
  EXPECT_EQ(response(), "200 fresh\r\n");
  EXPECT_TRUE(srv.waitDone());
}

// The seed inputs of the reply fuzz target, through the same checks.
TEST_F(ReplyTest, FuzzSeedCorpusReplay) {
  std::filesystem::path dir = std::filesystem::path(ZUB_SOURCE_DIR) / "tests/fuzz/corpus/fuzz_replies";
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(reply_fuzz::runReplies(data.data(), data.size())) << entry.path();
    files++;
  }
  EXPECT_GT(files, 0) << dir;

  // The harness itself reads what a server sends, reply by reply.
  const std::string session =
      "220-Hello\r\n 220 more\r\n220 Ready.\r\n530 Login incorrect.\r\n227 Entering Passive Mode (127,0,0,1,4,1)\r\n";
  size_t replies = 0;
  EXPECT_TRUE(reply_fuzz::runReplies(reinterpret_cast<const uint8_t*>(session.data()), session.size(), &replies));
  EXPECT_EQ(replies, 3u);
  EXPECT_EQ(rec_->replyCode, 227);
  EXPECT_STREQ(rec_->responseBuf, "227 Entering Passive Mode (127,0,0,1,4,1)\r\n");
}

}  // namespace
}  // namespace zubtest
