// The one seam between the library and the operating system: sockets, time,
// the global lock, memory, files and text formatting.  Everything above this
// header is portable.  syscalls.cpp implements these functions over a table
// of system calls that a backend fills: posix.cpp on Linux, win32.cpp on
// Windows (the build takes one).  Failures are reported in WinSock's numbering.
#pragma once

#include <cstdarg>
#include <cstdint>

// ---- WinSock error numbers the library reports (negated) ----
enum : int32_t {
  PLAT_WSAEINTR = 10004,
  PLAT_WSAEBADF = 10009,
  PLAT_WSAEACCES = 10013,
  PLAT_WSAEFAULT = 10014,
  PLAT_WSAEINVAL = 10022,
  PLAT_WSAEMFILE = 10024,
  PLAT_WSAEWOULDBLOCK = 10035,
  PLAT_WSAEINPROGRESS = 10036,
  PLAT_WSAEALREADY = 10037,
  PLAT_WSAENOTSOCK = 10038,
  PLAT_WSAEDESTADDRREQ = 10039,
  PLAT_WSAEMSGSIZE = 10040,
  PLAT_WSAEPROTOTYPE = 10041,
  PLAT_WSAENOPROTOOPT = 10042,
  PLAT_WSAEPROTONOSUPPORT = 10043,
  PLAT_WSAESOCKTNOSUPPORT = 10044,
  PLAT_WSAEOPNOTSUPP = 10045,
  PLAT_WSAEAFNOSUPPORT = 10047,
  PLAT_WSAEADDRINUSE = 10048,
  PLAT_WSAEADDRNOTAVAIL = 10049,
  PLAT_WSAENETDOWN = 10050,
  PLAT_WSAENETUNREACH = 10051,
  PLAT_WSAENETRESET = 10052,
  PLAT_WSAECONNABORTED = 10053,
  PLAT_WSAECONNRESET = 10054,
  PLAT_WSAENOBUFS = 10055,
  PLAT_WSAEISCONN = 10056,
  PLAT_WSAENOTCONN = 10057,
  PLAT_WSAESHUTDOWN = 10058,
  PLAT_WSAETIMEDOUT = 10060,
  PLAT_WSAECONNREFUSED = 10061,
  PLAT_WSAEHOSTDOWN = 10064,
  PLAT_WSAEHOSTUNREACH = 10065,
  PLAT_WSASYSNOTREADY = 10091,
  PLAT_WSAVERNOTSUPPORTED = 10092,
  PLAT_WSANOTINITIALISED = 10093,
  PLAT_WSAHOST_NOT_FOUND = 11001,
  PLAT_WSATRY_AGAIN = 11002,
  PLAT_WSANO_RECOVERY = 11003,
  PLAT_WSANO_DATA = 11004,
};

// An IPv4 socket address laid out as WinSock's: family, port and address in
// network byte order, eight zero bytes.  16 bytes.
struct PlatSockAddr {
  uint16_t family;   // 2 = AF_INET
  uint16_t portNet;  // network byte order
  uint32_t addrNet;  // network byte order
  uint8_t zero[8];
};
static_assert(sizeof(PlatSockAddr) == 16, "socket address must be 16 bytes");

constexpr uint16_t PLAT_AF_INET = 2;
constexpr int32_t PLAT_INVALID = -1;  // the invalid socket / file handle

// Byte order (network order is big-endian).
uint16_t platHtons(uint16_t v);
uint32_t platHtonl(uint32_t v);
uint32_t platNtohl(uint32_t v);
uint16_t platNtohs(uint16_t v);

// ---- Socket library ----
// Starts networking (version 1.1 asked); 0, or a WinSock error number.  The
// description text (at most descCap - 1 characters) is what a connect traces.
int32_t platStartup(char* description, int32_t descCap);
void platCleanup();
// The WinSock error number of the calling thread's last failed call.
int32_t platLastError();
void platSetLastError(int32_t err);
// Nonzero while a blocking call is in progress (never on POSIX).
int32_t platIsBlocking();

