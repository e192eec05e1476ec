// The driver frame: one step of a channel's state machine per zubDriver
// call, the common error exit and the two step shapes the states share.
#pragma once

#include <cstdint>

#include "engine/states.h"
#include "util/ticks.h"

// A state handler either returns STEP_ON (go on to the end-of-step logging
// and return nextState) or the negative result of errorExit, returned as it
// stands.  `now` is the tick read at the start of the step.
constexpr int32_t STEP_ON = 1;
using StateHandler = int32_t (*)(ChannelRecord* rec, uint32_t now);

// Result of replyStep when a reply was read and nextState set.
constexpr int32_t REPLY_READ = 2;

// A tick argument of goState: no tick (no pause, no deadline).
constexpr uint32_t NO_TICK = 0;

// The one writer of nextState, resumeTick and deadlineTick (the record is
// only ever cleared wholesale besides): the state the next step enters,
// nothing before resumeTick, a time-out after deadlineTick.  Ticks are
// absolute (tickAfter), NO_TICK for none.
void goState(ChannelRecord* rec, StateId next, uint32_t resumeTick, uint32_t deadlineTick);
// goState with the ticks as they stand: the next state keeps the pause and
// the deadline the step before it armed.
void goNextState(ChannelRecord* rec, StateId next);
// goState with the next state as it stands: new ticks for it.
void setStateTicks(ChannelRecord* rec, uint32_t resumeTick, uint32_t deadlineTick);

// Ends the operation with an error; returns sockCode if negative, else driverCode.
int32_t errorExit(ChannelRecord* rec, int32_t sockCode, int32_t driverCode);

// "sss.mmm" of the tick's low 19 bits, by value (no shared buffer).
struct TimeText {
  char text[16];
};
TimeText timeText(uint32_t tick);

// Ends the operation for a failed reply read: a socket's code (a reset) is
// reported as itself with driver code -20, any other code as the driver code.
int32_t replyReadFailed(ChannelRecord* rec, int32_t code);

// Sends cmdBuf on the control socket; sendAll's result.
int32_t sendCommandLine(ChannelRecord* rec);
// The command step: sends cmdBuf (already formatted); on failure the error
// exit with driver code -21; else resume after replyDelay, deadline after
// replyTimeout, nextState = replyState.  STEP_ON or the error exit's result.
int32_t commandStep(ChannelRecord* rec, uint32_t now, StateId replyState);
// The reply step: STEP_ON when nothing is waiting yet (the state runs again),
// REPLY_READ when a reply was read and nextState = successor, or the error
// exit's negative result.
// A connection that ends instead of a reply fails the step with -1
// ("Socket has been closed.", driver code -20).
int32_t replyStep(ChannelRecord* rec, StateId successor);
// The reply step of a transfer whose command has gone out: as replyStep,
// except that a server's refusal of the data connection's TLS session ends
// with -36 (dataSessionRefused).
int32_t transferReplyStep(ChannelRecord* rec, StateId successor);
// The reply step for a command the server may answer by closing the
// connection (QUIT): the end then counts as the reply.
int32_t replyOrCloseStep(ChannelRecord* rec, StateId successor);

// The transfer state a data-connection chain (900-921) hands control back
// to once the data connection is ready; ST_idle when none.  The only writer
// of dataReadyState.
void setDataReadyState(ChannelRecord* rec, StateId state);
// The state set by setDataReadyState.
StateId dataReadyStateOf(const ChannelRecord* rec);
// The data connection is ready: the next state is the one set by
// setDataReadyState, which is cleared.
void goDataReadyState(ChannelRecord* rec);

// True when reply bytes wait on the control connection; otherwise records
// the wait for them, so that the reply state can end its step.
bool replyBytesWaiting(ChannelRecord* rec);
// Records what the blocking loop may wait for after a step that did nothing.
void noteIdleWait(ChannelRecord* rec, int32_t sock, int32_t mode);

// The state table lookup: the handler of a state, or null.
StateHandler findStateHandler(int32_t state);

// One step of the channel's machine (zubDriver after its channel check), with
// `now` the tick read at its start.  Taking the tick as an argument lets the
// wrap of the counter be exercised.
int32_t driverStep(ChannelRecord* rec, uint32_t now);
