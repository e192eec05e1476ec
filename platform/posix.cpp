// The POSIX backend of the platform seam: BSD sockets, poll(), the monotonic
// clock, a recursive pthread mutex, calloc and plain file descriptors, with
// every failure reported in WinSock's numbering.
#if !defined(_WIN32)

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

thread_local int32_t tLastError = 0;

// ---- Fault injection ----

std::atomic<int32_t> gFaultCountdown[PLAT_OP_COUNT];
std::atomic<int32_t> gFaultError[PLAT_OP_COUNT];

// True when this call of op is the one chosen to fail; *error gets the error.
bool faultHit(PlatOp op, int32_t* error) {
  std::atomic<int32_t>& countdown = gFaultCountdown[op];
  int32_t n = countdown.load();
  while (n > 0) {
    if (countdown.compare_exchange_weak(n, n - 1)) {
      if (n != 1) return false;
      *error = gFaultError[op].load();
      return true;
    }
  }
  return false;
}

// ---- Error numbers ----

int32_t wsaFromErrno(int e) {
  switch (e) {
    case EINTR: return PLAT_WSAEINTR;
    case EBADF: return PLAT_WSAENOTSOCK;  // what closesocket & co. give for a bad handle
    case ENOTSOCK: return PLAT_WSAENOTSOCK;
    case EACCES: return PLAT_WSAEACCES;
    case EPERM: return PLAT_WSAEACCES;
    case EFAULT: return PLAT_WSAEFAULT;
    case ENAMETOOLONG: return PLAT_WSAEFAULT;  // gethostname into too small a buffer
    case EINVAL: return PLAT_WSAEINVAL;
    case EMFILE: return PLAT_WSAEMFILE;
    case ENFILE: return PLAT_WSAEMFILE;
    case EAGAIN: return PLAT_WSAEWOULDBLOCK;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK: return PLAT_WSAEWOULDBLOCK;
#endif
    case EINPROGRESS: return PLAT_WSAEWOULDBLOCK;  // a non-blocking connect under way
    case EALREADY: return PLAT_WSAEALREADY;
    case EDESTADDRREQ: return PLAT_WSAEDESTADDRREQ;
    case EMSGSIZE: return PLAT_WSAEMSGSIZE;
    case EPROTOTYPE: return PLAT_WSAEPROTOTYPE;
    case ENOPROTOOPT: return PLAT_WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return PLAT_WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return PLAT_WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return PLAT_WSAEOPNOTSUPP;
#if ENOTSUP != EOPNOTSUPP
    case ENOTSUP: return PLAT_WSAEOPNOTSUPP;
#endif
    case EAFNOSUPPORT: return PLAT_WSAEAFNOSUPPORT;
    case EADDRINUSE: return PLAT_WSAEADDRINUSE;
    case EADDRNOTAVAIL: return PLAT_WSAEADDRNOTAVAIL;
    case ENETDOWN: return PLAT_WSAENETDOWN;
    case ENETUNREACH: return PLAT_WSAENETUNREACH;
    case ENETRESET: return PLAT_WSAENETRESET;
    case ECONNABORTED: return PLAT_WSAECONNABORTED;
    case ECONNRESET: return PLAT_WSAECONNRESET;
    case ENOBUFS: return PLAT_WSAENOBUFS;
    case ENOMEM: return PLAT_WSAENOBUFS;
    case EISCONN: return PLAT_WSAEISCONN;
    case ENOTCONN: return PLAT_WSAENOTCONN;
    case EPIPE: return PLAT_WSAESHUTDOWN;
    case ESHUTDOWN: return PLAT_WSAESHUTDOWN;
    case ETIMEDOUT: return PLAT_WSAETIMEDOUT;
    case ECONNREFUSED: return PLAT_WSAECONNREFUSED;
    case EHOSTDOWN: return PLAT_WSAEHOSTDOWN;
    case EHOSTUNREACH: return PLAT_WSAEHOSTUNREACH;
    default: return PLAT_WSAEINVAL;
  }
}

