// The reply parser on its own, and the reader fed by a scripted source with a
// clock of its own: every reply case at every split point, every byte value,
// and the time limits, without sockets and without waiting in real time.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/reply.h"
#include "engine/ring.h"
#include "engine_fixture.h"

namespace zubtest {
namespace {

// ---- scanReplyLine ----

// The bytes are copied into a buffer of exactly their size, so a read past
// the end shows under AddressSanitizer.
ReplyLine scan(const std::string& bytes) {
  std::vector<char> exact(bytes.begin(), bytes.end());
  return scanReplyLine(exact.data(), static_cast<int32_t>(exact.size()));
}

TEST(ScanReplyLine, Table) {
  struct Row {
    std::string bytes;
    ReplyLineKind kind;
    int32_t length;
    int32_t code;
  };
  const Row rows[] = {
      {"220 Ready\r\n", LINE_FINAL, 11, 220},
      {"220 Ready\r\nrest", LINE_FINAL, 11, 220},  // only the first line
      {"200 OK\n", LINE_FINAL, 7, 200},            // a bare LF ends a line too
      {"200\r\n", LINE_FINAL, 5, 200},             // a bare code ends a reply
      {"200\n", LINE_FINAL, 4, 200},
      {"230-Hello\r\n", LINE_INTERMEDIATE, 11, 230},
      {" continued\r\n", LINE_CONTINUATION, 12, 0},
      {"The end\r\n", LINE_INTERMEDIATE, 9, 0},    // no code: text, even with a space fourth
      {"20 short\r\n", LINE_INTERMEDIATE, 10, 20},
      {"2000 x\r\n", LINE_REFUSAL, 8, 2000},       // four digits: no FTP code, and above 400
      {"400 Not now\r\n", LINE_REFUSAL, 13, 400},
      {"550-first of many\r\n", LINE_REFUSAL, 19, 550},  // a refusal ends the read at once
      {"600 odd\r\n", LINE_REFUSAL, 9, 600},
      {"099 low\r\n", LINE_PROTOCOL_ERROR, 9, 99},  // final, but no reply code
      {"000\r\n", LINE_PROTOCOL_ERROR, 5, 0},
      {"220 a\rb\r\n", LINE_FINAL, 9, 220},        // a bare CR is text
      {"\r\n", LINE_INTERMEDIATE, 2, 0},
      {"\n", LINE_INTERMEDIATE, 1, 0},
      {"220 Ready\r", LINE_NEED_MORE, 0, 0},
      {"220 Rea", LINE_NEED_MORE, 0, 0},
      {"", LINE_NEED_MORE, 0, 0},
      {std::string("220 a\0b\r\n", 9), LINE_PROTOCOL_ERROR, 0, 0},
      {std::string("\0", 1), LINE_PROTOCOL_ERROR, 0, 0},
      {"220 " + std::string(REPLY_LINE_MAX - 6, 'x') + "\r\n", LINE_FINAL, REPLY_LINE_MAX, 220},
      {"220 " + std::string(REPLY_LINE_MAX - 5, 'x') + "\r\n", LINE_PROTOCOL_ERROR, 0, 0},  // one too long
      {"220 " + std::string(REPLY_LINE_MAX - 5, 'x'), LINE_NEED_MORE, 0, 0},  // may still end in time
      {"220 " + std::string(REPLY_LINE_MAX, 'x'), LINE_PROTOCOL_ERROR, 0, 0},
  };
  for (const Row& row : rows) {
    ReplyLine got = scan(row.bytes);
    EXPECT_EQ(got.kind, row.kind) << row.bytes.substr(0, 40);
    EXPECT_EQ(got.length, row.length) << row.bytes.substr(0, 40);
    if (row.kind != LINE_NEED_MORE && got.kind != LINE_PROTOCOL_ERROR) {
      EXPECT_EQ(got.code, row.code) << row.bytes;
    }
  }
}

// Every byte value as the first character and as the character after the
// code, the two places that decide what a line is; and at every position,
// a NUL is refused and a line end cuts the line there.
TEST(ScanReplyLine, EveryByteValue) {
  for (int v = 0; v < 256; v++) {
    const char b = static_cast<char>(v);
    const bool digit = b >= '0' && b <= '9';
    SCOPED_TRACE(v);

    // First character of "?30 x\r\n".
    ReplyLine first = scan(std::string(1, b) + "30 x\r\n");
    if (b == '\0') {
      EXPECT_EQ(first.kind, LINE_PROTOCOL_ERROR);
    } else if (b == '\n') {
      EXPECT_EQ(first.kind, LINE_INTERMEDIATE);
      EXPECT_EQ(first.length, 1);
    } else if (b == ' ') {
      EXPECT_EQ(first.kind, LINE_CONTINUATION);
    } else if (!digit) {
      EXPECT_EQ(first.kind, LINE_INTERMEDIATE);
      EXPECT_EQ(first.code, 0);
    } else {
      const int code = (b - '0') * 100 + 30;
      EXPECT_EQ(first.code, code);
      EXPECT_EQ(first.kind, code >= 400 ? LINE_REFUSAL : code < 100 ? LINE_PROTOCOL_ERROR : LINE_FINAL);
    }

    // Fourth character of "230?x\r\n".
    ReplyLine fourth = scan(std::string("230") + b + "x\r\n");
    if (b == '\0') {
      EXPECT_EQ(fourth.kind, LINE_PROTOCOL_ERROR);
    } else if (digit) {
      EXPECT_EQ(fourth.kind, LINE_REFUSAL);  // four digits: 2300 to 2309
    } else if (b == ' ' || b == '\n') {
      EXPECT_EQ(fourth.kind, LINE_FINAL);
      EXPECT_EQ(fourth.length, b == '\n' ? 4 : 7);
    } else {
      EXPECT_EQ(fourth.kind, LINE_INTERMEDIATE);
      EXPECT_EQ(fourth.code, 230);
    }

    // Each position of a final line.
    const std::string line = "257 \"/pub\"\r\n";
    for (size_t at = 0; at + 2 < line.size(); at++) {
      std::string bytes = line;
      bytes[at] = b;
      ReplyLine got = scan(bytes);
      if (b == '\0') {
        EXPECT_EQ(got.kind, LINE_PROTOCOL_ERROR) << at;
      } else if (b == '\n') {
        EXPECT_EQ(got.length, static_cast<int32_t>(at + 1)) << at;
      } else {
        EXPECT_EQ(got.length, static_cast<int32_t>(line.size())) << at;
      }
      // Whatever the byte, a line without its end is never taken.
      for (size_t cut = 0; cut < bytes.size() && bytes.find('\n') >= cut; cut++) {
        ReplyLine part = scan(bytes.substr(0, cut));
        const bool nul = bytes.substr(0, cut).find('\0') != std::string::npos;
        EXPECT_EQ(part.kind, nul ? LINE_PROTOCOL_ERROR : LINE_NEED_MORE) << at << " cut " << cut;
      }
    }
  }
}

// ---- The reader with a scripted source ----

// Bytes that arrive at given ticks, then the end of the connection (or
// none); the clock moves only when the reader sleeps.
struct Script {
  struct Piece {
    uint32_t at;
    std::string bytes;
  };
  std::vector<Piece> pieces;
  int32_t end = 0;  // RING_CLOSED, a negated socket error, or 0: stays open
  uint32_t now = 0;
  size_t next = 0;
  size_t offset = 0;  // of pieces[next] already in the ring
  uint32_t sleeps = 0;

