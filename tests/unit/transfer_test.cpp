// Downloads, uploads and listings against the scripted server, over passive
// and active data connections: what goes over the wire, what lands in the
// local file or the caller's buffer, the codes, counters and trace lines.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/syscalls.h"
#include "session_fixture.h"
#include "support/host.h"
#include "support/test_util.h"

namespace zubtest {
namespace {

// Handles closed through the system-call table while a test watches.
std::vector<int32_t>& closedHandles() {
  static std::vector<int32_t> handles;
  return handles;
}

int32_t noteSocketClose(int32_t sock) {
  closedHandles().push_back(sock);
  return platSysDefault.closeSocket(sock);
}

int32_t noteFileClose(int32_t file) {
  closedHandles().push_back(file);
  return platSysDefault.fileClose(file);
}

// Bytes that a text-minded transfer would damage: NULs, CR LF, high bytes.
std::string binaryBytes(size_t n, unsigned seed = 7) {
  std::string s(n, '\0');
  uint32_t x = seed;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

bool fileExists(const std::string& path) { return std::ifstream(path).good(); }

size_t occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) n++;
  return n;
}

// Position of `needle` in `log`, or npos; gtest shows the log on failure.
size_t find(const std::string& log, const std::string& needle) { return log.find(needle); }

class TransferTest : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    // One log per process (the same test may run in several build trees at
    // once); parameterised test names carry slashes.
    std::string name = "zub_" + std::to_string(zubtest::hostProcessId()) + "_" + logPath_.substr(::testing::TempDir().size());
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    logPath_ = ::testing::TempDir() + name;
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_EQ(zubSetLocalDir(0, dir_.path().c_str()), 0);
    // Active-mode ports of this process's own (a test uses fewer than 16):
    // outside the ephemeral range (the scripted server's sockets), the
    // channels' own ranges (16384 and up), the interop tests' blocks (6000
    // and up) and the real servers' control ports (2201 and up).
    zubSetInteger(0, ZUB_SET_DATA_PORT, zubtest::ownDataPorts());
  }

  // Logs in and chooses the data-connection mode; the test queues the rest.
  void begin(ScriptServer& srv, DataMode mode) {
    loginTo(srv);
    zubSetInteger(0, ZUB_SET_PASSIVE, mode == DataMode::Passive ? 1 : 0);
  }

  std::string local(const std::string& name) const { return dir_.file(name); }

  // Values of the "send(S):N" trace lines, in order.
  std::vector<int> sendSizes() const {
    std::vector<int> sizes;
    std::string log = readLog();
    for (size_t at = log.find("send("); at != std::string::npos; at = log.find("send(", at + 1)) {
      size_t colon = log.find("):", at);
      if (colon != std::string::npos) sizes.push_back(std::atoi(log.c_str() + colon + 2));
    }
    return sizes;
  }

  // A caller-driven download of `name` stopped at state 307 once the
  // server's "first piece" has been taken from the data ring; the channel is
  // left caller-driven, logged in to a server that stays silent.
  void stopDownloadHolding(const std::string& name) {
    zubSetInteger(0, ZUB_SET_AUTO_CALL, 1);
    if (!held_.empty()) held_.back()->stop();
    if (rec_->ctrlSock != 0) zubClose(0);
    held_.emplace_back(std::make_unique<ScriptServer>());
    ScriptServer& srv = *held_.back();
    begin(srv, DataMode::Passive);
    srv.openData(DataMode::Passive);
    srv.expect("RETR " + name + "\r\n");
    srv.connectData(DataMode::Passive);
    srv.send("150 Opening data connection.\r\n");
    srv.dataSend("first piece");
    srv.silence();
    zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
    ASSERT_EQ(zubGetFile(0, name.c_str()), 0);
    int guard = 0;
    while (zubGetInteger(0, ZUB_GET_BYTES) < 11 && zubDriver(0) > 0 && ++guard < 1000000) {
    }
    ASSERT_EQ(rec_->nextState, 307);
    // The count follows what arrived, though the file does not hold it yet.
    ASSERT_EQ(zubGetInteger(0, ZUB_GET_BYTES), 11);
    ASSERT_EQ(rec_->unwritten, 11);
  }

  TempDir dir_;
  std::vector<std::unique_ptr<ScriptServer>> held_;
};

class BothModes : public TransferTest, public ::testing::WithParamInterface<DataMode> {};

std::string modeName(const ::testing::TestParamInfo<DataMode>& info) {
  return info.param == DataMode::Passive ? "Passive" : "Active";
}

TEST_P(BothModes, DownloadsIntoTheLocalDirectory) {
  const DataMode mode = GetParam();
  const std::string body = binaryBytes(100000);
  ScriptServer srv;
  begin(srv, mode);
  openLog();
  srv.serveRetr(mode, "a.bin", body);
  srv.serveRetr(mode, "dir/b.bin", "second");
  srv.serveRetr(mode, "empty.txt", "");
  srv.serveRetr(mode, "sep.bin", "bar");

  EXPECT_EQ(zubGetFile(0, "a.bin"), 0);
  EXPECT_EQ(readFile(local("a.bin")), body);
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_BYTES), 100000);
  // The second name (after the separator) is the local file.
  EXPECT_EQ(zubGetFile(0, "dir/b.bin:b.local"), 0);
  EXPECT_EQ(readFile(local("b.local")), "second");
  EXPECT_EQ(zubGetFile(0, "empty.txt"), 0);
  EXPECT_TRUE(fileExists(local("empty.txt")));
  EXPECT_EQ(readFile(local("empty.txt")), "");
  // The separator is a setting, and only the first one splits.  (Names
  // a Windows file may have: no ':' or '|' in them.)
  zubSetInteger(0, ZUB_SET_NAME_SEPARATOR, ';');
  EXPECT_EQ(zubGetFile(0, "sep.bin;x;y"), 0);
  EXPECT_EQ(readFile(local("x;y")), "bar");
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty()) << ::testing::PrintToString(srv.errors());

  EXPECT_EQ(zubGetInteger(0, ZUB_GET_BYTES), 3);
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_BYTES_TOTAL), 100009);
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_REPLY_CODE), 226);
  char reply[64];
  EXPECT_EQ(zubGetString(0, ZUB_STR_LAST_REPLY, reply, 63), 22);
  EXPECT_STREQ(reply, "226 Transfer complete.\r\n");
  // The data side is closed after each transfer.
  EXPECT_EQ(rec_->dataSock, 0);
  EXPECT_EQ(rec_->listenSock, 0);
  EXPECT_EQ(rec_->localFile, 0);

  std::string log = readLog();
  EXPECT_NE(find(log, "100000 bytes received\r\n"), std::string::npos) << log;
  EXPECT_NE(find(log, "6 bytes received\r\n"), std::string::npos);
  EXPECT_NE(find(log, "0 bytes received\r\n"), std::string::npos);
  EXPECT_EQ(find(log, "[WARNING: 226/250 not seen]"), std::string::npos);
  EXPECT_NE(find(log, "S: RETR dir/b.bin\r\n\r\n"), std::string::npos);
  if (mode == DataMode::Passive) {
    EXPECT_NE(find(log, "DataSock is connected.\r\n"), std::string::npos);
    EXPECT_NE(find(log, "S: PASV\r\n\r\n"), std::string::npos);
  } else {
    // The listener is up before PORT goes out.
    size_t listening = find(log, "Listening...\r\n");
    size_t port = find(log, "S: PORT 127,0,0,1,");
    ASSERT_NE(listening, std::string::npos);
    ASSERT_NE(port, std::string::npos);
    EXPECT_LT(listening, port);
    EXPECT_LT(find(log, "Binding 127.0.0.1 to port "), listening);
    EXPECT_LT(find(log, "Accepting connection.\r\nConnection is accepted.\r\n"), find(log, "100000 bytes received"));
  }
}

