// Small helpers shared by the unit tests.
#include "test_util.h"

#include <atomic>
#include <chrono>
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

uint32_t tickStep() {
  static const uint32_t step = [] {
    uint32_t largest = 1;
    uint32_t last = platTickCount();
    for (int changes = 0; changes < 10;) {
      uint32_t now = platTickCount();
      if (now == last) continue;
      if (now - last > largest) largest = now - last;
      last = now;
      changes++;
    }
    return largest;
  }();
  return step;
}

bool fdIsOpen(int32_t fd) { return hostHandleIsOpen(fd); }

}  // namespace zubtest
