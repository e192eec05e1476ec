// No leaks over time: operations of every kind (sessions, transfers,
// listings, aborts, and failures mixed in) over 8 channels against the
// scripted server.  The open descriptors and the library's blocks at the end
// equal those after the first two cycles (160 operations).
//
// The test command runs 240 operations (three cycles); the long run:
//   scripts/long_runs.sh soak 10000
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "core/blocks.h"
#include "support/host.h"
#include "support/script_server.h"
#include "support/test_util.h"
#include "zub32.h"

namespace zubtest {
namespace {

struct Footprint {
  int descriptors;
  int blocks;
  uint64_t blockBytes;
  bool operator==(const Footprint&) const = default;
};

Footprint footprint() {
  Footprint f{openDescriptorCount(), 0, 0};
  for (const BlockEntry& b : blockTable) {
    if (b.handle != nullptr) {
      f.blocks++;
      f.blockBytes += b.guardedSize;
    }
  }
  return f;
}

std::ostream& operator<<(std::ostream& out, const Footprint& f) {
  return out << f.descriptors << " descriptors, " << f.blocks << " blocks of " << f.blockBytes << " bytes";
}

TEST(Soak, OperationsOverEightChannelsLeaveNothingBehind) {
  const char* env = std::getenv("ZUB_SOAK_OPS");
  constexpr int kChannels = 8;
  constexpr int kCycle = 10 * kChannels;
  // Whole cycles only, at least three.
  const int asked = env != nullptr ? std::atoi(env) : 3 * kCycle;
  const int ops = asked < 3 * kCycle ? 3 * kCycle : asked / kCycle * kCycle;
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  std::ofstream(dir.file("up.bin"), std::ios::binary) << std::string(20000, 'u');
  ScriptServer srv;
  srv.autoMode("anna", "secret");
  srv.putFile("/pub/a.bin", std::string(50000, 'a'));
  ASSERT_TRUE(srv.start());
  ASSERT_EQ(zubAttach(kChannels, 0), 1);
  zubSetInteger(0, ZUB_SET_CTRL_PORT, srv.port());
  // Generous limits: the long run shares a loaded machine.
  zubSetInteger(0, ZUB_SET_REPLY_TIMEOUT, 5000);
  zubSetInteger(0, ZUB_SET_DATA_TIMEOUT, 5000);
  for (int ch = 0; ch < kChannels; ch++) {
    zubSetInteger(ch, ZUB_SET_CTRL_PORT, srv.port());
    zubSetInteger(ch, ZUB_SET_PASSIVE, ch % 2);
    ASSERT_EQ(zubSetLocalDir(ch, dir.path().c_str()), 0);
  }

  static char list[8192];
  Footprint early{};
  int failures = 0, successes = 0;
  for (int i = 0; i < ops; i++) {
    const int ch = i % kChannels;
    const int round = i / kChannels;
    int32_t r = 0;
    bool mayFail = false;
    // Each cycle an active channel starts again at its own four ports of
    // the process's block of 16: left to advance, the ports of a long run
    // would drift into the blocks of other test processes.
    if (round % 10 == 0) zubSetInteger(ch, ZUB_SET_DATA_PORT, 1100 + (hostProcessId() % 56) * 16 + ch / 2 * 4);
    switch (round % 10) {
      case 0: r = zubConnect(ch, "127.0.0.1", "anna", "secret"); break;
      case 1: r = zubGetFile(ch, "/pub/a.bin:a.bin"); break;
      case 2: r = zubPutFile(ch, ("up.bin:/pub/u" + std::to_string(ch)).c_str()); break;
      case 3: r = zubGetList(ch, ZUB_LIST, list, sizeof list); r = r > 0 ? 0 : r == 0 ? -1 : r; break;
      case 4: r = zubGetFile(ch, "/pub/missing.bin"); mayFail = true; break;      // 550
      case 5: r = zubSetServerDir(ch, "/nowhere"); mayFail = true; break;        // 550
      case 6: r = zubHello(ch); break;
      case 7: r = zubCommand(ch, "SITE NOTHING"); mayFail = true; break;         // 502
      case 8: r = zubAbort(ch) == 1 ? 0 : -1; break;
      default: r = zubClose(ch); break;
    }
    if (r == 0) {
      successes++;
    } else {
      failures++;
      EXPECT_TRUE(mayFail) << "operation " << i << " (kind " << round % 10 << ", channel " << ch << "): " << r;
    }
    // A cycle (ten rounds over the channels) ends with every session closed.
    if (i == 2 * 10 * kChannels - 1) early = footprint();
    if (HasFailure()) break;
  }
  // Every session is closed at the end of a cycle, so the channels hold
  // what they held after the first two (after an early stop, once they are
  // closed).
  for (int ch = 0; ch < kChannels; ch++) zubClose(ch);
  Footprint late = footprint();
  EXPECT_EQ(late, early);
  EXPECT_GT(failures, ops / 20);
  EXPECT_GT(successes, ops / 2);
  std::printf("soak: %d operations, %d failed as scripted; %d descriptors, %d blocks\n", ops, failures,
              late.descriptors, late.blocks);
  zubRelease();
}

}  // namespace
}  // namespace zubtest
