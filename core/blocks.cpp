// The guarded block table: 13 slots per channel for the record and its text
// buffers, each block fenced by a guard byte on either side so that an
// overrun is caught before the block is freed.
#include "core/blocks.h"

#include <cstddef>

#include "core/channel.h"
#include "platform/platform.h"
#include "util/text.h"

BlockEntry blockTable[BLOCK_SLOTS];

namespace {

// The usable area (base + 1) is placed on this boundary: slot 0 holds the
// ChannelRecord, whose fields must be naturally aligned.
constexpr uintptr_t BLOCK_ALIGN = 16;

bool entryValid(uint32_t slot) { return blockTable[slot].tag == slot; }

}  // namespace

void resetBlockTable() {
  for (uint32_t slot = 0; slot < static_cast<uint32_t>(BLOCK_SLOTS); slot++) {
    blockTable[slot].tag = static_cast<uint16_t>(slot);
    blockTable[slot].handle = nullptr;
    blockTable[slot].guardedSize = 0;
  }
}

int32_t allocBlock(uint32_t slot, uint16_t capacity) {
  if (slot >= static_cast<uint32_t>(BLOCK_SLOTS)) return BLOCK_E_SLOT;
  if (!entryValid(slot)) return BLOCK_E_TAG;
  BlockEntry& e = blockTable[slot];
  if (e.handle != nullptr) return BLOCK_E_IN_USE;
  uint32_t guarded = static_cast<uint32_t>(capacity) + 2;
  // Block of capacity + 5 bytes, preceded by up to BLOCK_ALIGN - 1 bytes of
  // padding that put the usable area on an aligned address.
  void* mem = platAllocZeroed(static_cast<uint32_t>(capacity) + 5 + (BLOCK_ALIGN - 1));
  if (mem == nullptr) return BLOCK_E_NOMEM;
  uintptr_t start = reinterpret_cast<uintptr_t>(mem);
  uintptr_t usable = (start + 1 + BLOCK_ALIGN - 1) & ~(BLOCK_ALIGN - 1);
  uint8_t* base = static_cast<uint8_t*>(mem) + (usable - 1 - start);
  e.handle = mem;
  e.base = base;
  e.guardedSize = guarded;
  base[0] = BLOCK_LEAD_GUARD;
  base[guarded + 1] = BLOCK_TRAIL_GUARD;
  return static_cast<int32_t>(slot);
}

void* blockPointer(uint32_t slot) {
  if (slot >= static_cast<uint32_t>(BLOCK_SLOTS)) return nullptr;
  if (!entryValid(slot)) return nullptr;
  const BlockEntry& e = blockTable[slot];
  if (e.handle == nullptr || e.base == nullptr) return nullptr;
  return e.base + 1;
}

int32_t checkBlock(uint32_t slot) {
  if (slot >= static_cast<uint32_t>(BLOCK_SLOTS)) return BLOCK_E_SLOT;
  if (!entryValid(slot)) return BLOCK_E_TAG;
  const BlockEntry& e = blockTable[slot];
  if (e.handle == nullptr || e.base == nullptr || e.guardedSize == 0) return BLOCK_E_FREE;
  if (e.base[0] != BLOCK_LEAD_GUARD) return BLOCK_E_GUARD;
  if (e.base[e.guardedSize + 1] != BLOCK_TRAIL_GUARD) return BLOCK_E_GUARD;
  return 1;
}

int32_t freeBlock(uint32_t slot) {
  if (slot >= static_cast<uint32_t>(BLOCK_SLOTS)) return BLOCK_E_SLOT;
  if (!entryValid(slot)) return BLOCK_E_TAG;
  BlockEntry& e = blockTable[slot];
  if (e.handle == nullptr) return BLOCK_E_FREE;
  void* mem = e.handle;
  // Base and size stay behind: the null handle alone marks the slot free.
  e.handle = nullptr;
  platFree(mem);
  return 1;
}

static uint32_t channelSlot(int32_t channel, int32_t index) {
  return static_cast<uint16_t>(static_cast<uint32_t>(channel) * BLOCK_SLOTS_PER_CHANNEL +
                               static_cast<uint32_t>(index));
}

void* allocChannelBlock(int32_t channel, int32_t index, uint16_t capacity) {
  uint32_t slot = channelSlot(channel, index);
  int32_t r = allocBlock(slot, capacity);
  if (r < 0) {
    traceBlockError("AllocateMemory Error", channel, index, r);
    return nullptr;
  }
  return blockPointer(slot);
}

void freeChannelBlocks(int32_t channel, int32_t first, int32_t last) {
  for (int32_t index = first; index <= last; index++) {
    uint32_t slot = channelSlot(channel, index);
    int32_t r = checkBlock(slot);
    if (r >= 0) {
      freeBlock(slot);
    } else if (r == BLOCK_E_TAG || r == BLOCK_E_GUARD) {
      // A damaged block is left allocated, and so is the rest of the range:
      // what follows it may be damaged too.
      traceBlockError("FreeMemory Error", channel, index, r);
      return;
    }
  }
}

void traceBlockError(const char* label, int32_t channel, int32_t index, int32_t code) {
  if (channel < 0 || channel >= MAX_CHANNELS) return;
  ChannelRecord* rec = channelTable[channel];
  // The table keeps the pointers of earlier attachments; only a record whose
  // block is allocated now may be read.  The entry's tag is not asked: a
  // record whose own entry is damaged is still there and still reported.
  const BlockEntry& recEntry = blockTable[channelSlot(channel, 0)];
  if (rec == nullptr || recEntry.handle == nullptr || recEntry.base + 1 != reinterpret_cast<uint8_t*>(rec)) return;
  if (rec->logFile == 0) return;
  char* line = static_cast<char*>(blockPointer(channelSlot(channel, 12)));
  if (line == nullptr) return;
  platFormat(line, "%s: Chan=%d, Index=%d, Code=%d\r\n", label, channel, index, code);
  platFileWrite(rec->logFile, line, boundedLength(line));
}
