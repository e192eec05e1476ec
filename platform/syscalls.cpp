// The plat* functions of platform.h: each counts its call, lets a test's
// fault take the place of the system call, and otherwise calls the backend
// through platSys.  Shared by every backend, so the fault tests prove the
// same behaviour on each.
#include "platform/syscalls.h"

#include <atomic>
#include <cstring>

namespace {

// ---- Fault state (atomics: channels run on several threads) ----

std::atomic<uint32_t> gCalls{0};                   // counted calls since the last reset
std::atomic<uint32_t> gOpCalls[PLAT_OP_COUNT];     // the same, per operation
std::atomic<int32_t> gCountdown[PLAT_OP_COUNT];    // platFaultSet: calls left until the fault
std::atomic<int32_t> gOpError[PLAT_OP_COUNT];
std::atomic<int32_t> gLimit[PLAT_OP_COUNT];        // platFaultLimit: most bytes per call, 0 = none
std::atomic<uint32_t> gNthCall{0};                 // platFaultNthCall: the call number to fail
std::atomic<const int32_t*> gNthErrors{nullptr};
std::atomic<PlatFaultHook> gHook{nullptr};
std::atomic<void*> gHookContext{nullptr};
std::atomic<uint32_t> gLastHitCall{0};
std::atomic<int32_t> gLastHitOp{-1};

// Counts one call of op.  True when a fault takes its place; *error gets the
// error to report (for file and memory calls only "nonzero" matters).
bool faultHit(PlatOp op, int32_t* error) {
  uint32_t call = gCalls.fetch_add(1) + 1;
  gOpCalls[op].fetch_add(1);
  bool hit = false;
  std::atomic<int32_t>& countdown = gCountdown[op];
  int32_t n = countdown.load();
  while (n > 0) {
    if (countdown.compare_exchange_weak(n, n - 1)) {
      if (n == 1) {
        hit = true;
        *error = gOpError[op].load();
      }
      break;
    }
  }
  if (!hit && gNthCall.load() == call) {
    const int32_t* errors = gNthErrors.load();
    hit = true;
    *error = errors != nullptr ? errors[op] : platFaultDefaultError(op);
  }
  PlatFaultHook hook = gHook.load();
  if (!hit && hook != nullptr) {
    int32_t e = hook(op, call, gHookContext.load());
    if (e != 0) {
      hit = true;
      *error = e;
    }
  }
  if (hit) {
    gLastHitCall.store(call);
    gLastHitOp.store(op);
  }
  return hit;
}

int32_t failWith(int32_t error) {
  platSys.setLastError(error);
  return PLAT_INVALID;
}

// The count a byte-moving call may move under platFaultLimit.
int32_t limited(PlatOp op, int32_t count) {
  int32_t limit = gLimit[op].load();
  return limit > 0 && count > limit ? limit : count;
}

}  // namespace

// ---- Byte order needs no system: network order is the bytes' order ----

uint16_t platHtons(uint16_t v) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  uint16_t out;
  std::memcpy(&out, bytes, sizeof out);
  return out;
}

uint16_t platNtohs(uint16_t v) {
  uint8_t bytes[2];
  std::memcpy(bytes, &v, sizeof bytes);
  return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

uint32_t platHtonl(uint32_t v) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                            static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  uint32_t out;
  std::memcpy(&out, bytes, sizeof out);
  return out;
}

uint32_t platNtohl(uint32_t v) {
  uint8_t bytes[4];
  std::memcpy(bytes, &v, sizeof bytes);
  return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
         (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

// ---- Socket library ----

int32_t platStartup(char* description, int32_t descCap) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_STARTUP, &error)) return error;
  return platSys.startup(description, descCap);
}

void platCleanup() { platSys.cleanup(); }
int32_t platLastError() { return platSys.lastError(); }
void platSetLastError(int32_t err) { platSys.setLastError(err); }
int32_t platIsBlocking() { return platSys.isBlocking(); }

// ---- Sockets ----

int32_t platSocket() {
  int32_t error = 0;
  if (faultHit(PLAT_OP_SOCKET, &error)) return failWith(error);
  return platSys.socket();
}

int32_t platConnect(int32_t sock, const PlatSockAddr* addr) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_CONNECT, &error)) return failWith(error);
  return platSys.connect(sock, addr);
}

int32_t platBind(int32_t sock, const PlatSockAddr* addr) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_BIND, &error)) return failWith(error);
  return platSys.bind(sock, addr);
}

int32_t platListen(int32_t sock, int32_t backlog) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_LISTEN, &error)) return failWith(error);
  return platSys.listen(sock, backlog);
}

int32_t platAccept(int32_t sock, PlatSockAddr* peer) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_ACCEPT, &error)) return failWith(error);
  return platSys.accept(sock, peer);
}

int32_t platSend(int32_t sock, const void* data, int32_t count) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_SEND, &error)) return failWith(error);
  return platSys.send(sock, data, limited(PLAT_OP_SEND, count));
}

