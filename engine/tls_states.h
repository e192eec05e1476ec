// Where the chains turn off for encrypted sessions and EPSV: each function
// names the state that follows a point of the plain chain, which is the
// plain chain's own state when the channel uses neither.
#pragma once

#include <cstdint>

#include "engine/states.h"

// After the TCP connection stands (state 102): the implicit handshake, or
// the greeting.
StateId stateAfterConnected(const ChannelRecord* rec);
// After the greeting (state 103): AUTH TLS, or USER.
StateId stateAfterGreeting(const ChannelRecord* rec);
// The first state of a transfer's data path: PBSZ and PROT once per
// session, then EPSV, PASV or PORT.
StateId firstDataState(const ChannelRecord* rec);
// True when the channel's data connections run in TLS.
bool dataTlsWanted(const ChannelRecord* rec);
// A data connection is connected (after the transfer command): on to its
// handshake when the data runs in TLS, else straight to dataReadyState.
void resumeAfterDataConnected(ChannelRecord* rec);
// A new connection starts: nothing of the last session's TLS or EPSV state
// is carried over.
void resetSessionExtensions(ChannelRecord* rec);