int32_t failWith(int32_t wsaError) {
  tLastError = wsaError;
  return PLAT_INVALID;
}

int32_t failFromErrno() { return failWith(wsaFromErrno(errno)); }

// ---- Handles ----

// 0 means "none" in the library's records, so a descriptor 0 handed out by
// the system is moved above it.  Returns the descriptor, or -1 (errno set).
int avoidZero(int fd) {
  if (fd != 0) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
  int saved = errno;
  close(fd);
  errno = saved;
  return moved;
}

// ---- Connection-attempt tracking ----
// Linux poll() cannot tell a failed connection attempt from an established
// connection that was reset later, and it reports a never-connected socket
// as writable.  WinSock's select can, so the state of each descriptor's
// connection attempt is kept here.  Descriptors beyond the table fall back
// to what poll() alone can tell.
enum : uint8_t { SOCK_CONNECTING = 1, SOCK_CONNECT_FAILED = 2 };
constexpr int kTrackedSockets = 65536;
std::atomic<uint8_t> gSockState[kTrackedSockets];

uint8_t sockState(int fd) { return fd >= 0 && fd < kTrackedSockets ? gSockState[fd].load() : 0; }

void setSockState(int fd, uint8_t state) {
  if (fd >= 0 && fd < kTrackedSockets) gSockState[fd].store(state);
}

// Whether a connect failure means the attempt itself was made and failed
// (as opposed to a bad argument or an attempt already under way).
bool attemptFailed(int e) {
  switch (e) {
    case ECONNREFUSED:
    case ETIMEDOUT:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ECONNRESET:
    case EHOSTDOWN:
    case ENETDOWN:
      return true;
    default:
      return false;
  }
}

struct Readiness {
  bool readable;
  bool writable;
  bool error;
};

// Turns the poll() result of one socket into select()'s three answers, and
// advances the descriptor's connection-attempt state.
Readiness classify(int fd, short revents) {
  Readiness r{false, false, false};
  if (fd <= 0 || (revents & POLLNVAL) != 0) {
    r.error = true;
    return r;
  }
  uint8_t state = sockState(fd);
  bool broken = (revents & (POLLERR | POLLHUP)) != 0;
  if ((state & SOCK_CONNECTING) != 0 && revents != 0) {
    // The attempt has ended one way or the other.
    state = broken ? SOCK_CONNECT_FAILED : 0;
    setSockState(fd, state);
  }
  if ((state & SOCK_CONNECT_FAILED) != 0) {
    r.error = true;
    return r;
  }
  if ((state & SOCK_CONNECTING) != 0) return r;  // still under way
  // A reset or closed connection is readable so that recv reports it.
  r.readable = (revents & (POLLIN | POLLERR)) != 0;
  // POLLHUP without POLLIN is a socket that never had a connection (Linux
  // says POLLOUT for it): not writable.  A connection that ended reads as
  // POLLIN | POLLHUP and stays writable, so that send reports the failure.
  bool neverConnected = (revents & POLLHUP) != 0 && (revents & POLLIN) == 0;
  r.writable = (revents & POLLOUT) != 0 && !neverConnected;
  return r;
}

short pollOnce(int fd, int timeoutMs) {
  struct pollfd p;
  p.fd = fd;
  p.events = POLLIN | POLLOUT;
  p.revents = 0;
  int n;
  do {
    n = poll(&p, 1, timeoutMs);
  } while (n < 0 && errno == EINTR);
  return n > 0 ? p.revents : 0;
}

void toSockaddr(const PlatSockAddr* in, struct sockaddr_in* out) {
  std::memset(out, 0, sizeof *out);
  out->sin_family = static_cast<sa_family_t>(in->family);
  out->sin_port = in->portNet;
  out->sin_addr.s_addr = in->addrNet;
}

