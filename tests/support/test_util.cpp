// Small helpers shared by the unit tests.
#include "test_util.h"

#include <arpa/inet.h>
#include <dirent.h>
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

size_t digitsAt(const std::string& s, size_t at) {
  size_t n = 0;
  while (at + n < s.size() && s[at + n] >= '0' && s[at + n] <= '9') n++;
  return n;
}

// 7 when "ddd.ddd" stands at `at`, else 0.
size_t timeTextAt(const std::string& s, size_t at) {
  if (at + 7 > s.size() || s[at + 3] != '.') return 0;
  return digitsAt(s, at) == 3 && digitsAt(s, at + 4) == 3 ? 7 : 0;
}

}  // namespace

// Scanned by hand: std::regex trips GCC's uninitialised-use warning in
// sanitizer builds.
std::string normaliseTraceLog(const std::string& log) {
  const std::string queueLoad = "zubQueueLoad=0\r\n";
  std::string out;
  size_t i = 0;
  while (i < log.size()) {
    size_t t = 0;
    if (log.compare(i, queueLoad.size(), queueLoad) == 0) {
      i += queueLoad.size();
    } else if (log[i] == '<' && i + 5 < log.size() && log[i + 4] == ':' && (t = timeTextAt(log, i + 5)) != 0 &&
               i + 5 + t < log.size() && log[i + 5 + t] == '>') {
      out += log.substr(i, 5) + "T>";
      i += 5 + t + 1;
    } else if (log.compare(i, 6, "ERROR(") == 0 && (t = timeTextAt(log, i + 6)) != 0 &&
               log.compare(i + 6 + t, 1, ")") == 0) {
      out += "ERROR(T)";
      i += 6 + t + 1;
    } else if ((log.compare(i, 5, "send(") == 0 || log.compare(i, 5, "recv(") == 0) && digitsAt(log, i + 5) > 0 &&
               log.compare(i + 5 + digitsAt(log, i + 5), 2, "):") == 0) {
      out += log.substr(i, 5) + "S):";
      i += 5 + digitsAt(log, i + 5) + 2;
    } else {
      out += log[i++];
    }
  }
  return out;
}

int openDescriptorCount() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  while (readdir(d) != nullptr) n++;
  closedir(d);
  return n;
}

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
