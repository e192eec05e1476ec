// Attach and release, the channel check of the frame's exports, the fresh
// channel record and the data-port ranges.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <set>
#include <string>

#include "core/blocks.h"
#include "core/channel.h"
#include "platform/platform.h"
#include "zub32.h"

namespace {

class Frame : public ::testing::Test {
 protected:
  void SetUp() override { zubRelease(); }
  void TearDown() override {
    platFaultClearAll();
    zubRelease();
  }
};

bool allSlotsFree() {
  for (int32_t slot = 0; slot < BLOCK_SLOTS; slot++) {
    if (blockTable[slot].handle != nullptr) return false;
  }
  return true;
}

TEST_F(Frame, AttachAndReleaseFollowTheTwoStates) {
  EXPECT_EQ(zubRelease(), 1);  // nothing attached: still 1
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_STEP_COUNT), ZUB_E_NOT_ATTACHED);

  EXPECT_EQ(zubAttach(1, 0), 1);
  EXPECT_EQ(attachedCount, 1);
  EXPECT_EQ(zubAttach(1, 0), ZUB_E_ALREADY_ATTACHED);
  EXPECT_EQ(attachedCount, 1);  // the refused attach changed nothing
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_STEP_COUNT), 0);

  EXPECT_EQ(zubRelease(), 1);
  EXPECT_EQ(attachedCount, 0);
  EXPECT_TRUE(allSlotsFree());
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_STEP_COUNT), ZUB_E_NOT_ATTACHED);
  EXPECT_EQ(zubAttach(1, 0), 1);
}

TEST_F(Frame, ChannelCountLimits) {
  EXPECT_EQ(zubAttach(33, 0), ZUB_E_CHANNEL_RANGE);
  EXPECT_EQ(zubAttach(-1, 0), ZUB_E_CHANNEL_RANGE);
  // Only the whole value counts: 65537 is not 1 channel, -65536 not 0.
  EXPECT_EQ(zubAttach(65537, 0), ZUB_E_CHANNEL_RANGE);
  EXPECT_EQ(zubAttach(-65536, 0), ZUB_E_CHANNEL_RANGE);
  EXPECT_EQ(attachedCount, 0);

  ASSERT_EQ(zubAttach(32, 0), 1);
  EXPECT_EQ(zubGetInteger(31, ZUB_GET_STEP_COUNT), 0);
  EXPECT_EQ(zubGetInteger(32, ZUB_GET_STEP_COUNT), ZUB_E_CHANNEL_RANGE);
  EXPECT_EQ(zubRelease(), 1);
  EXPECT_TRUE(allSlotsFree());

  // Zero channels: accepted, but the library stays unattached.
  EXPECT_EQ(zubAttach(0, 0), 1);
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_STEP_COUNT), ZUB_E_NOT_ATTACHED);
  EXPECT_EQ(zubAttach(0, 0), 1);
  EXPECT_EQ(zubAttach(2, 0), 1);
}

// Every export's answers are in channel_check_test; here the lookup itself.
TEST_F(Frame, ChannelCheckUsesTheLow16Bits) {
  int32_t err = 0;
  EXPECT_EQ(checkChannel(0, &err), nullptr);
  EXPECT_EQ(err, ZUB_E_NOT_ATTACHED);

  ASSERT_EQ(zubAttach(3, 0), 1);
  for (int32_t bad : {3, 65535, -1, 65536 + 3, INT_MIN + 3}) {
    err = 0;
    EXPECT_EQ(checkChannel(bad, &err), nullptr) << bad;
    EXPECT_EQ(err, ZUB_E_CHANNEL_RANGE) << bad;
  }
  // 65536 + n and INT_MIN + n (high bits set) both name channel n.
  EXPECT_EQ(checkChannel(65536 + 2, &err), channelTable[2]);
  EXPECT_EQ(checkChannel(INT_MIN + 1, &err), channelTable[1]);
  EXPECT_EQ(zubSetInteger(65536 + 2, ZUB_SET_PASSIVE, 7), 7);
  EXPECT_EQ(channelTable[2]->passiveMode, 7);
  EXPECT_EQ(channelTable[0]->passiveMode, 0);
}

