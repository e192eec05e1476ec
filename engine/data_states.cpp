// Driver states that set up a transfer's data connection: passive (PASV and
// connect, 900-902) or active (listener and PORT, then accept, 910-921).
// They hand control back to the transfer through dataReadyState.
#include "core/channel.h"
#include "core/settings.h"
#include "core/trace.h"
#include "engine/driver.h"
#include "engine/reply.h"
#include "engine/ring.h"
#include "engine/states.h"
#include "engine/tls_states.h"
#include "net/data.h"
#include "net/sockets.h"
#include "platform/platform.h"
#include "util/text.h"
#include "zub32.h"

void setDataReadyState(ChannelRecord* rec, StateId state) { rec->dataReadyState = state; }

// dataReadyState holds nothing but what setDataReadyState was given.
StateId dataReadyStateOf(const ChannelRecord* rec) { return static_cast<StateId>(rec->dataReadyState); }

void goDataReadyState(ChannelRecord* rec) {
  goNextState(rec, dataReadyStateOf(rec));
  setDataReadyState(rec, ST_idle);
}

int32_t sendPasv(ChannelRecord* rec, uint32_t now) {
  copyText(rec->cmdBuf, "PASV\r\n", CMD_BUF_CAP - 1);
  int32_t r = sendCommandLine(rec);
  if (r < 0) return errorExit(rec, 0, r);
  goState(rec, ST_readPasvReply, tickAfter(now, settings.replyDelay), tickAfter(now, settings.replyTimeout));
  return STEP_ON;
}

int32_t readPasvReply(ChannelRecord* rec, uint32_t now) {
  int32_t r = replyStep(rec, ST_readPasvReply);
  if (r != REPLY_READ) return r;
  uint16_t port = 0;
  if (parsePasvPort(rec->responseBuf, &port) <= 0) {
    traceLine(rec, "Response=[%s]\r\n", rec->responseBuf);
    return errorExit(rec, 0, ZUB_E_NO_PASV_PORT);
  }
  rec->dataPort = port;
  traceLine(rec, "DataPort = %d\r\n", static_cast<int32_t>(port));
  // The data connection always goes to the control connection's server,
  // whatever address the reply offers (servers behind address translation).
  r = connectPassiveData(rec);
  if (r < 0) return errorExit(rec, r, rec->dataSock == 0 ? ZUB_E_CANNOT_CREATE_SOCK : 0);
  goState(rec, ST_awaitPassiveConnected, tickAfter(now, settings.replyDelay), tickAfter(now, settings.replyTimeout));
  return STEP_ON;
}

int32_t awaitPassiveConnected(ChannelRecord* rec, uint32_t) {
  // A refused attempt ends at once with its own code, as a blocking connect
  // would have, instead of waiting out the deadline.
  int32_t failure = connectFailure(rec->dataSock);
  if (failure < 0) return errorExit(rec, failure, 0);
  if (waitForWritable(rec->dataSock, 0) == 0) {
    noteIdleWait(rec, rec->dataSock, PLAT_WRITABLE);
    return STEP_ON;
  }
  // The transfer itself runs on a blocking socket, as it always has.
  uint32_t blocking = 0;
  platSetNonBlocking(rec->dataSock, &blocking);
  traceText(rec, "DataSock is connected.\r\n");
  goDataReadyState(rec);
  return STEP_ON;
}

int32_t sendPort(ChannelRecord* rec, uint32_t now) {
  // Counted wider than 16 bits: 65535 (left by a PASV reply, or setting the
  // port 0) must go back to the range, not on to port 0.
  uint32_t next = static_cast<uint32_t>(rec->dataPort) + 1u;
  uint16_t port = next > rec->dataPortHigh ? rec->dataPortLow : static_cast<uint16_t>(next);
  rec->dataPort = port;
  traceLine(rec, "DataPort = %d\r\n", static_cast<int32_t>(port));
  // Listen before PORT goes out: some servers connect as soon as they read
  // PORT and refuse the transfer when nothing listens yet.
  int32_t r = openListener(rec);
  if (r < 0) return errorExit(rec, r, rec->listenSock == 0 ? ZUB_E_CANNOT_CREATE_SOCK : ZUB_E_LISTEN);
  formatPortCommand(rec->cmdBuf, rec->localIpText, port);
  return commandStep(rec, now, ST_readPortReply);
}

int32_t readPortReply(ChannelRecord* rec, uint32_t now) {
  int32_t r = replyStep(rec, dataReadyStateOf(rec));
  if (r != REPLY_READ) return r;
  setDataReadyState(rec, ST_idle);
  setStateTicks(rec, NO_TICK, tickAfter(now, settings.replyTimeout));
  return STEP_ON;
}

int32_t awaitDataConnection(ChannelRecord* rec, uint32_t) {
  goNextState(rec, ST_acceptDataConnection);
  return STEP_ON;
}

int32_t acceptDataConnection(ChannelRecord* rec, uint32_t now) {
  if (waitForReadable(rec->listenSock, 0) != 0) {
    traceText(rec, "Accepting connection.\r\n");
    PlatSockAddr peer = {};
    int32_t sock = platAccept(rec->listenSock, &peer);
    // A failed accept leaves the channel waiting here, untouched.
    if (sock == PLAT_INVALID) return -platLastError();
    // Only the server may deliver the data: a connection from anywhere else
    // is closed and the wait goes on.
    if (platNtohl(peer.addrNet) != rec->serverAddr) {
      traceText(rec, "Connection from another host refused.\r\n");
      closeSocket(sock, 0);
      noteIdleWait(rec, rec->listenSock, PLAT_READABLE);
      return STEP_ON;
    }
    if (rec->dataSock != 0) {
      // Never lose a leftover socket, nor let its bytes into this transfer.
      traceText(rec, "Closing data socket\r\n");
      closeSocket(rec->dataSock, 0);
      rec->dataRing.head = 0;
      rec->dataRing.tail = 0;
    }
    rec->dataAddr = peer;
    rec->dataSock = sock;
    rec->dataRing.sock = sock;
    traceText(rec, "Connection is accepted.\r\n");
    // A deadline from here on is a time-out like any other, not a success.
    rec->timeStopError = ZUB_E_TIMEOUT;
    setStateTicks(rec, tickAfter(now, settings.replyDelay), tickAfter(now, settings.replyTimeout));
    resumeAfterDataConnected(rec);
    return STEP_ON;
  }
  if (waitRingData(&rec->ctrlRing, 0) > 0) {
    char head[12];
    int32_t n = peekRing(&rec->ctrlRing, head, static_cast<int32_t>(sizeof head));
    const char* next = nullptr;
    // A preliminary reply (150) stays queued for the transfer's reply state.
    if (n > 0 && parseReplyCodeN(head, n, &next) >= 400) {
      int32_t r = readReply(rec);
      if (r < 0 && dataSessionRefused(rec, r)) return errorExit(rec, 0, ZUB_E_TLS_REUSE);
      if (r < 0) return replyReadFailed(rec, r);
    }
  }
  noteIdleWait(rec, rec->listenSock, PLAT_READABLE);
  noteIdleWait(rec, rec->ctrlSock, PLAT_READABLE);
  return STEP_ON;
}
