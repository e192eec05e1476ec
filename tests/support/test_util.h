// Small helpers shared by the unit tests: temporary directories, reading a
// file back whole, and closing a channel's trace log after a test.
#pragma once

#include <cstdint>
#include <chrono>
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

// Milliseconds of real time since a mark.  Lower bounds on a pause are
// measured with this, not with platTickCount: under Wine the tick count lags
// the real clock by more than its own step (a 62 ms sleep read as 52 ticks).
using Mark = std::chrono::steady_clock::time_point;
inline Mark markNow() { return std::chrono::steady_clock::now(); }
inline uint32_t msSince(Mark m) {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m).count());
}
// A Windows sleep may end up to one timer tick early.
constexpr uint32_t kTimerSlackMs = 16;

// The first of 16 active-mode ports of this test process's own: clear of the
// ephemeral range and of the blocks of test processes running beside it.
int32_t ownDataPorts();

// True while the file descriptor is open in this process.
bool fdIsOpen(int32_t fd);
// The number of descriptors open in this process (-1 if unknown).
int openDescriptorCount();

// A trace log with what varies from run to run replaced: the time of state
// lines ("<101:T>") and of ERROR lines ("ERROR(T)"), the socket of send and
// recv lines ("send(S):").  The ring's "zubQueueLoad=N" lines (N >= 0) are
// dropped: whether one appears, and its count, depend on how much of a reply
// had arrived when the reader looked.  The end ("zubQueueLoad=-1") stays.
std::string normaliseTraceLog(const std::string& log);

// Milliseconds from the first state line of `from` in a trace log to the
// first of `to` (their times wrap), or -1 when either is missing.
int32_t stateGap(const std::string& log, int32_t from, int32_t to);

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
