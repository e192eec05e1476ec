// The Windows backend of the platform seam: WinSock 1.1, GetTickCount and
// Sleep, a critical section, GlobalAlloc and the Win32 file API.  WinSock's
// error numbers are the library's own, so they pass through unchanged.
#include <winsock.h>
#include <windows.h>

#include <cstring>

#include "platform/syscalls.h"

namespace {

// The error of this thread's last failed call, taken at the failure: a
// trace write between the failure and the caller's question would
// otherwise replace WSAGetLastError's value.
thread_local int32_t tLastError = 0;

int32_t failWith(int32_t error) {
  tLastError = error;
  return PLAT_INVALID;
}

int32_t failFromWinSock() { return failWith(WSAGetLastError()); }

SOCKET toSocket(int32_t sock) { return static_cast<SOCKET>(static_cast<uint32_t>(sock)); }

int32_t fromSocket(SOCKET s) { return s == INVALID_SOCKET ? PLAT_INVALID : static_cast<int32_t>(s); }

HANDLE toHandle(int32_t file) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(file)); }

int32_t fromHandle(HANDLE h) {
  if (h == INVALID_HANDLE_VALUE || h == nullptr) return PLAT_INVALID;
  return static_cast<int32_t>(reinterpret_cast<intptr_t>(h));
}

// ---- Socket library ----

int32_t sysStartup(char* description, int32_t descCap) {
  WSADATA data;
  std::memset(&data, 0, sizeof data);
  int rc = WSAStartup(MAKEWORD(1, 1), &data);
  if (rc != 0) return rc;
  if (description != nullptr && descCap > 0) {
    int32_t i = 0;
    for (; i < descCap - 1 && i < WSADESCRIPTION_LEN && data.szDescription[i] != '\0'; i++) {
      description[i] = data.szDescription[i];
    }
    description[i] = '\0';
  }
  return 0;
}

void sysCleanup() { WSACleanup(); }
int32_t sysLastError() { return tLastError; }

void sysSetLastError(int32_t err) {
  tLastError = err;
  WSASetLastError(err);
}

int32_t sysIsBlocking() { return WSAIsBlocking() ? 1 : 0; }

// ---- Sockets ----

int32_t sysSocket() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return failFromWinSock();
  return fromSocket(s);
}

void toSockaddr(const PlatSockAddr* in, sockaddr_in* out) {
  std::memset(out, 0, sizeof *out);
  out->sin_family = AF_INET;
  out->sin_port = in->portNet;
  out->sin_addr.s_addr = in->addrNet;
}

void fromSockaddr(const sockaddr_in* in, PlatSockAddr* out) {
  std::memset(out, 0, sizeof *out);
  out->family = PLAT_AF_INET;
  out->portNet = in->sin_port;
  out->addrNet = in->sin_addr.s_addr;
}

int32_t sysConnect(int32_t sock, const PlatSockAddr* addr) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  if (addr == nullptr) return failWith(PLAT_WSAEFAULT);
  sockaddr_in sa;
  toSockaddr(addr, &sa);
  if (connect(toSocket(sock), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return failFromWinSock();
  return 0;
}

int32_t sysBind(int32_t sock, const PlatSockAddr* addr) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  if (addr == nullptr) return failWith(PLAT_WSAEFAULT);
  sockaddr_in sa;
  toSockaddr(addr, &sa);
  if (bind(toSocket(sock), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return failFromWinSock();
  return 0;
}

int32_t sysListen(int32_t sock, int32_t backlog) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  if (listen(toSocket(sock), backlog) != 0) return failFromWinSock();
  return 0;
}

int32_t sysAccept(int32_t sock, PlatSockAddr* peer) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  int len = sizeof sa;
  SOCKET s = accept(toSocket(sock), reinterpret_cast<sockaddr*>(&sa), &len);
  if (s == INVALID_SOCKET) return failFromWinSock();
  if (peer != nullptr) fromSockaddr(&sa, peer);
  return fromSocket(s);
}

int32_t sysSend(int32_t sock, const void* data, int32_t count) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  if (count < 0) return failWith(PLAT_WSAEINVAL);
  int n = send(toSocket(sock), static_cast<const char*>(data), count, 0);
  if (n == SOCKET_ERROR) return failFromWinSock();
  return n;
}

int32_t sysRecv(int32_t sock, void* data, int32_t count) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  if (count < 0) return failWith(PLAT_WSAEINVAL);
  int n = recv(toSocket(sock), static_cast<char*>(data), count, 0);
  if (n == SOCKET_ERROR) return failFromWinSock();
  return n;
}

