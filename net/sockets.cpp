// Socket primitives: creation, zero-time-out readiness tests, waits built on
// them, whole-buffer sends and closing with a linger pause.  Creation, tests
// and closes run under the global lock; the waits take it once per test.
#include "net/sockets.h"

#include "core/settings.h"
#include "core/trace.h"
#include "net/tls.h"
#include "platform/platform.h"
#include "util/ticks.h"
#include "zub32.h"

int32_t createSocket() {
  platLockEnter();
  int32_t sock = platSocket();
  platLockLeave();
  return sock == PLAT_INVALID ? ZUB_E_INVALID_SOCKET : sock;
}

int32_t testSocket(int32_t sock, int32_t mode) {
  if (mode != PLAT_READABLE && mode != PLAT_WRITABLE && mode != PLAT_ERROR) return ZUB_E_BAD_STATUS_FLAG;
  // 0 is "no socket" in every record field; polling descriptor 0 would ask
  // about whatever the process has there (stdin on POSIX).
  if (sock <= 0) return 0;
  platLockEnter();
  int32_t ready = platPollSocket(sock, mode);
  platLockLeave();
  return ready;
}

int32_t connectFailure(int32_t sock) {
  if (testSocket(sock, PLAT_ERROR) == 0) return 0;
  int32_t e = platSocketError(sock);
  return e > 0 ? -e : ZUB_E_SOCKET_CLOSED;
}

// The code of a send that failed.  One that moved nothing without an error
// number must still fail.
static int32_t failedSendCode() {
  int32_t err = platLastError();
  return err > 0 ? -err : ZUB_E_SOCKET_CLOSED;
}

// The wait loop shared by both waits.  The time counts from the first poll
// that found the socket not ready; an error condition ends it at once.
static int32_t waitForCondition(int32_t sock, uint32_t ms, int32_t mode) {
  // No socket (0) never becomes ready: waiting for it would only hold the
  // caller for the whole time, e.g. a command sent on a channel that never
  // connected.  It fails at once, like a socket in an error condition.
  if (sock <= 0) return 0;
  bool armed = false;
  uint32_t deadline = 0;
  for (;;) {
    // The error test and the condition's in one poll under the lock: an
    // upload block waits here before every send.
    platLockEnter();
    int32_t ready = platPollSocketAll(sock);
    platLockLeave();
    if ((ready & (1 << PLAT_ERROR)) != 0) return 0;
    if ((ready & (1 << mode)) != 0) return 1;
    uint32_t now = platTickCount();
    if (!armed) {
      deadline = now + ms;
      armed = true;
    }
    if (!tickBefore(now, deadline)) return 0;
    // Each pause ends early once the socket is ready: a send that waits for
    // room would otherwise lose up to sleepTime each time the peer drains
    // its buffer, which on a fast link is most of an upload's time.
    PlatWait w{sock, mode};
    platWaitSockets(&w, 1, static_cast<uint32_t>(settings.sleepTime));
    // A long wait for writability shows in the trace as a row of marks.
    if (mode == PLAT_WRITABLE) traceGlobalText("!");
  }
}

int32_t waitForReadable(int32_t sock, uint32_t ms) { return waitForCondition(sock, ms, PLAT_READABLE); }

int32_t waitForWritable(int32_t sock, uint32_t ms) { return waitForCondition(sock, ms, PLAT_WRITABLE); }

int32_t sendAll(int32_t sock, const char* data, int32_t count) {
  if (waitForWritable(sock, static_cast<uint32_t>(settings.replyTimeout)) == 0) return ZUB_E_SOCKET_CLOSED;
  int32_t sent = 0;
  while (sent < count) {
    int32_t n = tlsSend(sock, data + sent, count - sent);
    traceGlobal("send(%d):%d\r\n", sock, n);
    if (n <= 0) return failedSendCode();
    sent += n;
    if (sent < count) platSleep(0);
  }
  return count;
}

int32_t sendSome(int32_t sock, const char* data, int32_t count) {
  if (sock <= 0) return ZUB_E_SOCKET_CLOSED;
  // The same test as sendAll's first: a socket in an error condition fails
  // with the same code, before anything is sent.
  platLockEnter();
  int32_t ready = platPollSocketAll(sock);
  platLockLeave();
  if ((ready & (1 << PLAT_ERROR)) != 0) return ZUB_E_SOCKET_CLOSED;
  if ((ready & (1 << PLAT_WRITABLE)) == 0) {
    // A long wait for room shows in the trace as a row of marks.
    traceGlobalText("!");
    return PLAT_NOTHING_READY;
  }
  int32_t n = tlsSendReady(sock, data, count);
  if (n == PLAT_NOTHING_READY) return n;
  if (n == TLS_RECORD_UNDER_WAY) return 0;
  traceGlobal("send(%d):%d\r\n", sock, n);
  if (n <= 0) return failedSendCode();
  return n;
}

int32_t closeSocket(int32_t sock, uint32_t ms) {
  tlsEnd(sock);
  while (platIsBlocking() != 0) platSleep(static_cast<uint32_t>(settings.sleepTime));
  platLockEnter();
  int32_t r = platCloseSocket(sock);
  int32_t err = r == PLAT_INVALID ? platLastError() : 0;
  // The linger is spent inside the lock so that no other channel creates,
  // tests or closes a socket meanwhile.  Without the pauses the close is a
  // plain graceful one (queued bytes still go out, then the end) and the
  // lock is left at once: every other channel's tests wait for it.
  if (settings.pauses != 0) platSleep((ms & 0xFFFF) / 2);
  platLockLeave();
  if (r == PLAT_INVALID) return err > 0 ? -err : ZUB_E_INVALID_SOCKET;
  return 1;
}
