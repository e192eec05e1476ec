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
int32_t peekRing(ReceiveRing* ring, void* dst, int32_t max);
// Copies up to max queued bytes without receiving or removing any.
int32_t peekQueued(const ReceiveRing* ring, void* dst, int32_t max);
