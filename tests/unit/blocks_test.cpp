// The guarded block table: guards, result codes and the block trace lines.
#include <gtest/gtest.h>

#include <string>

#include "core/blocks.h"
#include "core/channel.h"
#include "platform/platform.h"
#include "support/test_util.h"
#include "zub32.h"

namespace {

// Tests on the bare table run unattached, on a freshly reset table, and give
// back whatever they allocated.
class Blocks : public ::testing::Test {
 protected:
  void SetUp() override {
    zubRelease();
    resetBlockTable();
  }
  void TearDown() override {
    platFaultClearAll();
    zubRelease();
    for (uint32_t slot = 0; slot < static_cast<uint32_t>(BLOCK_SLOTS); slot++) {
      blockTable[slot].tag = static_cast<uint16_t>(slot);
      freeBlock(slot);
    }
  }
};

TEST_F(Blocks, GuardsCatchOverrunsButNotTheSpareBytes) {
  constexpr uint16_t n = 255;
  ASSERT_EQ(allocBlock(7, n), 7);
  uint8_t* p = static_cast<uint8_t*>(blockPointer(7));
  ASSERT_NE(p, nullptr);
  for (int32_t i = 0; i < n + 2; i++) EXPECT_EQ(p[i], 0) << i;  // zero-filled, spare bytes too
  EXPECT_EQ(p[-1], BLOCK_LEAD_GUARD);
  EXPECT_EQ(p[n + 2], BLOCK_TRAIL_GUARD);
  EXPECT_EQ(blockTable[7].guardedSize, n + 2u);

  // A full text with its terminator just past the capacity, and the second
  // spare byte too, stay inside the guards.
  for (int32_t i = 0; i < n; i++) p[i] = 'a';
  p[n] = '\0';
  p[n + 1] = 'x';
  EXPECT_EQ(checkBlock(7), 1);

  p[n + 2] = 'x';  // the trailing guard
  EXPECT_EQ(checkBlock(7), BLOCK_E_GUARD);
  p[n + 2] = BLOCK_TRAIL_GUARD;
  EXPECT_EQ(checkBlock(7), 1);
  p[-1] = 0;  // the leading guard
  EXPECT_EQ(checkBlock(7), BLOCK_E_GUARD);
  p[-1] = BLOCK_LEAD_GUARD;
  EXPECT_EQ(freeBlock(7), 1);
}

TEST_F(Blocks, ResultCodes) {
  // In use: -103, and the existing block is left as it was.
  ASSERT_EQ(allocBlock(3, 16), 3);
  char* p = static_cast<char*>(blockPointer(3));
  p[0] = 'k';
  EXPECT_EQ(allocBlock(3, 32), BLOCK_E_IN_USE);
  EXPECT_EQ(blockPointer(3), p);
  EXPECT_EQ(p[0], 'k');
  EXPECT_EQ(blockTable[3].guardedSize, 18u);
  EXPECT_EQ(freeBlock(3), 1);

  // Free: -104 and no pointer.
  EXPECT_EQ(freeBlock(3), BLOCK_E_FREE);
  EXPECT_EQ(checkBlock(3), BLOCK_E_FREE);
  EXPECT_EQ(blockPointer(3), nullptr);
  EXPECT_EQ(checkBlock(415), BLOCK_E_FREE);

  // Beyond the table: -100.
  EXPECT_EQ(allocBlock(416, 8), BLOCK_E_SLOT);
  EXPECT_EQ(checkBlock(416), BLOCK_E_SLOT);
  EXPECT_EQ(freeBlock(416), BLOCK_E_SLOT);
  EXPECT_EQ(blockPointer(416), nullptr);
  EXPECT_EQ(allocBlock(0xFFFFFFFFu, 8), BLOCK_E_SLOT);

  // An entry whose tag is not its slot: -105 everywhere.
  ASSERT_EQ(allocBlock(5, 8), 5);
  blockTable[5].tag = 6;
  EXPECT_EQ(checkBlock(5), BLOCK_E_TAG);
  EXPECT_EQ(freeBlock(5), BLOCK_E_TAG);
  EXPECT_EQ(blockPointer(5), nullptr);
  blockTable[6].tag = 5;
  EXPECT_EQ(allocBlock(6, 8), BLOCK_E_TAG);
  blockTable[5].tag = 5;
  blockTable[6].tag = 6;

  // No memory: -102, the slot stays free and usable.
  platFaultSet(PLAT_OP_ALLOC, 1, 0);
  EXPECT_EQ(allocBlock(9, 8), BLOCK_E_NOMEM);
  EXPECT_EQ(blockTable[9].handle, nullptr);
  EXPECT_EQ(allocBlock(9, 8), 9);
}

TEST_F(Blocks, ReleaseWithADamagedBufferTracesAndStillFreesTheRecord) {
  zubtest::TempDir dir;
  std::string log = dir.file("trace.log");
  ASSERT_EQ(zubAttach(2, 0), 1);
  int32_t handle = zubSetString(0, ZUB_STR_OPEN_LOG, log.c_str());
  ASSERT_GT(handle, 0);
  ChannelRecord* rec = channelTable[0];
  rec->cmdBuf[CMD_BUF_CAP + 2] = 'X';  // the trailing guard of index 2

  EXPECT_EQ(zubRelease(), 1);
  EXPECT_EQ(zubtest::readFile(log), "FreeMemory Error: Chan=0, Index=2, Code=-106\r\n");
  EXPECT_EQ(blockTable[0].handle, nullptr);  // the record
  EXPECT_EQ(blockTable[1].handle, nullptr);  // the buffer before the damaged one
  for (int32_t slot = 2; slot <= 12; slot++) EXPECT_NE(blockTable[slot].handle, nullptr) << slot;
  for (int32_t slot = 13; slot < 26; slot++) EXPECT_EQ(blockTable[slot].handle, nullptr) << slot;

  // A trace for a channel whose record is gone reads nothing of it.
  traceBlockError("FreeMemory Error", 0, 3, BLOCK_E_GUARD);
  EXPECT_EQ(zubtest::readFile(log), "FreeMemory Error: Chan=0, Index=2, Code=-106\r\n");

  platFileClose(handle);
  blockTable[0 * 13 + 2].base[CMD_BUF_CAP + 3] = BLOCK_TRAIL_GUARD;
  freeChannelBlocks(0, 2, 12);
  for (int32_t slot = 2; slot <= 12; slot++) EXPECT_EQ(blockTable[slot].handle, nullptr) << slot;
}

TEST_F(Blocks, DamagedRecordIsKeptAndTracedOnlyWhileLogLineExists) {
  zubtest::TempDir dir;
  std::string log = dir.file("trace.log");
  ASSERT_EQ(zubAttach(1, 0), 1);
  int32_t handle = zubSetString(0, ZUB_STR_OPEN_LOG, log.c_str());
  ASSERT_GT(handle, 0);
  blockTable[0].base[0] = 0;  // the record's leading guard

  // While the buffers still exist the record's failure is traced.
  freeChannelBlocks(0, 0, 0);
  EXPECT_EQ(zubtest::readFile(log), "FreeMemory Error: Chan=0, Index=0, Code=-106\r\n");
  // A slot already free is passed over silently, the rest is freed.
  ASSERT_EQ(freeBlock(4), 1);
  freeChannelBlocks(0, 1, 12);
  for (int32_t slot = 1; slot <= 12; slot++) EXPECT_EQ(blockTable[slot].handle, nullptr) << slot;
  EXPECT_EQ(zubtest::readFile(log), "FreeMemory Error: Chan=0, Index=0, Code=-106\r\n");

  // Without logLine nothing can be written: release stays silent.
  EXPECT_EQ(zubRelease(), 1);
  EXPECT_EQ(zubtest::readFile(log), "FreeMemory Error: Chan=0, Index=0, Code=-106\r\n");
  EXPECT_NE(blockTable[0].handle, nullptr);
  platFileClose(handle);
  blockTable[0].base[0] = BLOCK_LEAD_GUARD;
}

TEST_F(Blocks, RecordWithADamagedEntryIsStillReported) {
  zubtest::TempDir dir;
  std::string log = dir.file("trace.log");
  ASSERT_EQ(zubAttach(1, 0), 1);
  int32_t handle = zubSetString(0, ZUB_STR_OPEN_LOG, log.c_str());
  ASSERT_GT(handle, 0);
  // A damaged buffer keeps logLine allocated, so the record's own failure
  // (its entry overwritten) can still be written when release reaches it.
  channelTable[0]->cmdBuf[CMD_BUF_CAP + 2] = 'X';
  blockTable[0].tag = 1;

  EXPECT_EQ(zubRelease(), 1);
  EXPECT_EQ(zubtest::readFile(log),
            "FreeMemory Error: Chan=0, Index=2, Code=-106\r\n"
            "FreeMemory Error: Chan=0, Index=0, Code=-105\r\n");
  EXPECT_NE(blockTable[0].handle, nullptr);
  platFileClose(handle);
}

TEST_F(Blocks, AllocationFailureOfAChannelBlockIsTraced) {
  zubtest::TempDir dir;
  std::string log = dir.file("trace.log");
  ASSERT_EQ(zubAttach(1, 0), 1);
  int32_t handle = zubSetString(0, ZUB_STR_OPEN_LOG, log.c_str());
  ASSERT_GT(handle, 0);

  EXPECT_EQ(allocChannelBlock(0, 2, 10), nullptr);  // cmdBuf is in use
  platFaultSet(PLAT_OP_ALLOC, 1, 0);
  ASSERT_EQ(freeBlock(11), 1);
  EXPECT_EQ(allocChannelBlock(0, 11, 255), nullptr);
  EXPECT_EQ(zubtest::readFile(log),
            "AllocateMemory Error: Chan=0, Index=2, Code=-103\r\n"
            "AllocateMemory Error: Chan=0, Index=11, Code=-102\r\n");
  char* again = static_cast<char*>(allocChannelBlock(0, 11, 255));
  EXPECT_EQ(again, blockPointer(11));
  channelTable[0]->userCmd = again;

  zubtest::closeChannelLog(0);
  EXPECT_EQ(zubRelease(), 1);
}

}  // namespace
