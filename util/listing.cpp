// Listing text helpers: every scan here is bounded by the text's own CR, LF or
// NUL, since the text comes from a server and may end anywhere.
#include "util/listing.h"

#include "util/text.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool endsField(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\0'; }

// The first CR or NUL at or after pos: the end of a line in field selection.
const char* carriageReturnOrEnd(const char* pos) {
  while (*pos != '\r' && *pos != '\0') pos++;
  return pos;
}

// Where the line after a line end begins: past the end character and one LF.
const char* afterLineEnd(const char* end) { return end[1] == '\n' ? end + 2 : end + 1; }

}  // namespace

int32_t countLines(const char* text) {
  if (text == nullptr) return 0;
  int32_t count = 0;
  for (; *text != '\0'; text++) {
    if (*text == '\n') count++;
  }
  return count;
}

int32_t parseDecimal(const char* text) {
  uint32_t value = 0;  // unsigned so that overflow wraps instead of being undefined
  for (; *text != '\0'; text++) {
    if (*text < '0' || *text > '9') return -1;
    value = value * 10u + static_cast<uint32_t>(*text - '0');
  }
  return static_cast<int32_t>(value);
}

int32_t extractSelection(const char* text, int32_t line, int32_t field, const char** selection) {
  if (text == nullptr || *text == '\0') return -1;

  // A negative line is an empty line at the start of the text; line 0 runs to
  // the first CR or the end of the text.
  const char* begin = text;
  const char* end = line < 0 ? text : carriageReturnOrEnd(text);
  for (int32_t n = 1; n <= line; n++) {
    end = carriageReturnOrEnd(begin);
    if (*end == '\0') return -1;
    if (n == line) break;
    // The next line begins two characters after the CR, but never past the
    // terminator of a text that ends in a bare CR.
    begin = end[1] == '\0' ? end + 1 : end + 2;
  }

  if (field <= 0) {
    *selection = begin;
    return static_cast<int32_t>(end - begin);
  }

  // Fields are counted from the line's beginning even for a negative line.
  const char* pos = begin;
  const char* fieldStart = begin;
  for (int32_t n = 0; n < field; n++) {
    while (isBlank(*pos)) pos++;
    fieldStart = pos;
    while (!endsField(*pos)) pos++;
    // Once the line is used up every further field is empty as well.
    if (pos == fieldStart) break;
  }
  *selection = fieldStart;
  return static_cast<int32_t>(pos - fieldStart);
}

char foldCase(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

const char* lineEnd(const char* pos) {
  while (*pos != '\r' && *pos != '\n' && *pos != '\0') pos++;
  return pos;
}

bool matchLine(const char* line, const char* pattern, int32_t exact) {
  const char* t = line;
  const char* p = pattern;
  for (;;) {
    char pc = *p;
    char next = pc == '\0' ? '\0' : p[1];
    char tc = *t;
    if (tc == '\0' || tc == '\r' || tc == '\n') {
      // A final '?' or '*' also matches nothing.
      return pc == '\0' || ((pc == '?' || pc == '*') && next == '\0');
    }
    if (pc == '\0') return false;
    if (pc == '?') {
      t++;
      p++;
    } else if (pc == '*') {
      // No backtracking: the star ends at the first byte equal to the next
      // pattern character, compared exactly even when that is a wildcard.
      if (tc == next) {
        p++;
      } else {
        t++;
      }
    } else {
      bool same = exact != 0 ? tc == pc : foldCase(tc) == foldCase(pc);
      if (!same) return false;
      t++;
      p++;
    }
  }
}

const char* findMatchingLine(const char* pos, const char* pattern, char* out, int32_t capacity,
                             int32_t exact) {
  if (pos == nullptr) return nullptr;
  out[0] = '\0';
  for (;;) {
    const char* end = lineEnd(pos);
    // A last line without its line end is never examined.
    if (*end == '\0') return nullptr;
    if (matchLine(pos, pattern, exact)) {
      int32_t length = static_cast<int32_t>(end - pos);
      copyText(out, pos, length < capacity - 1 ? length : capacity - 1);
      return afterLineEnd(end);
    }
    pos = afterLineEnd(end);
  }
}
