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
// The number of descriptors open in this process (-1 if unknown).
int openDescriptorCount();

// A trace log with what varies from run to run replaced: the time of state
// lines ("<101:T>") and of ERROR lines ("ERROR(T)"), the socket of send and
// recv lines ("send(S):").  The ring's "zubQueueLoad=0" lines are dropped:
// whether one appears depends on whether a reply had arrived when the
// reader first looked.
std::string normaliseTraceLog(const std::string& log);

// Two loopback ports a data connection cannot use, held while the object
// lives: `refusing` is bound but not listening (an attempt is refused), and
// `dropping` listens with a full queue (an attempt is never answered).
class UnreachablePorts {
 public:
  UnreachablePorts();
  ~UnreachablePorts();
  UnreachablePorts(const UnreachablePorts&) = delete;
  UnreachablePorts& operator=(const UnreachablePorts&) = delete;

  uint16_t refusing = 0;
  uint16_t dropping = 0;

 private:
  int refusingFd_ = -1;
  int droppingFd_ = -1;
  int fillers_[3] = {-1, -1, -1};
};

}  // namespace zubtest
