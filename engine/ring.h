// Receive rings: the bytes of a connection, waiting to be read.
#pragma once

#include <cstdint>

struct ReceiveRing;

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
int32_t readRingLine(ReceiveRing* ring, char* buf, int32_t size);
