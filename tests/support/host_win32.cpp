// host.h on Windows: WinSock with select(), loopback socket pairs for the
// wake-ups, errno set from the WinSock error.
#include "support/host.h"

#include <winsock2.h>
#include <windows.h>

#include <winternl.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace zubtest {

namespace {

// The tests' server may run before the library starts WinSock.
[[maybe_unused]] const bool gWinSockStarted = [] {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}();

SOCKET toSocket(int fd) { return static_cast<SOCKET>(static_cast<unsigned>(fd)); }

int fromSocket(SOCKET s) { return s == INVALID_SOCKET ? -1 : static_cast<int>(s); }

int failFromWinSock() {
  switch (WSAGetLastError()) {
    case WSAEWOULDBLOCK: errno = EAGAIN; break;
    case WSAEINPROGRESS: errno = EINPROGRESS; break;
    case WSAEINTR: errno = EINTR; break;
    case WSAECONNABORTED: errno = ECONNABORTED; break;
    case WSAECONNRESET: errno = ECONNRESET; break;
    case WSAECONNREFUSED: errno = ECONNREFUSED; break;
    case WSAENOTSOCK: errno = EBADF; break;
    default: errno = EIO; break;
  }
  return -1;
}

void setNonBlocking(SOCKET s) {
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
}

}  // namespace

int hostPoll(HostPollFd* fds, int count, int timeoutMs) {
  fd_set readable, writable, failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  int watched = 0;
  for (int i = 0; i < count; i++) {
    fds[i].revents = 0;
    if (fds[i].fd < 0) continue;
    SOCKET s = toSocket(fds[i].fd);
    if ((fds[i].events & HOST_POLLIN) != 0) FD_SET(s, &readable);
    if ((fds[i].events & HOST_POLLOUT) != 0) FD_SET(s, &writable);
    FD_SET(s, &failed);
    watched++;
  }
  if (watched == 0) {
    Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    return 0;
  }
  timeval tv;
  tv.tv_sec = timeoutMs / 1000;
  tv.tv_usec = (timeoutMs % 1000) * 1000;
  int r = select(0, &readable, &writable, &failed, timeoutMs < 0 ? nullptr : &tv);
  if (r == SOCKET_ERROR) return failFromWinSock();
  int ready = 0;
  for (int i = 0; i < count; i++) {
    if (fds[i].fd < 0) continue;
    SOCKET s = toSocket(fds[i].fd);
    short ev = 0;
    if (FD_ISSET(s, &readable)) ev |= HOST_POLLIN;
    if (FD_ISSET(s, &writable)) ev |= HOST_POLLOUT;
    if (FD_ISSET(s, &failed)) ev |= 0x8;  // an error condition
    fds[i].revents = ev;
    ready += ev != 0;
  }
  return ready;
}

int hostListenLoopback(uint16_t* port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return failFromWinSock();
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof sa;
  if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(s, 16) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    failFromWinSock();
    closesocket(s);
    return -1;
  }
  setNonBlocking(s);
  *port = ntohs(sa.sin_port);
  return fromSocket(s);
}

int hostAccept(int listener) {
  SOCKET s = accept(toSocket(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) return failFromWinSock();
  setNonBlocking(s);  // inherited from the listener already; made sure of
  return fromSocket(s);
}

int hostConnect(uint32_t addrNet, uint16_t portNet, bool* inProgress, uint32_t fromNet) {
  *inProgress = false;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return failFromWinSock();
  setNonBlocking(s);
  if (fromNet != 0) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = fromNet;
    if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      failFromWinSock();
      closesocket(s);
      return -1;
    }
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addrNet;
  sa.sin_port = portNet;
  if (connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    int e = WSAGetLastError();
    if (e != WSAEWOULDBLOCK && e != WSAEINPROGRESS) {
      failFromWinSock();
      closesocket(s);
      return -1;
    }
    errno = EINPROGRESS;
    *inProgress = true;
  }
  return fromSocket(s);
}

