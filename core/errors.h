// The error table: every library and socket error code with its English text.
#pragma once

#include <cstdint>

// The text of a code, or null when the code has no row.
const char* errorTextOf(int32_t code);

// A failing socket call's code (its WinSock error negated), as opposed to one
// of the library's own codes (-1 to -32).
inline bool isSocketCode(int32_t code) { return code <= -10000; }
