// PLACEHOLDER: handlers of this group are not built yet; each ends the
// operation with -31 so the driver links.  Replaced by the real states.
#include "engine/states.h"

#include "engine/driver.h"
#include "zub32.h"

int32_t sendCwd(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t readCwdReply(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t sendPwd(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t readPwdReply(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t sendDele(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t readDeleReply(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t sendRmd(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t readRmdReply(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t sendMkd(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t readMkdReply(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t sendType(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t readTypeReply(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t sendUserCommand(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t readUserCommandReply(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
