// The calling pattern every FTP operation shares: guard and entry line,
// arming, and the blocking loop over zubDriver.
#pragma once

#include <cstdint>

#include "engine/states.h"

// Channel check, then the entry line "*** <name>\r\n" if a log is open.  The
// record, or null with *err set (-15 / -8).
ChannelRecord* beginOperation(int32_t channel, const char* name, int32_t* err);
// Arms firstState (both ticks cleared).  Caller-driven use: returns 0.
// Blocking use: discards waiting replies when flush is set, then runs the
// driver loop and returns its first result that is not positive.
int32_t armAndRun(ChannelRecord* rec, StateId firstState, bool flush);
// Calls the driver until its result is not positive, waiting between calls
// for the channel's sockets or its resume tick without spinning.
int32_t runDriverLoop(ChannelRecord* rec);
