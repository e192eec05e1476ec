// The library against four real FTP servers, each in passive and in active
// mode: a whole session of directory commands, raw commands and refusals,
// and files of 0 bytes to 64 MiB moved both ways, appended, resumed after a
// cut-off download, and found again in each server's own listing formats.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "interop_env.h"
#include "interop_util.h"
#include "support/test_util.h"
#include "zub32.h"

namespace {

using namespace interop;

struct Case {
  const char* server;
  bool passive;
  int32_t index;  // distinct per case: with the test, picks the active-mode port block
};

// Shown by the test runner (and in the CTest names) instead of the bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.server << (c.passive ? " passive" : " active"); }

std::string caseName(const testing::TestParamInfo<Case>& info) {
  std::string name;
  for (const char* p = info.param.server; *p != 0; ++p) {
    if (*p != '-') name += *p;
  }
  return name + (info.param.passive ? "_passive" : "_active");
}

class Matrix : public testing::TestWithParam<Case> {
 protected:
  static constexpr int32_t CH = 0;

  void SetUp() override {
    server_ = loadInteropServer(GetParam().server);
    ASSERT_TRUE(server_.available) << server_.problem;
    ASSERT_EQ(zubAttach(1, 0), 1);
    attached_ = true;
    ASSERT_EQ(zubSetLocalDir(CH, local_.path().c_str()), 0) << local_.path();
  }

  void TearDown() override {
    if (attached_) {
      if (connected_) zubClose(CH);
      zubRelease();
    }
    if (HasFailure()) {
      for (const std::string& log : logs_) {
        std::printf("--- last lines of %s\n%s", log.c_str(), tailOf(log, 60).c_str());
      }
    }
    // Whatever a failed run left in the server's root goes with it.
    std::error_code ec;
    for (const std::string& dir : serverDirs_) std::filesystem::remove_all(onServer(dir), ec);
  }

  // A directory name of this case alone: both modes of one server may run at once.
  std::string dirName(const std::string& what) const {
    return std::string("zub-") + what + (GetParam().passive ? "-pasv" : "-port");
  }

  std::string onServer(const std::string& rel) const { return server_.rootDir + "/" + rel; }
  std::string local(const std::string& name) const { return local_.file(name); }

  // Opens a fresh trace log, logs in and sets the data mode; 0 or the error.
  // `test` (0 or 1) keeps the port blocks of the two tests of a case apart.
  int32_t connect(int32_t test) {
    std::string log = local_.file("trace" + std::to_string(logs_.size()) + ".log");
    logs_.push_back(log);
    EXPECT_GT(zubSetString(CH, ZUB_STR_OPEN_LOG, log.c_str()), 0) << log;
    zubSetInteger(CH, ZUB_SET_CTRL_PORT, server_.port);
    zubSetInteger(CH, ZUB_SET_PASSIVE, GetParam().passive ? 1 : 0);
    if (!portSet_) {
      zubSetInteger(CH, ZUB_SET_DATA_PORT, activePortBase(GetParam().index * 2 + test));
      portSet_ = true;
    }
    int32_t r = zubConnect(CH, server_.host.c_str(), server_.user.c_str(), server_.pass.c_str());
    connected_ = r == 0;
    return r;
  }

  // Makes `dir` (removing what an interrupted earlier run left) and enters it.
  void enterFreshDir(const std::string& dir) {
    std::error_code ec;
    std::filesystem::remove_all(onServer(dir), ec);
    serverDirs_.push_back(dir);
    ASSERT_EQ(zubMakeServerDir(CH, dir.c_str()), 0) << lastReply(CH);
    ASSERT_EQ(zubSetServerDir(CH, dir.c_str()), 0) << lastReply(CH);
  }

