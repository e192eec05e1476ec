// Writing trace lines: into the channel's own log through its logLine, or
// into the library-wide log for code that knows no channel.
#include "core/trace.h"

#include <atomic>
#include <cstdarg>

#include "core/channel.h"
#include "core/settings.h"
#include "platform/platform.h"
#include "util/text.h"

int32_t globalTraceLog = 0;

bool traceOpen(const ChannelRecord* rec) { return rec != nullptr && rec->logFile != 0; }

void traceLine(ChannelRecord* rec, const char* fmt, ...) {
  if (!traceOpen(rec) || rec->logLine == nullptr) return;
  va_list ap;
  va_start(ap, fmt);
  platFormatV(rec->logLine, fmt, ap);
  va_end(ap);
  platFileWrite(rec->logFile, rec->logLine, boundedLength(rec->logLine));
}

void traceText(ChannelRecord* rec, const char* text) {
  if (!traceOpen(rec)) return;
  platFileWrite(rec->logFile, text, textLength(text));
}

void traceBytes(ChannelRecord* rec, const char* data, int32_t count) {
  if (!traceOpen(rec) || count <= 0) return;
  platFileWrite(rec->logFile, data, count);
}

int32_t globalTraceHandle() { return std::atomic_ref<int32_t>(globalTraceLog).load(std::memory_order_acquire); }

void setGlobalTraceLog(int32_t handle) {
  platLockEnter();
  std::atomic_ref<int32_t>(globalTraceLog).store(handle, std::memory_order_release);
  platLockLeave();
}

void closeTraceFile(int32_t file, bool clearGlobal) {
  platLockEnter();
  std::atomic_ref<int32_t> global(globalTraceLog);
  if (clearGlobal || global.load(std::memory_order_relaxed) == file) global.store(0, std::memory_order_release);
  platFileClose(file);
  platLockLeave();
}

namespace {
// The handle is taken again under the lock: a close may have come between
// the caller's first look and the write.
void writeGlobal(const char* text, int32_t count) {
  platLockEnter();
  int32_t log = globalTraceHandle();
  if (log != 0) platFileWrite(log, text, count);
  platLockLeave();
}
}  // namespace

void traceGlobal(const char* fmt, ...) {
  if (globalTraceHandle() == 0) return;
  char line[PLAT_FORMAT_MAX];
  va_list ap;
  va_start(ap, fmt);
  platFormatV(line, fmt, ap);
  va_end(ap);
  writeGlobal(line, boundedLength(line));
}

void traceGlobalText(const char* text) {
  if (globalTraceHandle() == 0) return;
  writeGlobal(text, textLength(text));
}

void writeVersionBanner(ChannelRecord* rec) {
  if (!traceOpen(rec)) return;
  int32_t v = parseHex(versionStamp + 5, 4);
  int32_t b = parseHex(versionStamp + 14, 4);
  traceLine(rec, "ZUB Win32 Version %d.%d.%d Build %d\r\n", v >> 8, (v >> 4) & 15, v & 15, b);
}
