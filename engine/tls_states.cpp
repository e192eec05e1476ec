// Driver states of encrypted sessions: AUTH TLS and the control handshake
// (110-113), PBSZ and PROT before the first data connection (120-123), and
// the data connection's handshake, which resumes the control session
// (925-926).  Every handshake step is one non-blocking attempt.
#include "engine/tls_states.h"

#include "core/channel.h"
#include "core/settings.h"
#include "core/trace.h"
#include "engine/driver.h"
#include "net/control.h"
#include "engine/reply.h"
#include "engine/ring.h"
#include "engine/states.h"
#include "net/sockets.h"
#include "net/tls.h"
#include "platform/platform.h"
#include "zub32.h"

namespace {

int32_t stepResult(int32_t r) { return r < 0 ? r : STEP_ON; }

// The control connection is given up: with TLS required nothing more may be
// sent on it in clear, least of all the password.
int32_t dropControl(ChannelRecord* rec, int32_t code) {
  int32_t r = errorExit(rec, 0, code);
  closeControl(rec, 0);
  return r;
}

// True when the text mentions session reuse (the servers' 522 replies do).
bool mentionsReuse(const char* text) {
  for (const char* p = text; *p != '\0'; ++p) {
    const char* w = "reuse";
    int32_t i = 0;
    while (w[i] != '\0' && (p[i] | 0x20) == w[i]) ++i;
    if (w[i] == '\0') return true;
  }
  return false;
}

// A refusal (code 400 or more) waiting on the control connection is read:
// its reader's code (-18); 0 when none waits (a 150 stays queued).
int32_t waitingRefusal(ChannelRecord* rec) {
  if (waitRingData(&rec->ctrlRing, 0) <= 0) return 0;
  char head[12];
  int32_t n = peekRing(&rec->ctrlRing, head, static_cast<int32_t>(sizeof head));
  const char* next = nullptr;
  if (n <= 0 || parseReplyCodeN(head, n, &next) < 400) return 0;
  int32_t r = readReply(rec);
  return r < 0 ? r : 0;
}

}  // namespace

StateId stateAfterConnected(const ChannelRecord* rec) {
  return rec->tlsMode == 2 ? ST_startControlTls : ST_readGreeting;
}

StateId stateAfterGreeting(const ChannelRecord* rec) { return rec->tlsMode == 1 ? ST_sendAuthTls : ST_sendUser; }

bool dataTlsWanted(const ChannelRecord* rec) { return rec->tlsMode != 0 && rec->dataProtection == 'P'; }

StateId firstDataState(const ChannelRecord* rec) {
  if (rec->tlsMode != 0 && rec->protectionSent == 0) return ST_sendPbsz;
  if (rec->passiveMode == 0) return ST_sendPort;
  return rec->useEpsv != 0 && rec->epsvRefused == 0 ? ST_sendEpsv : ST_sendPasv;
}

void resumeAfterDataConnected(ChannelRecord* rec) {
  if (dataTlsWanted(rec)) {
    goNextState(rec, ST_startDataTls);  // dataReadyState stays for the handshake's end
    return;
  }
  goDataReadyState(rec);
}

void resetSessionExtensions(ChannelRecord* rec) {
  rec->protectionSent = 0;
  rec->epsvRefused = 0;
  tlsResetChannel(rec);
}

// ---- AUTH TLS and the control connection's handshake ----

int32_t sendAuthTls(ChannelRecord* rec, uint32_t now) {
  platFormat(rec->cmdBuf, "AUTH TLS\r\n");
  return commandStep(rec, now, ST_readAuthReply);
}

int32_t readAuthReply(ChannelRecord* rec, uint32_t now) {
  if (waitRingData(&rec->ctrlRing, 0) == 0) {
    noteIdleWait(rec, rec->ctrlSock, PLAT_READABLE);
    return STEP_ON;
  }
  int32_t r = readReplyOrEnd(rec);
  if (r == ZUB_E_TIMEOUT) return errorExit(rec, 0, r);
  // Anything but 234 (a refusal, another code, the connection's end) leaves
  // the session in clear: it ends here, before USER.
  if (r <= 0 || rec->replyCode != 234) {
    traceLine(rec, "TLS: the server refused AUTH TLS (reply %d)\r\n", rec->replyCode);
    return dropControl(rec, ZUB_E_TLS_REFUSED);
  }
  goState(rec, ST_startControlTls, NO_TICK, tickAfter(now, settings.replyTimeout));
  return STEP_ON;
}