  static int32_t fill(ReceiveRing* ring, void* ctx) {
    Script* s = static_cast<Script*>(ctx);
    int32_t added = 0;
    while (s->next < s->pieces.size() && s->pieces[s->next].at <= s->now) {
      const std::string& p = s->pieces[s->next].bytes;
      while (s->offset < p.size()) {
        uint16_t after = static_cast<uint16_t>((ring->tail + 1) & (RING_SIZE - 1));
        if (after == ring->head) return added;  // full: the rest waits
        ring->bytes[ring->tail] = static_cast<uint8_t>(p[s->offset++]);
        ring->tail = after;
        added++;
      }
      s->next++;
      s->offset = 0;
    }
    if (added > 0) return added;
    return s->next == s->pieces.size() ? s->end : 0;
  }
  static uint32_t tick(void* ctx) { return static_cast<Script*>(ctx)->now; }
  static void sleep(uint32_t ms, void* ctx) {
    Script* s = static_cast<Script*>(ctx);
    s->now += ms;
    s->sleeps++;
  }
  ReplySource source() { return ReplySource{&Script::fill, &Script::tick, &Script::sleep, this}; }

  // The bytes in pieces of `size`, one piece per `gap` milliseconds from `start`.
  static Script split(const std::string& bytes, size_t size, uint32_t gap, uint32_t start = 1000) {
    Script s;
    s.now = start;
    for (size_t at = 0, k = 0; at < bytes.size(); at += size, k++) {
      s.pieces.push_back({start + static_cast<uint32_t>(k) * gap, bytes.substr(at, size)});
    }
    return s;
  }
};

// The channel of the engine fixture with a control "socket" that is never
// touched: the script supplies every byte.
class ReplyReaderTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    rec_->ctrlSock = kFakeSock;
    rec_->ctrlRing.sock = 0;
    settings.lineTimeout = 5000;
    settings.replyTimeout = 20000;
    settings.sleepTime = 10;
  }
  void TearDown() override {
    rec_->ctrlSock = 0;
    EngineTest::TearDown();
  }
  void resetRing() {
    rec_->ctrlRing.head = rec_->ctrlRing.tail = 0;
    rec_->deadlineTick = 0;
  }
  static constexpr int32_t kFakeSock = -7;
};

