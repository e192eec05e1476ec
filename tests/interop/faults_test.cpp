// Faults that real servers cause: a server stopped in the middle of a
// download and of an upload (a private pyftpdlib, stopped from another
// thread once data moves), a wrong password on each of the four servers, and
// an upload into a directory the server may not write.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "interop_env.h"
#include "interop_util.h"
#include "support/test_util.h"
#include "zub32.h"

#ifndef ZUB_INTEROP_SCRIPTS
#error "ZUB_INTEROP_SCRIPTS must name the directory of start.sh and stop.sh"
#endif

namespace {

using namespace interop;
using Clock = std::chrono::steady_clock;

int64_t msSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// Runs a command and returns its first line of output ("" if none).
std::string run(const std::string& command, int* status) {
  std::FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) {
    *status = -1;
    return "";
  }
  char line[256] = {};
  if (std::fgets(line, sizeof line, p) == nullptr) line[0] = '\0';
  while (std::fgetc(p) != EOF) {
  }
  *status = pclose(p);
  std::string s(line);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

// A pyftpdlib of this test alone, so that stopping it disturbs no other test.
// Its ports follow the shared servers' (a build that shifts them shifts these).
class PrivateServer {
 public:
  bool start(const std::string& root, const std::string& state) {
    InteropServer shared = loadInteropServer("pyftpdlib");
    int32_t offset = shared.available ? shared.port - 2231 : 0;
    port_ = 2291 + offset;
    root_ = root;
    state_ = state;
    pasv_ = std::to_string(45000 + offset) + " " + std::to_string(45099 + offset);
    return restart();
  }
  bool restart() {
    int status = 0;
    std::string out = run("bash " ZUB_INTEROP_SCRIPTS "/start.sh pyftpdlib " + root_ + " " + std::to_string(port_) +
                              " " + pasv_ + " " + state_,
                          &status);
    pid_ = status == 0 ? std::atoi(out.c_str()) : 0;
    // Every start makes a new login: start.sh leaves it in the state folder.
    std::ifstream in(state_ + "/credentials");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("USER=", 0) == 0) user_ = line.substr(5);
      if (line.rfind("PASS=", 0) == 0) pass_ = line.substr(5);
    }
    return pid_ > 0 && !user_.empty();
  }
  bool stop() {
    if (pid_ <= 0) return true;
    int status = 0;
    run("bash " ZUB_INTEROP_SCRIPTS "/stop.sh " + std::to_string(pid_) + " 2>&1", &status);
    pid_ = 0;
    return status == 0;
  }
  ~PrivateServer() { stop(); }
  uint16_t port() const { return static_cast<uint16_t>(port_); }
  const char* user() const { return user_.c_str(); }
  const char* pass() const { return pass_.c_str(); }

 private:
  int32_t port_ = 0;
  int32_t pid_ = 0;
  std::string root_, state_, pasv_, user_, pass_;
};

class Faults : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(zubAttach(4, 0), 1); }
  void TearDown() override {
    for (int32_t ch = 0; ch < 4; ++ch) {
      if (zubGetInteger(ch, ZUB_GET_CTRL_SOCKET) != 0) {
        zubSetInteger(ch, ZUB_SET_AUTO_CALL, 1);
        zubClose(ch);
      }
    }
    zubRelease();
    if (HasFailure()) {
      for (const std::string& log : logs_) std::printf("--- last lines of %s\n%s", log.c_str(), tailOf(log, 80).c_str());
    }
  }
  // Opens a fresh trace log for the channel; its tail is shown when the test fails.
  void openLog(int32_t ch, const std::string& path) {
    logs_.push_back(path);
    ASSERT_GT(zubSetString(ch, ZUB_STR_OPEN_LOG, path.c_str()), 0) << path;
  }
  std::vector<std::string> logs_;
  zubtest::TempDir work_;  // outlives TearDown, which may show the logs
};