TEST_F(Frame, FreshChannelRecord) {
  ASSERT_EQ(zubAttach(3, 0), 1);
  const std::string cwd = std::filesystem::current_path().string();

  for (int32_t n = 0; n < 3; n++) {
    SCOPED_TRACE(n);
    const ChannelRecord* rec = channelTable[n];
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec, blockPointer(static_cast<uint32_t>(n * 13)));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(rec) % alignof(ChannelRecord), 0u);
    EXPECT_EQ(rec->state, -1);
    EXPECT_EQ(rec->prevState, -2);
    EXPECT_EQ(rec->nextState, 0);
    EXPECT_EQ(rec->dataReadyState, 0);
    EXPECT_EQ(rec->autoCall, 1);
    EXPECT_EQ(rec->ctrlPort, 21);
    EXPECT_EQ(rec->chanIndex, n);
    EXPECT_EQ(rec->passiveMode, 0);
    EXPECT_EQ(rec->nonBlockConnect, 0);
    EXPECT_EQ(rec->waitWritable, 0);
    EXPECT_EQ(rec->getBytes + rec->getBytesTotal + rec->putBytes + rec->putBytesTotal, 0);
    EXPECT_EQ(rec->stepCount, 0);
    EXPECT_EQ(rec->replyCode, 0);
    EXPECT_EQ(rec->lastError, 0);
    EXPECT_EQ(rec->logFile, 0);
    EXPECT_EQ(rec->ctrlSock + rec->dataSock + rec->listenSock + rec->localFile, 0);
    EXPECT_EQ(rec->resumeTick, 0u);
    EXPECT_EQ(rec->deadlineTick, 0u);
    EXPECT_EQ(rec->ctrlRing.head + rec->ctrlRing.tail + rec->dataRing.head + rec->dataRing.tail, 0);
    EXPECT_EQ(rec->ctrlRing.sock + rec->dataRing.sock, 0);
    EXPECT_EQ(rec->replyTextPtr, nullptr);
    EXPECT_EQ(rec->listBuf, nullptr);

    // Every buffer is its own intact block, in the slot of its index.
    char* const buffers[13] = {nullptr,          rec->dataBuf,    rec->cmdBuf,     rec->responseBuf,
                               rec->serverName,  rec->userName,   rec->password,   rec->remoteName,
                               rec->localName,   rec->serverDir,  rec->localDir,   rec->userCmd,
                               rec->logLine};
    for (int32_t i = 1; i < 13; i++) {
      SCOPED_TRACE(i);
      EXPECT_EQ(buffers[i], blockPointer(static_cast<uint32_t>(n * 13 + i)));
      ASSERT_NE(buffers[i], nullptr);
      if (i != 10) {
        EXPECT_STREQ(buffers[i], "");
      }
    }
    for (int32_t i = 0; i < 13; i++) EXPECT_EQ(checkBlock(static_cast<uint32_t>(n * 13 + i)), 1);
    EXPECT_EQ(blockTable[n * 13 + 1].guardedSize, 8192u + 2);
    EXPECT_EQ(blockTable[n * 13 + 4].guardedSize, 64u + 2);
    EXPECT_EQ(blockTable[n * 13 + 12].guardedSize, 4096u + 2);
    EXPECT_EQ(std::string(rec->localDir), cwd);

    // Fewer than 9 channels: 128 ports on a 128 boundary within 16384..32767.
    EXPECT_EQ(rec->dataPortLow % 128, 0);
    EXPECT_GE(rec->dataPortLow, 16384);
    EXPECT_LE(rec->dataPortLow, 32640);
    EXPECT_EQ(rec->dataPortHigh - rec->dataPortLow, 127);
    EXPECT_EQ(rec->dataPort, rec->dataPortLow);
    EXPECT_EQ(zubGetInteger(n, ZUB_GET_PORT_SALT), rec->portSalt);
    EXPECT_LT(rec->portSalt, 16);
  }
  EXPECT_NE(channelTable[0]->dataPortLow, channelTable[1]->dataPortLow);
}

TEST_F(Frame, LongArgumentsFillTheirBuffersExactlyAndKeepTheGuards) {
  ASSERT_EQ(zubAttach(1, 0), 1);
  ASSERT_EQ(zubSetInteger(0, ZUB_SET_AUTO_CALL, 0), 0);  // arm only, nothing runs
  const std::string lng(300, 'n');
  EXPECT_EQ(zubConnect(0, lng.c_str(), lng.c_str(), lng.c_str()), 0);
  EXPECT_EQ(zubAbort(0), 1);
  EXPECT_EQ(zubGetFile(0, (std::string(300, 'r') + ":" + std::string(300, 'l')).c_str()), 0);
  EXPECT_EQ(zubAbort(0), 1);
  EXPECT_EQ(zubSetServerDir(0, lng.c_str()), 0);
  EXPECT_EQ(zubAbort(0), 1);
  EXPECT_EQ(zubCommand(0, lng.c_str()), 0);
  EXPECT_EQ(zubAbort(0), 1);

  const ChannelRecord* rec = channelTable[0];
  EXPECT_EQ(std::string(rec->serverName), std::string(64, 'n'));
  EXPECT_EQ(std::string(rec->password), std::string(64, 'n'));
  EXPECT_EQ(std::string(rec->remoteName), std::string(255, 'r'));
  EXPECT_EQ(std::string(rec->localName), std::string(255, 'l'));
  EXPECT_EQ(std::string(rec->serverDir), std::string(255, 'n'));
  EXPECT_EQ(std::string(rec->userCmd), std::string(255, 'n'));
  for (uint32_t slot = 0; slot < 13; slot++) EXPECT_EQ(checkBlock(slot), 1) << slot;
  EXPECT_EQ(zubRelease(), 1);
  EXPECT_TRUE(allSlotsFree());  // every block passed its check and was freed
}

