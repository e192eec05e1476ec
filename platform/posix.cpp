// The POSIX backend of the platform seam: BSD sockets, poll(), the monotonic
// clock, a recursive pthread mutex, calloc and plain file descriptors, with
// every failure reported in WinSock's numbering.
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

#include "platform/syscalls.h"

namespace {

uint32_t sysTickCount();
void sysSleep(uint32_t ms);

thread_local int32_t tLastError = 0;

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


// ---- Socket library ----

int32_t sysStartup(char* description, int32_t descCap) {
  static const char kDescription[] = "ZUB POSIX sockets 1.1";
  if (description != nullptr && descCap > 0) {
    int32_t i = 0;
    for (; i < descCap - 1 && kDescription[i] != '\0'; i++) description[i] = kDescription[i];
    description[i] = '\0';
  }
  return 0;
}

void sysCleanup() {}

int32_t sysLastError() { return tLastError; }
void sysSetLastError(int32_t err) { tLastError = err; }
int32_t sysIsBlocking() { return 0; }

int32_t sysSocket() {
  int fd = avoidZero(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
  if (fd < 0) return failFromErrno();
  setSockState(fd, 0);
  return fd;
}

int32_t sysConnect(int32_t sock, const PlatSockAddr* addr) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
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

int32_t sysBind(int32_t sock, const PlatSockAddr* addr) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
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

int32_t sysListen(int32_t sock, int32_t backlog) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  if (listen(sock, backlog) != 0) return failFromErrno();
  return 0;
}

int32_t sysAccept(int32_t sock, PlatSockAddr* peer) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
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

int32_t sysSend(int32_t sock, const void* data, int32_t count) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  if (count < 0) return failWith(PLAT_WSAEINVAL);
  ssize_t n;
  do {
    n = send(sock, data, static_cast<size_t>(count), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return failFromErrno();
  return static_cast<int32_t>(n);
}

int32_t sysRecv(int32_t sock, void* data, int32_t count) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  if (count < 0) return failWith(PLAT_WSAEINVAL);
  ssize_t n;
  do {
    n = recv(sock, data, static_cast<size_t>(count), 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return failFromErrno();
  return static_cast<int32_t>(n);
}

int32_t sysRecvReady(int32_t sock, void* data, int32_t count) {
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
  if (n < 0) return failFromErrno();
  return static_cast<int32_t>(n);
}

int32_t sysSendReady(int32_t sock, const void* data, int32_t count) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  if (count < 0) return failWith(PLAT_WSAEINVAL);
  ssize_t n;
  do {
    n = send(sock, data, static_cast<size_t>(count), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return PLAT_NOTHING_READY;
  if (n < 0) return failFromErrno();
  return static_cast<int32_t>(n);
}

int32_t sysCloseSocket(int32_t sock) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  // Forget the state first: once closed, the number may be reused at once.
  setSockState(sock, 0);
  // Linux frees the descriptor even when close reports EINTR.
  if (close(sock) != 0 && errno != EINTR) return failFromErrno();
  return 0;
}

int32_t sysSetNonBlocking(int32_t sock, uint32_t* arg) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  if (arg == nullptr) return failWith(PLAT_WSAEFAULT);
  int flags = fcntl(sock, F_GETFL);
  if (flags < 0) return failFromErrno();
  flags = *arg != 0 ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (fcntl(sock, F_SETFL, flags) != 0) return failFromErrno();
  return 0;
}

int32_t sysSocketError(int32_t sock) {
  if (sock <= 0) return PLAT_WSAENOTSOCK;
  int soError = 0;
  socklen_t len = sizeof soError;
  if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) return wsaFromErrno(errno);
  return soError == 0 ? 0 : wsaFromErrno(soError);
}

int32_t sysGetSockName(int32_t sock, PlatSockAddr* addr) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  if (addr == nullptr) return failWith(PLAT_WSAEFAULT);
  struct sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  socklen_t len = sizeof sa;
  if (getsockname(sock, reinterpret_cast<struct sockaddr*>(&sa), &len) != 0) return failFromErrno();
  fromSockaddr(&sa, addr);
  return 0;
}

int32_t sysGetHostName(char* buf, int32_t size) {
  if (buf == nullptr || size <= 0) return failWith(PLAT_WSAEFAULT);
  char name[HOST_NAME_MAX + 1];
  if (gethostname(name, sizeof name) != 0) return failFromErrno();
  name[HOST_NAME_MAX] = '\0';
  int32_t len = static_cast<int32_t>(std::strlen(name));
  if (len > size - 1) return failWith(PLAT_WSAEFAULT);  // as WinSock: buffer too small
  std::memcpy(buf, name, static_cast<size_t>(len) + 1);
  return 0;
}

