// Small helpers shared by the unit tests.
#include "test_util.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/channel.h"
#include "core/trace.h"
#include "platform/platform.h"
#include "support/host.h"

namespace zubtest {

// A name no other test process uses at the same time: the clock and a
// counter, tried until create_directory makes a new one.
TempDir::TempDir() {
  static std::atomic<uint32_t> counter{0};
  std::error_code ec;
  std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  for (int attempt = 0; attempt < 100 && !ec; attempt++) {
    uint64_t stamp = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::string name = "zubtest-" + std::to_string(stamp % 1000000007u) + "-" + std::to_string(counter++);
    std::filesystem::path dir = base / name;
    if (std::filesystem::create_directory(dir, ec)) {
      // Slashes only: the library takes either separator, the tests compare texts.
      path_ = dir.generic_string();
      return;
    }
  }
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

bool fdIsOpen(int32_t fd) { return hostHandleIsOpen(fd); }

int32_t ownDataPorts() { return 1100 + (hostProcessId() % 56) * 16; }


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
  const std::string queueLoad = "zubQueueLoad=";
  std::string out;
  size_t i = 0;
  while (i < log.size()) {
    size_t t = 0;
    size_t n = 0;
    if (log.compare(i, queueLoad.size(), queueLoad) == 0 && (n = digitsAt(log, i + queueLoad.size())) > 0 &&
        log.compare(i + queueLoad.size() + n, 2, "\r\n") == 0) {
      i += queueLoad.size() + n + 2;
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

int openDescriptorCount() { return hostOpenHandleCount(); }

namespace {

// A socket bound to an ephemeral port of 127.0.0.1; its port in *port.
int32_t boundLoopbackSocket(uint16_t* port) {
  int32_t sock = platSocket();
  PlatSockAddr sa{};
  sa.family = PLAT_AF_INET;
  sa.addrNet = platHtonl(0x7F000001u);
  if (sock == PLAT_INVALID || platBind(sock, &sa) != 0 || platGetSockName(sock, &sa) != 0) return sock;
  *port = platNtohs(sa.portNet);
  return sock;
}

}  // namespace

// The time of a state line ("<106:SSS.mmm>", the tick's low 19 bits) in ms.
static int32_t stateTime(const std::string& log, int32_t state) {
  char head[8];
  std::snprintf(head, sizeof head, "<%3d:", state);
  size_t at = log.find(head);
  if (at == std::string::npos || at + 13 > log.size()) return -1;
  return std::stoi(log.substr(at + 5, 3)) * 1000 + std::stoi(log.substr(at + 9, 3));
}

int32_t stateGap(const std::string& log, int32_t from, int32_t to) {
  int32_t a = stateTime(log, from), b = stateTime(log, to);
  if (a < 0 || b < 0) return -1;
  return (b - a + 524288) % 524288;
}

UnreachablePorts::UnreachablePorts() {
  refusingFd_ = boundLoopbackSocket(&refusing);
  droppingFd_ = boundLoopbackSocket(&dropping);
  platListen(droppingFd_, 0);
  PlatSockAddr sa{};
  sa.family = PLAT_AF_INET;
  sa.addrNet = platHtonl(0x7F000001u);
  sa.portNet = platHtons(dropping);
  // A queue of 0 still takes a connection or two; these fill it.
  for (int& fd : fillers_) {
    fd = platSocket();
    uint32_t nonBlocking = 1;
    platSetNonBlocking(fd, &nonBlocking);
    platConnect(fd, &sa);
  }
}

UnreachablePorts::~UnreachablePorts() {
  for (int fd : fillers_) {
    if (fd > 0) platCloseSocket(fd);
  }
  if (droppingFd_ > 0) platCloseSocket(droppingFd_);
  if (refusingFd_ > 0) platCloseSocket(refusingFd_);
}

}  // namespace zubtest
