// What the test support needs of the operating system beside the library's
// own platform layer: non-blocking loopback sockets for the scripted server,
// a poll over several of them, wake-up pairs to interrupt a poll, and
// whether a handle is open.  host_posix.cpp and host_win32.cpp implement it;
// the build takes the target system's.  Failures set errno to the POSIX
// value (EAGAIN, EINTR, EINPROGRESS, ECONNABORTED, ...).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zubtest {

// The poll events the server waits for; revents may also carry others
// (an error, a hang-up): any nonzero revents means "look at it".
constexpr short HOST_POLLIN = 0x1;
constexpr short HOST_POLLOUT = 0x4;
struct HostPollFd {
  int fd;
  short events;
  short revents;
};
// As poll(): the count of entries with revents set, 0 at the time-out
// (-1 waits without end), -1 on failure.
int hostPoll(HostPollFd* fds, int count, int timeoutMs);

// A non-blocking listener on 127.0.0.1 with an ephemeral port; -1 on failure.
int hostListenLoopback(uint16_t* port);
// A non-blocking accepted socket, or -1.
int hostAccept(int listener);
// A non-blocking socket connecting to addrNet:portNet (network order), from
// fromNet when it is not 0 (another loopback address, to play a foreign
// host); -1, or the socket with errno EINPROGRESS when the attempt is under way.
int hostConnect(uint32_t addrNet, uint16_t portNet, bool* inProgress, uint32_t fromNet = 0);
// The error a connection attempt ended with; 0 if none.
int hostSocketError(int fd);
// Never wait and never raise a signal: the count, or -1 (errno EAGAIN when
// nothing could be moved now).  recv returns 0 at the end of the stream.
long hostRecv(int fd, void* buf, size_t size);
long hostSend(int fd, const void* buf, size_t size);
// reset: abort the connection (RST) instead of closing it in order.
void hostClose(int fd, bool reset);
void hostNoDelay(int fd);

// A pair of handles: hostWake(pair[1]) makes pair[0] readable for
// hostPoll until hostDrainWake(pair[0]).
bool hostWakePair(int pair[2]);
void hostWake(int fd);
void hostDrainWake(int fd);

// False where the system reads a connection the peer reset as one it closed
// in order: Wine's recv returns 0 there, not WSAECONNRESET (Windows and
// POSIX systems report the reset).
bool hostSeesPeerReset();

// This process's id: names and port blocks of parallel test processes differ.
int32_t hostProcessId();

// True while a socket or file handle of this process is open.
bool hostHandleIsOpen(int32_t handle);
// How many handles (descriptors) this process holds open now; -1 if unknown.
int hostOpenHandleCount();

}  // namespace zubtest
