// Receive rings: 4096 positions, 4095 usable, fed from one socket after a
// zero-time-out readiness poll; and the bulk receive of downloads, which
// passes large pieces by the ring straight into the caller's buffer.
#include "engine/ring.h"

#include <cstring>

#include "core/channel.h"
#include "core/settings.h"
#include "core/trace.h"
#include "engine/driver.h"
#include "net/sockets.h"
#include "platform/platform.h"

namespace {

constexpr uint16_t RING_MASK = RING_SIZE - 1;
constexpr int32_t RING_USABLE = RING_SIZE - 1;

inline int32_t ringUsed(const ReceiveRing* ring) { return (ring->tail - ring->head) & RING_MASK; }

// The idle counter wraps after 2^32 attempts instead of overflowing.
inline void countIdle(ReceiveRing* ring) {
  ring->idleCount = static_cast<int32_t>(static_cast<uint32_t>(ring->idleCount) + 1u);
}

// One receive from the ring's socket into dst, traced: the count (> 0), 0 if
// nothing was ready, -1 if the peer closed or the receive failed.
int32_t receiveInto(ReceiveRing* ring, uint8_t* dst, int32_t count) {
  int32_t n = platRecvReady(ring->sock, dst, count);
  if (n == PLAT_NOTHING_READY) return 0;
  traceGlobal("recv(%d):%d\r\n", ring->sock, n);
  return n > 0 ? n : -1;
}

// Copies count queued bytes from head on into dst (count <= used).
void copyOut(const ReceiveRing* ring, uint8_t* dst, int32_t count) {
  int32_t first = RING_SIZE - ring->head;
  if (first > count) first = count;
  std::memcpy(dst, ring->bytes + ring->head, static_cast<size_t>(first));
  if (count > first) std::memcpy(dst + first, ring->bytes, static_cast<size_t>(count - first));
}

}  // namespace

int32_t fillRing(ReceiveRing* ring) {
  // Nothing arrives on a ring without a socket (as WinSock's poll of an
  // invalid socket reports).
  if (ring->sock == 0) return 0;
  if (ring->head == ring->tail) {
    // An empty ring restarts at 0, so a reply that fits is stored without
    // wrapping.  The old bytes are not wiped: nothing reads outside
    // head..tail, and the terminator behind the tail is set below.
    ring->head = 0;
    ring->tail = 0;
  }
  int32_t room = RING_USABLE - ringUsed(ring);
  if (room == 0) return 0;

  // Contiguous free positions from the tail; the position just before the
  // head stays free.
  int32_t span = ring->tail >= ring->head ? RING_SIZE - ring->tail - (ring->head == 0 ? 1 : 0)
                                          : ring->head - 1 - ring->tail;
  int32_t n;
  // The receive itself is the readiness poll: a download step costs one
  // system call here instead of a poll and a receive.
  if (span >= room) {
    n = receiveInto(ring, ring->bytes + ring->tail, room);
    if (n <= 0) return n;
  } else {
    uint8_t scratch[RING_SIZE];
    n = receiveInto(ring, scratch, room);
    if (n <= 0) return n;
    int32_t first = n < span ? n : span;
    std::memcpy(ring->bytes + ring->tail, scratch, static_cast<size_t>(first));
    if (n > first) std::memcpy(ring->bytes, scratch + first, static_cast<size_t>(n - first));
  }
  ring->tail = static_cast<uint16_t>((ring->tail + n) & RING_MASK);
  ring->bytes[ring->tail] = 0;
  return n;
}

int32_t waitRingData(ReceiveRing* ring, uint32_t ms) {
  bool armed = false;
  uint32_t deadline = 0;
  for (;;) {
    if (ring->head != ring->tail) return 1;
    int32_t r = fillRing(ring);
    if (r > 0) return 1;
    if (r < 0) return r;
    countIdle(ring);
    uint32_t now = platTickCount();
    if (!armed) {
      // The first empty attempt only arms the deadline: a 0 ms wait still
      // makes two receive attempts.
      deadline = now + ms;
      armed = true;
      continue;
    }
    if (!tickBefore(now, deadline)) return 0;
    platSleep(static_cast<uint32_t>(settings.sleepTime));
  }
}

int32_t takeFromRing(ReceiveRing* ring, void* dst, int32_t max) {
  if (ring->head == ring->tail) {
    int32_t r = fillRing(ring);
    if (r == 0) countIdle(ring);
    traceGlobal("zubQueueLoad=%d\r\n", r);
    if (r <= 0) return r;
  }
  int32_t count = ringUsed(ring);
  if (count > max) count = max;
  if (count <= 0) return 0;
  copyOut(ring, static_cast<uint8_t*>(dst), count);
  ring->head = static_cast<uint16_t>((ring->head + count) & RING_MASK);
  return count;
}

int32_t receiveBulk(ReceiveRing* ring, void* dst, int32_t max, int32_t attempts) {
  // Queued bytes go first, so nothing is delivered out of order.
  if (ring->head != ring->tail) return takeFromRing(ring, dst, max);
  for (int32_t i = 0; i < attempts; i++) {
    int32_t n = receiveInto(ring, static_cast<uint8_t*>(dst), max);
    if (n > 0) return n;
    // The end is confirmed by a second receive, as takeFromRing after the
    // wait reports it ("zubQueueLoad=-1"), so the trace ends as it always has.
    if (n < 0) return takeFromRing(ring, dst, max);
    countIdle(ring);
  }
  return 0;
}

int32_t peekRing(ReceiveRing* ring, void* dst, int32_t max) {
  int32_t r = fillRing(ring);
  if (r == 0) countIdle(ring);
  // Bytes that came before the end of the connection are still delivered:
  // a server that sends a refusal and closes must have its refusal read.
  // The end is reported once nothing is left.
  if (r < 0 && ring->head == ring->tail) return r;
  int32_t count = ringUsed(ring);
  if (count > max) count = max;
  if (count <= 0) return 0;
  copyOut(ring, static_cast<uint8_t*>(dst), count);
  return count;
}

int32_t readRingLine(ReceiveRing* ring, char* buf, int32_t size) {
  int32_t n = peekRing(ring, buf, size - 1);
  if (n < 0) return n;
  int32_t take = n;
  for (int32_t i = 0; i < n; i++) {
    if (buf[i] == '\n') {
      take = i + 1;
      break;
    }
    if (buf[i] == '\0') break;
  }
  int32_t r = takeFromRing(ring, buf, take);
  if (r < 0) return r;
  buf[r] = '\0';
  return r;
}
