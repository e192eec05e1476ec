// Small helpers shared by the unit tests: temporary directories, reading a
// file back whole, and closing a channel's trace log after a test.
#pragma once

#include <cstdint>
#include <string>

namespace zubtest {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

// The whole content of a file ("" if it cannot be read).
std::string readFile(const std::string& path);

// Closes the channel's trace log, if one is open, and clears the library-wide
// log handle, so that a test leaves no open file behind.
void closeChannelLog(int32_t channel);

// The step in which platTickCount moves (1 ms on Linux, about 16 under
// Windows and Wine): a lower bound on a measured pause allows for it.
uint32_t tickStep();

// True while the file descriptor is open in this process.
bool fdIsOpen(int32_t fd);

}  // namespace zubtest
