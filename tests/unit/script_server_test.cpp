// Self-test of the scripted FTP server, driven by plain sockets standing in
// for the client.
#include "support/script_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

using zubtest::DataMode;
using zubtest::ScriptServer;
using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// A blocking loopback socket with small read helpers; every read waits at
// most a few seconds so a broken server fails the test instead of hanging it.
struct RawSocket {
  int fd = -1;
  std::string buffered;

  RawSocket() = default;
  explicit RawSocket(uint16_t port) { connectTo(port); }
  RawSocket(const RawSocket&) = delete;
  RawSocket& operator=(const RawSocket&) = delete;
  ~RawSocket() { shut(); }

  void connectTo(uint16_t port) {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) shut();
  }
  void shut() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  void put(const std::string& s) const {
    for (size_t off = 0; off < s.size();) {
      ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return;
      off += static_cast<size_t>(n);
    }
  }
  // One receive after waiting for readability; "" on time-out or close.
  std::string some(int ms = 5000) {
    if (!buffered.empty()) return std::exchange(buffered, std::string());
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return "";
    char buf[65536];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }
  std::string line(int ms = 5000) {
    Clock::time_point start = Clock::now();
    while (buffered.find('\n') == std::string::npos && msSince(start) < ms) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buf[4096];
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      buffered.append(buf, static_cast<size_t>(n));
    }
    size_t lf = buffered.find('\n');
    std::string out = lf == std::string::npos ? buffered : buffered.substr(0, lf + 1);
    buffered.erase(0, out.size());
    return out;
  }
  std::string untilClose(int ms = 5000) {
    std::string out = std::exchange(buffered, std::string());
    for (std::string piece = some(ms); !piece.empty(); piece = some(ms)) out += piece;
    return out;
  }
  // True when the peer has closed (or reset) within ms.
  bool closedWithin(int ms = 5000) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return false;
    char c;
    return ::recv(fd, &c, 1, 0) <= 0;
  }
};

struct RawListener {
  int fd = -1;
  uint16_t port = 0;
  RawListener() {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::listen(fd, 1);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.sin_port);
  }
  ~RawListener() { ::close(fd); }
  std::string portLine() const {
    return "PORT 127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 0xff) + "\r\n";
  }
  void acceptInto(RawSocket* s) const {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) > 0) s->fd = ::accept(fd, nullptr, nullptr);
  }
};

int openFdCount() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d) != nullptr) ++n;
    ::closedir(d);
  }
  return n;
}

uint16_t pasvPort(const std::string& reply) {
  size_t open = reply.find('(');
  unsigned h1, h2, h3, h4, p1, p2;
  if (open == std::string::npos ||
      std::sscanf(reply.c_str() + open, "(%u,%u,%u,%u,%u,%u)", &h1, &h2, &h3, &h4, &p1, &p2) != 6) {
    return 0;
  }
  return static_cast<uint16_t>(p1 * 256 + p2);
}

TEST(ScriptServer, RecordsTheExactTranscriptAndStopsAtAnUnexpectedLine) {
  ScriptServer srv;
  srv.greet();
  srv.login("anna", "secret");
  srv.expectAny();
  srv.send("200 any\r\n");
  srv.expectBytes("NOOP");
  srv.send("200 bytes\r\n");
  srv.expect("PWD\r\n");
  srv.send("257 \"/\"\r\n");  // never sent: the script stops at the mismatch
  ASSERT_TRUE(srv.start());

  RawSocket c(srv.port());
  EXPECT_EQ(c.line(), "220 Script server ready.\r\n");
  c.put("USER anna\r\nPASS secret\r\n");  // two commands in one segment
  EXPECT_EQ(c.line(), "331 Password required.\r\n");
  EXPECT_EQ(c.line(), "230 Logged in.\r\n");
  c.put("SYST\r\n");
  EXPECT_EQ(c.line(), "200 any\r\n");
  c.put("NOOP");
  EXPECT_EQ(c.line(), "200 bytes\r\n");
  c.put("XPWD\r\n");
  EXPECT_TRUE(c.closedWithin());

  EXPECT_TRUE(srv.waitDone());
  EXPECT_EQ(srv.transcript(), "USER anna\r\nPASS secret\r\nSYST\r\nNOOPXPWD\r\n");
  EXPECT_EQ(srv.commands(), (std::vector<std::string>{"USER anna", "PASS secret", "SYST", "NOOPXPWD"}));
  ASSERT_EQ(srv.errors().size(), 1u);
  EXPECT_NE(srv.errors()[0].find("expect [PWD\\r\\n]: got [XPWD\\r\\n]"), std::string::npos)
      << srv.errors()[0];
}