int32_t platRecv(int32_t sock, void* data, int32_t count) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_RECV, &error)) return failWith(error);
  return platSys.recv(sock, data, limited(PLAT_OP_RECV, count));
}

// Counted as a poll when nothing was ready and as a receive when the socket
// had something, as a poll followed by a receive would have been.  A fault
// of the receive drops what was read: the connection is then taken as broken.
int32_t platRecvReady(int32_t sock, void* data, int32_t count) {
  int32_t n = platSys.recvReady(sock, data, limited(PLAT_OP_RECV, count));
  int32_t error = 0;
  if (n == PLAT_NOTHING_READY) {
    faultHit(PLAT_OP_POLL, &error);
    return n;
  }
  if (faultHit(PLAT_OP_RECV, &error)) return failWith(error);
  return n;
}

// Counted and faulted as platSend: a fault takes the place of the send, so
// no byte goes out that the caller is told has not.
int32_t platSendReady(int32_t sock, const void* data, int32_t count) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_SEND, &error)) return failWith(error);
  return platSys.sendReady(sock, data, limited(PLAT_OP_SEND, count));
}

// A failing close still frees the handle, as the callers forget it anyway.
int32_t platCloseSocket(int32_t sock) {
  int32_t error = 0;
  bool hit = faultHit(PLAT_OP_CLOSE, &error);
  int32_t rc = platSys.closeSocket(sock);
  return hit ? failWith(error) : rc;
}

int32_t platSetNonBlocking(int32_t sock, uint32_t* arg) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_SET_NONBLOCKING, &error)) return failWith(error);
  return platSys.setNonBlocking(sock, arg);
}

int32_t platSocketError(int32_t sock) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_SOCKET_ERROR, &error)) return error;
  return platSys.socketError(sock);
}

int32_t platGetSockName(int32_t sock, PlatSockAddr* addr) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_GETSOCKNAME, &error)) return failWith(error);
  return platSys.getSockName(sock, addr);
}

int32_t platGetHostName(char* buf, int32_t size) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_HOSTNAME, &error)) return failWith(error);
  return platSys.getHostName(buf, size);
}

int32_t platResolve(const char* name, uint32_t* addrsNet, int32_t maxAddrs, int32_t* count) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_RESOLVE, &error)) {
    if (count != nullptr) *count = 0;
    return error;
  }
  return platSys.resolve(name, addrsNet, maxAddrs, count);
}

// A failing select leaves every set empty: not ready.
int32_t platPollSocket(int32_t sock, int32_t mode) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_POLL, &error)) {
    platSys.setLastError(error);
    return 0;
  }
  return platSys.pollSocket(sock, mode);
}

int32_t platPollSocketAll(int32_t sock) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_POLL, &error)) {
    platSys.setLastError(error);
    return 0;
  }
  return platSys.pollSocketAll(sock);
}

// A failing wait returns at once as "something is ready": the caller's own
// poll then finds out what.
int32_t platWaitSockets(const PlatWait* items, int32_t count, uint32_t ms) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_WAIT, &error)) {
    platSys.setLastError(error);
    return 1;
  }
  return platSys.waitSockets(items, count, ms);
}

// ---- Time, lock, memory ----

uint32_t platTickCount() { return platSys.tickCount(); }
void platSleep(uint32_t ms) { platSys.sleep(ms); }
void platLockCreate() { platSys.lockCreate(); }
void platLockEnter() { platSys.lockEnter(); }
void platLockLeave() { platSys.lockLeave(); }
void platLockDestroy() { platSys.lockDestroy(); }

void* platAllocZeroed(uint32_t size) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_ALLOC, &error)) return nullptr;
  return platSys.allocZeroed(size);
}

void platFree(void* p) { platSys.free(p); }

// ---- Files ----

int32_t platFileCreate(const char* path, int32_t attribute) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_FILE_CREATE, &error)) return PLAT_INVALID;
  return platSys.fileCreate(path, attribute, 0);
}

int32_t platFileCreateNew(const char* path, int32_t attribute) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_FILE_CREATE, &error)) return PLAT_INVALID;
  return platSys.fileCreate(path, attribute, 1);
}

int32_t platFileOpen(const char* path, int32_t mode) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_FILE_OPEN, &error)) return PLAT_INVALID;
  return platSys.fileOpen(path, mode);
}

// Reads until count bytes or the end of the file; a failure after some
// bytes returns those.
int32_t platFileRead(int32_t file, void* buf, int32_t count) {
  if (file <= 0 || count < 0 || buf == nullptr) return PLAT_INVALID;
  char* p = static_cast<char*>(buf);
  int32_t got = 0;
  do {
    int32_t error = 0;
    int32_t n = faultHit(PLAT_OP_FILE_READ, &error)
                    ? PLAT_INVALID
                    : platSys.fileRead(file, p + got, limited(PLAT_OP_FILE_READ, count - got));
    if (n < 0) return got > 0 ? got : PLAT_INVALID;
    if (n == 0) break;
    got += n;
  } while (got < count);
  return got;
}

