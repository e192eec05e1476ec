// Server resolution and the control connection.
#pragma once

#include <cstdint>

struct ChannelRecord;

int32_t isDottedAddress(const char* text);
uint32_t parseDottedAddress(const char* text);
int32_t resolveServer(ChannelRecord* rec);
int32_t connectControl(ChannelRecord* rec);
int32_t localHostName(char* buf, int32_t size);
// Closes the control socket (traced, with the given linger) when there is one,
// and forgets it and whatever its ring still held.
void closeControl(ChannelRecord* rec, int32_t lingerMs);
int32_t localAddress(ChannelRecord* rec);
// "%1d.%1d.%1d.%1d" of a host-order address; 0 and nothing stored when the
// capacity is below DOTTED_TEXT_MIN_SIZE.
constexpr int32_t DOTTED_TEXT_MIN_SIZE = 17;
int32_t formatDottedAddress(uint32_t addr, char* buf, int32_t capacity);