// One zero-time-out select of one socket in one set, with sets of this
// call's own (WinSock sets are arrays of at most FD_SETSIZE handles, 64 by
// default; a set per call never holds more than a few).  A select that
// fails (a bad handle) is the error condition.
int32_t sysPollSocket(int32_t sock, int32_t mode) {
  if (mode != PLAT_READABLE && mode != PLAT_WRITABLE && mode != PLAT_ERROR) return 0;
  if (sock <= 0) return mode == PLAT_ERROR ? 1 : 0;
  fd_set set;
  FD_ZERO(&set);
  FD_SET(toSocket(sock), &set);
  timeval poll = {0, 0};
  int rc = select(0, mode == PLAT_READABLE ? &set : nullptr, mode == PLAT_WRITABLE ? &set : nullptr,
                  mode == PLAT_ERROR ? &set : nullptr, &poll);
  if (rc == SOCKET_ERROR) {
    tLastError = WSAGetLastError();
    return mode == PLAT_ERROR ? 1 : 0;
  }
  return FD_ISSET(toSocket(sock), &set) ? 1 : 0;
}

// All three conditions from one select with three sets of this call's own.
int32_t sysPollSocketAll(int32_t sock) {
  if (sock <= 0) return 1 << PLAT_ERROR;
  fd_set readable, writable, failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(toSocket(sock), &readable);
  FD_SET(toSocket(sock), &writable);
  FD_SET(toSocket(sock), &failed);
  timeval poll = {0, 0};
  if (select(0, &readable, &writable, &failed, &poll) == SOCKET_ERROR) {
    tLastError = WSAGetLastError();
    return 1 << PLAT_ERROR;
  }
  return (FD_ISSET(toSocket(sock), &readable) ? 1 << PLAT_READABLE : 0) |
         (FD_ISSET(toSocket(sock), &writable) ? 1 << PLAT_WRITABLE : 0) |
         (FD_ISSET(toSocket(sock), &failed) ? 1 << PLAT_ERROR : 0);
}

// WinSock 1.1 has no receive that never waits; a zero-time-out select
// decides first.  A socket still connecting, or whose attempt failed, is
// not readable.
int32_t sysRecvReady(int32_t sock, void* data, int32_t count) {
  if (count < 0) return failWith(PLAT_WSAEINVAL);
  if (sock <= 0 || sysPollSocket(sock, PLAT_READABLE) == 0) return PLAT_NOTHING_READY;
  return sysRecv(sock, data, count);
}

// Nor a send that never waits: a socket without room is left alone, and
// one with room takes what it can while switched to non-blocking mode, so a
// peer that stops reading part-way cannot hold the send.  Transfers run on
// blocking sockets, which is the mode it goes back to.
int32_t sysSendReady(int32_t sock, const void* data, int32_t count) {
  if (count < 0) return failWith(PLAT_WSAEINVAL);
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  if (sysPollSocket(sock, PLAT_WRITABLE) == 0) return PLAT_NOTHING_READY;
  u_long on = 1;
  u_long off = 0;
  if (ioctlsocket(toSocket(sock), FIONBIO, &on) != 0) return failFromWinSock();
  int n = send(toSocket(sock), static_cast<const char*>(data), count, 0);
  int err = n == SOCKET_ERROR ? WSAGetLastError() : 0;
  ioctlsocket(toSocket(sock), FIONBIO, &off);
  if (err == WSAEWOULDBLOCK) return PLAT_NOTHING_READY;
  if (err != 0) return failWith(err);
  return n;
}

int32_t sysCloseSocket(int32_t sock) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  if (closesocket(toSocket(sock)) != 0) return failFromWinSock();
  return 0;
}

int32_t sysSetNonBlocking(int32_t sock, uint32_t* arg) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  if (arg == nullptr) return failWith(PLAT_WSAEFAULT);
  u_long value = *arg;
  if (ioctlsocket(toSocket(sock), FIONBIO, &value) != 0) return failFromWinSock();
  return 0;
}

int32_t sysSocketError(int32_t sock) {
  if (sock <= 0) return PLAT_WSAENOTSOCK;
  int soError = 0;
  int len = sizeof soError;
  if (getsockopt(toSocket(sock), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len) != 0) {
    return WSAGetLastError();
  }
  return soError;
}

