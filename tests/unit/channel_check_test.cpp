// The channel check that every export taking a channel runs first: -15 while
// unattached, -8 out of range, only the low 16 bits counted, and nothing
// written or traced on failure.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "support/test_util.h"
#include "zub32.h"

namespace {

// Calls every export that takes a channel with harmless arguments; for each
// one, `check` receives its name and its result.
template <typename Check>
void callEveryChannelExport(int32_t ch, char* buf, Check check) {
  check("zubErrorText", zubErrorText(ch, -3, buf, 20));
  check("zubSetInteger", zubSetInteger(ch, ZUB_SET_PASSIVE, 1));
  check("zubSetString", zubSetString(ch, ZUB_STR_WRITE_LOG, "x"));
  check("zubDebug", zubDebug(ch, 0, 0, 0));
  check("zubGetInteger", zubGetInteger(ch, ZUB_GET_STEP_COUNT));
  check("zubGetString", zubGetString(ch, ZUB_STR_LAST_REPLY, buf, 20));
  check("zubDriver", zubDriver(ch));
  check("zubConnect", zubConnect(ch, "127.0.0.1", "u", "p"));
  check("zubClose", zubClose(ch));
  check("zubHello", zubHello(ch));
  check("zubAbort", zubAbort(ch));
  check("zubGetFile", zubGetFile(ch, "a.txt"));
  check("zubPutFile", zubPutFile(ch, "a.txt"));
  check("zubGetList", zubGetList(ch, ZUB_LIST, buf, 20));
  check("zubSetMode", zubSetMode(ch, 'A'));
  check("zubSetServerDir", zubSetServerDir(ch, "/"));
  check("zubGetServerDir", zubGetServerDir(ch, buf, 20));
  check("zubDelFile", zubDelFile(ch, "a.txt"));
  check("zubMakeServerDir", zubMakeServerDir(ch, "d"));
  check("zubDelServerDir", zubDelServerDir(ch, "d"));
  check("zubCommand", zubCommand(ch, "NOOP"));
  check("zubSetLocalDir", zubSetLocalDir(ch, "/nonexistent-dir"));
  check("zubGetLocalDir", zubGetLocalDir(ch, buf, 20));
}

class ChannelCheck : public ::testing::Test {
 protected:
  void SetUp() override { zubRelease(); }
  void TearDown() override {
    zubtest::closeChannelLog(0);
    zubRelease();
  }
};

TEST_F(ChannelCheck, EveryExportRefusesBadChannels) {
  char buf[32];
  std::memset(buf, '#', sizeof buf);
  for (int32_t ch : {0, 1, 65536, -1}) {
    callEveryChannelExport(ch, buf, [&](const char* name, int32_t r) {
      EXPECT_EQ(r, ZUB_E_NOT_ATTACHED) << name << " channel " << ch;
    });
  }
  // Zero channels leave the library unattached.
  ASSERT_EQ(zubAttach(0, 0), 1);
  callEveryChannelExport(0, buf, [&](const char* name, int32_t r) { EXPECT_EQ(r, ZUB_E_NOT_ATTACHED) << name; });

  ASSERT_EQ(zubAttach(2, 0), 1);
  zubtest::TempDir dir;
  std::string log = dir.file("check.log");
  ASSERT_GT(zubSetString(0, ZUB_STR_OPEN_LOG, log.c_str()), 0);
  ASSERT_GT(zubSetString(1, ZUB_STR_OPEN_LOG, dir.file("check1.log").c_str()), 0);
  for (int32_t ch : {2, 65535, -1, 65536 + 2, INT_MIN + 5}) {
    callEveryChannelExport(ch, buf, [&](const char* name, int32_t r) {
      EXPECT_EQ(r, ZUB_E_CHANNEL_RANGE) << name << " channel " << ch;
    });
  }
  EXPECT_EQ(buf[0], '#');  // no buffer was written
  EXPECT_EQ(zubtest::readFile(log), "");  // and nothing traced
  EXPECT_EQ(zubtest::readFile(dir.file("check1.log")), "");
  zubtest::closeChannelLog(1);
}

TEST_F(ChannelCheck, HighBitsAreIgnored) {
  ASSERT_EQ(zubAttach(2, 0), 1);
  char buf[300];
  EXPECT_EQ(zubDriver(65536 + 1), 0);  // idle
  EXPECT_EQ(zubAbort(65536 + 1), 1);
  EXPECT_EQ(zubSetMode(65536 + 1, 'X'), ZUB_E_BAD_MODE);
  EXPECT_GT(zubGetLocalDir(INT_MIN + 1, buf, 255), 0);
  EXPECT_EQ(zubErrorText(-65536, -3, buf, 100), 17);
  EXPECT_EQ(zubGetInteger(65536 * 7 + 1, ZUB_GET_VERSION), 560);
}

}  // namespace
