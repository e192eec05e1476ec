// Encrypted sessions and EPSV against the scripted server: the settings and
// their codes, a server that refuses AUTH TLS (nothing of the login may go
// out), implicit TLS against a server that speaks in clear, and EPSV with its
// fall-back to PASV.  The TLS conversations themselves run against real
// servers (tests/interop/tls_test.cpp).
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "net/data.h"
#include "net/tls.h"
#include "platform/syscalls.h"
#include "session_fixture.h"
#if ZUB_TEST_TLS_PEER
#include "support/tls_peer.h"
#endif

namespace zubtest {
namespace {

class SecureSessionTest : public SessionTest {
 protected:
#if ZUB_TEST_TLS_PEER
  // A session whose data runs in TLS, up to the reply to PASV that sends
  // the channel to `peer`; the test queues the transfer.  The scripted
  // server speaks in clear, so the channel takes its TLS context from a
  // control session begun and dropped at once; its data connections meet
  // the TLS peer with no session to resume.
  void beginTlsData(ScriptServer& srv, const TlsDataPeer& peer) {
    ASSERT_EQ(zubSetInteger(0, ZUB_SET_TLS, 0), 0);
    loginTo(srv);
    openLog();
    ASSERT_EQ(zubSetInteger(0, ZUB_SET_TLS, 1), 1);
    ASSERT_EQ(zubSetInteger(0, ZUB_SET_TLS_VERIFY, 0), 0);
    ASSERT_EQ(tlsBegin(rec_, TLS_CONTROL), 1);
    tlsEnd(rec_->ctrlSock);
    zubSetInteger(0, ZUB_SET_PASSIVE, 1);
    srv.expect("PBSZ 0\r\n");
    srv.send("200 PBSZ=0\r\n");
    srv.expect("PROT P\r\n");
    srv.send("200 Protection level set to P\r\n");
    srv.expect("PASV\r\n");
    srv.send(peer.pasvReply());
  }
#endif
};

TEST_F(SecureSessionTest, SettingsTakeTheirValuesAndRefuseOthers) {
  struct Row {
    int32_t code;
    int32_t value;
    int32_t result;
  };
  const bool tls = tlsAvailable() != 0;
  // A build without TLS refuses every TLS setting; EPSV needs no TLS.
  const Row rows[] = {
      {ZUB_SET_TLS, 1, tls ? 1 : -1},
      {ZUB_SET_TLS, 2, tls ? 2 : -1},
      {ZUB_SET_TLS, 0, 0},
      {ZUB_SET_TLS, 3, -1},
      {ZUB_SET_TLS, -1, -1},
      {ZUB_SET_TLS_VERIFY, 0, tls ? 0 : -1},
      {ZUB_SET_TLS_VERIFY, 7, tls ? 1 : -1},
      {ZUB_SET_DATA_PROTECTION, 'C', tls ? 'C' : -1},
      {ZUB_SET_DATA_PROTECTION, 'P', tls ? 'P' : -1},
      {ZUB_SET_DATA_PROTECTION, 'p', -1},
      {ZUB_SET_DATA_PROTECTION, 'S', -1},
      {ZUB_SET_EPSV, 1, 1},
      {ZUB_SET_EPSV, 0, 0},
  };
  // The initial values leave plain FTP exactly as it was.
  EXPECT_EQ(rec_->tlsMode, 0);
  EXPECT_EQ(rec_->tlsVerify, 1);
  EXPECT_EQ(rec_->dataProtection, 'P');
  EXPECT_EQ(rec_->useEpsv, 0);
  for (const Row& row : rows) {
    EXPECT_EQ(zubSetInteger(0, row.code, row.value), row.result) << row.code << " " << row.value;
  }
  EXPECT_EQ(rec_->tlsMode, 0);  // the refused values stored nothing
  EXPECT_EQ(rec_->dataProtection, 'P');

  if (tls) {
    EXPECT_EQ(zubSetString(0, ZUB_STR_CA_FILE, "/etc/ssl/ca.pem"), 15);
    EXPECT_STREQ(rec_->caFile, "/etc/ssl/ca.pem");
    std::string tooLong(CA_FILE_CAP + 1, 'x');
    EXPECT_EQ(zubSetString(0, ZUB_STR_CA_FILE, tooLong.c_str()), -1);
    EXPECT_STREQ(rec_->caFile, "/etc/ssl/ca.pem") << "a path too long is refused, not cut";
    EXPECT_EQ(zubSetString(0, ZUB_STR_CA_FILE, ""), 0);
  } else {
    EXPECT_EQ(zubSetString(0, ZUB_STR_CA_FILE, "/etc/ssl/ca.pem"), -1);
    EXPECT_EQ(zubSetString(0, ZUB_STR_CA_FILE, ""), -1);
    EXPECT_STREQ(rec_->caFile, "");
  }

  EXPECT_EQ(errorText(ZUB_E_TLS_HANDSHAKE), "TLS handshake failed.");
  EXPECT_EQ(errorText(ZUB_E_TLS_CERTIFICATE), "Server certificate rejected.");
  EXPECT_EQ(errorText(ZUB_E_TLS_REFUSED), "Server refused AUTH TLS.");
  EXPECT_EQ(errorText(ZUB_E_TLS_REUSE), "Server refused TLS session reuse.");
}

TEST_F(SecureSessionTest, RefusedAuthTlsEndsTheConnectionBeforeUser) {
  if (tlsAvailable() == 0) GTEST_SKIP() << "built without TLS";
  struct Row {
    const char* reply;  // the answer to AUTH TLS; empty: the server hangs up
  };
  const Row rows[] = {{"500 AUTH not understood\r\n"},
                      {"530 Please login with USER and PASS.\r\n"},
                      {"502 Command not implemented.\r\n"},
                      {"200 Whatever you say.\r\n"},
                      {""}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.reply);
    ScriptServer srv;
    srv.greet();
    srv.expect("AUTH TLS\r\n");
    if (row.reply[0] != '\0') {
      srv.send(row.reply);
      srv.expectClose();
    } else {
      srv.closeControl();
    }
    ASSERT_TRUE(srv.start());
    useServer(srv);
    openLog();
    ASSERT_EQ(zubSetInteger(0, ZUB_SET_TLS, 1), 1);
    EXPECT_EQ(zubConnect(0, "127.0.0.1", "anna", "secret"), ZUB_E_TLS_REFUSED);
    ASSERT_TRUE(srv.waitDone());
    EXPECT_TRUE(srv.errors().empty());
    EXPECT_EQ(srv.transcript(), "AUTH TLS\r\n") << "no USER, no PASS";
    EXPECT_EQ(rec_->ctrlSock, 0);
    EXPECT_NE(readLog().find("TLS: the server refused AUTH TLS"), std::string::npos);
    // A later close has nothing to send and finishes.
    EXPECT_EQ(zubClose(0), 0);
  }
}

TEST_F(SecureSessionTest, ImplicitTlsAgainstAServerInClearFailsTheHandshake) {
  if (tlsAvailable() == 0) GTEST_SKIP() << "built without TLS";
  ScriptServer srv;
  srv.greet("220 I only speak in clear.\r\n");
  srv.expectClose();
  ASSERT_TRUE(srv.start());
  useServer(srv);
  openLog();
  ASSERT_EQ(zubSetInteger(0, ZUB_SET_TLS, 2), 2);
  EXPECT_EQ(zubConnect(0, "127.0.0.1", "anna", "secret"), ZUB_E_TLS_HANDSHAKE);
  ASSERT_TRUE(srv.waitDone());
  // The client's hello went out; nothing in clear followed it.
  EXPECT_EQ(srv.transcript().find("USER"), std::string::npos);
  EXPECT_NE(readLog().find("TLS: handshake failed on the control connection"), std::string::npos);
}

#if ZUB_TEST_TLS_PEER
// A TLS data connection that breaks, in its handshake or after it: the
// server's reply, which comes later, decides the code.
TEST_F(SecureSessionTest, ABrokenDataConnectionWaitsForTheServersVerdict) {
  using Break = TlsDataPeer::Break;
  // What a TLS receive reports for any failure of its connection.
  constexpr int32_t kBroken = -PLAT_WSAECONNABORTED;
  struct Row {
    Break when;
    const char* preliminary;  // sent at once; empty: none
    const char* verdict;      // sent after the break; empty: the server stays silent
    int32_t result;
    bool namesResumption;     // the trace names the missing resumption as the cause
  };
  const char* opening = "150 Here it comes.\r\n";
  zubSetInteger(0, ZUB_SET_PAUSES, 0);  // a login per row, without the wait after PASS
  const Row rows[] = {
      {Break::AfterHandshake, opening, "522 SSL connection failed: session reuse required\r\n", ZUB_E_TLS_REUSE, false},
      {Break::AfterHandshake, opening, "426 Connection closed; transfer aborted.\r\n", ZUB_E_SERVER_ERROR, true},
      {Break::AfterHandshake, opening, "451 Local error in processing.\r\n", ZUB_E_SERVER_ERROR, false},
      {Break::AfterHandshake, opening, "226 Transfer complete.\r\n", kBroken, false},
      {Break::AfterHandshake, opening, "", kBroken, false},
      {Break::BeforeHandshake, "", "522 SSL connection failed: session reuse required\r\n", ZUB_E_TLS_REUSE, false},
      {Break::BeforeHandshake, opening, "522 Session reuse required.\r\n", ZUB_E_TLS_REUSE, false},
      {Break::BeforeHandshake, "", "", ZUB_E_TLS_HANDSHAKE, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.when == Break::AfterHandshake ? "after: " : "before: ") + row.preliminary +
                 row.verdict);
    ScriptServer srv;
    TlsDataPeer peer(row.when);
    ASSERT_NO_FATAL_FAILURE(beginTlsData(srv, peer));
    zubSetInteger(0, ZUB_SET_REPLY_TIMEOUT, 500);
    srv.expect("NLST\r\n");
    if (row.preliminary[0] != '\0') srv.send(row.preliminary);
    srv.delay(200);
    if (row.verdict[0] != '\0') {
      srv.send(row.verdict);
    } else {
      srv.silence();
    }
    char list[64] = {};
    EXPECT_EQ(zubGetList(0, ZUB_NLST, list, sizeof list), row.result);
    EXPECT_EQ(peer.waitDone(), "");
    if (row.verdict[0] != '\0') {
      ASSERT_TRUE(srv.waitDone());
    }
    EXPECT_TRUE(srv.errors().empty()) << testing::PrintToString(srv.errors());
    const std::string log = readLog();
    EXPECT_EQ(log.find("TLS: the data connection did not resume") != std::string::npos, row.namesResumption) << log;
    srv.stop();
    std::remove(logPath_.c_str());
  }
}

