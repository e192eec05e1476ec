// One whole session against a real server (vsftpd): log in, ask, make, enter,
// leave and remove a directory, a raw SYST, NOOP and close, in blocking use
// with the trace log checked line by line, and the same chain caller-driven.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "interop_env.h"
#include "interop_util.h"
#include "support/test_util.h"
#include "zub32.h"

namespace {

using interop::isDirectory;
using interop::lastReply;
using interop::replyCode;
using interop::serverDir;

constexpr int32_t CH = 0;

class SessionInterop : public testing::Test {
 protected:
  void SetUp() override {
    server_ = loadInteropServer("vsftpd");
    ASSERT_TRUE(server_.available) << server_.problem;
    ASSERT_EQ(zubAttach(1, 0), 1);
    attached_ = true;
    zubSetInteger(CH, ZUB_SET_CTRL_PORT, server_.port);
    dir_ = "zub-session-" + std::to_string(getpid());
    std::error_code ec;
    std::filesystem::remove_all(server_.rootDir + "/" + dir_, ec);
  }
  void TearDown() override {
    if (attached_) {
      zubSetInteger(CH, ZUB_SET_AUTO_CALL, 1);
      if (zubGetInteger(CH, ZUB_GET_CTRL_SOCKET) != 0) zubClose(CH);
      zubRelease();
    }
    std::error_code ec;
    std::filesystem::remove_all(server_.rootDir + "/" + dir_, ec);
  }

  // Drives the channel until the operation ends; its last result.
  static int32_t drive() {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int32_t r = 1;
    while (r > 0 && std::chrono::steady_clock::now() < until) r = zubDriver(CH);
    return r;
  }

  InteropServer server_;
  zubtest::TempDir local_;
  std::string dir_;
  bool attached_ = false;
};

// The command lines of the trace log ("S: " lines), in order.
std::vector<std::string> sentLines(const std::string& log) {
  std::vector<std::string> out;
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("S: ", 0) == 0) out.push_back(line.substr(3, line.size() - 4));  // without "\r"
  }
  return out;
}

TEST_F(SessionInterop, BlockingSessionAndItsTrace) {
  std::string logPath = local_.file("session.log");
  ASSERT_GT(zubSetString(CH, ZUB_STR_OPEN_LOG, logPath.c_str()), 0);
  ASSERT_EQ(zubConnect(CH, server_.host.c_str(), server_.user.c_str(), server_.pass.c_str()), 0) << lastReply(CH);
  EXPECT_EQ(replyCode(CH), 230) << lastReply(CH);

  int32_t n = 0;
  EXPECT_EQ(serverDir(CH, &n), "/");
  EXPECT_EQ(n, 1);
  ASSERT_EQ(zubMakeServerDir(CH, dir_.c_str()), 0) << lastReply(CH);
  EXPECT_EQ(replyCode(CH), 257);
  EXPECT_TRUE(isDirectory(server_.rootDir + "/" + dir_));
  ASSERT_EQ(zubSetServerDir(CH, dir_.c_str()), 0) << lastReply(CH);
  EXPECT_EQ(serverDir(CH, &n), "/" + dir_);
  EXPECT_EQ(n, static_cast<int32_t>(dir_.size() + 1));
  ASSERT_EQ(zubSetServerDir(CH, ".."), 0) << lastReply(CH);
  EXPECT_EQ(serverDir(CH), "/");
  ASSERT_EQ(zubDelServerDir(CH, dir_.c_str()), 0) << lastReply(CH);
  EXPECT_FALSE(isDirectory(server_.rootDir + "/" + dir_));
  EXPECT_EQ(zubCommand(CH, "SYST"), 0) << lastReply(CH);
  EXPECT_EQ(lastReply(CH), "215 UNIX Type: L8");
  EXPECT_EQ(zubHello(CH), 0) << lastReply(CH);
  EXPECT_EQ(replyCode(CH), 200);
  EXPECT_EQ(zubClose(CH), 0) << lastReply(CH);
  EXPECT_EQ(replyCode(CH), 221);
  EXPECT_EQ(zubGetInteger(CH, ZUB_GET_CTRL_SOCKET), 0);

  std::string log = zubtest::readFile(logPath);
  const std::string user = "USER " + server_.user;
  const std::string pass = "PASS ********";  // the password itself never reaches the log
  EXPECT_EQ(log.find(server_.pass), std::string::npos);
  EXPECT_EQ(sentLines(log), (std::vector<std::string>{user, pass, "PWD", "MKD " + dir_, "CWD " + dir_, "PWD",
                                                      "CWD ..", "PWD", "RMD " + dir_, "SYST", "NOOP", "QUIT"}))
      << log;
  for (const std::string& expected :
       {std::string("ZUB Win32 Version 2.3.0 Build 8\r\n"), std::string("Server: '127.0.0.1'\r\n"),
        std::string("ServerIP = 127.0.0.1\r\n"), std::string("LocalIP=[127.0.0.1]\r\n"),
        std::string("ZUB is connected.\r\n"),
        std::string("R: 220 (vsFTPd 3.0.3)\r\n"), std::string("R: 230 Login successful.\r\n"),
        "Server directory is '/" + dir_ + "'\r\n", std::string("Server directory is '..'\r\n"),
        std::string("'SYST'\r\n"), std::string("*** zubRemoveServerDir\r\n")}) {
    EXPECT_NE(log.find(expected), std::string::npos) << expected << " not in\n" << log;
  }
  // The session's last line: the log is closed with the control socket.
  const std::string closing = "Closing control socket\r\n";
  ASSERT_GE(log.size(), closing.size());
  EXPECT_EQ(log.substr(log.size() - closing.size()), closing);
}