TEST_P(BothModes, UploadsInBlocksAndAppends) {
  const DataMode mode = GetParam();
  const std::string body = binaryBytes(3000, 11);
  writeFile(local("up.bin"), body);
  writeFile(local("empty.bin"), "");
  ScriptServer srv;
  begin(srv, mode);
  openLog();
  srv.acceptStor(mode, "remote.bin");
  srv.acceptStor(mode, "up.bin", true);
  srv.acceptStor(mode, "empty.bin");

  // Blocks paced by sendDelay go one per step (without a pause they go
  // several at a time: BulkPiecesOfEverySize).
  zubSetInteger(0, ZUB_SET_BLOCK_SIZE, 1024);
  zubSetInteger(0, ZUB_SET_SEND_DELAY, 1);
  EXPECT_EQ(zubPutFile(0, "up.bin:remote.bin"), 0);
  EXPECT_EQ(zubGetInteger(0, ZUB_PUT_BYTES), 3000);
  std::vector<int> sizes = sendSizes();
  // The three blocks are the last sends before the closing reply.
  ASSERT_GE(sizes.size(), 3u);
  EXPECT_EQ(std::vector<int>(sizes.end() - 3, sizes.end()), (std::vector<int>{1024, 1024, 952}));

  // Restart: APPE, from the local offset on; both one-shots are used up.
  zubSetInteger(0, ZUB_SET_RESTART, 1);
  zubSetInteger(0, ZUB_SET_RESTART_OFFSET, 77);
  zubSetInteger(0, ZUB_SET_LOCAL_OFFSET, 1000);
  EXPECT_EQ(zubPutFile(0, "up.bin"), 0);
  EXPECT_EQ(rec_->restartEnabled, 0);
  EXPECT_EQ(rec_->restartOffset, 0);
  EXPECT_EQ(rec_->localFileOffset, 0);
  EXPECT_EQ(zubGetInteger(0, ZUB_PUT_BYTES), 2000);

  EXPECT_EQ(zubPutFile(0, "empty.bin"), 0);
  EXPECT_EQ(zubGetInteger(0, ZUB_PUT_BYTES), 0);
  EXPECT_EQ(zubGetInteger(0, ZUB_PUT_BYTES_TOTAL), 5000);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty()) << ::testing::PrintToString(srv.errors());
  std::vector<std::string> got = srv.dataReceived();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], body);
  EXPECT_EQ(got[1], body.substr(1000));
  EXPECT_EQ(got[2], "");
  EXPECT_EQ(rec_->localFile, 0);
  EXPECT_EQ(rec_->dataSock, 0);

  std::string log = normalisedLog();
  EXPECT_NE(find(log, "send(S):952\r\n[EOF]\r\n<408:T>\r\n3000 bytes transmitted\r\nClosing file\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(find(log, "<407:T>\r\n[EOF]\r\n<408:T>\r\n0 bytes transmitted\r\n"), std::string::npos);
  // No REST goes with an upload.
  for (const std::string& c : srv.commands()) EXPECT_NE(c.rfind("REST", 0), 0u) << c;
}

// A local file that cannot be read part-way is no end of the file: the
// upload fails instead of passing a file cut short for complete.
TEST_F(TransferTest, FailedReadOfTheLocalFileFailsTheUpload) {
  writeFile(local("up.bin"), binaryBytes(3000, 5));
  ScriptServer srv;
  begin(srv, DataMode::Passive);
  srv.acceptStor(DataMode::Passive, "up.bin");
  // One block per read (a send delay keeps the pieces to single blocks).
  zubSetInteger(0, ZUB_SET_BLOCK_SIZE, 1024);
  zubSetInteger(0, ZUB_SET_SEND_DELAY, 1);
  platFaultSet(PLAT_OP_FILE_READ, 2, -1);
  EXPECT_EQ(zubPutFile(0, "up.bin"), ZUB_E_NOT_COMPLETED);
  platFaultClearAll();
  EXPECT_EQ(zubGetInteger(0, ZUB_PUT_BYTES), 1024);
  EXPECT_EQ(rec_->localFile, 0);
  EXPECT_EQ(rec_->dataSock, 0);
}

// Sizes on both sides of the ring, an upload piece (whole blocks of 1000)
// and one, two and three bulk buffers, each sent whole or split where the
// receiving steps must join it: every byte arrives, once, in order, and is
// counted; the ring's end lines still close each download.
TEST_F(TransferTest, BulkPiecesOfEverySize) {
  constexpr int32_t B = BULK_BUF_CAP;
  constexpr int32_t PIECE = B / 1000 * 1000;
  std::vector<int32_t> sizes = {0, 1, 4094, 4095, 4096, 8192, PIECE - 1, PIECE, PIECE + 1};
  for (int32_t k = 1; k <= 3; ++k) {
    for (int32_t d = -1; d <= 1; ++d) sizes.push_back(k * B + d);
  }
  struct Split {
    int32_t size;
    std::vector<int32_t> pieces;
  };
  const std::vector<Split> splits = {{B + 1, {B - 1, 2}}, {2 * B, {4095, B, B - 4095}}, {B + 4096, {1, B, 4095}}};
  zubSetInteger(0, ZUB_SET_PAUSES, 0);
  zubSetInteger(0, ZUB_SET_CLOSE_DELAY, 0);
  zubSetInteger(0, ZUB_SET_BLOCK_SIZE, 1000);
  ScriptServer srv;
  begin(srv, DataMode::Passive);
  openLog();
  for (size_t i = 0; i < sizes.size(); ++i) {
    srv.serveRetr(DataMode::Passive, "d" + std::to_string(i), binaryBytes(static_cast<size_t>(sizes[i]), i));
  }
  for (size_t i = 0; i < splits.size(); ++i) {
    std::string body = binaryBytes(static_cast<size_t>(splits[i].size), 100 + i);
    std::vector<std::string> chunks;
    size_t at = 0;
    for (int32_t n : splits[i].pieces) {
      chunks.push_back(body.substr(at, static_cast<size_t>(n)));
      at += static_cast<size_t>(n);
    }
    srv.openData(DataMode::Passive);
    srv.expect("RETR s" + std::to_string(i) + "\r\n");
    srv.connectData(DataMode::Passive);
    srv.send("150 Opening data connection.\r\n");
    srv.dataSendChunks(chunks, 30);
    srv.dataClose();
    srv.send("226 Transfer complete.\r\n");
  }
  for (size_t i = 0; i < sizes.size(); ++i) srv.acceptStor(DataMode::Passive, "u" + std::to_string(i));

  int64_t total = 0;
  for (size_t i = 0; i < sizes.size(); ++i) {
    SCOPED_TRACE(sizes[i]);
    const std::string name = "d" + std::to_string(i);
    ASSERT_EQ(zubGetFile(0, name.c_str()), 0);
    EXPECT_EQ(readFile(local(name)), binaryBytes(static_cast<size_t>(sizes[i]), i));
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_BYTES), sizes[i]);
    total += sizes[i];
  }
  for (size_t i = 0; i < splits.size(); ++i) {
    SCOPED_TRACE(splits[i].size);
    const std::string name = "s" + std::to_string(i);
    ASSERT_EQ(zubGetFile(0, name.c_str()), 0);
    EXPECT_EQ(readFile(local(name)), binaryBytes(static_cast<size_t>(splits[i].size), 100 + i));
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_BYTES), splits[i].size);
    total += splits[i].size;
  }
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_BYTES_TOTAL), total);
  const size_t uploadsFrom = sendSizes().size();
  for (size_t i = 0; i < sizes.size(); ++i) {
    SCOPED_TRACE(sizes[i]);
    // The downloaded files go back up.
    const std::string names = "d" + std::to_string(i) + ":u" + std::to_string(i);
    ASSERT_EQ(zubPutFile(0, names.c_str()), 0);
    EXPECT_EQ(zubGetInteger(0, ZUB_PUT_BYTES), sizes[i]);
  }
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty()) << ::testing::PrintToString(srv.errors());
  std::vector<std::string> got = srv.dataReceived();
  ASSERT_EQ(got.size(), sizes.size());
  for (size_t i = 0; i < sizes.size(); ++i) EXPECT_EQ(got[i], binaryBytes(static_cast<size_t>(sizes[i]), i)) << i;
  // An upload piece is whole blocks, never more than the bulk buffer holds.
  std::vector<int> sent = sendSizes();
  for (size_t i = uploadsFrom; i < sent.size(); ++i) EXPECT_LE(sent[i], PIECE);
  EXPECT_NE(std::find(sent.begin() + static_cast<long>(uploadsFrom), sent.end(), PIECE), sent.end());
  const std::string log = normalisedLog();
  EXPECT_EQ(occurrences(log, "recv(S):0\r\nrecv(S):0\r\nzubQueueLoad=-1\r\n<308:T>\r\n"), sizes.size() + splits.size())
      << log.substr(0, 4000);
}

