// Bounded text helpers shared by the whole library.  Every text is 8-bit and
// NUL-terminated; a capacity counts characters (a buffer of capacity n holds
// n + 1 bytes) unless a function says otherwise.
#pragma once

#include <cstdint>

constexpr int32_t BOUNDED_LENGTH_MAX = 8192;

// Length of a text, counted up to at most 8192 characters.
int32_t boundedLength(const char* text);
// Plain length of a text.
int32_t textLength(const char* text);
// If the text is longer than one character and ends in CR LF, the CR becomes
// the terminator.
void stripLineEnd(char* text);
// Copies until NUL, CR or LF or max characters; always terminates; the count
// stored.  Pointers are not tested.
int32_t copyLine(char* dst, const char* src, int32_t max);
// The length of a text that is to be used whole on one line: -1 when it is
// not terminated within `capacity` bytes, is longer than max characters, or
// holds a CR or LF.  A null text or a capacity below 1 has no text: -1.
int32_t wholeLineLength(const char* text, int32_t capacity, int32_t max);
// Copies until NUL or max characters; always terminates; the count stored.
// A null source or destination stores nothing and gives 0.
int32_t copyText(char* dst, const char* src, int32_t max);
// Appends as much of addition as fits so that text and terminator stay within
// capacity bytes; always terminated.
void appendText(char* text, const char* addition, int32_t capacity);
