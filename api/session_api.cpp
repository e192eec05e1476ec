// Session operations: connect and log in, close, keep-alive, abort.
#include "api/operation.h"
#include "core/channel.h"
#include "net/control.h"
#include "core/trace.h"
#include "engine/driver.h"
#include "engine/localfile.h"
#include "net/data.h"
#include "net/sockets.h"
#include "platform/platform.h"
#include "util/text.h"
#include "zub32.h"

extern "C" ZUB_EXPORT int32_t ZUB_API zubConnect(int32_t channel, const char* server, const char* user,
                                                 const char* password) {
  int32_t err = 0;
  ChannelRecord* rec = beginOperation(channel, "zubConnect", &err);
  if (rec == nullptr) return err;
  if (server == nullptr) return ZUB_E_NO_SERVER_NAME;
  if (user == nullptr) return ZUB_E_NO_USER;
  if (password == nullptr) return ZUB_E_NO_PASSWORD;
  copyLine(rec->serverName, server, LOGIN_TEXT_CAP);
  copyLine(rec->userName, user, LOGIN_TEXT_CAP);
  copyLine(rec->password, password, LOGIN_TEXT_CAP);
  rec->waitWritable = 0;
  rec->lastError = 0;
  // No replies to discard: the connection does not exist yet.
  return armAndRun(rec, ST_startConnection, false);
}

extern "C" ZUB_EXPORT int32_t ZUB_API zubClose(int32_t channel) {
  int32_t err = 0;
  ChannelRecord* rec = beginOperation(channel, "zubClose", &err);
  if (rec == nullptr) return err;
  // The session ends: a download stopped part-way keeps every byte it
  // received, as its file stays open for a later zubAbort or transfer.
  if (rec->localFile != 0) flushDownload(rec);
  // QUIT goes out only once the control socket can take it.  A channel that
  // never connected has no socket to wait for, and one whose connection
  // attempt failed never becomes writable: waiting on either would never end
  // (the gate has no deadline), so state 220 then just finishes.
  rec->waitWritable = rec->ctrlSock > 0 && testSocket(rec->ctrlSock, PLAT_ERROR) == 0 ? 1 : 0;
  rec->lastError = 0;
  int32_t r = armAndRun(rec, ST_sendQuit, false);
  if (rec->autoCall == 0) return r;

  // Blocking use: the session ends here whatever QUIT brought.
  if (rec->ctrlSock != 0) closeControl(rec, 500);
  rec->waitWritable = 0;
  if (rec->logFile != 0) {
    closeTraceFile(rec->logFile, true);
    rec->logFile = 0;
  }
  return r;
}

extern "C" ZUB_EXPORT int32_t ZUB_API zubHello(int32_t channel) {
  int32_t err = 0;
  ChannelRecord* rec = beginOperation(channel, "zubHello", &err);
  if (rec == nullptr) return err;
  return armAndRun(rec, ST_sendNoop, true);
}

extern "C" ZUB_EXPORT int32_t ZUB_API zubAbort(int32_t channel) {
  int32_t err = 0;
  ChannelRecord* rec = beginOperation(channel, "zubAbort", &err);
  if (rec == nullptr) return err;
  rec->timeStopError = 0;
  goState(rec, ST_idle, NO_TICK, NO_TICK);
  closeDataSide(rec, 500);
  return 1;
}
