// Proves the server fixtures without the library: each of the four real
// servers greets, accepts the test account and says goodbye, over plain sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "interop_env.h"

namespace {

struct Control {
  int fd = -1;
  std::string pending;  // bytes received after the last complete line
};

bool connectTo(Control& ctl, const InteropServer& server) {
  ctl.fd = socket(AF_INET, SOCK_STREAM, 0);
  if (ctl.fd < 0) return false;
  timeval limit{10, 0};  // a silent server fails the test instead of hanging it
  setsockopt(ctl.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(ctl.fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(server.port);
  inet_pton(AF_INET, server.host.c_str(), &addr.sin_addr);
  return connect(ctl.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

// One CRLF-terminated line without its CRLF; empty with ok=false on close or timeout.
std::string readLine(Control& ctl, bool& ok) {
  ok = true;
  for (;;) {
    size_t end = ctl.pending.find("\r\n");
    if (end != std::string::npos) {
      std::string line = ctl.pending.substr(0, end);
      ctl.pending.erase(0, end + 2);
      return line;
    }
    char buf[512];
    ssize_t got = recv(ctl.fd, buf, sizeof buf, 0);
    if (got <= 0 || ctl.pending.size() > 65536) {
      ok = false;
      return {};
    }
    ctl.pending.append(buf, static_cast<size_t>(got));
  }
}

// The whole reply, multi-line ones included; its code, or -1 when none arrived.
int readReply(Control& ctl, std::string& text) {
  bool ok = false;
  std::string line = readLine(ctl, ok);
  text = line;
  if (!ok || line.size() < 4) return -1;
  std::string code = line.substr(0, 3);
  if (line[3] == '-') {
    // pure-ftpd's greeting, transfer and goodbye replies span several lines
    while (!(line.size() >= 4 && line.compare(0, 3, code) == 0 && line[3] == ' ')) {
      line = readLine(ctl, ok);
      if (!ok) return -1;
      text += "\n" + line;
    }
  }
  return std::atoi(code.c_str());
}

int command(Control& ctl, const std::string& cmd, std::string& text) {
  std::string wire = cmd + "\r\n";
  if (send(ctl.fd, wire.data(), wire.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(wire.size())) return -1;
  return readReply(ctl, text);
}

}  // namespace

TEST(ServersSmoke, EachServerGreetsLogsInAndQuits) {
  for (const char* name : INTEROP_SERVERS) {
    SCOPED_TRACE(name);
    InteropServer server = loadInteropServer(name);
    ASSERT_TRUE(server.available) << server.problem;
    struct stat info{};
    EXPECT_EQ(stat(server.rootDir.c_str(), &info), 0) << server.rootDir;
    EXPECT_TRUE(S_ISDIR(info.st_mode)) << server.rootDir;

    Control ctl;
    ASSERT_TRUE(connectTo(ctl, server)) << server.host << ":" << server.port;
    std::string text;
    EXPECT_EQ(readReply(ctl, text), 220) << text;
    EXPECT_EQ(command(ctl, "USER " + server.user, text), 331) << text;
    EXPECT_EQ(command(ctl, "PASS " + server.pass, text), 230) << text;
    EXPECT_EQ(command(ctl, "PWD", text), 257) << text;
    EXPECT_NE(text.find("\"/\""), std::string::npos) << "not confined to its root: " << text;
    EXPECT_EQ(command(ctl, "QUIT", text), 221) << text;
    close(ctl.fd);
  }
}