TEST_P(BothModes, RestartedDownloadAppendsAtTheLocalOffset) {
  const DataMode mode = GetParam();
  writeFile(local("part.bin"), std::string(1000, 'A'));
  writeFile(local("over.bin"), std::string(2000, 'C'));
  ScriptServer srv;
  begin(srv, mode);
  openLog();
  srv.openData(mode);
  srv.expect("REST 1000\r\n");
  srv.send("350 Restarting at 1000.\r\n");
  srv.expect("RETR part.bin\r\n");
  srv.connectData(mode);
  srv.send("150 Opening data connection.\r\n");
  srv.dataSend(std::string(500, 'B'));
  srv.dataClose();
  srv.send("250 Done.\r\n");
  srv.openData(mode);
  srv.expect("REST 0\r\n");
  srv.send("350 Restarting at 0.\r\n");
  srv.expect("RETR over.bin\r\n");
  srv.connectData(mode);
  srv.send("150 Opening data connection.\r\n");
  srv.dataSend("xyz");
  srv.dataClose();
  srv.send("200 Odd but fine.\r\n");

  zubSetInteger(0, ZUB_SET_RESTART, 1);
  zubSetInteger(0, ZUB_SET_RESTART_OFFSET, 1000);
  zubSetInteger(0, ZUB_SET_LOCAL_OFFSET, 1000);
  EXPECT_EQ(zubGetFile(0, "part.bin"), 0);
  EXPECT_EQ(readFile(local("part.bin")), std::string(1000, 'A') + std::string(500, 'B'));
  EXPECT_EQ(rec_->restartEnabled, 0);
  EXPECT_EQ(rec_->restartOffset, 0);
  EXPECT_EQ(rec_->localFileOffset, 0);

  // Offset 0 overwrites from the start without truncating.
  zubSetInteger(0, ZUB_SET_RESTART, 1);
  EXPECT_EQ(zubGetFile(0, "over.bin"), 0);
  EXPECT_EQ(readFile(local("over.bin")), "xyz" + std::string(1997, 'C'));
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty()) << ::testing::PrintToString(srv.errors());
  std::string log = readLog();
  // 250 ends a transfer quietly; any other code below 400 warns.
  size_t warning = find(log, "[WARNING: 226/250 not seen]\r\n");
  ASSERT_NE(warning, std::string::npos);
  EXPECT_EQ(log.find("[WARNING", warning + 1), std::string::npos);
}

