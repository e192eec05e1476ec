// The numbered queries that need no network.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/channel.h"
#include "core/trace.h"
#include "net/sockets.h"
#include "platform/platform.h"
#include "support/test_util.h"
#include "util/text.h"
#include "zub32.h"

namespace {

class Queries : public ::testing::Test {
 protected:
  void SetUp() override {
    zubRelease();
    ASSERT_EQ(zubAttach(2, 0), 1);
    std::memset(buf_, '#', sizeof buf_);
  }
  void TearDown() override {
    zubtest::closeChannelLog(0);
    zubRelease();
  }
  ChannelRecord* rec(int32_t n) { return channelTable[n]; }

  char buf_[128];
};

TEST_F(Queries, IntegersOfAFreshChannelAndTheirFields) {
  for (int32_t code : {2, 3, 4, 10, 11, 12, 13, 14, 25}) EXPECT_EQ(zubGetInteger(0, code), 0) << code;
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_CTRL_STATUS), 0);  // no control socket
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_VERSION), 560);
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_BUILD), 8);
  for (int32_t code : {1, 0, 5, 6, 24, 26, 1999, -1}) EXPECT_EQ(zubGetInteger(0, code), -1) << code;

  ChannelRecord* r = rec(1);
  r->stepCount = 21;
  r->replyCode = 550;
  r->lastError = -10061;
  r->getBytes = 10;
  r->getBytesTotal = 11;
  r->putBytes = 12;
  r->putBytesTotal = 13;
  r->dataRing.idleCount = 25;
  r->portSalt = 9;
  struct Row {
    int32_t code;
    int32_t value;
  };
  for (Row row : {Row{2, 21}, Row{3, 550}, Row{4, -10061}, Row{10, 10}, Row{11, 11}, Row{12, 12}, Row{13, 13},
                  Row{25, 25}, Row{2000, 9}}) {
    EXPECT_EQ(zubGetInteger(1, row.code), row.value) << row.code;
    EXPECT_EQ(zubGetInteger(0, row.code), row.code == 2000 ? rec(0)->portSalt : 0) << row.code;
  }
}

TEST_F(Queries, LastReplyLine) {
  int32_t n = zubGetString(0, ZUB_STR_LAST_REPLY, buf_, 100);
  EXPECT_EQ(n, 0);
  EXPECT_STREQ(buf_, "");

  // 22 characters and CR LF: all 24 are copied, 22 are counted.
  copyText(rec(0)->responseBuf, "226 Transfer complete.\r\n", RESPONSE_BUF_CAP);
  EXPECT_EQ(zubGetString(0, ZUB_STR_LAST_REPLY, buf_, 100), 22);
  EXPECT_STREQ(buf_, "226 Transfer complete.\r\n");
  // Cut before the line end: nothing to discount.
  std::memset(buf_, '#', sizeof buf_);
  EXPECT_EQ(zubGetString(0, ZUB_STR_LAST_REPLY, buf_, 10), 10);
  EXPECT_EQ(std::string(buf_, 12), std::string("226 Transf\0#", 12));
  // A copy that ends in the CR itself is counted whole.
  EXPECT_EQ(zubGetString(0, ZUB_STR_LAST_REPLY, buf_, 23), 23);
  copyText(rec(0)->responseBuf, "\r\n", RESPONSE_BUF_CAP);
  EXPECT_EQ(zubGetString(0, ZUB_STR_LAST_REPLY, buf_, 100), 2);  // not above 2: counted
}

TEST_F(Queries, ServerAddressNeedsSeventeenCharacters) {
  rec(0)->serverAddr = 0xC0A800C8;  // 192.168.0.200
  EXPECT_EQ(zubGetString(0, ZUB_STR_SERVER_IP, buf_, 16), 0);
  EXPECT_EQ(buf_[0], '#');  // untouched
  EXPECT_EQ(zubGetString(0, ZUB_STR_SERVER_IP, buf_, 17), 13);
  EXPECT_STREQ(buf_, "192.168.0.200");
  rec(0)->serverAddr = 0;
  EXPECT_EQ(zubGetString(0, ZUB_STR_SERVER_IP, buf_, 18), 7);
  EXPECT_STREQ(buf_, "0.0.0.0");
}

TEST_F(Queries, TextsNotesAndUnknownCodes) {
  // Code 22 reads the caller's text and counts its LFs; the size is not used.
  char text[] = "a\r\nb\r\nc";
  EXPECT_EQ(zubGetString(0, ZUB_STR_COUNT_LINES, text, 0), 2);
  EXPECT_STREQ(text, "a\r\nb\r\nc");
  char none[] = "no line end";
  EXPECT_EQ(zubGetString(0, ZUB_STR_COUNT_LINES, none, 5), 0);

  EXPECT_EQ(zubGetString(0, ZUB_STR_REPLY_NOTES, buf_, 100), 0);
  EXPECT_STREQ(buf_, "");
  copyText(rec(0)->replyNotes, "550 gone\r\nmore\r\n", REPLY_NOTES_CAP);
  EXPECT_EQ(zubGetString(0, ZUB_STR_REPLY_NOTES, buf_, 100), 16);
  EXPECT_STREQ(buf_, "550 gone\r\nmore\r\n");
  std::memset(buf_, '#', sizeof buf_);
  EXPECT_EQ(zubGetString(0, ZUB_STR_REPLY_NOTES, buf_, 3), 3);
  EXPECT_EQ(std::string(buf_, 5), std::string("550\0#", 5));

  // No control connection: no local address.
  EXPECT_EQ(zubGetString(0, ZUB_STR_LOCAL_IP, buf_, 100), ZUB_E_CANNOT_COMPLY);

  for (int32_t code : {0, 17, 20, 99, -1}) {
    std::memset(buf_, '#', sizeof buf_);
    EXPECT_EQ(zubGetString(0, code, buf_, 0), 0) << code;
    EXPECT_EQ(std::string(buf_, 3), std::string("?\0#", 3)) << code;
  }
  EXPECT_EQ(zubGetString(0, 99, nullptr, 10), ZUB_E_NULL_ARGUMENT);
}