void fromSockaddr(const struct sockaddr_in* in, PlatSockAddr* out) {
  std::memset(out, 0, sizeof *out);
  out->family = static_cast<uint16_t>(in->sin_family);
  out->portNet = in->sin_port;
  out->addrNet = in->sin_addr.s_addr;
}

// Copies a path with backslashes turned into slashes.  False (errno
// ENAMETOOLONG or EFAULT) when it does not fit.
bool localPath(const char* path, char* out) {
  if (path == nullptr) {
    errno = EFAULT;
    return false;
  }
  int i = 0;
  for (; path[i] != '\0'; i++) {
    if (i >= PATH_MAX - 1) {
      errno = ENAMETOOLONG;
      return false;
    }
    out[i] = path[i] == '\\' ? '/' : path[i];
  }
  out[i] = '\0';
  return true;
}

int openFile(const char* path, int flags) {
  char local[PATH_MAX];
  if (!localPath(path, local)) return -1;
  int fd;
  do {
    fd = open(local, flags | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  return avoidZero(fd);
}

// ---- The global lock ----
// The mutex lives for the whole process: release and attach destroy and
// create it again, and a thread still entering it meanwhile must not meet a
// destroyed mutex.
pthread_once_t gLockOnce = PTHREAD_ONCE_INIT;
pthread_mutex_t gLock;

void lockInit() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&gLock, &attr);
  pthread_mutexattr_destroy(&attr);
}

}  // namespace

// ---- Byte order ----

uint16_t platHtons(uint16_t v) { return htons(v); }
uint32_t platHtonl(uint32_t v) { return htonl(v); }
uint32_t platNtohl(uint32_t v) { return ntohl(v); }
uint16_t platNtohs(uint16_t v) { return ntohs(v); }

// ---- Socket library ----

int32_t platStartup(char* description, int32_t descCap) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_STARTUP, &error)) return error;
  static const char kDescription[] = "ZUB POSIX sockets 1.1";
  if (description != nullptr && descCap > 0) {
    int32_t i = 0;
    for (; i < descCap - 1 && kDescription[i] != '\0'; i++) description[i] = kDescription[i];
    description[i] = '\0';
  }
  return 0;
}

void platCleanup() {}

int32_t platLastError() { return tLastError; }
void platSetLastError(int32_t err) { tLastError = err; }
int32_t platIsBlocking() { return 0; }

int32_t platSocket() {
  int32_t error = 0;
  if (faultHit(PLAT_OP_SOCKET, &error)) return failWith(error);
  int fd = avoidZero(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
  if (fd < 0) return failFromErrno();
  setSockState(fd, 0);
  return fd;
}

int32_t platConnect(int32_t sock, const PlatSockAddr* addr) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  int32_t error = 0;
  if (faultHit(PLAT_OP_CONNECT, &error)) return failWith(error);
  if (addr == nullptr) return failWith(PLAT_WSAEFAULT);
  struct sockaddr_in sa;
  toSockaddr(addr, &sa);
  if (connect(sock, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) == 0) {
    setSockState(sock, 0);
    return 0;
  }
  int e = errno;
  if (e == EINTR) {
    // An interrupted blocking connect goes on in the background; wait for
    // its outcome as the blocking call would have.
    int flags = fcntl(sock, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) == 0) {
      pollOnce(sock, -1);
      int soError = 0;
      socklen_t len = sizeof soError;
      if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) soError = errno;
      if (soError == 0) {
        setSockState(sock, 0);
        return 0;
      }
      e = soError;
    }
  }
  if (e == EINPROGRESS || e == EAGAIN) {
    setSockState(sock, SOCK_CONNECTING);
    return failWith(PLAT_WSAEWOULDBLOCK);
  }
  if (attemptFailed(e)) setSockState(sock, SOCK_CONNECT_FAILED);
  return failWith(wsaFromErrno(e));
}