TEST_P(BothModes, ListingIntoTheCallersBuffer) {
  const DataMode mode = GetParam();
  const std::string listing = "-rw-r--r-- 1 u g 10 Jan 01 2001 a.txt\r\n-rw-r--r-- 1 u g 20 Jan 01 2001 b.txt\r\n";
  ScriptServer srv;
  begin(srv, mode);
  srv.serveList(mode, "LIST\r\n", listing);
  srv.serveList(mode, "NLST *.txt\r\n", "a.txt\r\nb.txt\r\n");
  srv.serveList(mode, "LIST /pub\r\n", "");
  srv.serveList(mode, "NLST\r\n", "x\r\n");

  char buf[4096];
  std::strcpy(buf, "ignored for kind 0");
  EXPECT_EQ(zubGetList(0, ZUB_LIST, buf, sizeof buf), static_cast<int32_t>(listing.size()));
  EXPECT_EQ(std::string(buf), listing);
  EXPECT_EQ(zubGetString(0, ZUB_STR_COUNT_LINES, buf, 0), 2);
  std::strcpy(buf, "*.txt");
  EXPECT_EQ(zubGetList(0, ZUB_NLST_ARG, buf, sizeof buf), 14);
  EXPECT_STREQ(buf, "a.txt\r\nb.txt\r\n");
  std::strcpy(buf, "/pub");
  EXPECT_EQ(zubGetList(0, ZUB_LIST_ARG, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");  // an empty listing is an empty text, not the argument
  EXPECT_EQ(zubGetList(0, ZUB_NLST, buf, sizeof buf), 3);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty()) << ::testing::PrintToString(srv.errors());
  EXPECT_EQ(rec_->dataSock, 0);
  EXPECT_EQ(rec_->listenSock, 0);
}

// A LIST/NLST argument goes out whole or not at all: one that does not end
// within the capacity, is too long for the command line or holds a line
// break is refused before anything is sent, never shortened.
TEST_F(TransferTest, ListingArgumentIsSentWholeOrRefused) {
  const std::string longest(LIST_ARG_MAX, 'a');
  struct Row {
    std::string arg;
    int32_t capacity;  // 0: the buffer's own
    int32_t kind;
    std::string line;  // sent; empty: refused
  };
  const Row rows[] = {
      {"/pub", 5, ZUB_LIST_ARG, "LIST /pub\r\n"},  // the terminator just fits
      {"/pub", 4, ZUB_LIST_ARG, ""},               // it does not
      {longest, 0, ZUB_NLST_ARG, "NLST " + longest + "\r\n"},
      {longest + "b", 0, ZUB_NLST_ARG, ""},
      {"/pub\r\nDELE x", 0, ZUB_LIST_ARG, ""},
      {"/pub\nx", 0, ZUB_LIST_ARG, ""},
      {"", 0, ZUB_LIST_ARG, "LIST \r\n"},
      {"", -1, ZUB_LIST_ARG, ""},
  };
  ScriptServer srv;
  begin(srv, DataMode::Passive);
  for (const Row& row : rows) {
    if (!row.line.empty()) srv.serveList(DataMode::Passive, row.line, "x\r\n");
  }
  std::vector<char> buf(4096, 'Q');
  for (const Row& row : rows) {
    std::memcpy(buf.data(), row.arg.c_str(), row.arg.size() + 1);
    int32_t capacity = row.capacity != 0 ? row.capacity : static_cast<int32_t>(buf.size());
    EXPECT_EQ(zubGetList(0, row.kind, buf.data(), capacity), row.line.empty() ? ZUB_E_CANNOT_COMPLY : 3)
        << row.arg.substr(0, 20) << " " << capacity;
  }
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty()) << ::testing::PrintToString(srv.errors());
  // Only the accepted ones went out: PASV and LIST/NLST once each.
  size_t lists = 0;
  for (const std::string& c : srv.commands()) lists += c.rfind("LIST", 0) == 0 || c.rfind("NLST", 0) == 0;
  EXPECT_EQ(lists, 3u);
}

// A listing piece is stored only when it leaves room for the terminator.
TEST_F(TransferTest, ListingOverflowKeepsWhatFitted) {
  ScriptServer srv;
  begin(srv, DataMode::Passive);
  const std::string sixty(60, 's');
  const std::string ninety(90, 'n');
  // 60 then 90 into 100: the first fits, the second is dropped.
  srv.openData(DataMode::Passive);
  srv.expect("LIST\r\n");
  srv.connectData(DataMode::Passive);
  srv.send("150 Here it comes.\r\n");
  srv.dataSendChunks({sixty, ninety}, 300);
  srv.dataClose();
  srv.send("226 Done.\r\n");
  srv.serveList(DataMode::Passive, "LIST\r\n", std::string(100, 'e'));
  srv.serveList(DataMode::Passive, "LIST\r\n", std::string(99, 'f'));
  srv.serveList(DataMode::Passive, "LIST\r\n", "x");
  srv.serveList(DataMode::Passive, "LIST\r\n", "y");
  srv.serveList(DataMode::Passive, "LIST\r\n", "");

  char buf[200];
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(zubGetList(0, ZUB_LIST, buf, 100), ZUB_E_LIST_OVERFLOW);
  EXPECT_EQ(rec_->listLen, 60);
  EXPECT_EQ(std::string(buf, 61), sixty + std::string(1, '\0'));
  EXPECT_EQ(buf[61], '#');

  // Exactly the room: dropped, the buffer untouched.
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(zubGetList(0, ZUB_LIST, buf, 100), ZUB_E_LIST_OVERFLOW);
  EXPECT_EQ(buf[0], '#');
  EXPECT_EQ(zubGetList(0, ZUB_LIST, buf, 100), 99);
  EXPECT_EQ(std::string(buf), std::string(99, 'f'));

  // Capacities 0 and 1 store nothing; an empty listing still succeeds.
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(zubGetList(0, ZUB_LIST, buf, 0), ZUB_E_LIST_OVERFLOW);
  EXPECT_EQ(zubGetList(0, ZUB_LIST, buf, 1), ZUB_E_LIST_OVERFLOW);
  EXPECT_EQ(buf[0], '#');
  EXPECT_EQ(zubGetList(0, ZUB_LIST, buf, 1), 0);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(buf[1], '#');
  // The most negative capacity is no room at all, for the argument too:
  // refused before anything is sent.
  std::strcpy(buf, "/pub");
  EXPECT_EQ(zubGetList(0, ZUB_LIST_ARG, buf, INT32_MIN), ZUB_E_CANNOT_COMPLY);
  EXPECT_STREQ(buf, "/pub");
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty()) << ::testing::PrintToString(srv.errors());
}

