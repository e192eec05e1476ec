// The step frame of zubDriver: gates, deadline, state bookkeeping, the one
// dispatch point for every state, end-of-step logging; and the error exit and
// step shapes the state groups share.
#include "engine/driver.h"

#include "core/channel.h"
#include "core/errors.h"
#include "core/settings.h"
#include "core/trace.h"
#include "engine/localfile.h"
#include "engine/reply.h"
#include "engine/ring.h"
#include "engine/states.h"
#include "engine/tls_states.h"
#include "net/data.h"
#include "net/sockets.h"
#include "platform/platform.h"
#include "util/text.h"
#include "zub32.h"

namespace {

// Capacity of a message text in the trace log.
constexpr int32_t MESSAGE_TEXT_CAP = 255;


// True for a command line that carries a password ("PASS ...", in any case),
// also when the caller sends it with zubCommand.
bool isPasswordCommand(const char* line) {
  const char* word = "PASS ";
  for (int32_t i = 0; word[i] != '\0'; ++i) {
    char c = line[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != word[i]) return false;
  }
  return true;
}

// Writes the message text of code as zubErrorText gives it (the server's
// last reply line follows for -18 and -9), formatted into logLine.
void traceMessageText(ChannelRecord* rec, int32_t code) {
  char* out = rec->logLine;
  int32_t n = copyText(out, errorTextOf(code), MESSAGE_TEXT_CAP);
  if ((code == ZUB_E_SERVER_ERROR || code == ZUB_E_CONNECT) && n < MESSAGE_TEXT_CAP) {
    out[n++] = ' ';
    n += copyText(out + n, rec->responseBuf, MESSAGE_TEXT_CAP - n);
  }
  out[n] = '\0';
  traceBytes(rec, out, n);
}

}  // namespace

TimeText timeText(uint32_t tick) {
  uint32_t v = tick & 0x7FFFF;
  uint32_t sec = v / 1000;  // at most 524
  uint32_t ms = v % 1000;
  TimeText t{};
  t.text[0] = static_cast<char>('0' + sec / 100);
  t.text[1] = static_cast<char>('0' + sec / 10 % 10);
  t.text[2] = static_cast<char>('0' + sec % 10);
  t.text[3] = '.';
  t.text[4] = static_cast<char>('0' + ms / 100);
  t.text[5] = static_cast<char>('0' + ms / 10 % 10);
  t.text[6] = static_cast<char>('0' + ms % 10);
  t.text[7] = '\0';
  return t;
}

int32_t errorExit(ChannelRecord* rec, int32_t sockCode, int32_t driverCode) {
  if (traceOpen(rec)) {
    TimeText at = timeText(platTickCount());
    traceLine(rec, "ERROR(%s): SockCode=%d zubCode=%d PrevState=%d ThisState=%d NextState=%d\r\n", at.text,
              sockCode, driverCode, rec->prevState, rec->state, rec->nextState);
    if (driverCode < 0) traceMessageText(rec, driverCode);
    if (sockCode < 0) traceMessageText(rec, sockCode);
  }
  // The channel is idle now: a deadline left armed would fail the next call
  // again instead of letting it report the idle channel.
  goState(rec, ST_idle, NO_TICK, NO_TICK);
  rec->prevState = rec->state;
  rec->state = STATE_NO_STEP;
  rec->lastError = sockCode;
  rec->timeStopError = 0;
  // Nor may the writability gate of a failed connect outlive it: the next
  // operation arms no deadline and would wait at the gate for ever.
  rec->waitWritable = 0;
  // The data side goes with the local file: a socket left open would leak
  // and could feed stray bytes into the channel's next transfer.
  closeDataSide(rec, 0);
  platSleep(0);
  return sockCode < 0 ? sockCode : driverCode;
}

int32_t replyReadFailed(ChannelRecord* rec, int32_t code) {
  if (isSocketCode(code)) return errorExit(rec, code, ZUB_E_READ);
  return errorExit(rec, 0, code);
}

int32_t sendCommandLine(ChannelRecord* rec) {
  return sendAll(rec->ctrlSock, rec->cmdBuf, textLength(rec->cmdBuf));
}

void goState(ChannelRecord* rec, StateId next, uint32_t resumeTick, uint32_t deadlineTick) {
  rec->nextState = next;
  rec->resumeTick = resumeTick;
  rec->deadlineTick = deadlineTick;
}

void goNextState(ChannelRecord* rec, StateId next) { goState(rec, next, rec->resumeTick, rec->deadlineTick); }

void setStateTicks(ChannelRecord* rec, uint32_t resumeTick, uint32_t deadlineTick) {
  // nextState holds nothing but what goState was given.
  goState(rec, static_cast<StateId>(rec->nextState), resumeTick, deadlineTick);
}

int32_t commandStep(ChannelRecord* rec, uint32_t now, StateId replyState) {
  int32_t r = sendCommandLine(rec);
  if (r < 0) return errorExit(rec, r, ZUB_E_WRITE);
  goState(rec, replyState, tickAfter(now, settings.replyDelay), tickAfter(now, settings.replyTimeout));
  return STEP_ON;
}

namespace {

enum class ReplyOf { Command, CommandOrEnd, Transfer };

// The reply step; `of` says whether the server may answer by ending the
// connection, and whether the reply belongs to a transfer.
int32_t readReplyStep(ChannelRecord* rec, StateId successor, ReplyOf of) {
  if (!replyBytesWaiting(rec)) return STEP_ON;
  int32_t r = readReplyOrEnd(rec);
  if (r < 0 && of == ReplyOf::Transfer && dataSessionRefused(rec, r)) return errorExit(rec, 0, ZUB_E_TLS_REUSE);
  if (r < 0) return replyReadFailed(rec, r);
  // The end of the connection is no reply: nothing confirms that the command
  // was carried out, and a transfer cut off by the server's end would pass
  // for complete.
  if (r == REPLY_CONNECTION_ENDED && of != ReplyOf::CommandOrEnd) return errorExit(rec, ZUB_E_SOCKET_CLOSED, ZUB_E_READ);
  goNextState(rec, successor);
  return REPLY_READ;
}

}  // namespace

