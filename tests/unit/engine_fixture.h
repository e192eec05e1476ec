// Shared set-up of the engine tests (sockets, reply reader, driver frame,
// local files): an attached library with one channel, a trace log per test,
// and a control socket connected by hand to the scripted server.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "core/channel.h"
#include "core/settings.h"
#include "core/trace.h"
#include "net/sockets.h"
#include "platform/platform.h"
#include "support/script_server.h"
#include "support/test_util.h"
#include "zub32.h"

namespace zubtest {

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = settings;
    ASSERT_EQ(zubAttach(1, 0), 1);
    rec_ = channelTable[0];
    ASSERT_NE(rec_, nullptr);
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    logPath_ = ::testing::TempDir() + "zub_engine_" + info->test_suite_name() + "_" + info->name() + ".log";
  }

  void TearDown() override {
    platFaultClearAll();
    if (rec_->ctrlSock > 0) closeSocket(rec_->ctrlSock, 0);
    if (rec_->dataSock > 0) closeSocket(rec_->dataSock, 0);
    rec_->ctrlSock = rec_->dataSock = 0;
    rec_->ctrlRing.sock = rec_->dataRing.sock = 0;
    if (rec_->localFile != 0) platFileClose(rec_->localFile);
    rec_->localFile = 0;
    if (rec_->logFile != 0) platFileClose(rec_->logFile);
    rec_->logFile = 0;
    globalTraceLog = 0;
    zubRelease();
    settings = saved_;
    std::remove(logPath_.c_str());
  }

  // Opens the channel's trace log; it is also the library-wide one.
  void openLog() { ASSERT_GT(zubSetString(0, ZUB_STR_OPEN_LOG, logPath_.c_str()), 0); }

  std::string readLog() const {
    std::ifstream in(logPath_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  std::string normalisedLog() const { return normaliseTraceLog(readLog()); }

  // A blocking TCP connection to the scripted server, made the channel's
  // control connection.
  void connectControlTo(ScriptServer& srv) {
    int32_t s = createSocket();
    ASSERT_GT(s, 0);
    PlatSockAddr a{};
    a.family = PLAT_AF_INET;
    a.portNet = platHtons(srv.port());
    a.addrNet = platHtonl(0x7F000001u);
    ASSERT_EQ(platConnect(s, &a), 0);
    rec_->ctrlSock = s;
    rec_->ctrlRing.sock = s;
  }

  // Waits (bounded) until the control socket has bytes or an end to read.
  bool waitCtrlReadable(int ms = 3000) {
    PlatWait w{rec_->ctrlSock, PLAT_READABLE};
    return platWaitSockets(&w, 1, static_cast<uint32_t>(ms)) == 1;
  }

  static size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) n++;
    return n;
  }

  Settings saved_{};
  ChannelRecord* rec_ = nullptr;
  std::string logPath_;
};

}  // namespace zubtest