TEST_F(Faults, ServerStoppedDuringDownloadAndUpload) {
  zubtest::TempDir& work = work_;
  std::string root = work.file("root"), state = work.file("state"), localDir = work.file("local");
  std::filesystem::create_directories(root);
  std::filesystem::create_directories(localDir);
  chmod(work.path().c_str(), 0755);
  PrivateServer server;
  ASSERT_TRUE(server.start(root, state)) << "start.sh pyftpdlib failed; its log is in " << state;

  const int32_t ch = 0;
  ASSERT_NO_FATAL_FAILURE(openLog(ch, work.file("trace.log")));
  zubSetInteger(ch, ZUB_SET_CTRL_PORT, server.port());
  zubSetInteger(ch, ZUB_SET_PASSIVE, 1);
  ASSERT_EQ(zubSetLocalDir(ch, localDir.c_str()), 0);
  // Short limits, so a hang shows as a failure within seconds.
  zubSetInteger(ch, ZUB_SET_REPLY_TIMEOUT, 8000);
  zubSetInteger(ch, ZUB_SET_DATA_TIMEOUT, 8000);
  zubSetInteger(ch, ZUB_SET_SEND_TIMEOUT, 8000);
  ASSERT_EQ(zubConnect(ch, "127.0.0.1", server.user(), server.pass()), 0) << lastReply(ch);
  ASSERT_EQ(zubSetMode(ch, 'B'), 0);

  // Download: a sparse file of almost 2 GiB, far more than can move before
  // the stop; the server goes once the local copy has 1 MiB.
  const int64_t huge = 0x7FFFFFFF;
  {
    std::FILE* f = std::fopen((root + "/huge.bin").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    std::filesystem::resize_file(root + "/huge.bin", static_cast<uintmax_t>(huge));
  }
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    auto t0 = Clock::now();
    while (fileSize(localDir + "/huge.bin") < MiB && msSince(t0) < 30000) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    stopped = server.stop();
  });
  auto t0 = Clock::now();
  int32_t r = zubGetFile(ch, "huge.bin");
  int64_t took = msSince(t0);
  stopper.join();
  ASSERT_TRUE(stopped.load()) << "stop.sh failed";
  EXPECT_LT(r, 0) << "a download cut off by the server's end was reported as complete; " << fileSize(localDir + "/huge.bin")
                  << " of " << huge << " bytes arrived";
  EXPECT_LT(took, 20000) << "result " << r;
  EXPECT_LT(fileSize(localDir + "/huge.bin"), huge);
  std::filesystem::remove(localDir + "/huge.bin");
  std::filesystem::remove(root + "/huge.bin");

  // The session is dead; closing it still frees the channel, and once the
  // server is back the channel logs in again.
  zubClose(ch);
  EXPECT_EQ(zubGetInteger(ch, ZUB_GET_CTRL_SOCKET), 0);
  ASSERT_TRUE(server.restart());
  ASSERT_NO_FATAL_FAILURE(openLog(ch, work.file("trace2.log")));
  ASSERT_EQ(zubConnect(ch, "127.0.0.1", server.user(), server.pass()), 0) << lastReply(ch);
  ASSERT_EQ(zubSetMode(ch, 'B'), 0);

  // Upload: slowed down to 1 KiB per 2 ms, so 16 MiB cannot be sent before
  // the stop; the server goes once its copy has 256 KiB.
  FileSum sent = makeFile(localDir + "/up.bin", 16 * MiB, 5);
  ASSERT_TRUE(sent.exists);
  zubSetInteger(ch, ZUB_SET_SEND_DELAY, 2);
  stopped = false;
  std::thread stopper2([&] {
    auto t1 = Clock::now();
    while (fileSize(root + "/up.bin") < 256 * KiB && msSince(t1) < 30000) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    stopped = server.stop();
  });
  t0 = Clock::now();
  r = zubPutFile(ch, "up.bin");
  took = msSince(t0);
  stopper2.join();
  zubSetInteger(ch, ZUB_SET_SEND_DELAY, 0);
  ASSERT_TRUE(stopped.load()) << "stop.sh failed";
  EXPECT_LT(r, 0) << "an upload cut off by the server's end was reported as complete; " << fileSize(root + "/up.bin")
                  << " bytes arrived";
  EXPECT_LT(took, 20000) << "result " << r;
  EXPECT_LT(fileSize(root + "/up.bin"), 16 * MiB);

  zubClose(ch);
  ASSERT_TRUE(server.restart());
  ASSERT_NO_FATAL_FAILURE(openLog(ch, work.file("trace3.log")));
  ASSERT_EQ(zubConnect(ch, "127.0.0.1", server.user(), server.pass()), 0) << lastReply(ch);
  ASSERT_EQ(zubSetMode(ch, 'B'), 0);
  ASSERT_EQ(zubPutFile(ch, "up.bin"), 0) << lastReply(ch);
  EXPECT_EQ(sumFile(root + "/up.bin"), sent);
  EXPECT_EQ(zubClose(ch), 0);
}