// The server answers in the time between the PORT exchange and its
// connection: a preliminary reply waits for the transfer, a refusal ends it.
TEST_F(TransferTest, ActiveModeRepliesBeforeTheServerConnects) {
  ScriptServer srv;
  begin(srv, DataMode::Active);
  openLog();
  srv.openData(DataMode::Active);
  srv.expect("RETR early.bin\r\n");
  srv.send("150 Opening data connection.\r\n");
  srv.delay(300);
  srv.portConnect();
  srv.dataSend("early bytes");
  srv.dataClose();
  srv.send("226 Transfer complete.\r\n");
  srv.openData(DataMode::Active);
  srv.expect("RETR refused.bin\r\n");
  srv.send("425 Can't open data connection.\r\n");

  EXPECT_EQ(zubGetFile(0, "early.bin"), 0);
  EXPECT_EQ(readFile(local("early.bin")), "early bytes");
  EXPECT_EQ(zubGetFile(0, "refused.bin"), ZUB_E_SERVER_ERROR);
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_REPLY_CODE), 425);
  EXPECT_EQ(rec_->nextState, 0);
  EXPECT_FALSE(fileExists(local("refused.bin")));
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty()) << ::testing::PrintToString(srv.errors());
  std::string log = readLog();
  EXPECT_NE(find(log, "ThisState=921"), std::string::npos) << log;
}

// Ports of a channel are used in turn and wrap inside its range.
TEST_F(TransferTest, PortAdvancesAndWrapsInTheChannelRange) {
  ScriptServer srv;
  begin(srv, DataMode::Active);
  srv.serveList(DataMode::Active, "LIST\r\n", "one\r\n");
  srv.serveList(DataMode::Active, "LIST\r\n", "two\r\n");
  srv.serveList(DataMode::Active, "LIST\r\n", "top\r\n");
  const uint16_t low = rec_->dataPortLow;
  const uint16_t high = rec_->dataPortHigh;
  // The stored port is one below the value set, so high + 1 leaves high.
  zubSetInteger(0, ZUB_SET_DATA_PORT, high + 1);
  char buf[64];
  EXPECT_EQ(zubGetList(0, ZUB_LIST, buf, sizeof buf), 5);
  EXPECT_EQ(rec_->dataPort, low);
  EXPECT_EQ(zubGetList(0, ZUB_LIST, buf, sizeof buf), 5);
  EXPECT_EQ(rec_->dataPort, low + 1);
  // Port 0 is stored as 65535 (as a PASV reply may leave it): the next one is
  // back in the range, never port 0.
  zubSetInteger(0, ZUB_SET_DATA_PORT, 0);
  EXPECT_EQ(zubGetList(0, ZUB_LIST, buf, sizeof buf), 5);
  EXPECT_EQ(rec_->dataPort, low);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty()) << ::testing::PrintToString(srv.errors());
  auto portLine = [](uint16_t p) {
    return "PORT 127,0,0,1," + std::to_string(p / 256) + "," + std::to_string(p % 256);
  };
  std::vector<std::string> cmds = srv.commands();
  std::vector<std::string> ports;
  for (const std::string& c : cmds) {
    if (c.rfind("PORT ", 0) == 0) ports.push_back(c);
  }
  EXPECT_EQ(ports, (std::vector<std::string>{portLine(low), portLine(low + 1), portLine(low)}));
}

TEST_F(TransferTest, PassiveReplyVariants) {
  ScriptServer srv;
  begin(srv, DataMode::Passive);
  openLog();
  // Another host in the reply: the connection still goes to the server.
  srv.expect("PASV\r\n");
  const uint16_t offered = srv.pasvReply("227 Entering Passive Mode (10,0,0,5,{p1},{p2})\r\n");
  srv.expect("LIST\r\n");
  srv.acceptPassiveData();
  srv.send("150 Here.\r\n");
  srv.dataSend("nat\r\n");
  srv.dataClose();
  srv.send("226 Done.\r\n");
  srv.expect("PASV\r\n");
  srv.send("227 Entering Passive Mode\r\n");
  srv.expect("PASV\r\n");
  srv.send("227 Entering Passive Mode (127,0,0,1,4)\r\n");

  char buf[64];
  EXPECT_EQ(zubGetList(0, ZUB_LIST, buf, sizeof buf), 5);
  EXPECT_EQ(zubGetList(0, ZUB_LIST, buf, sizeof buf), ZUB_E_NO_PASV_PORT);
  EXPECT_EQ(zubGetList(0, ZUB_LIST, buf, sizeof buf), ZUB_E_NO_PASV_PORT);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty()) << ::testing::PrintToString(srv.errors());
  std::string log = readLog();
  EXPECT_NE(find(log, "DataPort = " + std::to_string(offered) + "\r\n"), std::string::npos)
      << log;
  EXPECT_NE(find(log, "Response=[227 Entering Passive Mode\r\n]\r\n"), std::string::npos) << log;
  EXPECT_NE(find(log, "Response=[227 Entering Passive Mode (127,0,0,1,4)\r\n]\r\n"), std::string::npos);
  EXPECT_NE(find(log, "zubCode=-30"), std::string::npos);
}