TEST_F(SessionInterop, CallerDrivenSession) {
  EXPECT_EQ(zubSetInteger(CH, ZUB_SET_AUTO_CALL, 0), 0);
  ASSERT_EQ(zubConnect(CH, server_.host.c_str(), server_.user.c_str(), server_.pass.c_str()), 0);
  ASSERT_EQ(drive(), 0) << lastReply(CH);
  EXPECT_EQ(replyCode(CH), 230);

  ASSERT_EQ(zubMakeServerDir(CH, dir_.c_str()), 0);
  ASSERT_EQ(drive(), 0) << lastReply(CH);
  EXPECT_TRUE(isDirectory(server_.rootDir + "/" + dir_));
  ASSERT_EQ(zubSetServerDir(CH, dir_.c_str()), 0);
  ASSERT_EQ(drive(), 0) << lastReply(CH);
  char buf[300] = "untouched";
  EXPECT_EQ(zubGetServerDir(CH, buf, 299), 0);
  EXPECT_STREQ(buf, "untouched");  // caller-driven: the buffer is not filled
  ASSERT_EQ(drive(), 0) << lastReply(CH);
  EXPECT_EQ(replyCode(CH), 257);
  EXPECT_EQ(lastReply(CH), "257 \"/" + dir_ + "\" is the current directory");
  ASSERT_EQ(zubSetServerDir(CH, ".."), 0);
  ASSERT_EQ(drive(), 0) << lastReply(CH);
  ASSERT_EQ(zubDelServerDir(CH, dir_.c_str()), 0);
  ASSERT_EQ(drive(), 0) << lastReply(CH);
  EXPECT_FALSE(isDirectory(server_.rootDir + "/" + dir_));
  ASSERT_EQ(zubCommand(CH, "SYST"), 0);
  ASSERT_EQ(drive(), 0) << lastReply(CH);
  EXPECT_EQ(replyCode(CH), 215);
  ASSERT_EQ(zubHello(CH), 0);
  ASSERT_EQ(drive(), 0) << lastReply(CH);
  EXPECT_EQ(replyCode(CH), 200);
  // A refusal ends the chain with -18 and leaves the channel idle.
  ASSERT_EQ(zubDelFile(CH, "no-such-file"), 0);
  EXPECT_EQ(drive(), ZUB_E_SERVER_ERROR);
  EXPECT_EQ(replyCode(CH), 550);
  EXPECT_EQ(zubDriver(CH), 0);

  // Caller-driven close sends QUIT but leaves the socket open.
  ASSERT_EQ(zubClose(CH), 0);
  ASSERT_EQ(drive(), 0) << lastReply(CH);
  EXPECT_EQ(replyCode(CH), 221);
  EXPECT_NE(zubGetInteger(CH, ZUB_GET_CTRL_SOCKET), 0);
}

}  // namespace
