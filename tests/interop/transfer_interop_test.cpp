// Transfers against a real server (vsftpd) in passive and active mode:
// downloads, uploads, listings and both kinds of restart, checked by content.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "interop_env.h"
#include "interop_util.h"
#include "support/test_util.h"
#include "zub32.h"

namespace {

using namespace interop;

constexpr int32_t CH = 0;
// Active-mode port blocks of this test (see interop_util.h): two per test,
// passive and active, since ctest runs the tests side by side.
constexpr int32_t PORT_BLOCK_BASE = 84;

class TransferInterop : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    server_ = loadInteropServer("vsftpd");
    ASSERT_TRUE(server_.available) << server_.problem;
    ASSERT_EQ(zubAttach(1, 0), 1);
    attached_ = true;
    ASSERT_EQ(zubSetLocalDir(CH, local_.path().c_str()), 0);
    log_ = local_.file("trace.log");
    ASSERT_GT(zubSetString(CH, ZUB_STR_OPEN_LOG, log_.c_str()), 0);
    zubSetInteger(CH, ZUB_SET_CTRL_PORT, server_.port);
    zubSetInteger(CH, ZUB_SET_PASSIVE, GetParam() ? 1 : 0);
    // Each test has a server folder and port blocks of its own: a second
    // test of the same mode may run at the same time.
    const std::string test = testing::UnitTest::GetInstance()->current_test_info()->name();
    const int32_t slot = test.rfind("Restarted", 0) == 0 ? 1 : 0;
    zubSetInteger(CH, ZUB_SET_DATA_PORT, activePortBase(PORT_BLOCK_BASE + 2 * slot + (GetParam() ? 1 : 0)));
    zubSetInteger(CH, ZUB_SET_BLOCK_SIZE, 8192);
    ASSERT_EQ(zubConnect(CH, server_.host.c_str(), server_.user.c_str(), server_.pass.c_str()), 0) << lastReply(CH);
    connected_ = true;
    ASSERT_EQ(zubSetMode(CH, 'B'), 0) << lastReply(CH);
    dir_ = std::string(slot == 1 ? "zub-xfer-restart" : "zub-xfer") + (GetParam() ? "-pasv" : "-port");
    std::error_code ec;
    std::filesystem::remove_all(onServer(""), ec);
    ASSERT_EQ(zubMakeServerDir(CH, dir_.c_str()), 0) << lastReply(CH);
    ASSERT_EQ(zubSetServerDir(CH, dir_.c_str()), 0) << lastReply(CH);
  }

  void TearDown() override {
    if (connected_) zubClose(CH);
    if (attached_) zubRelease();
    if (HasFailure()) std::printf("--- last lines of %s\n%s", log_.c_str(), tailOf(log_, 80).c_str());
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(onServer(""), ec);
  }

  std::string onServer(const std::string& name) const { return server_.rootDir + "/" + dir_ + "/" + name; }
  std::string local(const std::string& name) const { return local_.file(name); }

  std::string list(int32_t kind, const std::string& argument = "") {
    std::vector<char> buf(256 * KiB);
    std::copy(argument.begin(), argument.end(), buf.begin());
    int32_t n = zubGetList(CH, kind, buf.data(), static_cast<int32_t>(buf.size()));
    EXPECT_GE(n, 0) << lastReply(CH);
    return n >= 0 ? std::string(buf.data(), static_cast<size_t>(n)) : std::string();
  }

  InteropServer server_;
  zubtest::TempDir local_;
  std::string log_;
  std::string dir_;
  bool attached_ = false;
  bool connected_ = false;
};

