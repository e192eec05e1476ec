// One run of each listing export on arbitrary bytes, shared by the libFuzzer
// targets and by the unit test that replays their seed corpora.  Each returns
// false when a result breaks a property that holds for every input; memory
// faults and hangs are left to the sanitizers and the fuzzer's time-out.
//
// Input layouts (the text always gets a terminator appended):
//   extract:    modes, line, field, capacity, text...
//   filelength: modes, first, last, text...
//   matchfile:  modes, capacity, start, pattern..., 0, text...
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "util/listing.h"
#include "zub32.h"

namespace listing_fuzz {

// Two mode bits choose a small value or one near the ends of the 32-bit range.
inline int32_t pickInt(uint8_t mode, uint8_t b) {
  switch (mode & 3) {
    case 0: return static_cast<int8_t>(b);
    case 1: return b;
    case 2: return INT32_MAX - b;
    default: return INT32_MIN + b;
  }
}

inline std::vector<char> terminated(const uint8_t* data, size_t size) {
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  return text;
}

inline bool runExtract(const uint8_t* data, size_t size) {
  if (size < 4) return true;
  uint8_t modes = data[0];
  int32_t line = pickInt(modes, data[1]);
  int32_t field = pickInt(modes >> 2, data[2]);
  int32_t capacity = pickInt(modes >> 4, data[3]);
  bool nullOut = (modes & 0x40) != 0;
  bool nullText = (modes & 0x80) != 0 && size == 4;
  std::vector<char> text = terminated(data + 4, size - 4);
  size_t length = std::strlen(text.data());

  // Exactly as many bytes as may be written, so that any overrun is caught.
  size_t room = capacity < 0 ? 0 : static_cast<size_t>(capacity);
  if (room > length) room = length;
  std::vector<char> out(room + 1, '#');

  int32_t result = zubExtract(nullText ? nullptr : text.data(), line, field, nullOut ? nullptr : out.data(),
                              capacity);
  if (result < 0 || static_cast<size_t>(result) > room) return false;
  if (nullText || length == 0) return result == 0 && out[0] == '#';
  if (nullOut) return true;
  // Nothing selected leaves out untouched or empty.
  if (result == 0) return out[0] == '#' || out[0] == '\0';
  if (std::strlen(out.data()) != static_cast<size_t>(result)) return false;
  for (int32_t i = 0; i < result; i++) {
    char c = out[i];
    if (c == '\r') return false;
    if (field > 0 && (c == ' ' || c == '\t')) return false;
  }
  return std::strstr(text.data(), out.data()) != nullptr;
}

inline bool runFileLength(const uint8_t* data, size_t size) {
  if (size < 3) return true;
  uint8_t modes = data[0];
  int32_t first = pickInt(modes, data[1]);
  int32_t last = pickInt(modes >> 2, data[2]);
  std::vector<char> text = terminated(data + 3, size - 3);
  int32_t result = zubFileLength((modes & 0x80) != 0 && size == 3 ? nullptr : text.data(), first, last);
  if (first >= last && result != -1) return false;
  return true;
}

inline bool runMatchFile(const uint8_t* data, size_t size) {
  if (size < 3) return true;
  uint8_t modes = data[0];
  int32_t capacity = data[1];
  const uint8_t* rest = data + 3;
  size_t restSize = size - 3;
  const void* zero = std::memchr(rest, 0, restSize);
  size_t patternSize = zero == nullptr ? restSize : static_cast<size_t>(static_cast<const uint8_t*>(zero) - rest);
  std::vector<char> pattern = terminated(rest, patternSize);
  size_t textOffset = zero == nullptr ? restSize : patternSize + 1;
  std::vector<char> text = terminated(rest + textOffset, restSize - textOffset);
  int32_t length = static_cast<int32_t>(std::strlen(text.data()));
  int32_t exact = modes & 1;

  std::vector<char> out(static_cast<size_t>(capacity));
  char* outPtr = (modes & 2) != 0 ? nullptr : out.data();
  const char* patternPtr = (modes & 4) != 0 ? nullptr : pattern.data();
  if (outPtr == nullptr || patternPtr == nullptr || capacity < 1) {
    return zubMatchFile(text.data(), 0, outPtr, capacity, patternPtr, exact) == 0;
  }

  // Walk the text as a caller would, from a start within it.
  int32_t start = data[2] % (length + 1);
  for (int32_t calls = 0; calls <= length + 1; calls++) {
    int32_t next = zubMatchFile(text.data(), start, out.data(), capacity, pattern.data(), exact);
    size_t stored = std::strlen(out.data());
    if (stored > static_cast<size_t>(capacity - 1)) return false;
    if (std::strpbrk(out.data(), "\r\n") != nullptr) return false;
    if (next == 0) return stored == 0;
    if (next <= start || next > length) return false;
    // A line that came back whole must match on its own.
    if (stored < static_cast<size_t>(capacity - 1) && !matchLine(out.data(), pattern.data(), exact)) return false;
    start = next;
  }
  return false;  // the walk must end: every call moves past at least one line end
}

}  // namespace listing_fuzz