struct ReplyCase {
  const char* name;
  std::string bytes;
  int32_t end;     // how the connection goes on after the bytes
  int32_t result;  // of readReplyOrEnd
  int32_t code;    // replyCode afterwards (when a line was parsed)
  const char* text;   // replyTextPtr, when result > 0
  const char* notes;  // replyNotes
  const char* trace;  // a part of the trace log, or ""
};

const ReplyCase kReplyCases[] = {
    {"one line", "220 Ready\r\n", 0, 11, 220, "eady\r\n", "", ""},
    {"bare LF", "200 OK\n", 0, 7, 200, "K\n", "", ""},
    {"bare code", "200\r\n", 0, 5, 200, "", "", ""},
    {"PWD", "257 \"/pub\" is current\r\n", 0, 23, 257, "/pub\" is current\r\n", "", ""},
    {"multi-line", "230-Hello\r\n continued\r\n230 Done\r\n", 0, 10, 230, "one\r\n", "", "r: 230-Hello\r\nc:  continued\r\n"},
    {"text line with a space fourth", "230-Hi\r\nThe end\r\n230 Done\r\n", 0, 10, 230, "one\r\n", "The end\r\n", "r: The end\r\n"},
    {"refusal", "550 No such file\r\n", 0, ZUB_E_SERVER_ERROR, 550, nullptr, "550 No such file\r\n",
     "\r\nFtpResponse: [550 No such file\r\n] Code=550\r\n"},
    {"400 is refused, not noted", "400 Not now\r\n", 0, ZUB_E_SERVER_ERROR, 400, nullptr, "", ""},
    {"refusal inside a multi-line reply", "230-a\r\n530-no\r\n230 b\r\n", 0, ZUB_E_SERVER_ERROR, 530, nullptr, "530-no\r\n", ""},
    {"code outside 100-599", "700 x\r\n", 0, ZUB_E_SERVER_ERROR, 700, nullptr, "700 x\r\n", ""},
    {"code below 100", "099 x\r\n", 0, ZUB_E_READ, 0, nullptr, "", ""},
    {"NUL in a line", std::string("220 a\0b\r\n", 9), 0, ZUB_E_READ, 0, nullptr, "", ""},
    {"closed mid-line", "220 Rea", RING_CLOSED, REPLY_CONNECTION_ENDED, 0, nullptr, "", ""},
    {"closed after bare CR", "220 Ready\r", RING_CLOSED, REPLY_CONNECTION_ENDED, 0, nullptr, "", ""},
    {"closed mid-reply", "230-Hello\r\n", RING_CLOSED, REPLY_CONNECTION_ENDED, 230, nullptr, "", "r: 230-Hello\r\n"},
    {"reset mid-line", "220 Rea", -PLAT_WSAECONNRESET, -PLAT_WSAECONNRESET, 0, nullptr, "", ""},
    {"refusal then close", "421 Bye\r\n", RING_CLOSED, ZUB_E_SERVER_ERROR, 421, nullptr, "421 Bye\r\n", ""},
    {"unfinished line", "220 Rea", 0, ZUB_E_TIMEOUT, 0, nullptr, "", ""},
    {"line too long", "220 " + std::string(5000, 'x') + "\r\n", 0, ZUB_E_READ, 0, nullptr, "", ""},
    {"longest line", "220 " + std::string(REPLY_LINE_MAX - 6, 'y') + "\r\n", 0, REPLY_LINE_MAX, 220, nullptr, "", ""},
};