TEST(ScriptServer, SplitSendsAndDelaysReachTheClientInPieces) {
  ScriptServer srv;
  srv.sendSplit("220 Ready\r\n", {3}, 300);
  srv.expect("A\r\n");
  srv.send("221 half");
  srv.expect("B\r\n");  // the rest of the line waits for the client
  srv.send("\r\n");
  srv.delay(300);
  srv.send("200 late\r\n");
  ASSERT_TRUE(srv.start());

  RawSocket c(srv.port());
  EXPECT_EQ(c.some(), "220");
  Clock::time_point firstPiece = Clock::now();
  EXPECT_EQ(c.line(), " Ready\r\n");
  EXPECT_GE(msSince(firstPiece), 250);
  c.put("A\r\n");
  EXPECT_EQ(c.some(), "221 half");
  c.put("B\r\n");
  EXPECT_EQ(c.some(), "\r\n");
  Clock::time_point lineEnd = Clock::now();
  EXPECT_EQ(c.line(), "200 late\r\n");
  EXPECT_GE(msSince(lineEnd), 250);
  EXPECT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty());
}

TEST(ScriptServer, PassiveDataConnectionsCarryBytesBothWays) {
  const std::string upload = "upload bytes\r\nsecond line";
  std::string download(300000, '\0');  // larger than the socket buffers
  for (size_t i = 0; i < download.size(); ++i) download[i] = static_cast<char>(i * 7 + 1);

  ScriptServer srv;
  srv.greet();
  srv.expect("PASV\r\n");
  uint16_t odd = srv.pasvReply("227 Odd ={hostport}= {p1} {p2} port {port}\r\n");
  srv.acceptPassiveData();
  srv.expect("STOR up\r\n");
  srv.send("150 go\r\n");
  srv.dataReceiveAll();
  srv.dataClose();
  srv.send("226 stored\r\n");
  srv.serveRetr(DataMode::Passive, "down", download);
  ASSERT_TRUE(srv.start());

  RawSocket c(srv.port());
  c.line();
  c.put("PASV\r\n");
  const std::string p1 = std::to_string(odd >> 8), p2 = std::to_string(odd & 0xff);
  EXPECT_EQ(c.line(), "227 Odd =127,0,0,1," + p1 + "," + p2 + "= " + p1 + " " + p2 + " port " +
                          std::to_string(odd) + "\r\n");
  {
    RawSocket data(odd);
    c.put("STOR up\r\n");
    EXPECT_EQ(c.line(), "150 go\r\n");
    data.put(upload);
  }
  EXPECT_EQ(c.line(), "226 stored\r\n");

  c.put("PASV\r\n");
  uint16_t port = pasvPort(c.line());
  ASSERT_NE(port, 0);
  RawSocket data(port);
  c.put("RETR down\r\n");
  EXPECT_EQ(c.line(), "150 Opening data connection.\r\n");
  EXPECT_TRUE(data.untilClose() == download);
  EXPECT_EQ(c.line(), "226 Transfer complete.\r\n");

  EXPECT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty()) << srv.errors()[0];
  EXPECT_EQ(srv.dataReceived(), std::vector<std::string>{upload});
}