// A wrong password on all four servers at once, from one thread in
// caller-driven use (three of them answer only after a delay of 2-4 s).
TEST_F(Faults, WrongPasswordOnEveryServer) {
  InteropServer servers[4];
  for (int32_t ch = 0; ch < 4; ++ch) {
    servers[ch] = loadInteropServer(INTEROP_SERVERS[ch]);
    ASSERT_TRUE(servers[ch].available) << servers[ch].problem;
    zubSetInteger(ch, ZUB_SET_CTRL_PORT, servers[ch].port);
    ASSERT_EQ(zubSetInteger(ch, ZUB_SET_AUTO_CALL, 0), 0);
    ASSERT_EQ(zubConnect(ch, "127.0.0.1", servers[ch].user.c_str(), "not-the-password"), 0);
  }
  int32_t result[4] = {ZUB_BUSY, ZUB_BUSY, ZUB_BUSY, ZUB_BUSY};
  auto t0 = Clock::now();
  for (int open = 4; open > 0 && msSince(t0) < 60000;) {
    open = 0;
    bool moved = false;
    for (int32_t ch = 0; ch < 4; ++ch) {
      if (result[ch] <= 0) continue;
      int32_t r = zubDriver(ch);
      moved = moved || r != result[ch];
      result[ch] = r;
      if (r > 0) ++open;
    }
    if (!moved) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (int32_t ch = 0; ch < 4; ++ch) {
    SCOPED_TRACE(servers[ch].name);
    EXPECT_EQ(result[ch], ZUB_E_SERVER_ERROR);
    EXPECT_EQ(replyCode(ch), 530) << lastReply(ch);
    std::string text = errorText(ch, ZUB_E_SERVER_ERROR);
    EXPECT_EQ(text.rfind("FTP server returned error. 530 ", 0), 0u) << text;
  }
  // The same channels log in with the right password after a close.
  for (int32_t ch = 0; ch < 4; ++ch) {
    SCOPED_TRACE(servers[ch].name);
    zubSetInteger(ch, ZUB_SET_AUTO_CALL, 1);
    zubClose(ch);
    EXPECT_EQ(zubConnect(ch, "127.0.0.1", servers[ch].user.c_str(), servers[ch].pass.c_str()), 0) << lastReply(ch);
    EXPECT_EQ(zubClose(ch), 0);
  }
}

// STOR into a directory owned by root with mode 0555.  pyftpdlib runs as
// root and would write there, so only the other three are asked.
TEST_F(Faults, UploadRefusedWithoutPermission) {
  zubtest::TempDir& local = work_;
  FileSum sent = makeFile(local.file("denied.bin"), 50000, 9);
  ASSERT_TRUE(sent.exists);
  const int32_t ch = 0;
  ASSERT_EQ(zubSetLocalDir(ch, local.path().c_str()), 0);
  for (int i = 0; i < 3; ++i) {
    InteropServer server = loadInteropServer(INTEROP_SERVERS[i]);
    ASSERT_TRUE(server.available) << server.problem;
    std::string ro = server.rootDir + "/zub-ro";
    std::error_code ec;
    std::filesystem::remove_all(ro, ec);
    ASSERT_TRUE(std::filesystem::create_directory(ro));
    ASSERT_EQ(chown(ro.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(ro.c_str(), 0555), 0);
    for (int passive = 0; passive < 2; ++passive) {
      SCOPED_TRACE(server.name + (passive ? " passive" : " active"));
      zubSetInteger(ch, ZUB_SET_CTRL_PORT, server.port);
      zubSetInteger(ch, ZUB_SET_PASSIVE, passive);
      zubSetInteger(ch, ZUB_SET_DATA_PORT, activePortBase(16 + i));
      ASSERT_NO_FATAL_FAILURE(openLog(ch, local.file(server.name + std::to_string(passive) + ".log")));
      ASSERT_EQ(zubConnect(ch, "127.0.0.1", server.user.c_str(), server.pass.c_str()), 0) << lastReply(ch);
      ASSERT_EQ(zubSetMode(ch, 'B'), 0) << lastReply(ch);
      EXPECT_EQ(zubPutFile(ch, "denied.bin:zub-ro/denied.bin"), ZUB_E_SERVER_ERROR) << lastReply(ch);
      int32_t code = replyCode(ch);
      EXPECT_TRUE(code == 550 || code == 553) << lastReply(ch);
      EXPECT_NE(errorText(ch, ZUB_E_SERVER_ERROR).find(lastReply(ch)), std::string::npos);
      EXPECT_EQ(fileSize(ro + "/denied.bin"), -1);
      // The refusal ends the transfer, not the session: the same file goes
      // up beside the read-only directory.
      EXPECT_EQ(zubHello(ch), 0) << lastReply(ch);
      EXPECT_EQ(zubPutFile(ch, "denied.bin:zub-rw.bin"), 0) << lastReply(ch);
      EXPECT_EQ(sumFile(server.rootDir + "/zub-rw.bin"), sent);
      EXPECT_EQ(zubDelFile(ch, "zub-rw.bin"), 0) << lastReply(ch);
      EXPECT_EQ(zubClose(ch), 0) << lastReply(ch);
    }
    std::filesystem::remove_all(ro, ec);
  }
}

}  // namespace
