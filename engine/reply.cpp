// The reply reader: control-connection lines into FTP replies, with their
// codes, text pointer, notes and trace lines.  scanReplyLine decides; the
// reader below only receives, waits and applies what it decided.
#include "engine/reply.h"

#include "core/channel.h"
#include "core/settings.h"
#include "core/trace.h"
#include "engine/driver.h"
#include "engine/ring.h"
#include "platform/platform.h"
#include "util/text.h"
#include "zub32.h"

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

int32_t parseReplyCodeN(const char* text, int32_t len, const char** next) {
  // Unsigned arithmetic: ten digits overflow 32 bits and must wrap, not trap.
  uint32_t code = 0;
  int32_t i = 0;
  while (i < 10 && i < len) {
    char c = text[i++];
    if (!isDigit(c)) break;
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
    if (!isDigit(c)) break;
    code = code * 10u + static_cast<uint32_t>(c - '0');
  }
  if (next != nullptr) *next = text + i;
  return static_cast<int32_t>(code);
}

ReplyLine scanReplyLine(const char* bytes, int32_t len) {
  ReplyLine line{LINE_NEED_MORE, 0, 0};
  int32_t limit = len < REPLY_LINE_MAX ? len : REPLY_LINE_MAX;
  int32_t end = -1;
  for (int32_t i = 0; i < limit; i++) {
    // A NUL would end the line's text early and hide what follows it.
    if (bytes[i] == '\0') {
      line.kind = LINE_PROTOCOL_ERROR;
      return line;
    }
    if (bytes[i] == '\n') {
      end = i;
      break;
    }
  }
  if (end < 0) {
    // A line that cannot fit is never taken in pieces: its tail would be
    // read as the next reply.
    if (len >= REPLY_LINE_MAX) line.kind = LINE_PROTOCOL_ERROR;
    return line;
  }
  line.length = end + 1;
  int32_t content = end > 0 && bytes[end - 1] == '\r' ? end - 1 : end;
  if (bytes[0] == ' ') {
    line.kind = LINE_CONTINUATION;
    return line;
  }
  line.code = parseReplyCodeN(bytes, line.length, nullptr);
  if (line.code >= 400) {
    line.kind = LINE_REFUSAL;
    return line;
  }
  // Only a code followed by a space (or by nothing) ends a reply: a text
  // line of a multi-line reply whose fourth character is a space does not.
  bool final = content >= 3 && isDigit(bytes[0]) && isDigit(bytes[1]) && isDigit(bytes[2]) &&
               (content == 3 || bytes[3] == ' ');
  if (!final) {
    line.kind = LINE_INTERMEDIATE;
  } else if (line.code < 100) {
    line.kind = LINE_PROTOCOL_ERROR;  // no reply code: nothing was confirmed
  } else {
    line.kind = LINE_FINAL;
  }
  return line;
}

namespace {

int32_t fillFromSocket(ReceiveRing* ring, void*) { return fillRing(ring); }
uint32_t platformTick(void*) { return platTickCount(); }
void platformSleep(uint32_t ms, void*) { platSleep(ms); }

// Applies a complete line, already in responseBuf, to the channel: code,
// text pointer, notes and trace.  The reader's result when the line ends the
// reply, else 0.
int32_t applyLine(ChannelRecord* rec, const ReplyLine& scanned) {
  char* line = rec->responseBuf;
  int32_t n = scanned.length;
  if (scanned.kind == LINE_CONTINUATION) {
    traceLine(rec, "c: %s", line);
    return 0;
  }
  const char* past = nullptr;
  parseReplyCode(line, &past);
  rec->replyCode = scanned.code;
  // The text starts one past the character that ended the code, but never
  // beyond the line's terminator (a bare code has no text).
  int32_t textAt = static_cast<int32_t>(past - line) + 1;
  rec->replyTextPtr = line + (textAt < n ? textAt : n);
  if (scanned.code > 400 || scanned.code == 0) appendText(rec->replyNotes, line, REPLY_NOTES_CAP);
  if (scanned.code > 400) traceLine(rec, "\r\nFtpResponse: [%s] Code=%d\r\n", line, scanned.code);
  if (scanned.kind == LINE_REFUSAL) return ZUB_E_SERVER_ERROR;
  if (scanned.kind == LINE_FINAL) return n;
  traceLine(rec, "r: %s", line);
  return 0;
}

}  // namespace

int32_t readReplyFrom(ChannelRecord* rec, const ReplySource& src) {
  if (rec->ctrlSock == 0) return REPLY_CONNECTION_ENDED;
  rec->replyNotes[0] = '\0';
  ReceiveRing* ring = &rec->ctrlRing;
  char* line = rec->responseBuf;
  // The whole read ends at the step's deadline (replyTimeout from now when
  // none is armed); a started line must end within lineTimeout of its first
  // byte, however slowly the rest of it trickles in.
  uint32_t bound = rec->deadlineTick != 0 ? rec->deadlineTick
                                          : src.tick(src.ctx) + static_cast<uint32_t>(settings.replyTimeout);
  bool lineStarted = false;
  uint32_t lineEnd = 0;
  for (;;) {
    int32_t received = src.fill(ring, src.ctx);
    int32_t n = peekQueued(ring, line, REPLY_LINE_MAX);
    ReplyLine scanned = scanReplyLine(line, n);
    if (scanned.kind == LINE_PROTOCOL_ERROR) return ZUB_E_READ;
    if (scanned.kind != LINE_NEED_MORE) {
      takeFromRing(ring, line, scanned.length);
      line[scanned.length] = '\0';
      lineStarted = false;
      int32_t r = applyLine(rec, scanned);
      if (r != 0) return r;
      continue;
    }
    // Nothing more will come: what is queued is no complete reply.
    if (received < 0) return received == RING_CLOSED ? REPLY_CONNECTION_ENDED : received;
    uint32_t now = src.tick(src.ctx);
    if (n > 0 && !lineStarted) {
      lineStarted = true;
      lineEnd = now + static_cast<uint32_t>(settings.lineTimeout);
    }
    uint32_t limit = lineStarted && tickBefore(lineEnd, bound) ? lineEnd : bound;
    if (!tickBefore(now, limit)) return ZUB_E_TIMEOUT;
    uint32_t pause = static_cast<uint32_t>(settings.sleepTime);
    if (limit - now < pause) pause = limit - now;
    src.sleep(pause, src.ctx);
  }
}

int32_t readReplyOrEnd(ChannelRecord* rec) {
  static const ReplySource socketSource{&fillFromSocket, &platformTick, &platformSleep, nullptr};
  return readReplyFrom(rec, socketSource);
}

int32_t readReply(ChannelRecord* rec) {
  int32_t r = readReplyOrEnd(rec);
  return r == REPLY_CONNECTION_ENDED ? 1 : r;
}

void flushReplies(ChannelRecord* rec) {
  char scratch[256];
  while (waitRingData(&rec->ctrlRing, 0) != 0) {
    if (takeFromRing(&rec->ctrlRing, scratch, 255) < 0) break;
  }
}