int32_t sysResolve(const char* name, uint32_t* addrsNet, int32_t maxAddrs, int32_t* count) {
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

int32_t sysPollSocketAll(int32_t sock) {
  Readiness r = classify(sock, sock <= 0 ? 0 : pollOnce(sock, 0));
  return (r.readable ? 1 << PLAT_READABLE : 0) | (r.writable ? 1 << PLAT_WRITABLE : 0) |
         (r.error ? 1 << PLAT_ERROR : 0);
}

int32_t sysPollSocket(int32_t sock, int32_t mode) {
  if (mode != PLAT_READABLE && mode != PLAT_WRITABLE && mode != PLAT_ERROR) return 0;
  Readiness r = classify(sock, sock <= 0 ? 0 : pollOnce(sock, 0));
  if (mode == PLAT_READABLE) return r.readable ? 1 : 0;
  if (mode == PLAT_WRITABLE) return r.writable ? 1 : 0;
  return r.error ? 1 : 0;
}

int32_t sysWaitSockets(const PlatWait* items, int32_t count, uint32_t ms) {
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
  uint32_t start = sysTickCount();
  for (;;) {
    uint32_t elapsed = sysTickCount() - start;
    uint32_t left = elapsed >= ms ? 0 : ms - elapsed;
    int timeout = left > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(left);
    if (watched == 0) {
      // Nothing can change while no descriptor is watched: wait out the time.
      sysSleep(left);
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

uint32_t sysTickCount() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void sysSleep(uint32_t ms) {
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

void sysLockCreate() { pthread_once(&gLockOnce, lockInit); }

void sysLockEnter() {
  pthread_once(&gLockOnce, lockInit);
  pthread_mutex_lock(&gLock);
}

void sysLockLeave() { pthread_mutex_unlock(&gLock); }

// Kept alive on purpose (see above); attach creates it again as a no-op.
void sysLockDestroy() {}

// ---- Memory ----

void* sysAllocZeroed(uint32_t size) {
  return std::calloc(1, size == 0 ? 1 : size);
}

void sysFree(void* p) { std::free(p); }

// ---- Files ----
// The hidden attribute has no POSIX meaning and is ignored.  Write sharing
// is not denied: POSIX locks are advisory and would only stop this library
// itself, so "deny write" is accepted and not enforced.

int32_t sysFileCreate(const char* path, int32_t attribute, int32_t exclusive) {
  (void)attribute;
  int fd = openFile(path, O_WRONLY | O_CREAT | (exclusive != 0 ? O_EXCL : O_TRUNC));
  return fd < 0 ? PLAT_INVALID : fd;
}

int32_t sysFileOpen(const char* path, int32_t mode) {
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

int32_t sysFileRead(int32_t file, void* buf, int32_t count) {
  if (file <= 0 || count < 0 || buf == nullptr) return PLAT_INVALID;
  ssize_t n;
  do {
    n = read(file, buf, static_cast<size_t>(count));
  } while (n < 0 && errno == EINTR);
  return n < 0 ? PLAT_INVALID : static_cast<int32_t>(n);
}

int32_t sysFileWrite(int32_t file, const void* buf, int32_t count) {
  if (file <= 0 || count < 0 || (buf == nullptr && count > 0)) return PLAT_INVALID;
  ssize_t n;
  do {
    n = write(file, buf, static_cast<size_t>(count));
  } while (n < 0 && errno == EINTR);
  return n < 0 ? PLAT_INVALID : static_cast<int32_t>(n);
}

int64_t sysFileSeek(int32_t file, int64_t offset) {
  if (file <= 0 || offset < 0) return -1;
  off_t pos = lseek(file, static_cast<off_t>(offset), SEEK_SET);
  return pos < 0 ? -1 : static_cast<int64_t>(pos);
}

int32_t sysFileClose(int32_t file) {
  if (file <= 0) return PLAT_INVALID;
  if (close(file) != 0 && errno != EINTR) return PLAT_INVALID;
  return 0;
}

int32_t sysFileDelete(const char* path) {
  char local[PATH_MAX];
  if (!localPath(path, local)) return 0;
  return unlink(local) == 0 ? 1 : 0;
}

int32_t sysCurrentDir(char* buf, int32_t size) {
  if (buf == nullptr || size <= 0) return 0;
  buf[0] = '\0';
  char dir[PATH_MAX];
  if (getcwd(dir, sizeof dir) == nullptr) return 0;
  int32_t len = static_cast<int32_t>(std::strlen(dir));
  if (len > size - 1) return 0;
  std::memcpy(buf, dir, static_cast<size_t>(len) + 1);
  return len;
}

constexpr PlatSyscalls kPosixCalls = {
    .startup = sysStartup,
    .cleanup = sysCleanup,
    .lastError = sysLastError,
    .setLastError = sysSetLastError,
    .isBlocking = sysIsBlocking,
    .socket = sysSocket,
    .connect = sysConnect,
    .bind = sysBind,
    .listen = sysListen,
    .accept = sysAccept,
    .send = sysSend,
    .recv = sysRecv,
    .recvReady = sysRecvReady,
    .sendReady = sysSendReady,
    .closeSocket = sysCloseSocket,
    .setNonBlocking = sysSetNonBlocking,
    .socketError = sysSocketError,
    .getSockName = sysGetSockName,
    .getHostName = sysGetHostName,
    .resolve = sysResolve,
    .pollSocket = sysPollSocket,
    .pollSocketAll = sysPollSocketAll,
    .waitSockets = sysWaitSockets,
    .tickCount = sysTickCount,
    .sleep = sysSleep,
    .lockCreate = sysLockCreate,
    .lockEnter = sysLockEnter,
    .lockLeave = sysLockLeave,
    .lockDestroy = sysLockDestroy,
    .allocZeroed = sysAllocZeroed,
    .free = sysFree,
    .fileCreate = sysFileCreate,
    .fileOpen = sysFileOpen,
    .fileRead = sysFileRead,
    .fileWrite = sysFileWrite,
    .fileSeek = sysFileSeek,
    .fileClose = sysFileClose,
    .fileDelete = sysFileDelete,
    .currentDir = sysCurrentDir,
};

}  // namespace

const PlatSyscalls platSysDefault = kPosixCalls;
PlatSyscalls platSys = kPosixCalls;
