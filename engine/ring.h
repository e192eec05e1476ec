// Receive rings: the bytes of a connection, waiting to be read.
#pragma once

#include <cstdint>

struct ReceiveRing;

// The results below that are negative: RING_CLOSED when the peer closed the
// connection in order, any other negative value the negated WinSock error of
// a failed receive (a reset, for one).  Only RING_CLOSED ends data.
constexpr int32_t RING_CLOSED = -1;

int32_t fillRing(ReceiveRing* ring);
int32_t waitRingData(ReceiveRing* ring, uint32_t ms);
int32_t takeFromRing(ReceiveRing* ring, void* dst, int32_t max);
// The bulk receive of downloads: waitRingData with 0 ms and takeFromRing in
// one, except that while the ring is empty a receive goes straight into dst
// and may bring up to max bytes instead of the ring's 4095.  At most
// `attempts` receives that find nothing, each counted idle (2 is the 0 ms
// wait's).  Bytes moved (> 0); 0 if nothing came; -1 when the connection
// ended or the receive failed, with the same receives and trace lines as
// takeFromRing reports the end with.
int32_t receiveBulk(ReceiveRing* ring, void* dst, int32_t max, int32_t attempts);
int32_t peekRing(ReceiveRing* ring, void* dst, int32_t max);
// Copies up to max queued bytes without receiving or removing any.
int32_t peekQueued(const ReceiveRing* ring, void* dst, int32_t max);
