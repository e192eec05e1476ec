// Shared set-up of the session and command tests: an attached library with
// small time limits, a trace log per test, and helpers to read it back.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/channel.h"
#include "core/settings.h"
#include "core/trace.h"
#include "net/sockets.h"
#include "platform/platform.h"
#include "support/script_server.h"
#include "support/test_util.h"
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
    platFaultClearAll();
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

  std::string normalisedLog() const { return normaliseTraceLog(readLog()); }

  // Drives caller-driven channel 0 until its operation ends (pausing
  // pauseMs after each step); *longest gets the longest step in ms.
  static int32_t driveTimed(int64_t* longest, uint32_t pauseMs) {
    int32_t r;
    int guard = 0;
    do {
      auto t0 = std::chrono::steady_clock::now();
      r = zubDriver(0);
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
      *longest = std::max<int64_t>(*longest, ms);
      if (r > 0 && pauseMs > 0) platSleep(pauseMs);
    } while (r > 0 && ++guard < 10000000);
    return r;
  }

  // A caller-driven upload of `name` (size bytes) to a server that never
  // takes its data: -1 after minMs at the least, no step lasting maxStepMs
  // (one that waited for room would last the whole wait), part of the file
  // sent and the data side closed.
  void expectStalledUploadHoldsNoStep(const std::string& name, int32_t size, uint32_t minMs, int64_t maxStepMs) {
    zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
    ASSERT_EQ(zubPutFile(0, name.c_str()), 0);
    int64_t longest = 0;
    Mark start = markNow();
    EXPECT_EQ(driveTimed(&longest, 0), ZUB_E_SOCKET_CLOSED);
    EXPECT_GE(msSince(start) + kTimerSlackMs, minMs);
    zubSetInteger(0, ZUB_SET_AUTO_CALL, 1);
    EXPECT_LT(longest, maxStepMs);
    EXPECT_GT(zubGetInteger(0, ZUB_PUT_BYTES), 0);
    EXPECT_LT(zubGetInteger(0, ZUB_PUT_BYTES), size);
    EXPECT_EQ(rec_->dataSock, 0);
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