TEST_F(Frame, DataPortRangesFromTheTick) {
  uint8_t salt = 99;
  // At tick 123460000 the selector is 1 whatever the channel count.
  EXPECT_EQ(dataPortLowFor(123460000u, 2, 1, &salt), 17536);
  EXPECT_EQ(salt, 1);
  EXPECT_EQ(dataPortLowFor(123460000u, 12, 9, &salt), 19584);
  EXPECT_EQ(salt, 1);
  EXPECT_EQ(dataPortLowFor(123460000u, 20, 17, &salt), 22656);
  EXPECT_EQ(salt, 1);

  // Every selector, every count: the channels' ranges lie in 16384..32767
  // and never overlap.
  for (uint16_t count : {1, 2, 8, 9, 12, 16, 17, 20, 32}) {
    for (uint32_t step = 0; step < 16; step++) {
      uint32_t tick = 0xFFFFFFFFu - step * 4000;  // near the wrap as well
      std::set<int32_t> ports;
      for (int32_t n = 0; n < count; n++) {
        uint16_t low = dataPortLowFor(tick, count, n, &salt);
        SCOPED_TRACE(testing::Message() << "count " << count << " tick " << tick << " channel " << n);
        ASSERT_GE(low, 16384);
        ASSERT_LE(low + 127, 32767);
        ASSERT_EQ(low % 128, 0);
        ASSERT_LT(salt, count <= 8 ? 16 : count <= 16 ? 8 : 4);
        ASSERT_TRUE(ports.insert(low).second);
      }
    }
  }
  EXPECT_EQ(dataPortLowFor(3999, 1, 0, &salt), 16384);
  EXPECT_EQ(salt, 0);
  EXPECT_EQ(dataPortLowFor(4000, 1, 0, &salt), 16384 + 1024);
}

TEST_F(Frame, AttachUndoesEverythingWhenABlockIsMissing) {
  // Allocation order: per channel the record, then slots 1..12; then each
  // channel's bulk buffer.
  struct Case {
    int32_t nth;
    const char* what;
  };
  for (Case c : {Case{1, "record of channel 0"}, Case{2, "dataBuf of channel 0"},
                 Case{7, "remoteName of channel 0"}, Case{13, "logLine of channel 0"},
                 Case{14, "record of channel 1"}, Case{26, "logLine of channel 1"},
                 Case{27, "bulk buffer of channel 0"}, Case{28, "bulk buffer of channel 1"}}) {
    SCOPED_TRACE(c.what);
    platFaultSet(PLAT_OP_ALLOC, c.nth, 0);
    EXPECT_EQ(zubAttach(2, 0), ZUB_E_NO_MEMORY);
    platFaultClearAll();
    EXPECT_EQ(attachedCount, 0);
    EXPECT_TRUE(allSlotsFree());
    EXPECT_EQ(zubGetInteger(0, ZUB_GET_STEP_COUNT), ZUB_E_NOT_ATTACHED);
    EXPECT_EQ(zubRelease(), 1);

    ASSERT_EQ(zubAttach(2, 0), 1);
    EXPECT_EQ(zubGetInteger(1, ZUB_GET_STEP_COUNT), 0);
    EXPECT_EQ(zubRelease(), 1);
  }
}

TEST_F(Frame, SocketLibraryFailureLeavesTheLibraryUnattached) {
  platFaultSet(PLAT_OP_STARTUP, 1, PLAT_WSASYSNOTREADY);
  EXPECT_EQ(zubAttach(1, 0), -PLAT_WSASYSNOTREADY);
  EXPECT_EQ(attachedCount, 0);
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_STEP_COUNT), ZUB_E_NOT_ATTACHED);
  EXPECT_EQ(zubAttach(1, 0), 1);
}

}  // namespace