int32_t platBind(int32_t sock, const PlatSockAddr* addr) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  int32_t error = 0;
  if (faultHit(PLAT_OP_BIND, &error)) return failWith(error);
  if (addr == nullptr) return failWith(PLAT_WSAEFAULT);
  // WinSock lets a port whose last connection lingers in TIME_WAIT be bound
  // again, which the active-mode listener relies on; Linux needs
  // SO_REUSEADDR for that.  A port with a live listener still fails.
  int on = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in sa;
  toSockaddr(addr, &sa);
  if (bind(sock, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) != 0) return failFromErrno();
  return 0;
}

int32_t platListen(int32_t sock, int32_t backlog) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  int32_t error = 0;
  if (faultHit(PLAT_OP_LISTEN, &error)) return failWith(error);
  if (listen(sock, backlog) != 0) return failFromErrno();
  return 0;
}

int32_t platAccept(int32_t sock, PlatSockAddr* peer) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  int32_t error = 0;
  if (faultHit(PLAT_OP_ACCEPT, &error)) return failWith(error);
  // As with WinSock, the accepted socket inherits the listener's
  // non-blocking mode.
  int listenerFlags = fcntl(sock, F_GETFL);
  int flags = SOCK_CLOEXEC;
  if (listenerFlags >= 0 && (listenerFlags & O_NONBLOCK) != 0) flags |= SOCK_NONBLOCK;
  struct sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  socklen_t len = sizeof sa;
  int fd;
  do {
    fd = accept4(sock, reinterpret_cast<struct sockaddr*>(&sa), &len, flags);
  } while (fd < 0 && errno == EINTR);
  fd = avoidZero(fd);
  if (fd < 0) return failFromErrno();
  setSockState(fd, 0);
  if (peer != nullptr) fromSockaddr(&sa, peer);
  return fd;
}

int32_t platSend(int32_t sock, const void* data, int32_t count) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  int32_t error = 0;
  if (faultHit(PLAT_OP_SEND, &error)) return failWith(error);
  if (count < 0) return failWith(PLAT_WSAEINVAL);
  ssize_t n;
  do {
    n = send(sock, data, static_cast<size_t>(count), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return failFromErrno();
  return static_cast<int32_t>(n);
}

int32_t platRecv(int32_t sock, void* data, int32_t count) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  int32_t error = 0;
  if (faultHit(PLAT_OP_RECV, &error)) return failWith(error);
  if (count < 0) return failWith(PLAT_WSAEINVAL);
  ssize_t n;
  do {
    n = recv(sock, data, static_cast<size_t>(count), 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return failFromErrno();
  return static_cast<int32_t>(n);
}

int32_t platRecvReady(int32_t sock, void* data, int32_t count) {
  if (count < 0) return failWith(PLAT_WSAEINVAL);
  // A poll reports such sockets as not readable; so does this.
  if (sock <= 0 || (sockState(sock) & (SOCK_CONNECTING | SOCK_CONNECT_FAILED)) != 0) return PLAT_NOTHING_READY;
  ssize_t n;
  do {
    n = recv(sock, data, static_cast<size_t>(count), MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return PLAT_NOTHING_READY;
  // An injected fault counts the receives that found the socket readable,
  // as platRecv's do when a poll comes first.
  int32_t error = 0;
  if (faultHit(PLAT_OP_RECV, &error)) return failWith(error);
  if (n < 0) return failFromErrno();
  return static_cast<int32_t>(n);
}

int32_t platCloseSocket(int32_t sock) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  // Forget the state first: once closed, the number may be reused at once.
  setSockState(sock, 0);
  // Linux frees the descriptor even when close reports EINTR.
  if (close(sock) != 0 && errno != EINTR) return failFromErrno();
  return 0;
}

int32_t platSetNonBlocking(int32_t sock, uint32_t* arg) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  if (arg == nullptr) return failWith(PLAT_WSAEFAULT);
  int flags = fcntl(sock, F_GETFL);
  if (flags < 0) return failFromErrno();
  flags = *arg != 0 ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (fcntl(sock, F_SETFL, flags) != 0) return failFromErrno();
  return 0;
}

int32_t platSocketError(int32_t sock) {
  if (sock <= 0) return PLAT_WSAENOTSOCK;
  int soError = 0;
  socklen_t len = sizeof soError;
  if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) return wsaFromErrno(errno);
  return soError == 0 ? 0 : wsaFromErrno(soError);
}

int32_t platGetSockName(int32_t sock, PlatSockAddr* addr) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  int32_t error = 0;
  if (faultHit(PLAT_OP_GETSOCKNAME, &error)) return failWith(error);
  if (addr == nullptr) return failWith(PLAT_WSAEFAULT);
  struct sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  socklen_t len = sizeof sa;
  if (getsockname(sock, reinterpret_cast<struct sockaddr*>(&sa), &len) != 0) return failFromErrno();
  fromSockaddr(&sa, addr);
  return 0;
}

