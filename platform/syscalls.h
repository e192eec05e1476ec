// The table of system calls behind platform.h.  Each backend (posix.cpp,
// win32.cpp) provides platSysDefault, its own calls and nothing else; the
// plat* functions (syscalls.cpp) count every call, apply the faults a test
// asked for and then call through platSys.  A test may replace any entry of
// platSys with a function of its own (and call platSysDefault's from it);
// platFaultClearAll puts the defaults back.
//
// The entries have the plat* meanings of platform.h, except where noted:
// those are one system call each, the plat* layer adds the loops.
#pragma once

#include <cstdint>

#include "platform/platform.h"

struct PlatSyscalls {
  // Socket library
  int32_t (*startup)(char* description, int32_t descCap);
  void (*cleanup)();
  int32_t (*lastError)();
  void (*setLastError)(int32_t err);
  int32_t (*isBlocking)();

  // Sockets
  int32_t (*socket)();
  int32_t (*connect)(int32_t sock, const PlatSockAddr* addr);
  int32_t (*bind)(int32_t sock, const PlatSockAddr* addr);
  int32_t (*listen)(int32_t sock, int32_t backlog);
  int32_t (*accept)(int32_t sock, PlatSockAddr* peer);
  int32_t (*send)(int32_t sock, const void* data, int32_t count);
  int32_t (*recv)(int32_t sock, void* data, int32_t count);
  int32_t (*recvReady)(int32_t sock, void* data, int32_t count);
  int32_t (*sendReady)(int32_t sock, const void* data, int32_t count);
  int32_t (*closeSocket)(int32_t sock);
  int32_t (*setNonBlocking)(int32_t sock, uint32_t* arg);
  int32_t (*socketError)(int32_t sock);
  int32_t (*getSockName)(int32_t sock, PlatSockAddr* addr);
  int32_t (*getHostName)(char* buf, int32_t size);
  int32_t (*resolve)(const char* name, uint32_t* addrsNet, int32_t maxAddrs, int32_t* count);
  int32_t (*pollSocket)(int32_t sock, int32_t mode);
  int32_t (*pollSocketAll)(int32_t sock);
  int32_t (*waitSockets)(const PlatWait* items, int32_t count, uint32_t ms);

  // Time
  uint32_t (*tickCount)();
  void (*sleep)(uint32_t ms);

  // The global lock
  void (*lockCreate)();
  void (*lockEnter)();
  void (*lockLeave)();
  void (*lockDestroy)();

  // Memory
  void* (*allocZeroed)(uint32_t size);
  void (*free)(void* p);

  // Files.  create: exclusive nonzero makes a file that must not exist yet.
  int32_t (*fileCreate)(const char* path, int32_t attribute, int32_t exclusive);
  int32_t (*fileOpen)(const char* path, int32_t mode);
  // One read: the count read (may be less than asked), 0 at the end, or -1.
  int32_t (*fileRead)(int32_t file, void* buf, int32_t count);
  // One write: the count written (may be less than asked; 0 = no room), or -1.
  int32_t (*fileWrite)(int32_t file, const void* buf, int32_t count);
  int64_t (*fileSeek)(int32_t file, int64_t offset);
  int32_t (*fileClose)(int32_t file);
  int32_t (*fileDelete)(const char* path);
  int32_t (*currentDir)(char* buf, int32_t size);
};

// The calls in use; starts as a copy of platSysDefault.
extern PlatSyscalls platSys;
// The backend's own calls.
extern const PlatSyscalls platSysDefault;
