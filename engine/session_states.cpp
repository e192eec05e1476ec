// PLACEHOLDER: handlers of this group are not built yet; each ends the
// operation with -31 so the driver links.  Replaced by the real states.
#include "engine/states.h"

#include "engine/driver.h"
#include "zub32.h"

int32_t startConnection(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t awaitConnected(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t readGreeting(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t sendUser(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t readUserReply(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t sendPass(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t readPassReply(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t sendQuit(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t readQuitReply(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t sendNoop(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t readNoopReply(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