int32_t platGetHostName(char* buf, int32_t size) {
  if (buf == nullptr || size <= 0) return failWith(PLAT_WSAEFAULT);
  char name[HOST_NAME_MAX + 1];
  if (gethostname(name, sizeof name) != 0) return failFromErrno();
  name[HOST_NAME_MAX] = '\0';
  int32_t len = static_cast<int32_t>(std::strlen(name));
  if (len > size - 1) return failWith(PLAT_WSAEFAULT);  // as WinSock: buffer too small
  std::memcpy(buf, name, static_cast<size_t>(len) + 1);
  return 0;
}

int32_t platResolve(const char* name, uint32_t* addrsNet, int32_t maxAddrs, int32_t* count) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_RESOLVE, &error)) return error;
  if (count != nullptr) *count = 0;
  if (name == nullptr || addrsNet == nullptr || count == nullptr || maxAddrs <= 0) return PLAT_WSAEFAULT;
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* list = nullptr;
  int rc = getaddrinfo(name, nullptr, &hints, &list);
  if (rc != 0) {
    switch (rc) {
      case EAI_NONAME:
#ifdef EAI_NODATA
      case EAI_NODATA:
#endif
        return PLAT_WSAHOST_NOT_FOUND;
#ifdef EAI_ADDRFAMILY
      case EAI_ADDRFAMILY:
        return PLAT_WSANO_DATA;  // the host exists but has no IPv4 address
#endif
      case EAI_AGAIN: return PLAT_WSATRY_AGAIN;
      case EAI_MEMORY: return PLAT_WSAENOBUFS;
      case EAI_SYSTEM: return wsaFromErrno(errno);
      default: return PLAT_WSANO_RECOVERY;
    }
  }
  int32_t n = 0;
  for (struct addrinfo* ai = list; ai != nullptr && n < maxAddrs; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET || ai->ai_addr == nullptr) continue;
    struct sockaddr_in sa;
    std::memcpy(&sa, ai->ai_addr, sizeof sa);
    uint32_t a = sa.sin_addr.s_addr;
    bool seen = false;
    for (int32_t i = 0; i < n && !seen; i++) seen = addrsNet[i] == a;
    if (!seen) addrsNet[n++] = a;
  }
  freeaddrinfo(list);
  if (n == 0) return PLAT_WSANO_DATA;
  *count = n;
  return 0;
}

int32_t platPollSocketAll(int32_t sock) {
  Readiness r = classify(sock, sock <= 0 ? 0 : pollOnce(sock, 0));
  return (r.readable ? 1 << PLAT_READABLE : 0) | (r.writable ? 1 << PLAT_WRITABLE : 0) |
         (r.error ? 1 << PLAT_ERROR : 0);
}

int32_t platPollSocket(int32_t sock, int32_t mode) {
  if (mode != PLAT_READABLE && mode != PLAT_WRITABLE && mode != PLAT_ERROR) return 0;
  Readiness r = classify(sock, sock <= 0 ? 0 : pollOnce(sock, 0));
  if (mode == PLAT_READABLE) return r.readable ? 1 : 0;
  if (mode == PLAT_WRITABLE) return r.writable ? 1 : 0;
  return r.error ? 1 : 0;
}

