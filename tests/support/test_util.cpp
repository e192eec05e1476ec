// Small helpers shared by the unit tests.
#include "test_util.h"

#include <fcntl.h>
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

}  // namespace zubtest