int32_t startControlTls(ChannelRecord* rec, uint32_t now) {
  int32_t r = tlsBegin(rec, TLS_CONTROL);
  if (r < 0) return dropControl(rec, r);
  goState(rec, ST_controlHandshake, NO_TICK, tickAfter(now, settings.replyTimeout));
  return STEP_ON;
}

int32_t controlHandshake(ChannelRecord* rec, uint32_t now) {
  int32_t waitMode = PLAT_READABLE;
  int32_t r = tlsHandshake(rec, TLS_CONTROL, &waitMode);
  if (r < 0) return dropControl(rec, r);
  if (r == 0) {
    noteIdleWait(rec, rec->ctrlSock, waitMode);
    return STEP_ON;
  }
  // Implicit: the greeting comes now, inside TLS; explicit: the login.
  if (rec->tlsMode == 2) {
    goState(rec, ST_readGreeting, NO_TICK, tickAfter(now, settings.replyTimeout));
  } else {
    goState(rec, ST_sendUser, NO_TICK, NO_TICK);
  }
  return STEP_ON;
}

// ---- PBSZ and PROT, once per session before the first data connection ----

int32_t sendPbsz(ChannelRecord* rec, uint32_t now) {
  platFormat(rec->cmdBuf, "PBSZ 0\r\n");
  return commandStep(rec, now, ST_readPbszReply);
}

int32_t readPbszReply(ChannelRecord* rec, uint32_t) { return stepResult(replyStep(rec, ST_sendProt)); }

int32_t sendProt(ChannelRecord* rec, uint32_t now) {
  platFormat(rec->cmdBuf, rec->dataProtection == 'P' ? "PROT P\r\n" : "PROT C\r\n");
  return commandStep(rec, now, ST_readProtReply);
}

int32_t readProtReply(ChannelRecord* rec, uint32_t) {
  int32_t r = replyStep(rec, ST_idle);
  if (r != REPLY_READ) return r;
  rec->protectionSent = 1;
  goState(rec, firstDataState(rec), NO_TICK, NO_TICK);
  return STEP_ON;
}

// ---- The data connection's handshake ----

int32_t startDataTls(ChannelRecord* rec, uint32_t) {
  // A TLS 1.3 ticket sent after the control handshake is taken in by
  // reading what the control connection holds now; the reply bytes stay
  // queued for the transfer's reply state.
  fillRing(&rec->ctrlRing);
  int32_t r = tlsBegin(rec, TLS_DATA);
  if (r < 0) return errorExit(rec, 0, r);
  goNextState(rec, ST_dataHandshake);
  return STEP_ON;
}

int32_t dataHandshake(ChannelRecord* rec, uint32_t) {
  int32_t waitMode = PLAT_READABLE;
  int32_t r = tlsHandshake(rec, TLS_DATA, &waitMode);
  if (r == 0) {
    // A server that will not take this connection says so on the control
    // connection instead of finishing the handshake.
    int32_t refusal = waitingRefusal(rec);
    if (refusal < 0) {
      return errorExit(rec, 0, mentionsReuse(rec->responseBuf) ? ZUB_E_TLS_REUSE : refusal);
    }
    noteIdleWait(rec, rec->dataSock, waitMode);
    noteIdleWait(rec, rec->ctrlSock, PLAT_READABLE);
    return STEP_ON;
  }
  if (r < 0) {
    int32_t refusal = waitingRefusal(rec);
    if (refusal < 0 && mentionsReuse(rec->responseBuf)) return errorExit(rec, 0, ZUB_E_TLS_REUSE);
    return errorExit(rec, 0, r);
  }
  goDataReadyState(rec);
  return STEP_ON;
}