// An upload whose TLS data the server never takes: no step waits for room
// (the records the socket cannot take stay with the session), and the
// upload fails once nothing has gone for replyTimeout.  A readiness poll
// may call a socket writable that has no room for a whole record; here
// every poll does.
static int32_t writableWhenAsked(int32_t sock) { return platSysDefault.pollSocketAll(sock) | (1 << PLAT_WRITABLE); }

TEST_F(SecureSessionTest, ATlsUploadNeverWaitsForRoom) {
  TempDir dir;
  ASSERT_EQ(zubSetLocalDir(0, dir.path().c_str()), 0);
  const int32_t size = 16 << 20;  // more than the loopback's socket buffers hold
  std::ofstream(dir.file("big.bin"), std::ios::binary) << std::string(static_cast<size_t>(size), 'x');
  ScriptServer srv;
  TlsDataPeer peer(TlsDataPeer::Break::AfterHoldingUnread, 4000);
  zubSetInteger(0, ZUB_SET_PAUSES, 0);
  ASSERT_NO_FATAL_FAILURE(beginTlsData(srv, peer));
  zubSetInteger(0, ZUB_SET_REPLY_TIMEOUT, 1000);
  srv.expect("STOR big.bin\r\n");
  srv.send("150 Ok to send data.\r\n");
  srv.silence();
  platSys.pollSocketAll = writableWhenAsked;
  // replyTimeout for room, then as long for the server's verdict.
  expectStalledUploadHoldsNoStep("big.bin", size, 2000, 500);
  EXPECT_EQ(peer.waitDone(), "");
  srv.stop();
}
#endif

