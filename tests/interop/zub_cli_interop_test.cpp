// The zub client against the real servers: trees both ways, many files with
// one failing, a continued download, the login sources and the progress a
// terminal shows.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "interop_util.h"
#include "support/test_util.h"
#include "support/zub_run.h"

namespace {

using interop::FileSum;
using interop::makeFile;
using interop::sumFile;
namespace fs = std::filesystem;

class ZubCli : public ::testing::Test {
 protected:
  void SetUp() override {
    work_ = fs::temp_directory_path() / ("zub-cli-" + std::to_string(getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(work_);
    fs::create_directories(work_ / "home");
  }
  void TearDown() override {
    fs::remove_all(work_);
    for (const std::string& dir : serverDirs_) fs::remove_all(dir);
  }

  InteropServer server(const char* name) {
    InteropServer s = loadInteropServer(name);
    if (s.available) serverDirs_.push_back(s.rootDir + "/" + remoteDir());
    return s;
  }
  // A folder of this test process on the server.
  std::string remoteDir() const { return "zub-cli-" + std::to_string(getpid()); }
  static std::string url(const InteropServer& s, const std::string& path) {
    return "ftp://127.0.0.1:" + std::to_string(s.port) + "/" + path;
  }
  static std::vector<std::string> login(const InteropServer& s) {
    return {"ZUB_USER=" + s.user, "ZUB_PASSWORD=" + s.pass};
  }
  ZubRun zub(const InteropServer& s, const std::vector<std::string>& args) {
    return runZub(args, (work_ / "home").string(), login(s));
  }
  std::string local(const std::string& rel) const { return (work_ / rel).string(); }

  fs::path work_;
  std::vector<std::string> serverDirs_;
};

// Every regular file below root, by relative path.
std::map<std::string, FileSum> treeSums(const fs::path& root) {
  std::map<std::string, FileSum> sums;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) sums[fs::relative(e.path(), root).string()] = sumFile(e.path().string());
  return sums;
}

// Nested folders with blanks in their names and files of many sizes, the
// empty one and one past a listing block included.
std::map<std::string, FileSum> makeTree(const fs::path& root) {
  const char* files[] = {"a.txt",           "name with spaces.bin", "sub dir/one.bin",    "sub dir/empty",
                         "sub dir/x y/z.dat", "sub dir/x y/deep er/last file", "second/b.bin", "second/c d e"};
  int64_t sizes[] = {1, 300 * 1024 + 7, 5000, 0, 4096, 123457, 65536, 12};
  std::map<std::string, FileSum> sums;
  for (size_t i = 0; i < std::size(files); i++) {
    fs::create_directories((root / files[i]).parent_path());
    sums[files[i]] = makeFile((root / files[i]).string(), sizes[i], 7000 + i);
  }
  fs::create_directories(root / "empty folder");
  return sums;
}

// vsftpd shows numeric owners and zero-padded days, proftpd names and
// blank-padded days: the same tree goes up and comes back through both.
TEST_F(ZubCli, TreeUpAndDownThroughTwoListingLayouts) {
  for (const char* name : {"vsftpd", "proftpd"}) {
    SCOPED_TRACE(name);
    InteropServer s = server(name);
    if (!s.available) GTEST_FAIL() << s.problem;
    fs::path up = work_ / (std::string(name) + "-up"), down = work_ / (std::string(name) + "-down");
    std::map<std::string, FileSum> sums = makeTree(up);

    ZubRun put = zub(s, {"put", "-r", "-j", "4", up.string(), url(s, remoteDir() + "/tree one")});
    ASSERT_EQ(put.status, 0) << put.err;
    EXPECT_EQ(put.out + put.err, "");
    EXPECT_EQ(treeSums(s.rootDir + "/" + remoteDir() + "/tree one"), sums);
    EXPECT_TRUE(interop::isDirectory(s.rootDir + "/" + remoteDir() + "/tree one/empty folder"));

    ZubRun get = zub(s, {"get", "-r", "-j", "4", url(s, remoteDir() + "/tree one"), down.string()});
    ASSERT_EQ(get.status, 0) << get.err;
    EXPECT_EQ(treeSums(down), sums);
    EXPECT_TRUE(interop::isDirectory((down / "empty folder").string()));
    for (const auto& e : fs::recursive_directory_iterator(down))
      EXPECT_EQ(e.path().string().find(".zubpart"), std::string::npos) << e.path();

    // A second upload into the tree that exists now replaces the files.
    put = zub(s, {"put", "-r", "-j", "2", up.string(), url(s, remoteDir() + "/tree one")});
    EXPECT_EQ(put.status, 0) << put.err;
  }
}

// Eight channels, forty files, one of them missing on the server: that one
// fails with the server's reply, every other arrives whole.
TEST_F(ZubCli, OneFailingFileNeverStopsTheOthers) {
  InteropServer s = server("vsftpd");
  if (!s.available) GTEST_FAIL() << s.problem;
  fs::create_directories(work_ / "src");
  fs::create_directories(work_ / "dst");
  std::vector<std::string> put{"put", "-j", "8"}, get{"get", "-j", "8", "-d", local("dst")};
  std::map<std::string, FileSum> sums;
  for (int i = 0; i < 40; i++) {
    std::string n = "f" + std::to_string(i) + ".bin";
    sums[n] = makeFile(local("src/" + n), 1000 + 977 * i, 100 + i);
    put.push_back(local("src/" + n));
    get.push_back(url(s, remoteDir() + "/" + n));
    if (i == 20) get.push_back(url(s, remoteDir() + "/missing.bin"));
  }
  put.push_back(url(s, remoteDir() + "/"));
  ASSERT_EQ(zub(s, {"mkdir", url(s, remoteDir())}).status, 0);
  ZubRun up = zub(s, put);
  ASSERT_EQ(up.status, 0) << up.err;

  ZubRun down = zub(s, get);
  EXPECT_EQ(down.status, 6) << down.err;
  // One line: the file, the server's reply and the library's text.
  EXPECT_EQ(down.err, "zub: get ftp://" + s.user + "@127.0.0.1:" + std::to_string(s.port) + "/" + remoteDir() +
                          "/missing.bin: server said \"550 Failed to open file.\" (FTP server returned error.)\n");
  EXPECT_EQ(treeSums(work_ / "dst"), sums);
}

// A download cut off part-way (here: its first 3 MiB are on disk) goes on
// from there with -c, and only the rest crosses the wire.
TEST_F(ZubCli, ContinueAfterAnInterruption) {
  InteropServer s = server("vsftpd");
  if (!s.available) GTEST_FAIL() << s.problem;
  FileSum whole = makeFile(local("big.bin"), 8 * interop::MiB + 5, 42);
  ASSERT_EQ(zub(s, {"put", local("big.bin"), url(s, remoteDir() + "/big.bin")}).status, 6);  // no folder yet
  ASSERT_EQ(zub(s, {"mkdir", url(s, remoteDir())}).status, 0);
  ASSERT_EQ(zub(s, {"put", local("big.bin"), url(s, remoteDir() + "/big.bin")}).status, 0);

  fs::create_directories(work_ / "dst");
  std::string copy = local("dst/big.bin");
  ASSERT_TRUE(interop::copyPrefix(local("big.bin"), copy, 3 * interop::MiB));
  ZubRun run = zub(s, {"get", "-c", "--progress=plain", url(s, remoteDir() + "/big.bin"), "-o", copy});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(sumFile(copy), whole);
  EXPECT_EQ(run.out.rfind(copy + ": 5.0 MiB in ", 0), 0u) << run.out;

  // An upload cut off part-way goes on with APPE from the server's length.
  ASSERT_TRUE(interop::copyPrefix(local("big.bin"), local("head.bin"), 2 * interop::MiB + 1));
  ASSERT_EQ(zub(s, {"put", local("head.bin"), url(s, remoteDir() + "/up.bin")}).status, 0);
  run = zub(s, {"put", "-c", "--progress=plain", local("big.bin"), url(s, remoteDir() + "/up.bin")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(sumFile(s.rootDir + "/" + remoteDir() + "/up.bin"), whole);
  EXPECT_EQ(run.out.rfind(local("big.bin") + ": 6.0 MiB in ", 0), 0u) << run.out;

  // An interrupted run: with -c its part stays for the next -c, without it
  // nothing is left.  64 MiB take long enough on the loopback to be cut.
  whole = makeFile(local("big.bin"), 64 * interop::MiB, 43);
  ASSERT_EQ(zub(s, {"put", local("big.bin"), url(s, remoteDir() + "/big.bin")}).status, 0);
  for (bool keep : {true, false}) {
    SCOPED_TRACE(keep ? "-c" : "without -c");
    fs::remove(copy);
    std::vector<std::string> args{"get", url(s, remoteDir() + "/big.bin"), "-o", copy, "--timeout", "5"};
    if (keep) args.push_back("-c");
    // Stopped as a user would, by SIGINT, once its file has bytes.
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
      dup2(out[1], 2);
      zubrun::execZub(args, zubrun::baseEnv((work_ / "home").string(), login(s)));
    }
    close(out[1]);
    std::string part = keep ? copy : copy + ".zubpart";
    for (int i = 0; i < 20000 && !(fs::exists(part) && fs::file_size(part) > 0); i++) usleep(100);
    kill(pid, SIGINT);
    int status = zubrun::reap(pid, 60);
    std::string err;
    zubrun::drain(out[0], &err, -1, nullptr, 1);
    close(out[0]);
    if (status == 0) {
      // The whole file arrived before the signal did: nothing was cut off.
      std::cout << "note: the download ended before SIGINT arrived\n";
      EXPECT_EQ(sumFile(copy), whole);
      continue;
    }
    EXPECT_EQ(status, 130) << err;
    EXPECT_FALSE(fs::exists(copy + ".zubpart"));
    if (keep) {
      ASSERT_TRUE(fs::exists(copy));
      EXPECT_LT(fs::file_size(copy), static_cast<uintmax_t>(whole.size));
      ZubRun again = zub(s, {"get", "-c", url(s, remoteDir() + "/big.bin"), "-o", copy});
      EXPECT_EQ(again.status, 0) << again.err;
      EXPECT_EQ(sumFile(copy), whole);
    } else {
      EXPECT_FALSE(fs::exists(copy));
    }
  }
}

// The login from ~/.netrc and its trace; a refused login; a command's reply.
TEST_F(ZubCli, LoginsAndReplies) {
  InteropServer s = server("proftpd");
  if (!s.available) GTEST_FAIL() << s.problem;
  std::string home = (work_ / "home").string();
  std::string netrc = home + "/.netrc";
  std::ofstream(netrc) << "machine 127.0.0.1\n  login " << s.user << "\n  password " << s.pass << "\n";
  chmod(netrc.c_str(), 0600);
  std::string trace = local("trace.log");
  ZubRun run = runZub({"quote", "--trace", trace, url(s, ""), "SYST"}, home);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "215 UNIX Type: L8\n");
  // The trace shows the login, without its password.
  std::ifstream in(trace);
  std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(log.find("PASS ********"), std::string::npos) << log;
  EXPECT_NE(log.find("SYST"), std::string::npos) << log;
  EXPECT_EQ(log.find(s.pass), std::string::npos) << log;

  run = runZub({"ls", url(s, "")}, home, {"ZUB_USER=" + s.user, "ZUB_PASSWORD=wrong-one"});
  EXPECT_EQ(run.status, 5) << run.err;
  EXPECT_NE(run.err.find("server said \"530 Login incorrect.\""), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("wrong-one"), std::string::npos) << run.err;

  run = runZub({"quote", url(s, ""), "SITE NO-SUCH-THING"}, home);
  EXPECT_EQ(run.status, 6) << run.err;

  // ls of a file lists that file; of a name that is nothing, fails.
  ASSERT_EQ(runZub({"mkdir", url(s, remoteDir())}, home).status, 0);
  makeFile(local("l.bin"), 1234, 9);
  ASSERT_EQ(runZub({"put", local("l.bin"), url(s, remoteDir() + "/")}, home).status, 0);
  // Without --pauses nothing waits: the reply to PASS is read as it comes,
  // an upload's data connection is closed after its last byte.  With it,
  // 200 ms and 50 ms go by first.
  for (bool pauses : {false, true}) {
    std::string trace = local(pauses ? "paused.log" : "unpaused.log");
    std::vector<std::string> args{"put", "--trace", trace, local("l.bin"), url(s, remoteDir() + "/")};
    if (pauses) args.push_back("--pauses");
    ASSERT_EQ(runZub(args, home).status, 0);
    std::string log = zubtest::readFile(trace);
    int32_t afterPass = zubtest::stateGap(log, 106, 107), beforeClose = zubtest::stateGap(log, 407, 408);
    ASSERT_TRUE(afterPass >= 0 && beforeClose >= 0) << log;
    EXPECT_EQ(afterPass >= 200, pauses) << log;
    EXPECT_EQ(beforeClose >= 50, pauses) << log;
  }
  run = runZub({"ls", url(s, remoteDir() + "/l.bin")}, home);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find(" 1234 "), std::string::npos) << run.out;
  run = runZub({"ls", url(s, remoteDir() + "/nothing")}, home);
  EXPECT_EQ(run.status, 6) << run.out;
  EXPECT_EQ(run.out, "");
}

// On a terminal the total line is drawn; through pipes or with -q nothing
// but errors is written.
TEST_F(ZubCli, ProgressOnlyOnATerminal) {
  InteropServer s = server("vsftpd");
  if (!s.available) GTEST_FAIL() << s.problem;
  makeFile(local("one.bin"), interop::MiB, 5);
  ASSERT_EQ(zub(s, {"mkdir", url(s, remoteDir())}).status, 0);
  ASSERT_EQ(zub(s, {"put", local("one.bin"), url(s, remoteDir() + "/")}).status, 0);
  std::string home = (work_ / "home").string();
  std::string from = url(s, remoteDir() + "/one.bin");

  ZubRun tty = runZubOnTerminal({"get", from, "-o", local("a.bin")}, home, login(s));
  EXPECT_EQ(tty.status, 0) << tty.out;
  EXPECT_NE(tty.out.find("\x1b[2Ktotal: 1/1 files, 1.0 MiB of 1.0 MiB, "), std::string::npos) << tty.out;
  EXPECT_NE(tty.out.find(" left\r\n"), std::string::npos) << tty.out;

  ZubRun quiet = runZubOnTerminal({"get", "-q", from, "-o", local("b.bin")}, home, login(s));
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out, "");