// A new blocking TCP socket (never 0), or PLAT_INVALID.
int32_t platSocket();
// 0 or PLAT_INVALID (error via platLastError; a non-blocking connect under
// way fails with PLAT_WSAEWOULDBLOCK).
int32_t platConnect(int32_t sock, const PlatSockAddr* addr);
int32_t platBind(int32_t sock, const PlatSockAddr* addr);
int32_t platListen(int32_t sock, int32_t backlog);
// The accepted socket (never 0) with the peer's address, or PLAT_INVALID.
int32_t platAccept(int32_t sock, PlatSockAddr* peer);
// Count sent (may be short), or PLAT_INVALID.  Never raises SIGPIPE.
int32_t platSend(int32_t sock, const void* data, int32_t count);
// Count received, 0 when the peer closed, or PLAT_INVALID.
int32_t platRecv(int32_t sock, void* data, int32_t count);
// A receive that never waits, for a socket that may have nothing to read:
// as platRecv, or PLAT_NOTHING_READY when a readiness poll would have found
// the socket not readable (no byte yet, or a connection attempt not yet
// done).  One system call where a poll and a receive took two.
constexpr int32_t PLAT_NOTHING_READY = -2;
int32_t platRecvReady(int32_t sock, void* data, int32_t count);
// A send that never waits, for a blocking socket: the count sent (may be
// short), or PLAT_NOTHING_READY when the socket has no room at all, or
// PLAT_INVALID.  The socket stays blocking.  Never raises SIGPIPE.
int32_t platSendReady(int32_t sock, const void* data, int32_t count);
int32_t platCloseSocket(int32_t sock);
// ioctlsocket(FIONBIO): *arg 1 = non-blocking, 0 = blocking.  0 or PLAT_INVALID.
int32_t platSetNonBlocking(int32_t sock, uint32_t* arg);
// getsockopt(SO_ERROR): the WinSock error number a failed non-blocking
// connection attempt left on the socket, 0 if none.
int32_t platSocketError(int32_t sock);
int32_t platGetSockName(int32_t sock, PlatSockAddr* addr);
// The local host name into buf (size bytes); 0 or PLAT_INVALID.
int32_t platGetHostName(char* buf, int32_t size);
// Resolves a host name to at most maxAddrs IPv4 addresses (network order, in
// the resolver's order).  Thread-safe.  0 with *count set, or a WinSock error
// number (11001 name not found, 11002 try again, ...).
int32_t platResolve(const char* name, uint32_t* addrsNet, int32_t maxAddrs, int32_t* count);

// One zero-time-out readiness test of one socket, as select() with one set:
// PLAT_READABLE (data, end of stream, or a connection waiting on a listener),
// PLAT_WRITABLE (connected and able to send), PLAT_ERROR (a connection attempt
// that failed).  1 if the condition holds, else 0.
enum : int32_t { PLAT_READABLE = 1, PLAT_WRITABLE = 2, PLAT_ERROR = 3 };
int32_t platPollSocket(int32_t sock, int32_t mode);
// The same test for all three conditions from one poll (select with the three
// sets on Windows): the bits 1 << PLAT_READABLE, 1 << PLAT_WRITABLE and
// 1 << PLAT_ERROR of the conditions that hold.
int32_t platPollSocketAll(int32_t sock);

// Waits up to ms milliseconds until any of the sockets meets its condition
// (readable or writable).  Used by the blocking loop between driver steps so
// it neither spins nor reacts late.  Returns 1 if one is ready, 0 on time-out.
struct PlatWait {
  int32_t sock;
  int32_t mode;  // PLAT_READABLE or PLAT_WRITABLE
};
int32_t platWaitSockets(const PlatWait* items, int32_t count, uint32_t ms);

// ---- Time ----
// Milliseconds from a monotonic clock, wrapping at 2^32.
uint32_t platTickCount();
void platSleep(uint32_t ms);  // 0 yields the rest of the time slice

// ---- The global lock: recursive for its owner thread ----
void platLockCreate();
void platLockEnter();
void platLockLeave();
void platLockDestroy();

// ---- Memory ----
// Zero-filled memory of size bytes, or null.
void* platAllocZeroed(uint32_t size);
void platFree(void* p);

