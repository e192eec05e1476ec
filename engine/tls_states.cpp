// Driver states of encrypted sessions: AUTH TLS and the control handshake
// (110-113), PBSZ and PROT before the first data connection (120-123), the
// data connection's handshake, which resumes the control session (925-926),
// and the server's verdict on a data connection that failed (927).  Every
// handshake step is one non-blocking attempt.
#include "engine/tls_states.h"

#include "core/channel.h"
#include "core/settings.h"
#include "core/trace.h"
#include "engine/driver.h"
#include "engine/localfile.h"
#include "net/control.h"
#include "engine/reply.h"
#include "engine/ring.h"
#include "engine/states.h"
#include "net/sockets.h"
#include "net/tls.h"
#include "platform/platform.h"
#include "util/text.h"
#include "zub32.h"

namespace {

int32_t stepResult(int32_t r) { return r < 0 ? r : STEP_ON; }

// Longest piece of a server's reply quoted in a trace line.
constexpr int32_t REASON_TEXT_CAP = 200;

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

// Why the server may have refused the data connection's session, as far as
// this side knows it.
const char* dataSessionState(const ChannelRecord* rec) {
  int32_t resumed = tlsDataSessionResumed(rec);
  if (resumed < 0) return "before its TLS handshake ended";
  return resumed == 0 ? "which did not resume the control connection's session"
                      : "which resumed the control connection's session";
}

}  // namespace

bool dataSessionRefused(ChannelRecord* rec, int32_t code) {
  if (!dataTlsWanted(rec)) return false;
  // The data connection itself failed: the server's reason, when it has
  // given one, waits on the control connection.
  if (code != ZUB_E_SERVER_ERROR && waitingRefusal(rec) != ZUB_E_SERVER_ERROR) return false;
  char reply[REASON_TEXT_CAP + 1];
  copyLine(reply, rec->responseBuf, REASON_TEXT_CAP);
  if (rec->replyCode == 522 || mentionsReuse(rec->responseBuf)) {
    traceLine(rec, "TLS: the server refused the data connection %s: %s\r\n", dataSessionState(rec), reply);
    return true;
  }
  // Some servers refuse such a connection with a code that says no more
  // than that the connection failed (proftpd: 425): the refusal stands as
  // it is, and the trace says what may have caused it.  Only for the codes
  // that speak of the data connection (425 cannot open it, 426 closed it;
  // 522 is taken above): a 421 concerns the control connection, 45x and 55x
  // the file or the disk, and naming the session there would mislead.
  if (tlsDataSessionResumed(rec) == 0 && (rec->replyCode == 425 || rec->replyCode == 426)) {
    traceLine(rec, "TLS: the data connection did not resume the control connection's session, which a server "
                   "may require: %s\r\n", reply);
  }
  return false;
}

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
  if (!replyBytesWaiting(rec)) return STEP_ON;
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

// ---- A failed data connection in TLS ----

int32_t dataConnectionFailed(ChannelRecord* rec, int32_t sockCode, int32_t driverCode) {
  if (!dataTlsWanted(rec)) return errorExit(rec, sockCode, driverCode);
  traceLine(rec, "TLS: the data connection failed (%d); the server's reply decides\r\n",
            sockCode < 0 ? sockCode : driverCode);
  closeDataSide(rec, 0);
  rec->dataFailureSock = sockCode;
  rec->dataFailureCode = driverCode;
  // No reply in time leaves the data connection's own failure.
  rec->timeStopError = sockCode < 0 ? sockCode : driverCode;
  goState(rec, ST_readDataFailureReply, NO_TICK, tickAfter(platTickCount(), settings.replyTimeout));
  return STEP_ON;
}

int32_t readDataFailureReply(ChannelRecord* rec, uint32_t) {
  // A refusal ends the transfer as the reply step decides (-36 for the
  // session's refusal); any other reply leaves the data connection's failure.
  int32_t r = transferReplyStep(rec, ST_readDataFailureReply);
  if (r != REPLY_READ) return r;
  // A preliminary reply (a 150 sent before a data handshake that failed) is
  // no verdict: the final one follows, within the same deadline.
  if (rec->replyCode < 200) return STEP_ON;
  return errorExit(rec, rec->dataFailureSock, rec->dataFailureCode);
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
    if (refusal < 0) return errorExit(rec, 0, dataSessionRefused(rec, refusal) ? ZUB_E_TLS_REUSE : refusal);
    noteIdleWait(rec, rec->dataSock, waitMode);
    noteIdleWait(rec, rec->ctrlSock, PLAT_READABLE);
    return STEP_ON;
  }
  // A server that refuses the session may break the handshake off before
  // its refusal arrives: its reply decides, as for a data connection that
  // breaks later.  A certificate rejected here is this side's own verdict.
  if (r == ZUB_E_TLS_HANDSHAKE) return dataConnectionFailed(rec, 0, r);
  if (r < 0) return errorExit(rec, 0, dataSessionRefused(rec, r) ? ZUB_E_TLS_REUSE : r);
  goDataReadyState(rec);
  return STEP_ON;
}