int32_t platWaitSockets(const PlatWait* items, int32_t count, uint32_t ms) {
  // The blocking loop waits on a channel's few sockets; more are not watched.
  constexpr int32_t kMaxWait = 64;
  struct pollfd fds[kMaxWait];
  int32_t n = items == nullptr || count < 0 ? 0 : (count < kMaxWait ? count : kMaxWait);
  int32_t watched = 0;
  for (int32_t i = 0; i < n; i++) {
    // A bad handle is an error condition: the caller must see it now.
    if (items[i].sock < 0) return 1;
    fds[i].fd = items[i].sock;
    fds[i].events = items[i].mode == PLAT_WRITABLE ? POLLOUT : POLLIN;
    fds[i].revents = 0;
    watched++;
  }
  uint32_t start = platTickCount();
  for (;;) {
    uint32_t elapsed = platTickCount() - start;
    uint32_t left = elapsed >= ms ? 0 : ms - elapsed;
    int timeout = left > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(left);
    if (watched == 0) {
      // Nothing can change while no descriptor is watched: wait out the time.
      platSleep(left);
      return 0;
    }
    int rc = poll(fds, static_cast<nfds_t>(n), timeout);
    if (rc < 0 && errno != EINTR) return 1;  // let the caller's own poll find out
    if (rc > 0) {
      for (int32_t i = 0; i < n; i++) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        // Judge by the same full poll as platPollSocket: the bits asked for
        // here alone cannot tell a reset connection from a fresh socket.
        Readiness r = classify(fds[i].fd, pollOnce(fds[i].fd, 0));
        bool ready = items[i].mode == PLAT_WRITABLE ? r.writable : r.readable;
        if (ready || r.error) return 1;
        // Reported but not ready means a final state (a never-connected
        // socket hangs up at once) that poll() would keep reporting: stop
        // watching it for this wait.
        fds[i].fd = -1;
        watched--;
      }
    }
    if (rc == 0) return 0;
    // Interrupted, or only sockets that will not get ready: go on with the
    // time left.
  }
}

// ---- Time ----

uint32_t platTickCount() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void platSleep(uint32_t ms) {
  if (ms == 0) {
    sched_yield();
    return;
  }
  struct timespec want;
  want.tv_sec = static_cast<time_t>(ms / 1000);
  want.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  struct timespec left;
  while (nanosleep(&want, &left) != 0 && errno == EINTR) want = left;
}

// ---- The global lock ----

void platLockCreate() { pthread_once(&gLockOnce, lockInit); }

void platLockEnter() {
  pthread_once(&gLockOnce, lockInit);
  pthread_mutex_lock(&gLock);
}

void platLockLeave() { pthread_mutex_unlock(&gLock); }

// Kept alive on purpose (see above); attach creates it again as a no-op.
void platLockDestroy() {}

// ---- Memory ----

void* platAllocZeroed(uint32_t size) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_ALLOC, &error)) return nullptr;
  return std::calloc(1, size == 0 ? 1 : size);
}

void platFree(void* p) { std::free(p); }

// ---- Files ----
// The hidden attribute has no POSIX meaning and is ignored.  Write sharing
// is not denied: POSIX locks are advisory and would only stop this library
// itself, so "deny write" is accepted and not enforced.

int32_t platFileCreate(const char* path, int32_t attribute) {
  (void)attribute;
  int32_t error = 0;
  if (faultHit(PLAT_OP_FILE_CREATE, &error)) return PLAT_INVALID;
  int fd = openFile(path, O_WRONLY | O_CREAT | O_TRUNC);
  return fd < 0 ? PLAT_INVALID : fd;
}

