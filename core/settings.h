// Library-wide settings (shared by all channels, kept across attach and
// release) and the version stamp.
#pragma once

#include <cstdint>

struct Settings {
  int32_t connectTimeout;  // 1
  int32_t replyDelay;      // 2
  int32_t replyTimeout;    // 3
  int32_t sendDelay;       // 4
  int32_t sendTimeout;     // 5
  int32_t sleepTime;       // 8
  int32_t closeDelay;      // 10
  int32_t blockSize;       // 11, 128..8192
  int32_t dataTimeout;     // 13
  int32_t hostAddrIndex;   // 14, 0..7
  int32_t nameSeparator;   // 17, low 8 bits
  int32_t lineTimeout;     // 22
  int32_t pauses;          // 30, our addition: 0 drops the fixed pauses
};

extern Settings settings;

extern const char versionStamp[];  // "$VER 0230 BLD 0008 NOV02 ZUB$"

int32_t parseHex(const char* text, int32_t count);
