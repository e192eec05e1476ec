// Server addresses and the control connection's helpers: dotted addresses,
// their formatting, name resolution and a refused connection.
#include <gtest/gtest.h>

#include <cstring>

#include "core/channel.h"
#include "core/settings.h"
#include "net/control.h"
#include "net/sockets.h"
#include "platform/platform.h"
#include "engine_fixture.h"
#include "zub32.h"

namespace {

struct DottedRow {
  const char* text;
  int32_t dotted;
  uint32_t addr;  // host order, when dotted
};

TEST(DottedAddress, TableOfForms) {
  const DottedRow rows[] = {
      {"192.168.1.20", 1, 0xC0A80114u},
      {"127.0.0.1", 1, 0x7F000001u},
      {"0.0.0.0", 1, 0u},
      {"255.255.255.255", 1, 0xFFFFFFFFu},
      {"10..1.2", 1, 0x0A000102u},      // empty field counts as 0
      {"10.1.2.3.x", 1, 0x0A010203u},   // nothing after the fourth field is read
      {"1.2.3.", 1, 0x01020300u},       // empty fourth field
      {"010.001.002.003", 1, 0x0A010203u},
      {"192.168.1.256", 0, 0},           // a field of 256
      {"999999999999999999999.1.1.1", 0, 0},  // no overflow back into range
      {"4294967552.1.1.1", 0, 0},
      {"10.1.2", 0, 0},                  // fewer than four fields: name service
      {"10", 0, 0},
      {"", 0, 0},
      {"localhost", 0, 0},
      {"1.2.3.a", 0, 0},
      {"1.2.3.4 ", 0, 0},
      {"-1.2.3.4", 0, 0},
      {"ftp.example.com", 0, 0},
  };
  for (const DottedRow& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(isDottedAddress(row.text), row.dotted);
    if (row.dotted) {
      EXPECT_EQ(parseDottedAddress(row.text), row.addr);
    }
  }
  EXPECT_EQ(isDottedAddress(nullptr), 0);
}

TEST(DottedAddress, FormatCapacityAndUnsignedBytes) {
  char buf[32];
  std::memset(buf, 'x', sizeof buf);
  buf[31] = '\0';
  EXPECT_EQ(formatDottedAddress(0xFFFFFFFFu, buf, 16), 0);
  EXPECT_EQ(std::string(buf), std::string(31, 'x'));  // untouched
  EXPECT_EQ(formatDottedAddress(0xFFFFFFFFu, buf, 17), 15);
  EXPECT_STREQ(buf, "255.255.255.255");
  EXPECT_EQ(formatDottedAddress(0xC0A800C8u, buf, 18), 13);
  EXPECT_STREQ(buf, "192.168.0.200");
  EXPECT_EQ(formatDottedAddress(0x0A000001u, buf, 18), 8);
  EXPECT_STREQ(buf, "10.0.0.1");
}

// Attach, settings restored and sockets closed afterwards: the engine fixture.
using ControlTest = zubtest::EngineTest;

TEST_F(ControlTest, ResolvesLocalhostAndHonoursTheAddressIndex) {
  std::strcpy(rec_->serverName, "localhost");
  EXPECT_EQ(resolveServer(rec_), 1);
  EXPECT_EQ(rec_->serverAddr, 0x7F000001u);
  EXPECT_GE(rec_->hostAddrCount, 1);
  EXPECT_LE(rec_->hostAddrCount, MAX_HOST_ADDRS);

  // An index beyond the resolver's list: "Cannot comply".
  settings.hostAddrIndex = rec_->hostAddrCount;
  rec_->serverAddr = 0;
  EXPECT_EQ(resolveServer(rec_), ZUB_E_CANNOT_COMPLY);
  EXPECT_EQ(rec_->serverAddr, 0u);
  settings.hostAddrIndex = 7;
  EXPECT_EQ(resolveServer(rec_), ZUB_E_CANNOT_COMPLY);
  settings.hostAddrIndex = 0;

  // Shorthand numeric forms are not dotted addresses here: the name service
  // reads them its own way (127.1 is 127.0.0.1).
  std::strcpy(rec_->serverName, "127.1");
  ASSERT_EQ(isDottedAddress(rec_->serverName), 0);
  EXPECT_EQ(resolveServer(rec_), 1);
  EXPECT_EQ(rec_->serverAddr, 0x7F000001u);

  std::strcpy(rec_->serverName, "no-such-host.invalid");
  EXPECT_EQ(resolveServer(rec_), -PLAT_WSAHOST_NOT_FOUND);

  // The resolver's own failure code is passed on negated.
  std::strcpy(rec_->serverName, "localhost");
  platFaultSet(PLAT_OP_RESOLVE, 1, PLAT_WSATRY_AGAIN);
  EXPECT_EQ(resolveServer(rec_), -PLAT_WSATRY_AGAIN);
}

TEST_F(ControlTest, RefusedBlockingConnectAndLocalAddress) {
  // A port that nothing listens on: bind one, note it, close it.
  int32_t probe = createSocket();
  ASSERT_GT(probe, 0);
  PlatSockAddr a{};
  a.family = PLAT_AF_INET;
  a.addrNet = platHtonl(0x7F000001u);
  ASSERT_EQ(platBind(probe, &a), 0);
  ASSERT_EQ(platGetSockName(probe, &a), 0);
  uint16_t port = platNtohs(a.portNet);
  closeSocket(probe, 0);

  rec_->ctrlSock = createSocket();
  rec_->ctrlRing.sock = rec_->ctrlSock;
  ASSERT_GT(rec_->ctrlSock, 0);
  rec_->serverAddr = 0x7F000001u;
  rec_->ctrlPort = port;
  EXPECT_EQ(connectControl(rec_), -PLAT_WSAECONNREFUSED);
  EXPECT_EQ(rec_->ctrlAddr.family, PLAT_AF_INET);
  EXPECT_EQ(platNtohs(rec_->ctrlAddr.portNet), port);
  EXPECT_EQ(platNtohl(rec_->ctrlAddr.addrNet), 0x7F000001u);

  // getsockname failing: "Cannot comply", nothing formatted.
  platFaultSet(PLAT_OP_GETSOCKNAME, 1, PLAT_WSAENOTSOCK);
  rec_->localIpText[0] = '\0';
  EXPECT_EQ(localAddress(rec_), ZUB_E_CANNOT_COMPLY);
  EXPECT_STREQ(rec_->localIpText, "");
}

TEST_F(ControlTest, LocalHostName) {
  char name[256];
  EXPECT_EQ(localHostName(name, sizeof name), 1);
  EXPECT_GT(std::strlen(name), 0u);
  char tiny[1] = {'x'};
  EXPECT_LT(localHostName(tiny, 1), 0);
  EXPECT_EQ(tiny[0], '\0');
}

}  // namespace
