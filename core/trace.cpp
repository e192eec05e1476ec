// Writing trace lines: into the channel's own log through its logLine, or
// into the library-wide log for code that knows no channel.
#include "core/trace.h"

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

void traceGlobal(const char* fmt, ...) {
  int32_t log = globalTraceLog;
  if (log == 0) return;
  char line[PLAT_FORMAT_MAX];
  va_list ap;
  va_start(ap, fmt);
  platFormatV(line, fmt, ap);
  va_end(ap);
  platFileWrite(log, line, boundedLength(line));
}

void traceGlobalText(const char* text) {
  int32_t log = globalTraceLog;
  if (log == 0) return;
  platFileWrite(log, text, textLength(text));
}

void writeVersionBanner(ChannelRecord* rec) {
  if (!traceOpen(rec)) return;
  int32_t v = parseHex(versionStamp + 5, 4);
  int32_t b = parseHex(versionStamp + 14, 4);
  traceLine(rec, "ZUB Win32 Version %d.%d.%d Build %d\r\n", v >> 8, (v >> 4) & 15, v & 15, b);
}