// The passive data connection is made without blocking the step: a refused
// port fails at once with its own code, and a port that drops the attempt
// ends with the deadline instead of holding one driver call for minutes.
TEST_F(TransferTest, PassiveConnectNeverBlocksAStep) {
  // A port that refuses and one that never answers.
  UnreachablePorts ports;
  const uint16_t refusing = ports.refusing;
  const uint16_t dropping = ports.dropping;
  auto pasv = [](uint16_t port) {
    return "227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256) +
           ")\r\n";
  };

  ScriptServer srv;
  begin(srv, DataMode::Passive);
  openLog();
  srv.expect("PASV\r\n");
  srv.send(pasv(refusing));
  srv.expect("PASV\r\n");
  srv.send(pasv(dropping));
  srv.silence();

  char buf[64];
  EXPECT_EQ(zubGetList(0, ZUB_LIST, buf, sizeof buf), -PLAT_WSAECONNREFUSED);
  EXPECT_EQ(rec_->dataSock, 0);
  std::string log = readLog();
  EXPECT_NE(find(log, "SockCode=-10061 zubCode=0 PrevState=901 ThisState=902"), std::string::npos) << log;

  // Caller-driven, so each step can be timed: none waits on the connection.
  zubSetInteger(0, ZUB_SET_REPLY_TIMEOUT, 300);
  zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
  ASSERT_EQ(zubGetList(0, ZUB_LIST, buf, sizeof buf), 0);
  int64_t longest = 0;
  int32_t r = driveTimed(&longest, 1);
  EXPECT_EQ(r, ZUB_E_TIMEOUT);
  EXPECT_LT(longest, 2000);
  log = readLog();
  EXPECT_NE(find(log, "zubCode=-22 PrevState=902 ThisState=-1 NextState=902"), std::string::npos) << log;
  EXPECT_EQ(find(log, "DataSock is connected."), std::string::npos);
  zubSetInteger(0, ZUB_SET_AUTO_CALL, 1);
  srv.stop();
}

// A data connection that goes quiet after its last piece is a time-out, in
// active mode too (where it once passed for success).
TEST_P(BothModes, StalledDataAfterTheLastPieceTimesOut) {
  const DataMode mode = GetParam();
  ScriptServer srv;
  begin(srv, mode);
  openLog();
  srv.openData(mode);
  srv.expect("RETR slow.bin\r\n");
  srv.connectData(mode);
  srv.send("150 Opening data connection.\r\n");
  srv.dataSend("first piece");
  srv.silence();
  zubSetInteger(0, ZUB_SET_REPLY_TIMEOUT, 400);

  EXPECT_EQ(zubGetFile(0, "slow.bin"), ZUB_E_TIMEOUT);
  EXPECT_EQ(rec_->nextState, 0);
  EXPECT_EQ(zubDriver(0), 0);
  // Polls of the data connection that found nothing while it stalled.
  EXPECT_GT(zubGetInteger(0, ZUB_GET_DATA_IDLE_COUNT), 0);
  EXPECT_EQ(readFile(local("slow.bin")), "first piece");
  EXPECT_EQ(rec_->localFile, 0);
  EXPECT_EQ(rec_->dataSock, 0);
  EXPECT_EQ(rec_->listenSock, 0);
  std::string log = readLog();
  EXPECT_NE(find(log, "TimeStop exceeded ["), std::string::npos) << log;
  EXPECT_NE(find(log, "zubCode=-22 PrevState=307 ThisState=-1 NextState=307"), std::string::npos) << log;
  srv.stop();
}

// An upload step never waits for the server to make room: sends cut short
// go on where they stopped (the pause and the gate after whole blocks
// only), a server that reads late gets every byte, and one that never reads
// fails the upload after replyTimeout without holding any step meanwhile.
TEST_P(BothModes, UploadStepsNeverWaitForRoom) {
  const DataMode mode = GetParam();
  const std::string body = binaryBytes(16 << 20);  // more than the loopback's socket buffers hold
  struct Row {
    int readAfterMs;
    int32_t sendLimit;
    int32_t sendDelay;
    size_t size;
  };
  // Blocks of 1000: a send of 999 leaves a byte of each for the next step.
  const Row rows[] = {{300, 0, 0, body.size()}, {0, 999, 0, 3 * BULK_BUF_CAP + 1}, {0, 999, 1, 20001}};
  zubSetInteger(0, ZUB_SET_PAUSES, 0);
  zubSetInteger(0, ZUB_SET_CLOSE_DELAY, 0);
  zubSetInteger(0, ZUB_SET_BLOCK_SIZE, 1000);
  ScriptServer srv;
  begin(srv, mode);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.size);
    const std::string bytes = body.substr(0, row.size);
    writeFile(local("up.bin"), bytes);
    srv.openData(mode);
    srv.expect("STOR up.bin\r\n");
    srv.connectData(mode);
    srv.send("150 Opening data connection.\r\n");
    srv.delay(row.readAfterMs);
    srv.dataReceiveAll();
    srv.dataClose();
    srv.send("226 Transfer complete.\r\n");
    zubSetInteger(0, ZUB_SET_SEND_DELAY, row.sendDelay);
    platFaultLimit(PLAT_OP_SEND, row.sendLimit);
    EXPECT_EQ(zubPutFile(0, "up.bin"), 0);
    platFaultClearAll();
    EXPECT_EQ(zubGetInteger(0, ZUB_PUT_BYTES), static_cast<int32_t>(bytes.size()));
    ASSERT_TRUE(srv.waitDone());
    EXPECT_TRUE(srv.dataReceived().back() == bytes);
  }
  zubSetInteger(0, ZUB_SET_SEND_DELAY, 0);
  const int32_t replyTimeout = 2000;
  zubSetInteger(0, ZUB_SET_REPLY_TIMEOUT, replyTimeout);
  openLog();
  writeFile(local("big.bin"), body);
  srv.openData(mode);
  srv.expect("STOR big.bin\r\n");
  srv.connectData(mode);
  srv.send("150 Opening data connection.\r\n");
  srv.silence();
  expectStalledUploadHoldsNoStep("big.bin", static_cast<int32_t>(body.size()), replyTimeout, 1000);
  EXPECT_EQ(rec_->localFile, 0);
  std::string log = readLog();
  EXPECT_NE(find(log, "SockCode=-1 zubCode=-21 PrevState=407"), std::string::npos) << log.substr(log.size() - 600);
  srv.stop();
}

