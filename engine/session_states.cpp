// Session states: connect and log in (101-107), QUIT (220-221) and the
// keep-alive NOOP (240-241).
#include "core/channel.h"
#include "core/settings.h"
#include "core/trace.h"
#include "engine/driver.h"
#include "engine/reply.h"
#include "engine/states.h"
#include "engine/tls_states.h"
#include "net/control.h"
#include "net/sockets.h"
#include "platform/platform.h"
#include "util/text.h"
#include "zub32.h"

namespace {

// A reply state's result for the frame: REPLY_READ is a step that went on.
int32_t stepResult(int32_t r) { return r < 0 ? r : STEP_ON; }

uint32_t setting(int32_t value) { return static_cast<uint32_t>(value); }

// A control socket that never connected is of no use, and it never becomes
// writable: a later zubClose would wait at the writability gate for ever.
// It is closed before the error exit.
int32_t failBeforeConnected(ChannelRecord* rec, int32_t code) {
  closeSocket(rec->ctrlSock, 0);
  rec->ctrlSock = 0;
  rec->ctrlRing.sock = 0;
  return errorExit(rec, code, 0);
}

}  // namespace

int32_t startConnection(ChannelRecord* rec, uint32_t) {
  writeVersionBanner(rec);
  copyText(rec->responseBuf, socketDescription, RESPONSE_BUF_CAP - 1);
  if (traceOpen(rec)) {
    traceLine(rec, "Description:  '%s'\r\n", rec->responseBuf);
    localHostName(rec->responseBuf, RESPONSE_BUF_CAP - 1);
    traceLine(rec, "LocalHost: '%s'\r\n", rec->responseBuf);
    traceLine(rec, "Server: '%s'\r\n", rec->serverName);
  }

  // A second connect on a channel that was not closed would otherwise leak
  // the old control socket.
  if (rec->ctrlSock > 0) closeSocket(rec->ctrlSock, 0);
  resetSessionExtensions(rec);
  int32_t sock = createSocket();
  // A failed creation must not leave a negative handle that later code would
  // take for an open connection.
  rec->ctrlSock = sock > 0 ? sock : 0;
  rec->ctrlRing.sock = rec->ctrlSock;
  rec->ctrlRing.head = 0;
  rec->ctrlRing.tail = 0;
  if (sock < 0) return errorExit(rec, sock, ZUB_E_CANNOT_CREATE_SOCK);

  if (isDottedAddress(rec->serverName)) {
    rec->serverAddr = parseDottedAddress(rec->serverName);
  } else {
    int32_t r = resolveServer(rec);
    if (r < 0) return failBeforeConnected(rec, r);
  }
  if (traceOpen(rec)) {
    char ip[LOCAL_IP_CAP + 1];
    formatDottedAddress(rec->serverAddr, ip, LOCAL_IP_CAP);
    traceLine(rec, "ServerIP = %s\r\n", ip);
  }

  int32_t r = connectControl(rec);
  if (r < 0) return failBeforeConnected(rec, r);

  platSleep(0);
  uint32_t t = platTickCount();
  goState(rec, ST_awaitConnected, tickAfter(t, setting(settings.replyDelay)),
          tickAfter(t, setting(settings.connectTimeout)));
  rec->waitWritable = 1;
  return STEP_ON;
}

int32_t awaitConnected(ChannelRecord* rec, uint32_t now) {
  // A refused attempt ends at once with its own code, as the blocking
  // connect reports it, instead of waiting out the connect time-out.
  int32_t failure = connectFailure(rec->ctrlSock);
  if (failure < 0) return failBeforeConnected(rec, failure);
  if (!waitForWritable(rec->ctrlSock, 0)) {
    noteIdleWait(rec, rec->ctrlSock, PLAT_WRITABLE);
    return STEP_ON;
  }
  if (rec->nonBlockConnect != 0) {
    rec->nonBlockArg = 0;
    platSetNonBlocking(rec->ctrlRing.sock, &rec->nonBlockArg);
  }
  if (localAddress(rec) < 0) return errorExit(rec, rec->listenSock, ZUB_E_LISTEN);
  goState(rec, stateAfterConnected(rec), NO_TICK, tickAfter(now, setting(settings.replyTimeout)));
  return STEP_ON;
}