int32_t replyStep(ChannelRecord* rec, StateId successor) { return readReplyStep(rec, successor, ReplyOf::Command); }

int32_t transferReplyStep(ChannelRecord* rec, StateId successor) {
  return readReplyStep(rec, successor, ReplyOf::Transfer);
}

int32_t replyOrCloseStep(ChannelRecord* rec, StateId successor) {
  return readReplyStep(rec, successor, ReplyOf::CommandOrEnd);
}

bool replyBytesWaiting(ChannelRecord* rec) {
  if (waitRingData(&rec->ctrlRing, 0) != 0) return true;
  noteIdleWait(rec, rec->ctrlSock, PLAT_READABLE);
  return false;
}

void noteIdleWait(ChannelRecord* rec, int32_t sock, int32_t mode) {
  if (sock <= 0) return;
  for (IdleWait& w : rec->idleWait) {
    if (w.mode == 0) {
      w.sock = sock;
      w.mode = mode;
      return;
    }
  }
}

StateHandler findStateHandler(int32_t state) {
  switch (state) {
#define ZUB_STATE_CASE(number, name) \
  case number:                       \
    return &name;
    ZUB_ALL_STATES(ZUB_STATE_CASE)
#undef ZUB_STATE_CASE
    default:
      return nullptr;
  }
}

int32_t driverStep(ChannelRecord* rec, uint32_t now) {
  rec->cmdBuf[0] = '\0';
  rec->responseBuf[0] = '\0';
  rec->idleWait[0] = IdleWait{};
  rec->idleWait[1] = IdleWait{};

  if (rec->resumeTick != 0 && tickBefore(now, rec->resumeTick)) {
    platSleep(static_cast<uint32_t>(settings.sleepTime));
    return ZUB_BUSY;
  }
  if (rec->deadlineTick != 0 && tickBefore(rec->deadlineTick, now)) {
    traceLine(rec, "TimeStop exceeded [%ld:%ld]\r\n", now, rec->deadlineTick);
    return errorExit(rec, 0, rec->timeStopError != 0 ? rec->timeStopError : ZUB_E_TIMEOUT);
  }
  if (rec->waitWritable != 0) {
    // A socket that has failed (a refused connect) never becomes writable:
    // the gate is dropped and the state finds the failure itself, at once
    // rather than at the deadline.  No socket at all never opens either;
    // without a deadline to end the wait (an operation armed after an
    // aborted connect) that gate is dropped too.
    // Writability first: the gate runs once per upload block, and a socket
    // that is writable needs no second poll.
    bool writable = rec->ctrlSock > 0 && testSocket(rec->ctrlSock, PLAT_WRITABLE) != 0;
    if (!writable) {
      bool failed = rec->ctrlSock > 0 && testSocket(rec->ctrlSock, PLAT_ERROR) != 0;
      bool neverOpens = failed || (rec->deadlineTick == 0 && rec->ctrlSock <= 0);
      if (!neverOpens) {
        noteIdleWait(rec, rec->ctrlSock, PLAT_WRITABLE);
        platSleep(static_cast<uint32_t>(settings.sleepTime));
        return ZUB_BUSY;
      }
    }
    rec->waitWritable = 0;
  }

  rec->state = rec->nextState;
  if (rec->state > 0) rec->stepCount = static_cast<int32_t>(static_cast<uint32_t>(rec->stepCount) + 1u);
  // While a state repeats (a reply step waiting) its line is written once.
  if (rec->state != rec->prevState) {
    TimeText at = timeText(now);
    traceLine(rec, "<%3d:%s>\r\n", rec->state, at.text);
  }

  if (rec->state == ST_idle) {
    rec->state = STATE_NO_STEP;
    goState(rec, ST_idle, NO_TICK, NO_TICK);
    return 0;
  }
  StateHandler handler = findStateHandler(rec->state);
  if (handler != nullptr) {
    int32_t r = handler(rec, now);
    // The error exit (state -1 after it) and a failed accept end the step
    // here, without the end-of-step lines.
    if (r < 0 || rec->state == STATE_NO_STEP) return r;
  } else {
    traceLine(rec, "ERROR! Unknown state %d\r\n", rec->state);
  }

  if (traceOpen(rec)) {
    if (rec->cmdBuf[0] != '\0') {
      traceText(rec, "S: ");
      // A password never reaches the log: the file outlives the session and
      // is often attached to bug reports.
      if (isPasswordCommand(rec->cmdBuf)) {
        traceText(rec, "PASS ********\r\n");
      } else {
        traceText(rec, rec->cmdBuf);
      }
      traceText(rec, "\r\n");
    }
    if (rec->responseBuf[0] != '\0') {
      traceText(rec, "R: ");
      traceText(rec, rec->responseBuf);
    }
  }
  rec->prevState = rec->state;
  rec->state = STATE_NO_STEP;
  return rec->nextState;
}

extern "C" ZUB_EXPORT int32_t ZUB_API zubDriver(int32_t channel) {
  int32_t err = 0;
  ChannelRecord* rec = checkChannel(channel, &err);
  if (rec == nullptr) return err;
  return driverStep(rec, platTickCount());
}