TEST_P(TransferInterop, DownloadUploadAndListings) {
  // The server's file is made on its disk; ours travel through the library.
  const FileSum down = makeFile(onServer("down.bin"), 3 * MiB + 17, 1);
  const FileSum up = makeFile(local("up.bin"), 2 * MiB + 5, 2);
  ASSERT_TRUE(down.exists && up.exists);
  makeFile(local("empty.bin"), 0, 3);

  ASSERT_EQ(zubGetFile(CH, "down.bin"), 0) << lastReply(CH);
  EXPECT_EQ(sumFile(local("down.bin")), down);
  EXPECT_EQ(zubGetInteger(CH, ZUB_GET_BYTES), 3 * MiB + 17);
  ASSERT_EQ(zubGetFile(CH, "down.bin:copy.bin"), 0) << lastReply(CH);
  EXPECT_EQ(sumFile(local("copy.bin")), down);

  ASSERT_EQ(zubPutFile(CH, "up.bin"), 0) << lastReply(CH);
  EXPECT_EQ(sumFile(onServer("up.bin")), up);
  EXPECT_EQ(zubGetInteger(CH, ZUB_PUT_BYTES), 2 * MiB + 5);
  ASSERT_EQ(zubPutFile(CH, "up.bin:renamed.bin"), 0) << lastReply(CH);
  EXPECT_EQ(sumFile(onServer("renamed.bin")), up);
  ASSERT_EQ(zubPutFile(CH, "empty.bin"), 0) << lastReply(CH);
  EXPECT_EQ(fileSize(onServer("empty.bin")), 0);
  ASSERT_EQ(zubGetFile(CH, "empty.bin:empty-back.bin"), 0) << lastReply(CH);
  EXPECT_EQ(fileSize(local("empty-back.bin")), 0);

  std::string names = list(ZUB_NLST);
  std::vector<std::string> lines;
  for (size_t at = 0; at < names.size();) {
    size_t end = names.find("\r\n", at);
    if (end == std::string::npos) break;
    lines.push_back(names.substr(at, end - at));
    at = end + 2;
  }
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{"down.bin", "empty.bin", "renamed.bin", "up.bin"})) << names;
  std::string full = list(ZUB_LIST);
  EXPECT_EQ(matchingLines(full, "*.bin").size(), 4u) << full;
  EXPECT_NE(full.find(std::to_string(3 * MiB + 17) + " "), std::string::npos) << full;
  std::string one = list(ZUB_LIST_ARG, "up.bin");
  ASSERT_GE(one.size(), 9u);
  EXPECT_EQ(one.find("\r\n"), one.size() - 2) << one;
  EXPECT_NE(one.find(" " + std::to_string(2 * MiB + 5) + " "), std::string::npos) << one;
  EXPECT_EQ(one.substr(one.size() - 9), " up.bin\r\n");
  // A listing that does not fit: -32, and the channel goes on working.
  char small[64];
  EXPECT_EQ(zubGetList(CH, ZUB_LIST, small, sizeof small), ZUB_E_LIST_OVERFLOW);
  EXPECT_EQ(zubHello(CH), 0) << lastReply(CH);
}

TEST_P(TransferInterop, RestartedDownloadAndAppendedUpload) {
  const FileSum whole = makeFile(onServer("resume.bin"), 5 * MiB + 3, 4);
  ASSERT_TRUE(whole.exists);
  // A download cut off after 1 MiB, resumed where the local file ends.
  ASSERT_TRUE(copyPrefix(onServer("resume.bin"), local("resume.bin"), MiB));
  zubSetInteger(CH, ZUB_SET_RESTART, 1);
  zubSetInteger(CH, ZUB_SET_RESTART_OFFSET, static_cast<int32_t>(MiB));
  zubSetInteger(CH, ZUB_SET_LOCAL_OFFSET, static_cast<int32_t>(MiB));
  ASSERT_EQ(zubGetFile(CH, "resume.bin"), 0) << lastReply(CH);
  EXPECT_EQ(sumFile(local("resume.bin")), whole);
  EXPECT_EQ(zubGetInteger(CH, ZUB_GET_BYTES), 4 * MiB + 3);

  // An upload cut off after 2 MiB, finished with APPE from that offset.
  const FileSum up = makeFile(local("append.bin"), 3 * MiB + 11, 5);
  ASSERT_TRUE(copyPrefix(local("append.bin"), local("head.bin"), 2 * MiB));
  ASSERT_EQ(zubPutFile(CH, "head.bin:append.bin"), 0) << lastReply(CH);
  EXPECT_EQ(fileSize(onServer("append.bin")), 2 * MiB);
  zubSetInteger(CH, ZUB_SET_RESTART, 1);
  zubSetInteger(CH, ZUB_SET_LOCAL_OFFSET, static_cast<int32_t>(2 * MiB));
  ASSERT_EQ(zubPutFile(CH, "append.bin"), 0) << lastReply(CH);
  EXPECT_EQ(sumFile(onServer("append.bin")), up);
  EXPECT_EQ(zubGetInteger(CH, ZUB_PUT_BYTES), MiB + 11);
  std::string log = zubtest::readFile(log_);
  EXPECT_NE(log.find("S: REST 1048576\r\n"), std::string::npos);
  EXPECT_NE(log.find("S: APPE append.bin\r\n"), std::string::npos);
  EXPECT_EQ(log.find("[WARNING: 226/250 not seen]"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Vsftpd, TransferInterop, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "passive" : "active");
                         });

}  // namespace
