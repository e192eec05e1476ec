// The guarded block table: every channel record and buffer is one block of a
// fixed 416-slot table, with a guard byte before and after its usable area.
#pragma once

#include <cstdint>

constexpr int32_t BLOCK_SLOTS_PER_CHANNEL = 13;
constexpr int32_t BLOCK_SLOTS = 32 * BLOCK_SLOTS_PER_CHANNEL;  // 416

constexpr int32_t BLOCK_E_SLOT = -100;     // slot 416 or above
constexpr int32_t BLOCK_E_NOMEM = -102;    // no memory
constexpr int32_t BLOCK_E_IN_USE = -103;   // slot already in use
constexpr int32_t BLOCK_E_FREE = -104;     // slot not in use
constexpr int32_t BLOCK_E_TAG = -105;      // entry's tag is not its slot
constexpr int32_t BLOCK_E_GUARD = -106;    // a guard byte is damaged

constexpr uint8_t BLOCK_LEAD_GUARD = 0x55;   // 'U'
constexpr uint8_t BLOCK_TRAIL_GUARD = 0x7A;  // 'z'

struct BlockEntry {
  void* handle;           // null = slot free
  uint8_t* base;          // the leading guard
  uint32_t guardedSize;   // capacity + 2; 0 after reset
  uint16_t tag;           // equals the slot number once reset
};

extern BlockEntry blockTable[BLOCK_SLOTS];

void resetBlockTable();
int32_t allocBlock(uint32_t slot, uint16_t capacity);
void* blockPointer(uint32_t slot);
int32_t checkBlock(uint32_t slot);
int32_t freeBlock(uint32_t slot);
void* allocChannelBlock(int32_t channel, int32_t index, uint16_t capacity);
void freeChannelBlocks(int32_t channel, int32_t first, int32_t last);
void traceBlockError(const char* label, int32_t channel, int32_t index, int32_t code);
