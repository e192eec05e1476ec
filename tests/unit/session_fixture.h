// Shared set-up of the session and command tests: an attached library with
// small time limits, a trace log per test, and helpers to read it back.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "core/channel.h"
#include "core/settings.h"
#include "core/trace.h"
#include "net/sockets.h"
#include "platform/platform.h"
#include "support/script_server.h"
#include "zub32.h"

namespace zubtest {

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = settings;
    ASSERT_EQ(zubAttach(2, 0), 1);
    rec_ = channelTable[0];
    ASSERT_NE(rec_, nullptr);
    // Small limits so that a fault shows as a quick failure, not a hang.
    zubSetInteger(0, ZUB_SET_REPLY_TIMEOUT, 3000);
    zubSetInteger(0, ZUB_SET_CONNECT_TIMEOUT, 3000);
    zubSetInteger(0, ZUB_SET_LINE_TIMEOUT, 1000);
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    logPath_ = ::testing::TempDir() + "zub_" + info->test_suite_name() + "_" + info->name() + ".log";
  }

  void TearDown() override {
    for (int32_t ch = 0; ch < 2; ch++) {
      ChannelRecord* r = channelTable[ch];
      if (r == nullptr) continue;
      if (r->ctrlSock > 0) closeSocket(r->ctrlSock, 0);
      if (r->dataSock > 0) closeSocket(r->dataSock, 0);
      if (r->listenSock > 0) closeSocket(r->listenSock, 0);
      r->ctrlSock = r->dataSock = r->listenSock = 0;
      r->ctrlRing.sock = r->dataRing.sock = 0;
      if (r->logFile != 0) platFileClose(r->logFile);
      r->logFile = 0;
    }
    globalTraceLog = 0;
    zubRelease();
    settings = saved_;
    std::remove(logPath_.c_str());
  }

  void openLog(int32_t ch = 0) { ASSERT_GT(zubSetString(ch, ZUB_STR_OPEN_LOG, logPath_.c_str()), 0); }

  std::string readLog() const {
    std::ifstream in(logPath_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  // The log with the parts that vary from run to run replaced: the time
  // texts of state lines and the socket numbers of send/recv lines.  The
  // ring's "zubQueueLoad=0" lines are dropped: whether one appears depends on
  // whether a reply had arrived when the reader first looked.
  std::string normalisedLog() const {
    std::string log = readLog();
    log = std::regex_replace(log, std::regex("zubQueueLoad=0\r\n"), "");
    log = std::regex_replace(log, std::regex(R"(<([ \d]{3}):\d{3}\.\d{3}>)"), "<$1:T>");
    log = std::regex_replace(log, std::regex(R"((send|recv)\(\d+\):)"), "$1(S):");
    return log;
  }

  // Points channel 0 at the scripted server.
  void useServer(ScriptServer& srv, int32_t ch = 0) { zubSetInteger(ch, ZUB_SET_CTRL_PORT, srv.port()); }

  // A logged-in session on channel 0, without trace log.
  void loginTo(ScriptServer& srv) {
    srv.greet();
    srv.expect("USER anna\r\n");
    srv.send("331 Password please.\r\n");
    srv.expect("PASS secret\r\n");
    srv.send("230 Welcome.\r\n");
    ASSERT_TRUE(srv.start());
    useServer(srv);
    ASSERT_EQ(zubConnect(0, "127.0.0.1", "anna", "secret"), 0);
    ASSERT_TRUE(srv.waitDone());
  }

  // Waits (bounded) until the control socket has bytes to read.
  bool waitCtrlReadable(int ms = 3000) {
    PlatWait w{rec_->ctrlSock, PLAT_READABLE};
    return platWaitSockets(&w, 1, static_cast<uint32_t>(ms)) == 1;
  }

  // A port on 127.0.0.1 where nothing listens.
  static uint16_t closedPort() {
    int32_t s = createSocket();
    PlatSockAddr a{};
    a.family = PLAT_AF_INET;
    a.addrNet = platHtonl(0x7F000001u);
    platBind(s, &a);
    platGetSockName(s, &a);
    closeSocket(s, 0);
    return platNtohs(a.portNet);
  }

  std::string errorText(int32_t code) {
    char buf[512];
    zubErrorText(0, code, buf, sizeof buf);
    return buf;
  }

  Settings saved_{};
  ChannelRecord* rec_ = nullptr;
  std::string logPath_;
};

}  // namespace zubtest
