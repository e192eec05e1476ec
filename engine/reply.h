// The reply reader: control-connection bytes into FTP replies.  A parser that
// only looks at the bytes it is given, and beside it the part that receives
// and waits for them.
#pragma once

#include <cstdint>

struct ChannelRecord;
struct ReceiveRing;

// ---- The parser: bytes in, a verdict out; no socket, no clock ----

// Longest reply line, line end included: what responseBuf holds.
constexpr int32_t REPLY_LINE_MAX = 4095;

// What the bytes at the start of a line make.
enum ReplyLineKind : int32_t {
  LINE_NEED_MORE = 0,   // no line end yet: wait for more
  LINE_CONTINUATION,    // begins with a space: text inside a reply
  LINE_INTERMEDIATE,    // a line that does not end the reply
  LINE_FINAL,           // the reply is complete (code 100 to 399)
  LINE_REFUSAL,         // the reply is complete with a code of 400 or more
  LINE_PROTOCOL_ERROR,  // no reply can be made of these bytes
};

struct ReplyLine {
  ReplyLineKind kind;
  int32_t length;  // bytes of the line, LF included (0 for LINE_NEED_MORE)
  int32_t code;    // parseReplyCode of the line (0 when it has none)
};

// Looks at the len bytes at the start of a line.  A line ends at LF (CR LF
// or a bare LF); it is final when it starts with three digits followed by a
// space or by its line end.  Protocol errors: a NUL byte, a line longer than
// REPLY_LINE_MAX, a final line whose code is below 100.
ReplyLine scanReplyLine(const char* bytes, int32_t len);

// The code at the start of text (0 if none); *next is set just past the
// first character that is not a digit (or past the tenth digit).
int32_t parseReplyCode(const char* text, const char** next);
// Same, reading at most len bytes of text.
int32_t parseReplyCodeN(const char* text, int32_t len, const char** next);

// ---- The reader: receives, waits and applies each line to the channel ----

// Where the reader's bytes and time come from: the ring's socket and the
// platform clock, or a test's script.
struct ReplySource {
  int32_t (*fill)(ReceiveRing* ring, void* ctx);  // as fillRing
  uint32_t (*tick)(void* ctx);
  void (*sleep)(uint32_t ms, void* ctx);
  void* ctx;
};

// One whole reply: the length of its final line (3 or more); -18 for a line
// with a code of 400 or more; -20 for bytes that make no reply; -22 once the
// step's deadline has passed (replyTimeout from the start when none is
// armed) or a line has stayed unfinished for lineTimeout from its first
// byte; a negative socket code when the connection failed; 1 when no reply
// can come: the channel has no control socket, or the server closed the
// connection before the reply was complete.
int32_t readReply(ChannelRecord* rec);
// readReply for the steps that must tell an ended connection from a reply:
// the same results, except REPLY_CONNECTION_ENDED instead of that 1.
constexpr int32_t REPLY_CONNECTION_ENDED = 0;
int32_t readReplyOrEnd(ChannelRecord* rec);
// readReplyOrEnd with its bytes and time taken from `src`.
int32_t readReplyFrom(ChannelRecord* rec, const ReplySource& src);
void flushReplies(ChannelRecord* rec);