int hostSocketError(int fd) {
  int err = 0;
  int len = sizeof err;
  if (getsockopt(toSocket(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) {
    return WSAGetLastError();
  }
  return err;
}

long hostRecv(int fd, void* buf, size_t size) {
  int n = recv(toSocket(fd), static_cast<char*>(buf), static_cast<int>(size), 0);
  return n == SOCKET_ERROR ? failFromWinSock() : n;
}

long hostSend(int fd, const void* buf, size_t size) {
  int n = send(toSocket(fd), static_cast<const char*>(buf), static_cast<int>(size), 0);
  return n == SOCKET_ERROR ? failFromWinSock() : n;
}

void hostClose(int fd, bool reset) {
  if (reset) {
    linger l{1, 0};
    setsockopt(toSocket(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
  }
  closesocket(toSocket(fd));
}

void hostNoDelay(int fd) {
  BOOL one = TRUE;
  setsockopt(toSocket(fd), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

// WinSock's select watches sockets only: a connected loopback pair.
bool hostWakePair(int pair[2]) {
  uint16_t port = 0;
  int listener = hostListenLoopback(&port);
  if (listener < 0) return false;
  bool inProgress = false;
  int writer = hostConnect(htonl(INADDR_LOOPBACK), htons(port), &inProgress);
  HostPollFd p = {listener, HOST_POLLIN, 0};
  int reader = writer >= 0 && hostPoll(&p, 1, 5000) == 1 ? hostAccept(listener) : -1;
  hostClose(listener, false);
  if (reader < 0) {
    if (writer >= 0) hostClose(writer, false);
    return false;
  }
  pair[0] = reader;
  pair[1] = writer;
  return true;
}

void hostWake(int fd) {
  char c = 1;
  hostSend(fd, &c, 1);  // a full buffer is already a pending wake-up
}

void hostDrainWake(int fd) {
  char buf[64];
  while (hostRecv(fd, buf, sizeof buf) > 0) {
  }
}

// Wine's ntdll names its version; Windows' does not.
bool hostSeesPeerReset() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") == nullptr;
}

// Windows numbers processes in steps of four: the quotient spreads the
// blocks derived from it.
int32_t hostProcessId() { return static_cast<int32_t>(GetCurrentProcessId() / 4); }

bool hostHandleIsOpen(int32_t handle) {
  DWORD flags = 0;
  return GetHandleInformation(reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle)), &flags) != 0;
}

namespace {

// The ntdll calls that list a process's handles and name their types.
using QuerySystem = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
using QueryObject = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);

template <typename Fn>
Fn ntdllCall(const char* name) {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll == nullptr ? nullptr : reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(ntdll, name)));
}

// True for a handle of type File: files, sockets, pipes and devices.
bool isFileHandle(QueryObject query, HANDLE h) {
  constexpr ULONG kObjectTypeInformation = 2;
  struct {
    UNICODE_STRING name;  // the type's name, at the head of its description
    unsigned char rest[512];
  } info;
  ULONG got = 0;
  if (query(h, kObjectTypeInformation, &info, sizeof info, &got) < 0 || info.name.Buffer == nullptr) return false;
  static const wchar_t kFile[] = L"File";
  return info.name.Length == 2 * (sizeof kFile / sizeof kFile[0] - 1) &&
         std::memcmp(info.name.Buffer, kFile, info.name.Length) == 0;
}

}  // namespace

// The handles a POSIX process would hold as descriptors, counted from the
// system's handle table.  Not GetProcessHandleCount: Wine answers it with 0,
// and it would count threads and events, which come and go with the test's
// own threads (a finished thread not yet joined holds its handle).
int hostOpenHandleCount() {
  struct Entry {
    void* object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG access;
    USHORT creatorBackTrace;
    USHORT objectType;
    ULONG attributes;
    ULONG reserved;
  };
  struct Table {
    ULONG_PTR count;
    ULONG_PTR reserved;
    Entry entries[1];
  };
  constexpr ULONG kExtendedHandleInformation = 64;
  constexpr LONG kLengthMismatch = static_cast<LONG>(0xC0000004);
  auto querySystem = ntdllCall<QuerySystem>("NtQuerySystemInformation");
  auto queryObject = ntdllCall<QueryObject>("NtQueryObject");
  if (querySystem == nullptr || queryObject == nullptr) return -1;
  // The table covers every process, which open handles meanwhile: grow
  // until it fits.
  for (size_t size = size_t{1} << 20; size <= (size_t{1} << 28); size *= 2) {
    std::vector<unsigned char> buf(size);
    ULONG needed = 0;
    LONG status = querySystem(kExtendedHandleInformation, buf.data(), static_cast<ULONG>(size), &needed);
    if (status == kLengthMismatch) continue;
    if (status < 0) return -1;
    const Table* table = reinterpret_cast<const Table*>(buf.data());
    const ULONG_PTR self = GetCurrentProcessId();
    int n = 0;
    for (ULONG_PTR i = 0; i < table->count; i++) {
      const Entry& e = table->entries[i];
      n += e.processId == self && isFileHandle(queryObject, reinterpret_cast<HANDLE>(e.handle));
    }
    return n;
  }
  return -1;
}

}  // namespace zubtest
