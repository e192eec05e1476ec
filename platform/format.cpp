// platFormat: the small formatter every command and trace line goes through,
// with wsprintfA's rules (32-bit integers, output cut at 1024 bytes).
#include <cstdarg>
#include <cstdint>

#include "platform/platform.h"

namespace {

// Output cursor that silently drops what does not fit, leaving room for the
// terminator: at most PLAT_FORMAT_MAX - 1 characters are stored.
struct FormatOut {
  char* buf;
  int32_t len;
};

void putChar(FormatOut* out, char c) {
  if (out->len < PLAT_FORMAT_MAX - 1) out->buf[out->len++] = c;
}

void putPadded(FormatOut* out, const char* text, int32_t textLen, int32_t width) {
  for (int32_t i = textLen; i < width && out->len < PLAT_FORMAT_MAX - 1; i++) putChar(out, ' ');
  for (int32_t i = 0; i < textLen; i++) putChar(out, text[i]);
}

// Decimal digits of value, with a leading '-' when negative is set, into
// digits (12 bytes hold any 32-bit value); the count written.
int32_t decimalText(char* digits, uint32_t value, bool negative) {
  char reversed[12];
  int32_t n = 0;
  do {
    reversed[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  int32_t len = 0;
  if (negative) digits[len++] = '-';
  while (n > 0) digits[len++] = reversed[--n];
  return len;
}

}  // namespace

int32_t platFormatV(char* buf, const char* fmt, va_list ap) {
  FormatOut out{buf, 0};
  if (fmt == nullptr) {
    buf[0] = '\0';
    return 0;
  }
  const char* p = fmt;
  while (*p != '\0') {
    if (*p != '%') {
      putChar(&out, *p++);
      continue;
    }
    const char* conv = p++;  // kept to copy an unknown conversion literally
    if (*p == '%') {
      putChar(&out, '%');
      p++;
      continue;
    }
    int32_t width = 0;
    while (*p >= '0' && *p <= '9') {
      // Widths past the output limit pad no further, so saturate there.
      if (width < PLAT_FORMAT_MAX) width = width * 10 + (*p - '0');
      p++;
    }
    if (*p == 'l') p++;  // "long" is 32 bits, as on Win32
    char digits[12];
    switch (*p) {
      case 's': {
        const char* text = va_arg(ap, const char*);
        if (text == nullptr) text = "(null)";
        int32_t len = 0;
        // Never measure further than can be stored.
        while (len < PLAT_FORMAT_MAX && text[len] != '\0') len++;
        putPadded(&out, text, len, width);
        p++;
        break;
      }
      case 'd': {
        int32_t v = va_arg(ap, int);
        // Negate in unsigned arithmetic so INT32_MIN needs no special case.
        uint32_t magnitude = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
        putPadded(&out, digits, decimalText(digits, magnitude, v < 0), width);
        p++;
        break;
      }
      case 'u': {
        uint32_t v = va_arg(ap, unsigned);
        putPadded(&out, digits, decimalText(digits, v, false), width);
        p++;
        break;
      }
      default:
        // Unknown conversion: copied as written, no argument taken.  A '%'
        // at the very end of the format is copied alone.
        if (*p != '\0') p++;
        while (conv < p) putChar(&out, *conv++);
        break;
    }
  }
  buf[out.len] = '\0';
  return out.len;
}

int32_t platFormat(char* buf, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int32_t n = platFormatV(buf, fmt, ap);
  va_end(ap);
  return n;
}