// Received bytes are gathered before they are written; whatever ends the
// download, the file holds exactly what getBytes counts, and a failed write
// is still reported.
TEST_F(TransferTest, EveryReceivedByteReachesTheFile) {
  ScriptServer srv;
  begin(srv, DataMode::Passive);
  // Written a bulk buffer at a time: the second write comes part-way.
  const std::string body = binaryBytes(2 * BULK_BUF_CAP + 30000);

  // A write that fails part-way: -1, the data side closed, the bytes written
  // before it kept and counted.  No trace log, so only the download writes.
  srv.serveRetr(DataMode::Passive, "w.bin", body);
  platFaultSet(PLAT_OP_FILE_WRITE, 2, 0);
  EXPECT_EQ(zubGetFile(0, "w.bin"), -1);
  platFaultClearAll();
  EXPECT_EQ(rec_->nextState, 0);
  EXPECT_EQ(rec_->localFile, 0);
  EXPECT_EQ(rec_->dataSock, 0);
  std::string got = readFile(local("w.bin"));
  EXPECT_GT(got.size(), 0u);
  EXPECT_LT(got.size(), body.size());
  EXPECT_EQ(got, body.substr(0, got.size()));
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_BYTES), static_cast<int32_t>(got.size()));
  srv.stop();
  zubClose(0);

  // The write at the end of the data fails too: nothing counted as written.
  ScriptServer srv2;
  begin(srv2, DataMode::Passive);
  srv2.serveRetr(DataMode::Passive, "small.bin", "only a few bytes");
  platFaultSet(PLAT_OP_FILE_WRITE, 1, 0);
  EXPECT_EQ(zubGetFile(0, "small.bin"), -1);
  platFaultClearAll();
  EXPECT_EQ(readFile(local("small.bin")), "");
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_BYTES), 0);
  srv2.stop();
  zubClose(0);

  // Abandoned by the caller part-way: the abort's close writes what came.
  stopDownloadHolding("part.bin");
  EXPECT_EQ(zubAbort(0), 1);
  EXPECT_EQ(readFile(local("part.bin")), "first piece");
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_BYTES), 11);
  EXPECT_EQ(rec_->localFile, 0);
}

// Whatever the caller does after abandoning a download, the bytes it held
// reach its file whole before dataBuf serves anything else, and are not
// counted as another download's.
TEST_F(TransferTest, AbandonedDownloadIsWrittenBeforeTheNextUse) {
  writeFile(local("up.bin"), "upload");

  // An upload opens its file through dataBuf.
  stopDownloadHolding("a.bin");
  ASSERT_EQ(zubPutFile(0, "up.bin"), 0);
  EXPECT_EQ(readFile(local("a.bin")), "first piece");

  // A listing with an argument puts it in dataBuf.
  stopDownloadHolding("b.bin");
  char list[64] = "xy";
  ASSERT_EQ(zubGetList(0, ZUB_LIST_ARG, list, sizeof list), 0);
  EXPECT_EQ(readFile(local("b.bin")), "first piece");

  // A new download starts its count at 0.
  stopDownloadHolding("c.bin");
  ASSERT_EQ(zubGetFile(0, "new.bin"), 0);
  EXPECT_EQ(readFile(local("c.bin")), "first piece");
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_BYTES), 0);

  // Ending the session keeps the bytes; so does releasing the library,
  // which also closes the file.
  stopDownloadHolding("d.bin");
  ASSERT_EQ(zubClose(0), 0);
  EXPECT_EQ(readFile(local("d.bin")), "first piece");
  stopDownloadHolding("e.bin");
  const std::string e = local("e.bin");
  const int32_t file = rec_->localFile, ctrl = rec_->ctrlSock, data = rec_->dataSock;
  openLog();
  const int32_t log = rec_->logFile;
  ASSERT_TRUE(fdIsOpen(file) && fdIsOpen(ctrl) && fdIsOpen(data) && fdIsOpen(log));
  // Nothing the channel held stays open once its record is gone.  The
  // closes are seen through the system-call table: asking afterwards
  // whether a handle value is open would race with every other thread's
  // new handles (Windows hands out a freed value again at once).
  closedHandles().clear();
  platSys.closeSocket = noteSocketClose;
  platSys.fileClose = noteFileClose;
  EXPECT_EQ(zubRelease(), 1);
  platSys = platSysDefault;
  for (int32_t h : {file, ctrl, data, log}) {
    EXPECT_EQ(std::count(closedHandles().begin(), closedHandles().end(), h), 1) << "handle " << h;
  }
  EXPECT_EQ(channelTable[0], nullptr);
  EXPECT_EQ(readFile(e), "first piece");
}

TEST_F(TransferTest, LocalFileThatCannotBeOpened) {
  ScriptServer srv;
  begin(srv, DataMode::Passive);
  openLog();
  size_t before = srv.commands().size();

  // Upload: refused before anything is sent, in both ways of use.
  EXPECT_EQ(zubPutFile(0, "missing.bin"), ZUB_E_CANNOT_OPEN_FILE);
  zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
  EXPECT_EQ(zubPutFile(0, "missing.bin:x"), ZUB_E_CANNOT_OPEN_FILE);
  EXPECT_EQ(rec_->nextState, 0);
  zubSetInteger(0, ZUB_SET_AUTO_CALL, 1);
  EXPECT_EQ(srv.commands().size(), before);

  // Download: known only after RETR, when the file is to be created.
  srv.openData(DataMode::Passive);
  srv.expect("RETR a.bin\r\n");
  srv.connectData(DataMode::Passive);
  srv.send("150 Opening data connection.\r\n");
  EXPECT_EQ(zubGetFile(0, "a.bin:no-such-dir/a.bin"), -1);
  EXPECT_EQ(rec_->nextState, 0);
  EXPECT_EQ(rec_->localFile, 0);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty()) << ::testing::PrintToString(srv.errors());
  std::string log = readLog();
  EXPECT_NE(find(log, " ThisState=305 NextState=307\r\n"), std::string::npos) << log;
  EXPECT_NE(find(log, "SockCode=-1 zubCode=-28 PrevState=30"), std::string::npos);
  // The error exit leaves no data socket behind.
  EXPECT_EQ(rec_->dataSock, 0);

  // Null names and buffers are refused.
  EXPECT_EQ(zubGetFile(0, nullptr), ZUB_E_NULL_ARGUMENT);
  EXPECT_EQ(zubPutFile(0, nullptr), ZUB_E_NULL_ARGUMENT);
  EXPECT_EQ(zubGetList(0, ZUB_LIST, nullptr, 10), ZUB_E_NULL_ARGUMENT);
}

