// Receive rings: the bytes of a connection, waiting to be read.
#pragma once

#include <cstdint>

struct ReceiveRing;

int32_t fillRing(ReceiveRing* ring);
int32_t waitRingData(ReceiveRing* ring, uint32_t ms);
int32_t takeFromRing(ReceiveRing* ring, void* dst, int32_t max);
int32_t peekRing(ReceiveRing* ring, void* dst, int32_t max);
int32_t readRingLine(ReceiveRing* ring, char* buf, int32_t size);