// ---- Files ----  Handles are never 0; failure is PLAT_INVALID.  A backslash
// in a path is a directory separator.  Offsets are 64-bit.
enum : int32_t { PLAT_ATTR_NORMAL = 0, PLAT_ATTR_HIDDEN = 2 };
enum : int32_t {
  PLAT_OF_READ_DENY_WRITE = 0x20,   // OF_READ | OF_SHARE_DENY_WRITE
  PLAT_OF_WRITE_DENY_WRITE = 0x21,  // OF_WRITE | OF_SHARE_DENY_WRITE
};
// _lcreat: creates, or truncates an existing file; open for writing.
int32_t platFileCreate(const char* path, int32_t attribute);
// Creates a file that must not exist yet (exclusive); for probes that must
// never replace a file of the user's.
int32_t platFileCreateNew(const char* path, int32_t attribute);
// _lopen: opens an existing file with one of the PLAT_OF_* modes.
int32_t platFileOpen(const char* path, int32_t mode);
int32_t platFileRead(int32_t file, void* buf, int32_t count);         // count, 0 at end, or -1
int32_t platFileWrite(int32_t file, const void* buf, int32_t count);  // count or -1
int64_t platFileSeek(int32_t file, int64_t offset);                   // from the start; new position or -1
int32_t platFileClose(int32_t file);
int32_t platFileDelete(const char* path);  // nonzero on success
// GetCurrentDirectoryA: the length stored, or 0 (buffer left empty) when the
// directory does not fit in size - 1 characters.
int32_t platCurrentDir(char* buf, int32_t size);

// ---- Text formatting with wsprintfA's rules ----
// Conversions %s %d %ld %u %lu %1d %1ld %3d %3ld (and %%).  As on Win32,
// "long" is 32 bits: every integer argument is passed as int32_t/uint32_t.
// The output, terminator included, is cut at 1024 bytes.  Returns the
// characters stored (without the terminator).  buf must hold 1024 bytes.
constexpr int32_t PLAT_FORMAT_MAX = 1024;
int32_t platFormat(char* buf, const char* fmt, ...);
// The same with a va_list (format.cpp implements both).
int32_t platFormatV(char* buf, const char* fmt, va_list ap);

// ---- Fault injection for tests ----
// Every call of an operation below that can fail is counted; a test can make
// any of them fail (platform/syscalls.h also lets it replace the calls).  A
// failed socket call sets the given WinSock error for platLastError;
// resolve, startup and socketError return it; file and memory calls fail
// with -1 (null, 0) whatever nonzero value is given.  A failing close still
// frees the handle.  A poll that fails finds nothing ready; a wait that
// fails returns at once.
enum PlatOp : int32_t {
  PLAT_OP_SOCKET, PLAT_OP_CONNECT, PLAT_OP_BIND, PLAT_OP_LISTEN, PLAT_OP_ACCEPT,
  PLAT_OP_SEND, PLAT_OP_RECV, PLAT_OP_GETSOCKNAME, PLAT_OP_RESOLVE, PLAT_OP_STARTUP,
  PLAT_OP_ALLOC, PLAT_OP_FILE_CREATE, PLAT_OP_FILE_OPEN, PLAT_OP_FILE_READ,
  PLAT_OP_FILE_WRITE, PLAT_OP_CLOSE, PLAT_OP_POLL, PLAT_OP_WAIT, PLAT_OP_SET_NONBLOCKING,
  PLAT_OP_SOCKET_ERROR, PLAT_OP_HOSTNAME, PLAT_OP_FILE_SEEK, PLAT_OP_FILE_CLOSE,
  PLAT_OP_FILE_DELETE, PLAT_OP_CURRENT_DIR, PLAT_OP_COUNT
};
// Makes the nth next call (1 = the very next) of op fail with error; 0 clears.
void platFaultSet(PlatOp op, int32_t nth, int32_t error);
// Makes the nth next counted call of any operation fail, with errors[op]
// (an array of PLAT_OP_COUNT), or platFaultDefaultError(op) when errors is
// null; nth 0 clears.  The array must outlive the fault.
void platFaultNthCall(uint32_t nth, const int32_t* errors);
// Asks hook about every counted call (call = its number since the last
// clear): 0 lets the call through, any other value is the error it fails with.
typedef int32_t (*PlatFaultHook)(PlatOp op, uint32_t call, void* context);
void platFaultSetHook(PlatFaultHook hook, void* context);
// Makes every send, receive, file read or file write (op) move at most
// maxBytes bytes per system call: short sends and short writes.  0 clears.
void platFaultLimit(PlatOp op, int32_t maxBytes);
// An error that fits a failure of op (WSAECONNRESET for send, ...).
int32_t platFaultDefaultError(PlatOp op);
// Counted calls of op since the last clear; PLAT_OP_COUNT counts them all.
uint32_t platFaultCalls(PlatOp op);
// The number of the last call a fault took the place of (0 if none) and
// its operation in *op (-1 if none).
uint32_t platFaultLastHit(int32_t* op);
// Clears every fault, hook, limit and count, and puts the backend's own
// calls back in the table.
void platFaultClearAll();
