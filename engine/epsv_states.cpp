// Driver states of EPSV passive connections (930-931): the port from the
// 229 reply, the address of the control connection.  A server that does not
// know EPSV (500, 502) gets PASV for the rest of the session.
#include "core/channel.h"
#include "core/settings.h"
#include "core/trace.h"
#include "engine/driver.h"
#include "engine/reply.h"
#include "engine/ring.h"
#include "engine/states.h"
#include "net/data.h"
#include "platform/platform.h"
#include "zub32.h"

int32_t sendEpsv(ChannelRecord* rec, uint32_t now) {
  platFormat(rec->cmdBuf, "EPSV\r\n");
  return commandStep(rec, now, ST_readEpsvReply);
}

int32_t readEpsvReply(ChannelRecord* rec, uint32_t now) {
  if (!replyBytesWaiting(rec)) return STEP_ON;
  int32_t r = readReplyOrEnd(rec);
  if (r == ZUB_E_SERVER_ERROR && (rec->replyCode == 500 || rec->replyCode == 502)) {
    traceText(rec, "EPSV not understood: PASV for this session\r\n");
    rec->epsvRefused = 1;
    goState(rec, ST_sendPasv, NO_TICK, rec->deadlineTick);
    return STEP_ON;
  }
  if (r == REPLY_CONNECTION_ENDED) return errorExit(rec, ZUB_E_SOCKET_CLOSED, ZUB_E_READ);
  if (r < 0) return replyReadFailed(rec, r);
  uint16_t port = 0;
  if (parseEpsvPort(rec->responseBuf, &port) <= 0) {
    traceLine(rec, "Response=[%s]\r\n", rec->responseBuf);
    return errorExit(rec, 0, ZUB_E_NO_PASV_PORT);
  }
  rec->dataPort = port;
  traceLine(rec, "DataPort = %d\r\n", static_cast<int32_t>(port));
  r = connectPassiveData(rec);
  // No socket: the socket layer has taken the error exit itself.
  if (r < 0) return rec->state == STATE_NO_STEP && rec->nextState == ST_idle ? r : errorExit(rec, r, 0);
  goState(rec, ST_awaitPassiveConnected, tickAfter(now, settings.replyDelay), tickAfter(now, settings.replyTimeout));
  return STEP_ON;
}