TEST(ScriptServer, ActiveModeConnectsToTheClientsPortOnlyOnLoopback) {
  ScriptServer srv;
  srv.greet();
  srv.serveRetr(DataMode::Active, "f", "active bytes");
  srv.expect("PORT 10,0,0,5,4,1\r\n");
  srv.send("200 ok\r\n");
  srv.portConnect();
  ASSERT_TRUE(srv.start());

  RawSocket c(srv.port());
  RawListener listener;
  c.line();
  c.put(listener.portLine());
  EXPECT_EQ(c.line(), "200 PORT command successful.\r\n");
  c.put("RETR f\r\n");
  RawSocket data;
  listener.acceptInto(&data);
  ASSERT_GE(data.fd, 0);
  EXPECT_EQ(c.line(), "150 Opening data connection.\r\n");
  EXPECT_EQ(data.untilClose(), "active bytes");
  EXPECT_EQ(c.line(), "226 Transfer complete.\r\n");

  c.put("PORT 10,0,0,5,4,1\r\n");
  EXPECT_EQ(c.line(), "200 ok\r\n");
  EXPECT_TRUE(c.closedWithin());
  EXPECT_TRUE(srv.waitDone());
  ASSERT_EQ(srv.errors().size(), 1u);
  EXPECT_NE(srv.errors()[0].find("non-loopback"), std::string::npos) << srv.errors()[0];
}

TEST(ScriptServer, ReconnectsAfterCloseAndDropsOnRequest) {
  ScriptServer srv;
  srv.greet();
  srv.expect("QUIT\r\n");
  srv.send("221 bye\r\n");
  srv.expectClose();
  srv.closeControl(true);  // second connection: reset at once
  srv.greet("220 again\r\n");
  srv.silence();
  ASSERT_TRUE(srv.start());

  {
    RawSocket c(srv.port());
    c.line();
    c.put("QUIT\r\n");
    EXPECT_EQ(c.line(), "221 bye\r\n");
  }
  {
    RawSocket c(srv.port());
    EXPECT_TRUE(c.closedWithin());
  }
  {
    RawSocket c(srv.port());
    EXPECT_EQ(c.line(), "220 again\r\n");
    c.put("NOOP\r\n");
  }
  EXPECT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty());
  EXPECT_EQ(srv.connections(), 3u);
  EXPECT_EQ(srv.transcript(0), "QUIT\r\n");
  EXPECT_EQ(srv.transcript(2), "NOOP\r\n");
}