int32_t platFileCreateNew(const char* path, int32_t attribute) {
  (void)attribute;
  int32_t error = 0;
  if (faultHit(PLAT_OP_FILE_CREATE, &error)) return PLAT_INVALID;
  int fd = openFile(path, O_WRONLY | O_CREAT | O_EXCL);
  return fd < 0 ? PLAT_INVALID : fd;
}

int32_t platFileOpen(const char* path, int32_t mode) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_FILE_OPEN, &error)) return PLAT_INVALID;
  int flags;
  if (mode == PLAT_OF_READ_DENY_WRITE) {
    flags = O_RDONLY;
  } else if (mode == PLAT_OF_WRITE_DENY_WRITE) {
    flags = O_WRONLY;
  } else {
    return PLAT_INVALID;
  }
  int fd = openFile(path, flags);
  if (fd < 0) return PLAT_INVALID;
  // A directory opens for reading on POSIX but is no file to transfer.
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    return PLAT_INVALID;
  }
  return fd;
}

int32_t platFileRead(int32_t file, void* buf, int32_t count) {
  if (file <= 0) return PLAT_INVALID;
  int32_t error = 0;
  if (faultHit(PLAT_OP_FILE_READ, &error)) return PLAT_INVALID;
  if (count < 0 || buf == nullptr) return PLAT_INVALID;
  char* p = static_cast<char*>(buf);
  int32_t got = 0;
  while (got < count) {
    ssize_t n = read(file, p + got, static_cast<size_t>(count - got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return got > 0 ? got : PLAT_INVALID;
    if (n == 0) break;
    got += static_cast<int32_t>(n);
  }
  return got;
}

// All or nothing: a short write (disk full) is a failure.  A count of 0
// writes nothing.
int32_t platFileWrite(int32_t file, const void* buf, int32_t count) {
  if (file <= 0) return PLAT_INVALID;
  int32_t error = 0;
  if (faultHit(PLAT_OP_FILE_WRITE, &error)) return PLAT_INVALID;
  if (count < 0 || (buf == nullptr && count > 0)) return PLAT_INVALID;
  const char* p = static_cast<const char*>(buf);
  int32_t done = 0;
  while (done < count) {
    ssize_t n = write(file, p + done, static_cast<size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return PLAT_INVALID;
    done += static_cast<int32_t>(n);
  }
  return count;
}

int64_t platFileSeek(int32_t file, int64_t offset) {
  if (file <= 0 || offset < 0) return -1;
  off_t pos = lseek(file, static_cast<off_t>(offset), SEEK_SET);
  return pos < 0 ? -1 : static_cast<int64_t>(pos);
}

int32_t platFileClose(int32_t file) {
  if (file <= 0) return PLAT_INVALID;
  if (close(file) != 0 && errno != EINTR) return PLAT_INVALID;
  return 0;
}

int32_t platFileDelete(const char* path) {
  char local[PATH_MAX];
  if (!localPath(path, local)) return 0;
  return unlink(local) == 0 ? 1 : 0;
}

int32_t platCurrentDir(char* buf, int32_t size) {
  if (buf == nullptr || size <= 0) return 0;
  buf[0] = '\0';
  char dir[PATH_MAX];
  if (getcwd(dir, sizeof dir) == nullptr) return 0;
  int32_t len = static_cast<int32_t>(std::strlen(dir));
  if (len > size - 1) return 0;
  std::memcpy(buf, dir, static_cast<size_t>(len) + 1);
  return len;
}

// ---- Fault injection ----

void platFaultSet(PlatOp op, int32_t nth, int32_t error) {
  if (op < 0 || op >= PLAT_OP_COUNT) return;
  gFaultError[op].store(error);
  gFaultCountdown[op].store(nth > 0 ? nth : 0);
}

void platFaultClearAll() {
  for (int32_t i = 0; i < PLAT_OP_COUNT; i++) {
    gFaultCountdown[i].store(0);
    gFaultError[i].store(0);
  }
}

#endif  // !_WIN32