int32_t readGreeting(ChannelRecord* rec, uint32_t) {
  traceText(rec, "ZUB is connected.\r\n");
  int32_t r = readReplyOrEnd(rec);
  if (r < 0) return replyReadFailed(rec, r);
  // A server that drops the connection instead of greeting has not let us in.
  if (r == REPLY_CONNECTION_ENDED) return errorExit(rec, ZUB_E_SOCKET_CLOSED, ZUB_E_READ);
  goState(rec, stateAfterGreeting(rec), NO_TICK, NO_TICK);
  return STEP_ON;
}

int32_t sendUser(ChannelRecord* rec, uint32_t now) {
  if (rec->userName[0] == '\0') {
    goNextState(rec, ST_idle);
    return STEP_ON;
  }
  platFormat(rec->cmdBuf, "USER %s\r\n", rec->userName);
  return commandStep(rec, now, ST_readUserReply);
}

int32_t readUserReply(ChannelRecord* rec, uint32_t) {
  int32_t r = replyStep(rec, ST_sendPass);
  if (r == REPLY_READ) rec->waitWritable = 1;
  return stepResult(r);
}

int32_t sendPass(ChannelRecord* rec, uint32_t now) {
  if (rec->password[0] == '\0') {
    goNextState(rec, ST_idle);
    return STEP_ON;
  }
  platFormat(rec->cmdBuf, "PASS %s\r\n", rec->password);
  int32_t r = commandStep(rec, now, ST_readPassReply);
  // Some servers need a moment after the password before they answer;
  // without the pauses the reply is awaited like any other.
  if (r == STEP_ON && settings.pauses != 0) {
    setStateTicks(rec, tickAfter(now, setting(settings.replyDelay) + 200), rec->deadlineTick);
  }
  return r;
}

int32_t readPassReply(ChannelRecord* rec, uint32_t) {
  if (settings.pauses != 0) platSleep(static_cast<uint32_t>(settings.sleepTime) + 100);
  return stepResult(replyStep(rec, ST_idle));
}

int32_t sendQuit(ChannelRecord* rec, uint32_t now) {
  if (rec->ctrlSock <= 0 || !waitForWritable(rec->ctrlSock, 0)) {
    goNextState(rec, ST_idle);
    return STEP_ON;
  }
  platFormat(rec->cmdBuf, "QUIT\r\n");
  int32_t r = commandStep(rec, now, ST_readQuitReply);
  if (r == STEP_ON) setStateTicks(rec, tickAfter(now, 4 * setting(settings.replyDelay)), rec->deadlineTick);
  return r;
}

int32_t readQuitReply(ChannelRecord* rec, uint32_t) {
  // A server may end the connection without a reply to QUIT: the session is
  // over all the same.
  int32_t r = replyOrCloseStep(rec, ST_idle);
  if (r == REPLY_READ) {
    rec->ctrlRing.head = 0;
    rec->ctrlRing.tail = 0;
  }
  return stepResult(r);
}

int32_t sendNoop(ChannelRecord* rec, uint32_t now) {
  platFormat(rec->cmdBuf, "NOOP\r\n");
  int32_t r = sendCommandLine(rec);
  if (r < 0) return errorExit(rec, r, ZUB_E_CONNECT);
  goState(rec, ST_readNoopReply, tickAfter(now, setting(settings.replyDelay)),
          tickAfter(now, setting(settings.replyTimeout)));
  return STEP_ON;
}

int32_t readNoopReply(ChannelRecord* rec, uint32_t) { return stepResult(replyStep(rec, ST_idle)); }