TEST(EpsvReply, PortAndMalformedReplies) {
  struct Row {
    const char* reply;
    int32_t result;
    uint16_t port;
  };
  const Row rows[] = {
      {"229 Entering Extended Passive Mode (|||41035|)\r\n", 1, 41035},
      {"229 Extended Passive mode OK (|||41343|)\r\n", 1, 41343},
      {"229 Entering extended passive mode (|||41782|).\r\n", 1, 41782},
      {"229 ok (!!!1!)", 1, 1},
      {"229 ok (|||65535|)", 1, 65535},
      {"229 ok (|||65536|)", 0, 0},
      {"229 ok (|||0|)", 0, 0},
      {"229 ok (|||12345678|)", 0, 0},
      {"229 ok (||41035|)", 0, 0},
      {"229 ok (|||41035)", 0, 0},
      {"229 ok (|||41035|", 0, 0},
      {"229 ok (|||", 0, 0},
      {"229 ok (", 0, 0},
      {"229 ok |||41035|", 0, 0},
      {"229 ok (111410351)", 0, 0},
  };
  for (const Row& row : rows) {
    uint16_t port = 0;
    EXPECT_EQ(parseEpsvPort(row.reply, &port), row.result) << row.reply;
    EXPECT_EQ(port, row.port) << row.reply;
  }
}