int32_t sysGetSockName(int32_t sock, PlatSockAddr* addr) {
  if (sock <= 0) return failWith(PLAT_WSAENOTSOCK);
  if (addr == nullptr) return failWith(PLAT_WSAEFAULT);
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  int len = sizeof sa;
  if (getsockname(toSocket(sock), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return failFromWinSock();
  fromSockaddr(&sa, addr);
  return 0;
}

int32_t sysGetHostName(char* buf, int32_t size) {
  if (buf == nullptr || size <= 0) return failWith(PLAT_WSAEFAULT);
  if (gethostname(buf, size) != 0) return failFromWinSock();
  return 0;
}

// gethostbyname keeps its result per thread, so concurrent channels do not
// meet each other's.  An empty name is no host (WinSock would answer with
// this machine).
int32_t sysResolve(const char* name, uint32_t* addrsNet, int32_t maxAddrs, int32_t* count) {
  if (count != nullptr) *count = 0;
  if (name == nullptr || addrsNet == nullptr || count == nullptr || maxAddrs <= 0) return PLAT_WSAEFAULT;
  if (name[0] == '\0') return PLAT_WSAHOST_NOT_FOUND;
  hostent* host = gethostbyname(name);
  if (host == nullptr) return WSAGetLastError();
  if (host->h_addrtype != AF_INET || host->h_length != 4) return PLAT_WSANO_DATA;
  int32_t n = 0;
  for (int32_t i = 0; host->h_addr_list[i] != nullptr && n < maxAddrs; i++) {
    uint32_t a;
    std::memcpy(&a, host->h_addr_list[i], sizeof a);
    bool seen = false;
    for (int32_t j = 0; j < n && !seen; j++) seen = addrsNet[j] == a;
    if (!seen) addrsNet[n++] = a;
  }
  if (n == 0) return PLAT_WSANO_DATA;
  *count = n;
  return 0;
}

int32_t sysWaitSockets(const PlatWait* items, int32_t count, uint32_t ms) {
  int32_t n = items == nullptr || count < 0 ? 0 : (count < FD_SETSIZE ? count : FD_SETSIZE);
  fd_set readable, writable, failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  for (int32_t i = 0; i < n; i++) {
    // A bad handle is an error condition: the caller must see it now.
    if (items[i].sock <= 0) return 1;
    SOCKET s = toSocket(items[i].sock);
    FD_SET(s, items[i].mode == PLAT_WRITABLE ? &writable : &readable);
    FD_SET(s, &failed);  // a refused connection attempt ends the wait too
  }
  if (n == 0) {
    // select refuses three empty sets: wait out the time.
    Sleep(ms);
    return 0;
  }
  timeval tv;
  tv.tv_sec = static_cast<long>(ms / 1000);
  tv.tv_usec = static_cast<long>(ms % 1000) * 1000;
  int rc = select(0, &readable, &writable, &failed, &tv);
  // A failed select: let the caller's own poll find out.
  return rc == 0 ? 0 : 1;
}

// ---- Time ----

uint32_t sysTickCount() { return GetTickCount(); }
void sysSleep(uint32_t ms) { Sleep(ms); }

// ---- The global lock ----
// The critical section lives for the whole process, as a thread may still
// be entering it while release and attach run: created once, never deleted.
CRITICAL_SECTION gLock;
volatile LONG gLockState = 0;  // 0 none, 1 being made, 2 ready

void sysLockCreate() {
  if (gLockState == 2) return;
  if (InterlockedCompareExchange(&gLockState, 1, 0) == 0) {
    InitializeCriticalSection(&gLock);
    InterlockedExchange(&gLockState, 2);
    return;
  }
  while (gLockState != 2) Sleep(0);
}

void sysLockEnter() {
  sysLockCreate();
  EnterCriticalSection(&gLock);
}

void sysLockLeave() { LeaveCriticalSection(&gLock); }
void sysLockDestroy() {}

// ---- Memory ----

void* sysAllocZeroed(uint32_t size) { return GlobalAlloc(GPTR, size == 0 ? 1 : size); }

void sysFree(void* p) {
  if (p != nullptr) GlobalFree(p);
}

// ---- Files ----
// Created files are open for reading and writing, shared with readers and
// writers as _lcreat's are; opened files deny write sharing.

// A local directory may hold 255 characters, so a file in it can pass the
// 259 the ANSI file API takes.  Such a path, when absolute, goes to the
// wide API in its "\\?\" form, which has no such limit (and takes no '/').
// False: the path is short enough (or relative) for the ANSI API.
constexpr int32_t kLongPathCap = 1024;

bool longPath(const char* path, WCHAR* wide) {
  int32_t len = 0;
  while (path[len] != '\0' && len < kLongPathCap) len++;
  bool drive = len >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
  if (len < MAX_PATH || !drive || len + 5 >= kLongPathCap) return false;
  char full[kLongPathCap];
  const char prefix[] = "\\\\?\\";
  int32_t n = 0;
  for (; prefix[n] != '\0'; n++) full[n] = prefix[n];
  for (int32_t i = 0; i < len; i++) full[n++] = path[i] == '/' ? '\\' : path[i];
  full[n] = '\0';
  return MultiByteToWideChar(CP_ACP, 0, full, -1, wide, kLongPathCap) > 0;
}

HANDLE createFile(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD attributes) {
  WCHAR wide[kLongPathCap];
  if (longPath(path, wide)) return CreateFileW(wide, access, share, nullptr, disposition, attributes, nullptr);
  return CreateFileA(path, access, share, nullptr, disposition, attributes, nullptr);
}

int32_t sysFileCreate(const char* path, int32_t attribute, int32_t exclusive) {
  if (path == nullptr) return PLAT_INVALID;
  DWORD attr = attribute == PLAT_ATTR_HIDDEN ? FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_NORMAL;
  HANDLE h = createFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        exclusive != 0 ? CREATE_NEW : CREATE_ALWAYS, attr);
  return fromHandle(h);
}

int32_t sysFileOpen(const char* path, int32_t mode) {
  if (path == nullptr) return PLAT_INVALID;
  DWORD access;
  if (mode == PLAT_OF_READ_DENY_WRITE) {
    access = GENERIC_READ;
  } else if (mode == PLAT_OF_WRITE_DENY_WRITE) {
    access = GENERIC_WRITE;
  } else {
    return PLAT_INVALID;
  }
  // A directory does not open without backup semantics: no file to transfer.
  HANDLE h = createFile(path, access, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  return fromHandle(h);
}

int32_t sysFileRead(int32_t file, void* buf, int32_t count) {
  if (file <= 0 || count < 0 || buf == nullptr) return PLAT_INVALID;
  DWORD got = 0;
  if (!ReadFile(toHandle(file), buf, static_cast<DWORD>(count), &got, nullptr)) return PLAT_INVALID;
  return static_cast<int32_t>(got);
}

int32_t sysFileWrite(int32_t file, const void* buf, int32_t count) {
  if (file <= 0 || count < 0 || (buf == nullptr && count > 0)) return PLAT_INVALID;
  DWORD done = 0;
  if (!WriteFile(toHandle(file), buf, static_cast<DWORD>(count), &done, nullptr)) return PLAT_INVALID;
  return static_cast<int32_t>(done);
}

// 64-bit positions: files over 4 GiB resume where they stopped.
int64_t sysFileSeek(int32_t file, int64_t offset) {
  if (file <= 0 || offset < 0) return -1;
  LARGE_INTEGER want;
  want.QuadPart = offset;
  LARGE_INTEGER now;
  now.QuadPart = 0;
  if (!SetFilePointerEx(toHandle(file), want, &now, FILE_BEGIN)) return -1;
  return now.QuadPart;
}

int32_t sysFileClose(int32_t file) {
  if (file <= 0) return PLAT_INVALID;
  return CloseHandle(toHandle(file)) ? 0 : PLAT_INVALID;
}

int32_t sysFileDelete(const char* path) {
  if (path == nullptr) return 0;
  WCHAR wide[kLongPathCap];
  if (longPath(path, wide)) return DeleteFileW(wide) ? 1 : 0;
  return DeleteFileA(path) ? 1 : 0;
}

int32_t sysCurrentDir(char* buf, int32_t size) {
  if (buf == nullptr || size <= 0) return 0;
  buf[0] = '\0';
  DWORD len = GetCurrentDirectoryA(static_cast<DWORD>(size), buf);
  // Too small a buffer gets the size it would need, and no text.
  if (len == 0 || len > static_cast<DWORD>(size - 1)) {
    buf[0] = '\0';
    return 0;
  }
  return static_cast<int32_t>(len);
}

constexpr PlatSyscalls kWin32Calls = {
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

const PlatSyscalls platSysDefault = kWin32Calls;
PlatSyscalls platSys = kWin32Calls;

// The module's load handler: no per-thread notifications, nothing else.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(module);
  return TRUE;
}
