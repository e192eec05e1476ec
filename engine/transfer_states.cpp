// PLACEHOLDER: handlers of this group are not built yet; each ends the
// operation with -31 so the driver links.  Replaced by the real states.
#include "engine/states.h"

#include "engine/driver.h"
#include "zub32.h"

int32_t startDownload(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t prepareRetrieve(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t readRestReply(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t sendRetr(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t openDownloadFile(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t receiveFileData(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t finishDownload(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t readTransferReply(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t startUpload(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t sendStore(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t readStoreReply(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t sendFileBlock(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t finishUpload(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t startListing(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t sendListCommand(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t readListReply(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t receiveListData(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
int32_t finishListing(ChannelRecord* rec, uint32_t) { return errorExit(rec, 0, ZUB_E_NOT_COMPLETED); }