// All or nothing: a write that stops short (disk full) is a failure.  A
// count of 0 writes nothing.
int32_t platFileWrite(int32_t file, const void* buf, int32_t count) {
  if (file <= 0 || count < 0 || (buf == nullptr && count > 0)) return PLAT_INVALID;
  const char* p = static_cast<const char*>(buf);
  int32_t done = 0;
  while (done < count) {
    int32_t error = 0;
    if (faultHit(PLAT_OP_FILE_WRITE, &error)) return PLAT_INVALID;
    int32_t n = platSys.fileWrite(file, p + done, limited(PLAT_OP_FILE_WRITE, count - done));
    if (n <= 0) return PLAT_INVALID;
    done += n;
  }
  return count;
}

int64_t platFileSeek(int32_t file, int64_t offset) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_FILE_SEEK, &error)) return -1;
  return platSys.fileSeek(file, offset);
}

int32_t platFileClose(int32_t file) {
  int32_t error = 0;
  bool hit = faultHit(PLAT_OP_FILE_CLOSE, &error);
  int32_t rc = platSys.fileClose(file);
  return hit ? PLAT_INVALID : rc;
}

int32_t platFileDelete(const char* path) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_FILE_DELETE, &error)) return 0;
  return platSys.fileDelete(path);
}

int32_t platCurrentDir(char* buf, int32_t size) {
  int32_t error = 0;
  if (faultHit(PLAT_OP_CURRENT_DIR, &error)) {
    if (buf != nullptr && size > 0) buf[0] = '\0';
    return 0;
  }
  return platSys.currentDir(buf, size);
}

// ---- Fault injection ----

void platFaultSet(PlatOp op, int32_t nth, int32_t error) {
  if (op < 0 || op >= PLAT_OP_COUNT) return;
  gOpError[op].store(error);
  gCountdown[op].store(nth > 0 ? nth : 0);
}

void platFaultNthCall(uint32_t nth, const int32_t* errors) {
  gNthErrors.store(errors);
  gNthCall.store(nth == 0 ? 0 : gCalls.load() + nth);
}

void platFaultSetHook(PlatFaultHook hook, void* context) {
  gHookContext.store(context);
  gHook.store(hook);
}

void platFaultLimit(PlatOp op, int32_t maxBytes) {
  if (op < 0 || op >= PLAT_OP_COUNT) return;
  gLimit[op].store(maxBytes > 0 ? maxBytes : 0);
}

int32_t platFaultDefaultError(PlatOp op) {
  switch (op) {
    case PLAT_OP_SOCKET: return PLAT_WSAEMFILE;
    case PLAT_OP_CONNECT: return PLAT_WSAECONNREFUSED;
    case PLAT_OP_BIND: return PLAT_WSAEADDRINUSE;
    case PLAT_OP_LISTEN: return PLAT_WSAENOBUFS;
    case PLAT_OP_ACCEPT: return PLAT_WSAECONNRESET;
    case PLAT_OP_SEND: return PLAT_WSAECONNRESET;
    case PLAT_OP_RECV: return PLAT_WSAECONNRESET;
    case PLAT_OP_GETSOCKNAME: return PLAT_WSAEINVAL;
    case PLAT_OP_RESOLVE: return PLAT_WSAHOST_NOT_FOUND;
    case PLAT_OP_STARTUP: return PLAT_WSASYSNOTREADY;
    case PLAT_OP_CLOSE: return PLAT_WSAENOTSOCK;
    case PLAT_OP_POLL: return PLAT_WSAENETDOWN;
    case PLAT_OP_WAIT: return PLAT_WSAENETDOWN;
    case PLAT_OP_SET_NONBLOCKING: return PLAT_WSAENOTSOCK;
    case PLAT_OP_SOCKET_ERROR: return PLAT_WSAECONNREFUSED;
    case PLAT_OP_HOSTNAME: return PLAT_WSAEFAULT;
    default: return 1;  // files and memory: any nonzero value fails the call
  }
}

uint32_t platFaultCalls(PlatOp op) {
  if (op >= 0 && op < PLAT_OP_COUNT) return gOpCalls[op].load();
  return gCalls.load();
}

uint32_t platFaultLastHit(int32_t* op) {
  if (op != nullptr) *op = gLastHitOp.load();
  return gLastHitCall.load();
}

void platFaultClearAll() {
  gHook.store(nullptr);
  gHookContext.store(nullptr);
  gNthCall.store(0);
  gNthErrors.store(nullptr);
  for (int32_t i = 0; i < PLAT_OP_COUNT; i++) {
    gCountdown[i].store(0);
    gOpError[i].store(0);
    gLimit[i].store(0);
    gOpCalls[i].store(0);
  }
  gCalls.store(0);
  gLastHitCall.store(0);
  gLastHitOp.store(-1);
  platSys = platSysDefault;
}
