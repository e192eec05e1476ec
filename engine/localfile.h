// The channel's local files, opened in its local directory.
#pragma once

#include <cstdint>

struct ChannelRecord;

// Mode 'R' read, 'A' write without truncation, 'W' create or truncate.
int32_t openLocalFile(ChannelRecord* rec, const char* name, char mode);
void closeLocalFile(ChannelRecord* rec);
