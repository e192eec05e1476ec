// Bounded text helpers: the only ways the library writes text into its
// fixed buffers.
#include "util/text.h"

int32_t boundedLength(const char* text) {
  int32_t n = 0;
  while (n < BOUNDED_LENGTH_MAX && text[n] != '\0') n++;
  return n;
}

int32_t textLength(const char* text) {
  int32_t n = 0;
  while (text[n] != '\0') n++;
  return n;
}

void stripLineEnd(char* text) {
  int32_t n = textLength(text);
  if (n > 1 && text[n - 2] == '\r' && text[n - 1] == '\n') text[n - 2] = '\0';
}

int32_t copyLine(char* dst, const char* src, int32_t max) {
  int32_t n = 0;
  while (n < max && src[n] != '\0' && src[n] != '\r' && src[n] != '\n') {
    dst[n] = src[n];
    n++;
  }
  dst[n] = '\0';
  return n;
}

int32_t copyText(char* dst, const char* src, int32_t max) {
  if (dst == nullptr || src == nullptr) return 0;
  int32_t n = 0;
  while (n < max && src[n] != '\0') {
    dst[n] = src[n];
    n++;
  }
  dst[n] = '\0';
  return n;
}

void appendText(char* text, const char* addition, int32_t capacity) {
  if (capacity <= 0) return;
  int32_t n = 0;
  while (n < capacity - 1 && text[n] != '\0') n++;
  int32_t i = 0;
  while (n < capacity - 1 && addition[i] != '\0') text[n++] = addition[i++];
  text[n] = '\0';
}

int32_t wholeLineLength(const char* text, int32_t capacity, int32_t max) {
  if (text == nullptr || capacity < 1) return -1;
  for (int32_t i = 0; i < capacity; i++) {
    char c = text[i];
    if (c == '\0') return i;
    if (c == '\r' || c == '\n' || i == max) return -1;
  }
  return -1;
}
