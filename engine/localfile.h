// The channel's local files, opened in its local directory.
#pragma once

#include <cstdint>

struct ChannelRecord;

// Mode 'R' read, 'A' write without truncation, 'W' create or truncate.
int32_t openLocalFile(ChannelRecord* rec, const char* name, char mode);
// Writes the downloaded bytes held in bulkBuf to the local file; 0, or the
// write's failure value (-1 for a short write), with the bytes that did not
// reach the file taken out of getBytes.  The held bytes are gone either way.
int32_t flushDownload(ChannelRecord* rec);
// Closes the transfer's local file, first writing what a download still holds.
void closeLocalFile(ChannelRecord* rec);