  InteropServer server_;
  zubtest::TempDir local_;
  std::vector<std::string> logs_;
  std::vector<std::string> serverDirs_;
  bool attached_ = false;
  bool connected_ = false;
  bool portSet_ = false;
};

TEST_P(Matrix, DirectoriesRawCommandsAndRefusals) {
  ASSERT_EQ(connect(0), 0) << errorText(CH, zubGetInteger(CH, ZUB_GET_LAST_ERROR)) << lastReply(CH);
  EXPECT_EQ(replyCode(CH), 230) << lastReply(CH);

  int32_t n = 0;
  EXPECT_EQ(serverDir(CH, &n), "/");
  EXPECT_EQ(n, 1);

  std::string dir = dirName("dirs");
  std::error_code ec;
  std::filesystem::remove_all(onServer(dir), ec);
  serverDirs_.push_back(dir);
  ASSERT_EQ(zubMakeServerDir(CH, dir.c_str()), 0) << lastReply(CH);
  EXPECT_EQ(replyCode(CH), 257) << lastReply(CH);
  EXPECT_TRUE(isDirectory(onServer(dir))) << onServer(dir);

  ASSERT_EQ(zubSetServerDir(CH, dir.c_str()), 0) << lastReply(CH);
  EXPECT_EQ(replyCode(CH), 250) << lastReply(CH);
  EXPECT_EQ(serverDir(CH, &n), "/" + dir);
  EXPECT_EQ(n, static_cast<int32_t>(dir.size() + 1));
  // The parent by its two-dot name; PWD then names it in full.
  ASSERT_EQ(zubSetServerDir(CH, ".."), 0) << lastReply(CH);
  EXPECT_EQ(serverDir(CH), "/");

  EXPECT_EQ(zubSetMode(CH, 'A'), 0) << lastReply(CH);
  EXPECT_EQ(replyCode(CH), 200) << lastReply(CH);
  EXPECT_EQ(zubSetMode(CH, 'B'), 0) << lastReply(CH);
  EXPECT_EQ(replyCode(CH), 200) << lastReply(CH);

  EXPECT_EQ(zubCommand(CH, "SYST"), 0) << lastReply(CH);
  EXPECT_EQ(lastReply(CH), "215 UNIX Type: L8");
  // STAT answers with several lines; NOOP right after it must get its own
  // reply, not a line left over from the status.
  EXPECT_EQ(zubCommand(CH, "STAT"), 0) << lastReply(CH);
  EXPECT_EQ(replyCode(CH), 211) << lastReply(CH);
  EXPECT_EQ(zubHello(CH), 0) << lastReply(CH);
  EXPECT_EQ(replyCode(CH), 200) << lastReply(CH);

  // Refusals: -18, and the error text carries the server's own line.
  EXPECT_EQ(zubGetFile(CH, "no-such-file"), ZUB_E_SERVER_ERROR);
  std::string text = errorText(CH, ZUB_E_SERVER_ERROR);
  EXPECT_EQ(text.rfind("FTP server returned error. 550 ", 0), 0u) << text;
  EXPECT_EQ(text.substr(27), lastReply(CH) + "\r\n");
  EXPECT_EQ(fileSize(local("no-such-file")), -1) << "a refused download created its local file";
  EXPECT_EQ(zubDelFile(CH, "no-such-file"), ZUB_E_SERVER_ERROR);
  EXPECT_EQ(replyCode(CH), 550) << lastReply(CH);
  EXPECT_EQ(zubSetServerDir(CH, "no-such-dir"), ZUB_E_SERVER_ERROR);
  EXPECT_EQ(replyCode(CH), 550) << lastReply(CH);
  EXPECT_EQ(serverDir(CH), "/") << "a refused CWD moved the session";
  EXPECT_EQ(zubMakeServerDir(CH, dir.c_str()), ZUB_E_SERVER_ERROR) << "MKD of an existing directory";
  EXPECT_EQ(zubCommand(CH, "XYZZY"), ZUB_E_SERVER_ERROR);
  EXPECT_EQ(replyCode(CH), 500) << lastReply(CH);
  EXPECT_NE(errorText(CH, ZUB_E_SERVER_ERROR).find(lastReply(CH)), std::string::npos);
  EXPECT_EQ(zubHello(CH), 0) << "the session survives its refusals: " << lastReply(CH);

  ASSERT_EQ(zubDelServerDir(CH, dir.c_str()), 0) << lastReply(CH);
  EXPECT_EQ(replyCode(CH), 250) << lastReply(CH);
  EXPECT_FALSE(isDirectory(onServer(dir)));

  connected_ = false;
  EXPECT_EQ(zubClose(CH), 0) << lastReply(CH);
  EXPECT_EQ(replyCode(CH), 221) << lastReply(CH);
  EXPECT_EQ(zubGetInteger(CH, ZUB_GET_CTRL_SOCKET), 0);
}

TEST_P(Matrix, FilesBothWaysAppendResumeAndListings) {
  ASSERT_EQ(connect(1), 0) << lastReply(CH);
  std::string dir = dirName("files");
  ASSERT_NO_FATAL_FAILURE(enterFreshDir(dir));
  ASSERT_EQ(zubSetMode(CH, 'B'), 0) << lastReply(CH);

  // name -> size; the checksums of the local originals
  const std::map<std::string, int64_t> sizes = {
      {"empty.bin", 0}, {"one.bin", 1}, {"mib.bin", MiB}, {"big.bin", 64 * MiB}};
  std::map<std::string, FileSum> sums;
  uint64_t seed = 1;
  for (const auto& [name, size] : sizes) {
    sums[name] = makeFile(local(name), size, seed++ + 100 * static_cast<uint64_t>(GetParam().index));
    ASSERT_TRUE(sums[name].exists) << local(name);
  }

  for (const auto& [name, size] : sizes) {
    SCOPED_TRACE(name);
    // The big file goes in the largest blocks, to keep the suite's time down;
    // the others in the default blocks of 1024 bytes.
    zubSetInteger(CH, ZUB_SET_BLOCK_SIZE, size > MiB ? 8192 : 1024);
    ASSERT_EQ(zubPutFile(CH, name.c_str()), 0) << lastReply(CH);
    EXPECT_EQ(zubGetInteger(CH, ZUB_PUT_BYTES), size);
    EXPECT_EQ(sumFile(onServer(dir + "/" + name)), sums[name]);
  }
  zubSetInteger(CH, ZUB_SET_BLOCK_SIZE, 1024);
  for (const auto& [name, size] : sizes) {
    SCOPED_TRACE(name);
    std::string got = "got-" + name;
    ASSERT_EQ(zubGetFile(CH, (name + ":" + got).c_str()), 0) << lastReply(CH);
    EXPECT_EQ(zubGetInteger(CH, ZUB_GET_BYTES), size);
    EXPECT_EQ(sumFile(local(got)), sums[name]);
  }

  // APPE: the first 100000 bytes go up with STOR, the rest with APPE from
  // the local file's offset 100000.
  const int64_t appeSize = 300000, appeHead = 100000;
  FileSum appeSum = makeFile(local("appe-src.bin"), appeSize, 77);
  ASSERT_TRUE(copyPrefix(local("appe-src.bin"), local("appe-head.bin"), appeHead));
  ASSERT_EQ(zubPutFile(CH, "appe-head.bin:appe.bin"), 0) << lastReply(CH);
  EXPECT_EQ(fileSize(onServer(dir + "/appe.bin")), appeHead);
  EXPECT_EQ(zubSetInteger(CH, ZUB_SET_RESTART, 1), 1);
  EXPECT_EQ(zubSetInteger(CH, ZUB_SET_LOCAL_OFFSET, static_cast<int32_t>(appeHead)), appeHead);
  ASSERT_EQ(zubPutFile(CH, "appe-src.bin:appe.bin"), 0) << lastReply(CH);
  EXPECT_EQ(zubGetInteger(CH, ZUB_PUT_BYTES), appeSize - appeHead);
  EXPECT_EQ(sumFile(onServer(dir + "/appe.bin")), appeSum);
  // The restart flag was used up: the next upload replaces the file again.
  ASSERT_EQ(zubPutFile(CH, "appe-head.bin:appe2.bin"), 0) << lastReply(CH);
  ASSERT_EQ(zubPutFile(CH, "appe-head.bin:appe2.bin"), 0) << lastReply(CH);
  EXPECT_EQ(fileSize(onServer(dir + "/appe2.bin")), appeHead);

  // A download cut off part-way (caller-driven, abandoned with zubAbort and a
  // new session), then resumed from the size of the partial local file.
  ASSERT_EQ(zubSetInteger(CH, ZUB_SET_AUTO_CALL, 0), 0);
  ASSERT_EQ(zubGetFile(CH, "mib.bin:part.bin"), 0);
  int32_t r = ZUB_BUSY;
  for (int steps = 0; steps < 1000000 && r > 0; ++steps) {
    r = zubDriver(CH);
    if (zubGetInteger(CH, ZUB_GET_BYTES) >= 256 * KiB) break;
  }
  ASSERT_GT(r, 0) << "the download ended before it could be cut off: " << r;
  EXPECT_EQ(zubAbort(CH), 1);
  int32_t partial = zubGetInteger(CH, ZUB_GET_BYTES);
  ASSERT_GE(partial, 256 * KiB);
  ASSERT_LT(partial, MiB);
  EXPECT_EQ(fileSize(local("part.bin")), partial);
  ASSERT_EQ(zubSetInteger(CH, ZUB_SET_AUTO_CALL, 1), 1);
  // The server may still answer the abandoned transfer (226 or 426): the
  // QUIT that follows may read that reply, so its result is not judged.
  zubClose(CH);
  connected_ = false;
  ASSERT_EQ(connect(1), 0) << lastReply(CH);
  ASSERT_EQ(zubSetServerDir(CH, dir.c_str()), 0) << lastReply(CH);
  ASSERT_EQ(zubSetMode(CH, 'B'), 0) << lastReply(CH);
  zubSetInteger(CH, ZUB_SET_RESTART, 1);
  zubSetInteger(CH, ZUB_SET_RESTART_OFFSET, partial);
  zubSetInteger(CH, ZUB_SET_LOCAL_OFFSET, partial);
  ASSERT_EQ(zubGetFile(CH, "mib.bin:part.bin"), 0) << lastReply(CH);
  EXPECT_EQ(zubGetInteger(CH, ZUB_GET_BYTES), MiB - partial);
  EXPECT_EQ(sumFile(local("part.bin")), sums["mib.bin"]);

  // Listings in the server's own format.  Every name: found in the NLST with
  // zubMatchFile, its LIST line found by a pattern that skips to the time
  // column ("-...hh:mm name"), and its size read from field 5.
  std::map<std::string, int64_t> expected = sizes;
  expected["appe.bin"] = appeSize;
  expected["appe2.bin"] = appeHead;
  std::string list(64 * KiB, '\0');
  int32_t listLen = zubGetList(CH, ZUB_LIST, list.data(), static_cast<int32_t>(list.size()));
  ASSERT_GT(listLen, 0) << lastReply(CH);
  list.resize(static_cast<size_t>(listLen));
  EXPECT_EQ(list.find('\0'), std::string::npos);
  EXPECT_GE(zubGetString(CH, ZUB_STR_COUNT_LINES, list.data(), 0), static_cast<int32_t>(expected.size()));
  std::string nlst(64 * KiB, '\0');
  int32_t nlstLen = zubGetList(CH, ZUB_NLST, nlst.data(), static_cast<int32_t>(nlst.size()));
  ASSERT_GT(nlstLen, 0) << lastReply(CH);
  nlst.resize(static_cast<size_t>(nlstLen));

  for (const auto& [name, size] : expected) {
    SCOPED_TRACE(name);
    EXPECT_EQ(matchingLines(nlst, name).size(), 1u) << nlst;
    std::vector<std::string> lines = matchingLines(list, "-*:?? " + name);
    ASSERT_EQ(lines.size(), 1u) << list;
    char field[81];
    ASSERT_GT(zubExtract(lines[0].c_str(), 0, 5, field, 80), 0) << lines[0];
    EXPECT_EQ(std::string(field), std::to_string(size)) << lines[0];
    EXPECT_EQ(zubFileLength(lines[0].c_str(), 5, 6), size) << lines[0];
    EXPECT_EQ(zubExtract(lines[0].c_str(), 0, 9, field, 80), static_cast<int32_t>(name.size())) << lines[0];
  }
  // A wildcard walk over the name list visits exactly the uploaded files.
  std::set<std::string> found;
  for (const std::string& line : matchingLines(nlst, "*.bin")) found.insert(line);
  std::set<std::string> names;
  for (const auto& entry : expected) names.insert(entry.first);
  EXPECT_EQ(found, names) << nlst;

  for (const auto& entry : expected) {
    EXPECT_EQ(zubDelFile(CH, entry.first.c_str()), 0) << lastReply(CH);
    EXPECT_EQ(fileSize(onServer(dir + "/" + entry.first)), -1);
  }
  // An empty directory lists as an empty text (pure-ftpd's NLST still has . and ..).
  std::string empty(4096, 'x');
  int32_t emptyLen = zubGetList(CH, ZUB_LIST, empty.data(), static_cast<int32_t>(empty.size()));
  EXPECT_EQ(emptyLen, 0) << empty.c_str();
  EXPECT_EQ(empty[0], '\0');

  ASSERT_EQ(zubSetServerDir(CH, ".."), 0) << lastReply(CH);
  ASSERT_EQ(zubDelServerDir(CH, dir.c_str()), 0) << lastReply(CH);
  EXPECT_FALSE(isDirectory(onServer(dir)));
  connected_ = false;
  EXPECT_EQ(zubClose(CH), 0) << lastReply(CH);
}

INSTANTIATE_TEST_SUITE_P(Servers, Matrix,
                         testing::Values(Case{"vsftpd", true, 0}, Case{"vsftpd", false, 1},
                                         Case{"pure-ftpd", true, 2}, Case{"pure-ftpd", false, 3},
                                         Case{"proftpd", true, 4}, Case{"proftpd", false, 5},
                                         Case{"pyftpdlib", true, 6}, Case{"pyftpdlib", false, 7}),
                         caseName);

}  // namespace
