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
// A transfer whose command has gone out failed with `code` (a reader's code,
// or a data connection's failure): true when the server refused the data
// connection's TLS session, with its reason traced; the transfer then ends
// with -36.  That is a 522 reply (or one that names session reuse) on a
// channel whose data runs in TLS, read already (`code` -18) or waiting on the
// control connection (read here).  False for anything else; a 425 or 426
// after a data connection that did not resume is then traced as such.
bool dataSessionRefused(ChannelRecord* rec, int32_t code);
// A transfer's data connection failed (sockCode and driverCode as the
// error exit takes them).  Plain data: the error exit at once.  TLS data:
// the data side is closed and the server's reply awaited (ST_readDataFailureReply), as a
// server that refuses the connection's session may close it (or break off
// its handshake) before it says so; STEP_ON, or the error exit's result.
int32_t dataConnectionFailed(ChannelRecord* rec, int32_t sockCode, int32_t driverCode);
// A new connection starts: nothing of the last session's TLS or EPSV state
// is carried over.
void resetSessionExtensions(ChannelRecord* rec);