TEST_F(SecureSessionTest, EpsvTakesThePortAndFallsBackToPasvForTheSession) {
  struct Row {
    const char* refusal;  // the answer to EPSV; empty: 229
    int32_t result;
    bool fallsBack;
  };
  const Row rows[] = {{"", 0, false},
                      {"500 Unknown command.\r\n", 0, true},
                      {"502 Not implemented.\r\n", 0, true},
                      {"550 No.\r\n", ZUB_E_SERVER_ERROR, false},
                      {"229 Extended Passive Mode without a port\r\n", ZUB_E_NO_PASV_PORT, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.refusal);
    ScriptServer srv;
    loginTo(srv);
    zubSetInteger(0, ZUB_SET_PASSIVE, 1);
    ASSERT_EQ(zubSetInteger(0, ZUB_SET_EPSV, 1), 1);
    srv.expect("EPSV\r\n");
    if (row.refusal[0] == '\0') {
      srv.pasvReply("229 Entering Extended Passive Mode (|||{port}|)\r\n");
    } else {
      srv.send(row.refusal);
    }
    if (row.result == 0) {
      if (row.fallsBack) srv.openData(DataMode::Passive);
      srv.expect("NLST\r\n");
      srv.connectData(DataMode::Passive);
      srv.send("150 Here it comes.\r\n");
      srv.dataSend("a.txt\r\n");
      srv.dataClose();
      srv.send("226 Done.\r\n");
      // The second listing of the session: EPSV again, or PASV at once.
      if (row.fallsBack) {
        srv.serveList(DataMode::Passive, "NLST\r\n", "b.txt\r\n");
      } else {
        srv.expect("EPSV\r\n");
        srv.pasvReply("229 Entering Extended Passive Mode (|||{port}|)\r\n");
        srv.expect("NLST\r\n");
        srv.connectData(DataMode::Passive);
        srv.send("150 Here it comes.\r\n");
        srv.dataSend("b.txt\r\n");
        srv.dataClose();
        srv.send("226 Done.\r\n");
      }
    }
    char list[256] = {};
    EXPECT_EQ(zubGetList(0, ZUB_NLST, list, sizeof list), row.result == 0 ? 7 : row.result);
    if (row.result == 0) {
      EXPECT_STREQ(list, "a.txt\r\n");
      EXPECT_EQ(zubGetList(0, ZUB_NLST, list, sizeof list), 7);
      EXPECT_STREQ(list, "b.txt\r\n");
    }
    ASSERT_TRUE(srv.waitDone());
    EXPECT_TRUE(srv.errors().empty()) << testing::PrintToString(srv.errors());
    std::string t = srv.transcript();
    EXPECT_EQ(t.find("PASV") != std::string::npos, row.fallsBack) << t;
  }
}

}  // namespace
}  // namespace zubtest