// A null buffer is an error only where the buffer would be read or written.
TEST_F(Queries, NullBufferOnlyWhereItWouldBeUsed) {
  struct Row {
    int32_t code;
    int32_t size;
    int32_t result;
  };
  const Row rows[] = {
      {ZUB_STR_SERVER_IP, 16, 0},  // too small: nothing is stored, so no buffer is needed
      {ZUB_STR_SERVER_IP, -5, 0},
      {ZUB_STR_SERVER_IP, 17, ZUB_E_NULL_ARGUMENT},
      {ZUB_STR_LOCAL_IP, 100, ZUB_E_CANNOT_COMPLY},  // no connection: nothing to store either way
      {ZUB_STR_LAST_REPLY, 0, ZUB_E_NULL_ARGUMENT},   // the terminator would be written
      {ZUB_STR_REPLY_NOTES, 10, ZUB_E_NULL_ARGUMENT},
      {ZUB_STR_COUNT_LINES, 10, ZUB_E_NULL_ARGUMENT},  // read
      {99, 10, ZUB_E_NULL_ARGUMENT},                   // "?" would be written
  };
  rec(0)->serverAddr = 0x7F000001;
  for (const Row& row : rows) {
    EXPECT_EQ(zubGetString(0, row.code, nullptr, row.size), row.result) << row.code << " size " << row.size;
  }
}

// A loopback address whose port nothing listens on (bound, noted, closed).
PlatSockAddr closedLoopbackPort() {
  PlatSockAddr a{};
  a.family = PLAT_AF_INET;
  a.addrNet = platHtonl(0x7F000001u);
  int32_t probe = createSocket();
  EXPECT_GT(probe, 0);
  EXPECT_EQ(platBind(probe, &a), 0);
  EXPECT_EQ(platGetSockName(probe, &a), 0);
  closeSocket(probe, 0);
  return a;
}

TEST_F(Queries, ControlSocketStatusAndLocalAddressOfALiveConnection) {
  zubtest::TempDir dir;
  std::string log = dir.file("q.log");
  ASSERT_GT(zubSetString(0, ZUB_STR_OPEN_LOG, log.c_str()), 0);

  PlatSockAddr a{};
  a.family = PLAT_AF_INET;
  a.addrNet = platHtonl(0x7F000001u);
  int32_t listener = createSocket();
  ASSERT_GT(listener, 0);
  ASSERT_EQ(platBind(listener, &a), 0);
  ASSERT_EQ(platListen(listener, 1), 0);
  ASSERT_EQ(platGetSockName(listener, &a), 0);
  int32_t client = createSocket();
  ASSERT_GT(client, 0);
  ASSERT_EQ(platConnect(client, &a), 0);
  PlatSockAddr peer{};
  int32_t server = platAccept(listener, &peer);
  ASSERT_GT(server, 0);

  rec(0)->ctrlSock = client;
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_CTRL_SOCKET), client);
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_CTRL_STATUS), 1);  // connected and writable

  // Determined anew, stored in the record, traced after the entry line.
  EXPECT_EQ(zubGetString(0, ZUB_STR_LOCAL_IP, buf_, 100), 9);
  EXPECT_STREQ(buf_, "127.0.0.1");
  EXPECT_STREQ(rec(0)->localIpText, "127.0.0.1");
  EXPECT_EQ(rec(0)->localAddr, 0x7F000001u);
  EXPECT_EQ(zubtest::readFile(log), "*** zubGetString\r\nLocalIP=[127.0.0.1]\r\n");
  std::memset(buf_, '#', sizeof buf_);
  EXPECT_EQ(zubGetString(0, ZUB_STR_LOCAL_IP, buf_, 4), 4);
  EXPECT_EQ(std::string(buf_, 6), std::string("127.\0#", 6));
  rec(0)->ctrlSock = 0;
  closeSocket(client, 0);
  closeSocket(server, 0);
  closeSocket(listener, 0);

  // A connection attempt that was refused leaves an error condition: -9.
  PlatSockAddr refused = closedLoopbackPort();
  int32_t s = createSocket();
  ASSERT_GT(s, 0);
  uint32_t arg = 1;
  ASSERT_EQ(platSetNonBlocking(s, &arg), 0);
  platConnect(s, &refused);
  PlatWait w{s, PLAT_WRITABLE};
  platWaitSockets(&w, 1, 2000);
  rec(0)->ctrlSock = s;
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_CTRL_STATUS), ZUB_E_CONNECT);
  rec(0)->ctrlSock = 0;
  closeSocket(s, 0);
}

TEST_F(Queries, OnlyGetStringTraces) {
  zubtest::TempDir dir;
  std::string log = dir.file("q.log");
  ASSERT_GT(zubSetString(0, ZUB_STR_OPEN_LOG, log.c_str()), 0);
  zubGetInteger(0, ZUB_GET_STEP_COUNT);
  zubGetString(0, 99, buf_, 10);
  zubGetInteger(0, ZUB_GET_VERSION);
  zubGetString(0, ZUB_STR_LAST_REPLY, buf_, 10);
  EXPECT_EQ(zubtest::readFile(log), "*** zubGetString\r\n*** zubGetString\r\n");
}

}  // namespace
