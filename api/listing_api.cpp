// The listing utilities: zubExtract, zubFileLength and zubMatchFile.  They
// need no attached library and no channel.
#include "zub32.h"

#include "core/trace.h"
#include "platform/platform.h"
#include "util/listing.h"
#include "util/text.h"

namespace {

// Longest field zubFileLength converts, as a caller of zubExtract would.
constexpr int32_t FILE_LENGTH_FIELD_MAX = 80;

// How much of the text the zubFileLength trace line quotes: the rest of the
// line ("zubFileLength(" and ",-2147483648,-2147483648)\r\n") takes 41
// characters, so the line keeps its CR LF within the formatter's limit.
constexpr int32_t FILE_LENGTH_TRACE_TEXT_MAX = PLAT_FORMAT_MAX - 64;

}  // namespace

extern "C" ZUB_EXPORT int32_t ZUB_API zubExtract(const char* text, int32_t line, int32_t field, char* out,
                                                 int32_t capacity) {
  const char* selection = nullptr;
  int32_t length = extractSelection(text, line, field, &selection);
  if (length < 0) return 0;
  if (capacity < 0) capacity = 0;
  if (length > capacity) length = capacity;
  copyText(out, selection, length);
  return length;
}

extern "C" ZUB_EXPORT int32_t ZUB_API zubFileLength(const char* text, int32_t first, int32_t last) {
  if (text == nullptr) return -1;
  if (globalTraceHandle() != 0) {
    char quoted[FILE_LENGTH_TRACE_TEXT_MAX + 1];
    copyText(quoted, text, FILE_LENGTH_TRACE_TEXT_MAX);
    traceGlobal("zubFileLength(%s,%d,%d)\r\n", quoted, first, last);
  }

  // Each line of a listing ends in CR LF, so the LF count numbers the last line.
  int32_t line = countLines(text);
  for (int32_t field = first; field < last; field++) {
    const char* selection = nullptr;
    int32_t length = extractSelection(text, line, field, &selection);
    if (length < 0) return -1;  // the line does not exist: no field will
    if (length > 0) {
      char value[FILE_LENGTH_FIELD_MAX + 1];
      copyText(value, selection, length < FILE_LENGTH_FIELD_MAX ? length : FILE_LENGTH_FIELD_MAX);
      int32_t size = parseDecimal(value);
      if (size != -1) return size;
    } else if (field > 0) {
      return -1;  // past the line's last field every further field is empty too
    }
    // Field numbers up to 0 all name the whole line: one look is enough.
    if (field < 0) field = 0;
  }
  return -1;
}

extern "C" ZUB_EXPORT int32_t ZUB_API zubMatchFile(const char* buffer, int32_t start, char* out, int32_t capacity,
                                                   const char* pattern, int32_t exact) {
  if (out == nullptr || capacity < 1 || pattern == nullptr) return 0;
  if (buffer == nullptr || start < 0) {
    out[0] = '\0';
    return 0;
  }
  // A start beyond the text's end names no line; nothing past the
  // terminator is read.
  for (int32_t i = 0; i < start; i++) {
    if (buffer[i] == '\0') {
      out[0] = '\0';
      return 0;
    }
  }
  const char* next = findMatchingLine(buffer + start, pattern, out, capacity, exact);
  return next == nullptr ? 0 : static_cast<int32_t>(next - buffer);
}
