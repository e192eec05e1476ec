// The error table: every library and socket error code with its English text.
#pragma once

#include <cstdint>

// The text of a code, or null when the code has no row.
const char* errorTextOf(int32_t code);