  ZubRun piped = zub(s, {"get", from, "-o", local("c.bin")});
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.out + piped.err, "");
  EXPECT_EQ(sumFile(local("c.bin")), sumFile(local("one.bin")));
}

// Encrypted sessions, implicit (ftps://) and explicit (--ssl-reqd): files
// both ways on two channels and a listing, by checksum; TLS for the login
// alone (--ftp-ssl-control), which these servers refuse for the data; and
// what a user reads when the certificate is not accepted.
TEST_F(ZubCli, EncryptedSessions) {
#ifndef ZUB_CLI_TLS
  GTEST_SKIP() << "built without TLS";
#else
  struct Row {
    const char* fixture;
    std::string scheme;
    std::vector<std::string> options;
  };
  const Row rows[] = {
      {"vsftpd-implicit", "ftps", {}},
      {"proftpd-tls", "ftp", {"--ssl-reqd", "--epsv"}},
      {"vsftpd-tls", "ftp", {"--ftp-ssl", "--active"}},
  };
  std::map<std::string, FileSum> sums;
  for (int i = 0; i < 2; i++) {
    std::string name = "t" + std::to_string(i) + ".bin";
    sums[name] = makeFile(local(name), 3 * interop::MiB + 7 * i, 60 + i);
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.fixture);
    InteropServer s = server(row.fixture);
    if (!s.available) GTEST_FAIL() << s.problem;
    // The certificates name localhost.
    std::string base = row.scheme + "://localhost:" + std::to_string(s.port) + "/";
    auto run = [&](std::vector<std::string> args) {
      args.insert(args.begin() + 1, row.options.begin(), row.options.end());
      args.insert(args.begin() + 1, {"--cacert", s.caFile});
      return zub(s, args);
    };
    ZubRun r = run({"mkdir", base + remoteDir()});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run({"put", "-j", "2", local("t0.bin"), local("t1.bin"), base + remoteDir() + "/"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    fs::path down = work_ / (std::string(row.fixture) + "-down");
    fs::create_directories(down);
    r = run({"get", "-j", "2", base + remoteDir() + "/t0.bin", base + remoteDir() + "/t1.bin", "-d", down.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(treeSums(down), sums);
    EXPECT_EQ(treeSums(s.rootDir + "/" + remoteDir()), sums);
    r = run({"ls", "-1", base + remoteDir()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("t1.bin"), std::string::npos) << r.out;
  }

  InteropServer s = server("vsftpd-tls");
  if (!s.available) GTEST_FAIL() << s.problem;
  const std::string where = "ftp://" + s.user + "@localhost:" + std::to_string(s.port);
  const std::string base = "ftp://localhost:" + std::to_string(s.port) + "/";
  const std::string rejected =
      "Server certificate rejected. (--cacert FILE trusts the CA that signed it; --trace FILE shows the reason)";
  // The system's store does not know the test CA; nor is 127.0.0.1 the name
  // the certificate was made for.
  ZubRun r = zub(s, {"ls", "--ssl-reqd", base});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err, "zub: " + where + ": " + rejected + "\n");
  r = zub(s, {"ls", "--ssl-reqd", "--cacert", s.caFile, "ftp://127.0.0.1:" + std::to_string(s.port) + "/"});
  EXPECT_EQ(r.status, 4);
  EXPECT_NE(r.err.find(rejected), std::string::npos) << r.err;
  std::string trace = local("insecure.log");
  r = zub(s, {"ls", "--ssl-reqd", "-k", "--trace", trace, base});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "zub: warning: --insecure: the server's certificate is not checked; anyone on the way can pose "
                   "as the server\n");
  std::ifstream in(trace);
  std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(log.find("TLS: certificate verification is off"), std::string::npos) << log;
  // PROT C goes out; this server wants the data in TLS too.
  r = zub(s, {"ls", "--ftp-ssl-control", "--cacert", s.caFile, base});
  EXPECT_EQ(r.status, 6);
  EXPECT_NE(r.err.find("server said \"522 Data connections must be encrypted.\""), std::string::npos) << r.err;
#endif
}

}  // namespace
