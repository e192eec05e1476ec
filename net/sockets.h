// Socket primitives: creation, readiness tests, waits, sending and closing.
// They take socket handles, not channels; creation, tests and closes run
// under the global lock.
#pragma once

#include <cstdint>

int32_t createSocket();                          // handle, or -10
int32_t testSocket(int32_t sock, int32_t mode);  // 1/0, -4 for a bad mode
// A non-blocking connection attempt that has failed: the socket's own code
// (-10061 refused), as a blocking connect reports it; 0 while it stands.
int32_t connectFailure(int32_t sock);
int32_t waitForReadable(int32_t sock, uint32_t ms);
int32_t waitForWritable(int32_t sock, uint32_t ms);
int32_t sendAll(int32_t sock, const char* data, int32_t count);
// A send that never waits for room: the count sent (may be short; 0 when
// only part of a TLS record went out: the same bytes are to be sent again),
// PLAT_NOTHING_READY when the socket has no room yet, -1 when it is in an
// error condition (as sendAll reports it), or the send's code.
int32_t sendSome(int32_t sock, const char* data, int32_t count);
int32_t closeSocket(int32_t sock, uint32_t ms);
