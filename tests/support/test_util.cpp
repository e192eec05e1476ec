// Small helpers shared by the unit tests.
#include "test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/channel.h"
#include "core/trace.h"
#include "platform/platform.h"

namespace zubtest {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zubtest-XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  if (made != nullptr) path_ = made;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& name) const { return path_ + "/" + name; }

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void closeChannelLog(int32_t channel) {
  int32_t err = 0;
  ChannelRecord* rec = checkChannel(channel, &err);
  if (rec != nullptr && rec->logFile != 0) {
    if (globalTraceLog == rec->logFile) globalTraceLog = 0;
    platFileClose(rec->logFile);
    rec->logFile = 0;
  }
}

bool fdIsOpen(int32_t fd) { return fcntl(fd, F_GETFD) != -1; }


namespace {

// A socket bound to an ephemeral port of 127.0.0.1; its port in *port.
int boundLoopbackSocket(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return fd;
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  *port = ntohs(sa.sin_port);
  return fd;
}

}  // namespace

UnreachablePorts::UnreachablePorts() {
  refusingFd_ = boundLoopbackSocket(&refusing);
  droppingFd_ = boundLoopbackSocket(&dropping);
  listen(droppingFd_, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(dropping);
  // A queue of 0 still takes a connection or two; these fill it.
  for (int& fd : fillers_) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  }
}

UnreachablePorts::~UnreachablePorts() {
  for (int fd : fillers_) {
    if (fd >= 0) close(fd);
  }
  if (droppingFd_ >= 0) close(droppingFd_);
  if (refusingFd_ >= 0) close(refusingFd_);
}

}  // namespace zubtest
