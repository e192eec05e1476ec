// Library-wide settings with their load-time defaults, and the version stamp.
#include "core/settings.h"

Settings settings = {
    60000,  // connectTimeout
    0,      // replyDelay
    60000,  // replyTimeout
    0,      // sendDelay
    60000,  // sendTimeout
    10,     // sleepTime
    50,     // closeDelay
    1024,   // blockSize
    25000,  // dataTimeout
    0,      // hostAddrIndex
    ':',    // nameSeparator
    5000,   // lineTimeout
    1,      // pauses
};

// Characters 5..8 are the version (0x0230 = 2.3.0), 14..17 the build number.
const char versionStamp[] = "$VER 0230 BLD 0008 NOV02 ZUB$";

int32_t parseHex(const char* text, int32_t count) {
  uint32_t value = 0;
  for (int32_t i = 0; i < count; i++) {
    char c = text[i];
    uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    }
    value = value * 16 + digit;
  }
  return static_cast<int32_t>(value);
}