TEST_F(TransferTest, CallerDrivenDownloadAndCountersThatWrap) {
  ScriptServer srv;
  begin(srv, DataMode::Passive);
  const std::string body = binaryBytes(9000);
  srv.serveRetr(DataMode::Passive, "c.bin", body);
  zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
  ASSERT_EQ(zubGetFile(0, "c.bin"), 0);
  EXPECT_EQ(rec_->nextState, 301);
  // Near the top of the 32-bit range the counters wrap as their type says.
  rec_->getBytes = INT32_MAX - 999;
  rec_->getBytesTotal = INT32_MAX;
  std::vector<int32_t> states;
  int32_t r;
  int guard = 0;
  while ((r = zubDriver(0)) > 0 && ++guard < 100000) {
    if (r != ZUB_BUSY && (states.empty() || states.back() != r)) states.push_back(r);
  }
  EXPECT_EQ(r, 0);
  EXPECT_EQ(states, (std::vector<int32_t>{900, 901, 902, 302, 304, 305, 307, 308, 350}));
  EXPECT_EQ(readFile(local("c.bin")), body);
  EXPECT_EQ(rec_->getBytes, static_cast<int32_t>(static_cast<uint32_t>(INT32_MAX - 999) + 9000u));
  EXPECT_EQ(rec_->getBytesTotal, static_cast<int32_t>(static_cast<uint32_t>(INT32_MAX) + 9000u));
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty()) << ::testing::PrintToString(srv.errors());
}

// A transfer abandoned half-way in caller-driven use leaves its data socket
// or listener open; the next one closes it before opening its own, so
// nothing leaks and no stray byte reaches the new transfer.
TEST_F(TransferTest, LeftoverDataSocketAndListenerAreClosedFirst) {
  ScriptServer srv;
  begin(srv, DataMode::Passive);
  openLog();
  srv.expect("PASV\r\n");
  srv.pasvReply();
  srv.acceptPassiveData();
  srv.dataSend("STRAY BYTES\r\n");
  srv.serveList(DataMode::Passive, "LIST\r\n", "real\r\n");
  zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
  ASSERT_EQ(zubGetFile(0, "abandoned.bin"), 0);
  for (int i = 0; i < 100000 && rec_->nextState != 302; ++i) ASSERT_GT(zubDriver(0), 0);
  ASSERT_NE(rec_->dataSock, 0);
  zubSetInteger(0, ZUB_SET_AUTO_CALL, 1);
  char buf[64];
  EXPECT_EQ(zubGetList(0, ZUB_LIST, buf, sizeof buf), 6);
  EXPECT_STREQ(buf, "real\r\n");
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty()) << ::testing::PrintToString(srv.errors());
  std::string log = normalisedLog();
  size_t dataPort = log.find("DataPort = ", log.find("*** zubGetList"));
  ASSERT_NE(dataPort, std::string::npos) << log;
  EXPECT_EQ(log.compare(log.find("\r\n", dataPort) + 2, 21, "Closing data socket\r\n"), 0) << log;

  // Active mode: a listener left by the PORT exchange.
  zubSetInteger(0, ZUB_SET_PASSIVE, 0);
  srv.openData(DataMode::Active);
  srv.serveList(DataMode::Active, "LIST\r\n", "again\r\n");
  zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
  ASSERT_EQ(zubGetFile(0, "abandoned.bin"), 0);
  for (int i = 0; i < 100000 && rec_->nextState != 302; ++i) ASSERT_GT(zubDriver(0), 0);
  const int32_t leftover = rec_->listenSock;
  ASSERT_NE(leftover, 0);
  zubSetInteger(0, ZUB_SET_AUTO_CALL, 1);
  EXPECT_EQ(zubGetList(0, ZUB_LIST, buf, sizeof buf), 7);
  EXPECT_STREQ(buf, "again\r\n");
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty()) << ::testing::PrintToString(srv.errors());
  log = normalisedLog();
  size_t port = log.find("<910:T>", log.rfind("*** zubGetList"));
  ASSERT_NE(port, std::string::npos);
  EXPECT_EQ(log.find("Closing listener socket\r\nBinding 127.0.0.1 to port ", port), log.find("Closing", port))
      << log;
}

// A failed accept is returned as it stands and leaves the channel waiting in
// the accept state; nothing is closed or logged as an error.
TEST_F(TransferTest, FailedAcceptLeavesTheChannelWaiting) {
  ScriptServer srv;
  begin(srv, DataMode::Active);
  openLog();
  srv.openData(DataMode::Active);
  srv.expect("RETR a.bin\r\n");
  srv.portConnect();
  platFaultSet(PLAT_OP_ACCEPT, 1, PLAT_WSAECONNRESET);
  EXPECT_EQ(zubGetFile(0, "a.bin"), -PLAT_WSAECONNRESET);
  platFaultClearAll();
  EXPECT_EQ(rec_->nextState, 921);
  EXPECT_NE(rec_->listenSock, 0);
  EXPECT_EQ(readLog().find("ERROR("), std::string::npos);
  EXPECT_EQ(zubAbort(0), 1);
  EXPECT_EQ(rec_->listenSock, 0);
  ASSERT_TRUE(srv.waitDone());
}

TEST_F(TransferTest, SetModeSendsTheType) {
  ScriptServer srv;
  begin(srv, DataMode::Passive);
  srv.expect("TYPE I\r\n");
  srv.send("200 Switching to Binary mode.\r\n");
  srv.expect("TYPE A\r\n");
  srv.send("200 Switching to ASCII mode.\r\n");
  EXPECT_EQ(zubSetMode(0, 'b'), ZUB_E_BAD_MODE);
  EXPECT_EQ(zubSetMode(0, 'B'), 0);
  EXPECT_EQ(rec_->binaryMode, 1);
  EXPECT_EQ(zubSetMode(0, 0x100 + 'A'), 0);
  EXPECT_EQ(rec_->binaryMode, 0);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty()) << ::testing::PrintToString(srv.errors());
}

INSTANTIATE_TEST_SUITE_P(Transfers, BothModes, ::testing::Values(DataMode::Passive, DataMode::Active), modeName);

}  // namespace
}  // namespace zubtest
