// The reply reader: control-connection lines into FTP replies, with their
// codes, text pointer, notes and trace lines.
#include "engine/reply.h"

#include "core/channel.h"
#include "core/settings.h"
#include "core/trace.h"
#include "engine/driver.h"
#include "engine/ring.h"
#include "platform/platform.h"
#include "util/text.h"
#include "zub32.h"

int32_t readLine(ChannelRecord* rec, char* buf, int32_t size, uint32_t ms) {
  ReceiveRing* ring = &rec->ctrlRing;
  int32_t n = readRingLine(ring, buf, size);
  if (n < 0) return n;
  // Wait up to ms for the rest of an unfinished line; a failure meanwhile
  // ends the wait and what came is returned.
  while (n < size && (n == 0 || buf[n - 1] != '\n') && waitRingData(ring, ms) != 0) {
    int32_t m = readRingLine(ring, buf + n, size - n);
    if (m <= 0) break;
    n += m;
  }
  buf[n < size ? n : size - 1] = '\0';
  return n;
}

int32_t parseReplyCodeN(const char* text, int32_t len, const char** next) {
  // Unsigned arithmetic: ten digits overflow 32 bits and must wrap, not trap.
  uint32_t code = 0;
  int32_t i = 0;
  while (i < 10 && i < len) {
    char c = text[i++];
    if (c < '0' || c > '9') break;
    code = code * 10u + static_cast<uint32_t>(c - '0');
  }
  if (next != nullptr) *next = text + i;
  return static_cast<int32_t>(code);
}

int32_t parseReplyCode(const char* text, const char** next) {
  // The terminator is read like any other character that is not a digit, so
  // the scan never goes past it.
  uint32_t code = 0;
  int32_t i = 0;
  while (i < 10) {
    char c = text[i++];
    if (c < '0' || c > '9') break;
    code = code * 10u + static_cast<uint32_t>(c - '0');
  }
  if (next != nullptr) *next = text + i;
  return static_cast<int32_t>(code);
}

int32_t readReply(ChannelRecord* rec) {
  int32_t r = readReplyOrEnd(rec);
  return r == REPLY_CONNECTION_ENDED ? 1 : r;
}

int32_t readReplyOrEnd(ChannelRecord* rec) {
  if (rec->ctrlSock == 0) return REPLY_CONNECTION_ENDED;
  rec->replyNotes[0] = '\0';
  char* line = rec->responseBuf;
  // A server that never finishes its reply must not hold the step for ever:
  // the step's deadline bounds the whole read (replyTimeout when none is set).
  uint32_t start = platTickCount();
  uint32_t bound = rec->deadlineTick != 0 ? rec->deadlineTick
                                          : start + static_cast<uint32_t>(settings.replyTimeout);
  for (;;) {
    platSleep(0);
    uint32_t now = platTickCount();
    if (tickBefore(bound, now)) return ZUB_E_TIMEOUT;
    uint32_t wait = static_cast<uint32_t>(settings.lineTimeout);
    if (bound - now < wait) wait = bound - now;
    int32_t n = readLine(rec, line, RESPONSE_BUF_CAP, wait);
    if (n == -1) return REPLY_CONNECTION_ENDED;
    if (n < 0) return n;
    if (n == 0) continue;
    line[n] = '\0';
    if (line[0] == ' ') {
      traceLine(rec, "c: %s", line);
      continue;
    }
    const char* past = nullptr;
    int32_t code = parseReplyCode(line, &past);
    rec->replyCode = code;
    // The text starts one past the character that ended the code, but never
    // beyond the line's terminator (a bare code has no text).
    int32_t textAt = static_cast<int32_t>(past - line) + 1;
    rec->replyTextPtr = line + (textAt < n ? textAt : n);
    if (code > 400 || code == 0) appendText(rec->replyNotes, line, REPLY_NOTES_CAP);
    if (code > 400) traceLine(rec, "\r\nFtpResponse: [%s] Code=%d\r\n", line, code);
    if (code >= 400) return ZUB_E_SERVER_ERROR;
    if (n == 3 || (n > 3 && line[3] == ' ')) return n;
    traceLine(rec, "r: %s", line);
  }
}

void flushReplies(ChannelRecord* rec) {
  char scratch[256];
  while (waitRingData(&rec->ctrlRing, 0) != 0) {
    if (takeFromRing(&rec->ctrlRing, scratch, 255) < 0) break;
  }
}
