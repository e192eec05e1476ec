// Millisecond ticks of the platform clock: wrap-safe comparison and the
// record's absolute ticks, for every floor that waits or sets a deadline.
#pragma once

#include <cstdint>

// Wrap-safe tick comparison: a is before b.
inline bool tickBefore(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }

// A tick `ms` after `now` (a setting's bits added as they stand).  0 means
// "no tick" in the record, so a sum that lands exactly on 0 at the wrap is
// moved on by one millisecond.
inline uint32_t tickAfter(uint32_t now, uint32_t ms) {
  uint32_t t = now + ms;
  return t == 0 ? 1 : t;
}
