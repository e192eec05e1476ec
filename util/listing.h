// Taking listing text apart: line and field selection, decimal sizes and the
// single-pass wildcard matcher behind zubExtract, zubFileLength, zubMatchFile.
// Internal helpers; the exports live in api/listing_api.cpp.
#pragma once

#include <cstdint>

// Number of LF characters in the text (0 for a null text): the line count of
// a listing whose lines end in CR LF.
int32_t countLines(const char* text);

// Value of a text of decimal digits in wrapping 32-bit arithmetic; 0 for an
// empty text, -1 when any character is not '0'..'9' (no sign, no blanks).
int32_t parseDecimal(const char* text);

// Finds field `field` of line `line` of the text (lines end in CR, the next
// one begins two characters later; fields are runs between spaces and tabs;
// field 0 or below is the whole line).  Stores the selection's start in
// *selection and returns its length (0 for an empty or missing field), or
// -1 when the text is null or empty or the line does not exist.
int32_t extractSelection(const char* text, int32_t line, int32_t field, const char** selection);

// ASCII 'a'..'z' to 'A'..'Z'; every other byte unchanged.
char foldCase(char c);

// The first CR, LF or NUL at or after pos.
const char* lineEnd(const char* pos);

// Matches one line (ended by CR, LF or NUL) against a '*'/'?' pattern in a
// single left-to-right pass: a '*' stretches only up to the first byte equal
// to the pattern character after it.  exact 0 compares ordinary characters
// after foldCase.
bool matchLine(const char* line, const char* pattern, int32_t exact);

// From pos on, finds the first line ended by CR or LF that matches the
// pattern, copies it without its line end into out (at most capacity - 1
// characters and a NUL) and returns the position after its line end (a CR or
// LF and one LF following it).  nullptr when no line matches; out is then
// empty, or untouched when pos is null.  out must hold capacity >= 1 bytes.
const char* findMatchingLine(const char* pos, const char* pattern, char* out, int32_t capacity,
                             int32_t exact);
