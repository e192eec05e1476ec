// PLACEHOLDER: handlers of this group are not built yet; each ends the
// operation with -31 so the driver links.  Replaced by the real states.
#include "engine/states.h"

#include "engine/driver.h"
#include "zub32.h"

int32_t sendPasv(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t readPasvReply(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t awaitPassiveConnected(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t sendPort(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t readPortReply(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t awaitDataConnection(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t acceptDataConnection(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
