// host.h on POSIX: BSD sockets, poll(), pipes.
#include "support/host.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace zubtest {

int hostPoll(HostPollFd* fds, int count, int timeoutMs) {
  constexpr int kMax = 8;
  if (count < 0 || count > kMax) {
    errno = EINVAL;
    return -1;
  }
  pollfd p[kMax];
  for (int i = 0; i < count; i++) {
    p[i].fd = fds[i].fd;
    p[i].events = static_cast<short>(((fds[i].events & HOST_POLLIN) != 0 ? POLLIN : 0) |
                                     ((fds[i].events & HOST_POLLOUT) != 0 ? POLLOUT : 0));
    p[i].revents = 0;
  }
  int r = ::poll(p, static_cast<nfds_t>(count), timeoutMs);
  for (int i = 0; i < count; i++) fds[i].revents = r > 0 ? p[i].revents : 0;
  return r;
}

int hostListenLoopback(uint16_t* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  *port = ntohs(sa.sin_port);
  return fd;
}

int hostAccept(int listener) { return ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC); }

int hostConnect(uint32_t addrNet, uint16_t portNet, bool* inProgress, uint32_t fromNet) {
  *inProgress = false;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (fromNet != 0) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = fromNet;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      int saved = errno;
      ::close(fd);
      errno = saved;
      return -1;
    }
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addrNet;
  sa.sin_port = portNet;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    if (errno != EINPROGRESS) {
      int saved = errno;
      ::close(fd);
      errno = saved;
      return -1;
    }
    *inProgress = true;
  }
  return fd;
}

int hostSocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

long hostRecv(int fd, void* buf, size_t size) { return ::recv(fd, buf, size, MSG_DONTWAIT); }

long hostSend(int fd, const void* buf, size_t size) {
  return ::send(fd, buf, size, MSG_NOSIGNAL | MSG_DONTWAIT);
}

void hostClose(int fd, bool reset) {
  if (reset) {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  ::close(fd);
}

void hostNoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool hostWakePair(int pair[2]) { return ::pipe2(pair, O_CLOEXEC | O_NONBLOCK) == 0; }

void hostWake(int fd) {
  char c = 1;
  (void)!::write(fd, &c, 1);  // a full pipe is already a pending wake-up
}

void hostDrainWake(int fd) {
  char buf[64];
  while (::read(fd, buf, sizeof buf) > 0) {
  }
}

bool hostSeesPeerReset() { return true; }

int32_t hostProcessId() { return static_cast<int32_t>(getpid()); }

bool hostHandleIsOpen(int32_t handle) { return fcntl(handle, F_GETFD) != -1; }

int hostOpenHandleCount() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  while (readdir(d) != nullptr) n++;
  closedir(d);
  return n;
}

}  // namespace zubtest
