// The trace log: per-channel log files and the library-wide handle that
// channel-less code writes to.
#pragma once

#include <cstdint>

struct ChannelRecord;

extern int32_t globalTraceLog;  // most recently opened log; 0 = none

// Channels on different threads share the library-wide log: it is read
// atomically, and set, cleared and its file closed only under the global
// lock, which the writers hold too.  So no thread writes into a handle that
// another has just closed and the system may already have given to a socket
// or file of a third channel.
int32_t globalTraceHandle();
void setGlobalTraceLog(int32_t handle);
// Closes a channel's log file; clears the library-wide handle always
// (`clearGlobal`) or only when it names this file.
void closeTraceFile(int32_t file, bool clearGlobal);

// True when the channel has a trace log open.
bool traceOpen(const ChannelRecord* rec);
// Formats a line into the channel's logLine (wsprintfA rules, 1024-byte cut)
// and writes it with its boundedLength, if the channel has a log open.
void traceLine(ChannelRecord* rec, const char* fmt, ...);
// Writes a fixed text as it stands (its own length), if a log is open.
void traceText(ChannelRecord* rec, const char* text);
// Writes count bytes as they stand, if a log is open.
void traceBytes(ChannelRecord* rec, const char* data, int32_t count);
// The same into globalTraceLog, formatted in a buffer of the caller's stack.
void traceGlobal(const char* fmt, ...);
void traceGlobalText(const char* text);
// "ZUB Win32 Version 2.3.0 Build 8\r\n", if a log is open.
void writeVersionBanner(ChannelRecord* rec);