TEST(ScriptServer, AutoModeAnswersASessionFromItsTree) {
  ScriptServer srv;
  srv.autoMode("anna", "secret");
  srv.putFile("/pub/a.txt", "0123456789");
  srv.autoReply("SYST", "215 Custom\r\n");
  ASSERT_TRUE(srv.start());

  RawSocket c(srv.port());
  auto ask = [&](const std::string& cmd) {
    c.put(cmd + "\r\n");
    return c.line();
  };
  EXPECT_EQ(c.line().substr(0, 4), "220 ");
  EXPECT_EQ(ask("USER anna").substr(0, 4), "331 ");
  EXPECT_EQ(ask("PASS wrong").substr(0, 4), "530 ");
  ask("USER anna");
  EXPECT_EQ(ask("PASS secret").substr(0, 4), "230 ");
  EXPECT_EQ(ask("CWD pub").substr(0, 4), "250 ");
  EXPECT_EQ(ask("PWD"), "257 \"/pub\" is the current directory.\r\n");
  EXPECT_EQ(ask("MKD sub"), "257 \"/pub/sub\" created.\r\n");
  EXPECT_EQ(ask("RETR missing").substr(0, 4), "550 ");

  {
    RawSocket data(pasvPort(ask("PASV")));
    EXPECT_EQ(ask("STOR b.txt").substr(0, 4), "150 ");
    data.put("hello");
  }
  EXPECT_EQ(c.line().substr(0, 4), "226 ");
  std::string stored;
  EXPECT_TRUE(srv.getFile("/pub/b.txt", &stored));
  EXPECT_EQ(stored, "hello");

  EXPECT_EQ(ask("REST 4").substr(0, 4), "350 ");
  {
    RawSocket data(pasvPort(ask("PASV")));
    EXPECT_EQ(ask("RETR a.txt").substr(0, 4), "150 ");
    EXPECT_EQ(data.untilClose(), "456789");
    EXPECT_EQ(c.line().substr(0, 4), "226 ");
  }
  {
    RawListener listener;
    c.put(listener.portLine());
    EXPECT_EQ(c.line().substr(0, 4), "200 ");
    c.put("NLST\r\n");
    RawSocket data;
    listener.acceptInto(&data);
    EXPECT_EQ(c.line().substr(0, 4), "150 ");
    EXPECT_EQ(data.untilClose(), "a.txt\r\nb.txt\r\nsub\r\n");
    EXPECT_EQ(c.line().substr(0, 4), "226 ");
  }
  {
    RawSocket data(pasvPort(ask("PASV")));
    EXPECT_EQ(ask("LIST b.txt").substr(0, 4), "150 ");
    EXPECT_EQ(data.untilClose(), "-rw-r--r--    1 ftp      ftp             5 Jan 01  2024 b.txt\r\n");
    EXPECT_EQ(c.line().substr(0, 4), "226 ");
  }
  EXPECT_EQ(ask("RMD /pub").substr(0, 4), "550 ");  // not empty
  EXPECT_EQ(ask("DELE b.txt").substr(0, 4), "250 ");
  EXPECT_EQ(ask("RMD sub").substr(0, 4), "250 ");
  EXPECT_EQ(ask("SYST"), "215 Custom\r\n");
  EXPECT_EQ(ask("SITE x").substr(0, 4), "502 ");
  EXPECT_EQ(ask("QUIT").substr(0, 4), "221 ");
  EXPECT_TRUE(c.closedWithin());

  EXPECT_TRUE(srv.waitDone());
  EXPECT_TRUE(srv.errors().empty());
  EXPECT_FALSE(srv.getFile("/pub/b.txt", nullptr));
  EXPECT_FALSE(srv.hasDir("/pub/sub"));
  EXPECT_EQ(srv.transcript(0).substr(0, 11), "USER anna\r\n");
}

TEST(ScriptServer, TimesOutASilentClientAndStopsWithoutHanging) {
  const int fdsBefore = openFdCount();
  {
    ScriptServer srv;
    srv.setTimeout(200);
    srv.greet();
    srv.expect("USER anna\r\n");
    ASSERT_TRUE(srv.start());
    RawSocket c(srv.port());
    c.line();
    c.put("USE");  // never finished
    EXPECT_TRUE(c.closedWithin());
    EXPECT_TRUE(srv.waitDone());
    ASSERT_EQ(srv.errors().size(), 1u);
    EXPECT_NE(srv.errors()[0].find("nothing within 200 ms (partial input [USE])"), std::string::npos)
        << srv.errors()[0];
  }

  {
    ScriptServer scripted;
    scripted.setTimeout(60000);
    scripted.greet();
    scripted.expect("USER anna\r\n");
    ASSERT_TRUE(scripted.start());
    RawSocket c1(scripted.port());
    c1.line();

    ScriptServer automatic;
    automatic.autoMode();
    automatic.setTimeout(60000);
    automatic.putFile("/a", "x");
    ASSERT_TRUE(automatic.start());
    RawSocket c2(automatic.port());
    c2.line();
    c2.put("PASV\r\n");
    c2.line();
    c2.put("RETR a\r\n");  // the server now waits for a data connection that never comes
    EXPECT_FALSE(automatic.waitDone(100));

    Clock::time_point start = Clock::now();
    scripted.stop();
    automatic.stop();
    EXPECT_LT(msSince(start), 3000);
    EXPECT_TRUE(c1.closedWithin());
    EXPECT_TRUE(c2.closedWithin());
    ASSERT_EQ(scripted.errors().size(), 1u);
    EXPECT_NE(scripted.errors()[0].find("1 script actions not run, the first: expect [USER anna\\r\\n]"),
              std::string::npos)
        << scripted.errors()[0];
  }
  EXPECT_EQ(openFdCount(), fdsBefore);  // every socket and pipe closed
}

}  // namespace
