// The channel table, the channel check and the building of a fresh channel
// record with its buffers and its range of active-mode data ports.
#include "core/channel.h"

#include "core/blocks.h"
#include "zub32.h"
#include "platform/platform.h"

uint16_t attachedCount = 0;
ChannelRecord* channelTable[MAX_CHANNELS] = {};
char socketDescription[257] = {};

static_assert(sizeof(ChannelRecord) + 5 <= 0xFFFF, "the record must fit one block");

ChannelRecord* checkChannel(int32_t channel, int32_t* err) {
  if (attachedCount == 0) {
    *err = ZUB_E_NOT_ATTACHED;
    return nullptr;
  }
  uint16_t n = static_cast<uint16_t>(static_cast<uint32_t>(channel) & 0xFFFF);
  if (n >= attachedCount) {
    *err = ZUB_E_CHANNEL_RANGE;
    return nullptr;
  }
  return channelTable[n];
}

uint16_t dataPortLowFor(uint32_t tick, uint16_t count, int32_t n, uint8_t* salt) {
  // The selector changes every 4 seconds, so successive attachments tend to
  // listen on different ports; its bits never overlap the channel's bits.
  uint32_t q = tick / 4000;
  uint32_t s;
  uint32_t shift;
  if (count <= 8) {
    s = q & 15;
    shift = 10;
  } else if (count <= 16) {
    s = q & 7;
    shift = 11;
  } else {
    s = q & 3;
    shift = 12;
  }
  *salt = static_cast<uint8_t>(s);
  return static_cast<uint16_t>(0x4000u | (static_cast<uint32_t>(n) << 7) | (s << shift));
}

int32_t initChannel(int32_t n) {
  channelTable[n] = nullptr;
  ChannelRecord* rec =
      static_cast<ChannelRecord*>(allocChannelBlock(n, 0, static_cast<uint16_t>(sizeof(ChannelRecord))));
  if (rec == nullptr) return ZUB_E_NO_MEMORY;
  channelTable[n] = rec;

  rec->ctrlPort = 21;
  rec->chanIndex = n;
  rec->prevState = STATE_NEVER_RUN;
  rec->state = STATE_NO_STEP;
  rec->waitWritable = 0;
  rec->autoCall = 1;
  rec->tlsVerify = 1;
  rec->dataProtection = 'P';

  rec->dataBuf = static_cast<char*>(allocChannelBlock(n, 1, DATA_BUF_CAP));
  rec->cmdBuf = static_cast<char*>(allocChannelBlock(n, 2, CMD_BUF_CAP));
  rec->responseBuf = static_cast<char*>(allocChannelBlock(n, 3, RESPONSE_BUF_CAP));
  rec->serverName = static_cast<char*>(allocChannelBlock(n, 4, LOGIN_TEXT_CAP));
  rec->userName = static_cast<char*>(allocChannelBlock(n, 5, LOGIN_TEXT_CAP));
  rec->password = static_cast<char*>(allocChannelBlock(n, 6, LOGIN_TEXT_CAP));
  rec->remoteName = static_cast<char*>(allocChannelBlock(n, 7, NAME_TEXT_CAP));
  rec->localName = static_cast<char*>(allocChannelBlock(n, 8, NAME_TEXT_CAP));
  rec->serverDir = static_cast<char*>(allocChannelBlock(n, 9, NAME_TEXT_CAP));
  rec->localDir = static_cast<char*>(allocChannelBlock(n, 10, NAME_TEXT_CAP));
  rec->userCmd = static_cast<char*>(allocChannelBlock(n, 11, NAME_TEXT_CAP));
  rec->logLine = static_cast<char*>(allocChannelBlock(n, 12, LOG_LINE_CAP));
  // Every operation writes into these buffers without testing them, so a
  // channel missing any of them is unusable.
  bool complete = rec->dataBuf != nullptr && rec->cmdBuf != nullptr && rec->responseBuf != nullptr &&
                  rec->serverName != nullptr && rec->userName != nullptr && rec->password != nullptr &&
                  rec->remoteName != nullptr && rec->localName != nullptr && rec->serverDir != nullptr &&
                  rec->localDir != nullptr && rec->userCmd != nullptr && rec->logLine != nullptr;

  rec->passiveMode = 0;
  rec->nonBlockConnect = 0;

  rec->dataPortLow = dataPortLowFor(platTickCount(), attachedCount, n, &rec->portSalt);
  rec->dataPortHigh = static_cast<uint16_t>(rec->dataPortLow | 0x7F);

  rec->ctrlRing.head = 0;
  rec->ctrlRing.tail = 0;
  rec->ctrlRing.sock = 0;
  rec->dataRing.head = 0;
  rec->dataRing.tail = 0;
  rec->dataRing.sock = 0;

  rec->dataPort = rec->dataPortLow;

  // Too long a directory leaves localDir empty.
  if (rec->localDir != nullptr) platCurrentDir(rec->localDir, 254);

  return complete ? 1 : ZUB_E_NO_MEMORY;
}

int32_t initBulkBuffer(int32_t n) {
  ChannelRecord* rec = channelTable[n];
  if (rec == nullptr) return ZUB_E_NO_MEMORY;
  rec->bulkBuf = static_cast<char*>(platAllocZeroed(static_cast<uint32_t>(BULK_BUF_CAP)));
  return rec->bulkBuf != nullptr ? 1 : ZUB_E_NO_MEMORY;
}

void freeBulkBuffer(int32_t n) {
  ChannelRecord* rec = channelTable[n];
  if (rec == nullptr) return;
  platFree(rec->bulkBuf);
  rec->bulkBuf = nullptr;
}