// Every case with its bytes in pieces of every size from 1 to the whole
// (pieces 1 ms apart): the outcome does not depend on how the bytes arrive.
TEST_F(ReplyReaderTest, EveryCaseAtEverySplit) {
  openLog();
  for (const ReplyCase& c : kReplyCases) {
    // Long lines: a few sizes are enough to cross the ring and buffer edges.
    std::vector<size_t> sizes;
    for (size_t k = 1; k <= c.bytes.size(); k++) {
      if (c.bytes.size() < 100 || k < 4 || k % 997 == 0 || k == c.bytes.size()) sizes.push_back(k);
    }
    for (size_t k : sizes) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(k));
      resetRing();
      rec_->replyCode = 0;
      rec_->replyTextPtr = rec_->responseBuf;
      Script s = Script::split(c.bytes, k, 1);
      s.end = c.end;
      size_t logBefore = readLog().size();
      EXPECT_EQ(readReplyFrom(rec_, s.source()), c.result);
      EXPECT_EQ(rec_->replyCode, c.code);
      EXPECT_STREQ(rec_->replyNotes, c.notes);
      if (c.result > 0 && c.text != nullptr) {
        EXPECT_STREQ(rec_->replyTextPtr, c.text);
      }
      if (c.result > 0) {
        EXPECT_EQ(std::string(rec_->responseBuf), c.bytes.substr(c.bytes.size() - c.result));
      }
      std::string trace = readLog().substr(logBefore);
      if (c.trace[0] != '\0') {
        EXPECT_NE(trace.find(c.trace), std::string::npos) << trace;
      }
      if (c.result > 0) {
        EXPECT_EQ(trace.find(c.bytes.substr(c.bytes.size() - c.result)), std::string::npos);
      }
      // A reply read whole leaves nothing of itself queued.
      if (c.result > 0) {
        EXPECT_EQ(rec_->ctrlRing.head, rec_->ctrlRing.tail);
      }
    }
  }
}

// The reader's time limits on a clock of its own: a line must end within
// lineTimeout of its first byte, the whole read within the step's deadline,
// and an unfinished line is never taken as a reply.
TEST_F(ReplyReaderTest, TimeLimits) {
  struct Row {
    const char* name;
    Script script;
    uint32_t deadline;  // deadlineTick (0: replyTimeout from the start)
    int32_t result;
    uint32_t endsBy;  // the reader has returned by this tick
    uint32_t notBefore;
  };
  auto pieces = [](std::vector<Script::Piece> p) {
    Script s;
    s.now = 1000;
    s.pieces = std::move(p);
    return s;
  };
  std::vector<std::string> trickle(200, "230-more\r\n");
  std::string endless;
  for (const std::string& l : trickle) endless += l;
  Row rows[] = {
      {"line finished 3 s later", pieces({{1000, "220 Rea"}, {4000, "dy\r\n"}}), 0, 11, 4000, 4000},
      {"line finished 6 s later", pieces({{1000, "220 Rea"}, {7000, "dy\r\n"}}), 0, ZUB_E_TIMEOUT, 6000, 6000},
      {"byte every 50 ms, inside lineTimeout", Script::split("220 Ready\r\n", 1, 50), 0, 11, 1500, 1500},
      // "250 " then a byte every 50 ms: each byte used to restart the wait.
      {"byte every 50 ms, past lineTimeout", Script::split("250 " + std::string(400, '.') + "\r\n", 1, 50), 0,
       ZUB_E_TIMEOUT, 6000, 6000},
      {"line slower than the deadline", Script::split("220 Ready\r\n", 1, 400), 3000, ZUB_E_TIMEOUT, 3000, 3000},
      {"silent server", pieces({}), 2500, ZUB_E_TIMEOUT, 2500, 2500},
      {"silent server, no deadline armed", pieces({}), 0, ZUB_E_TIMEOUT, 21000, 21000},
      {"greeting after 2 s of silence", pieces({{3000, "220 Hi\r\n"}}), 0, 8, 3000, 3000},
      {"endless multi-line reply", Script::split(endless, 10, 20), 2000, ZUB_E_TIMEOUT, 2000, 2000},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.name);
    resetRing();
    rec_->deadlineTick = row.deadline;
    EXPECT_EQ(readReplyFrom(rec_, row.script.source()), row.result);
    EXPECT_LE(row.script.now, row.endsBy + 10);
    EXPECT_GE(row.script.now, row.notBefore);
    // Waiting is done in sleepTime steps, never in a spin.
    EXPECT_LE(row.script.sleeps, (row.script.now - 1000) / 10 + 10);
  }
}

}  // namespace
}  // namespace zubtest
