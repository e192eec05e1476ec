// zubSetInteger's storage rules and results, zubSetString's trace log,
// zubDebug, and the trace lines they write.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/channel.h"
#include "core/settings.h"
#include "core/trace.h"
#include "platform/platform.h"
#include "support/test_util.h"
#include "zub32.h"

namespace {

class SettingsApi : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = settings;
    zubRelease();
    ASSERT_EQ(zubAttach(2, 0), 1);
  }
  void TearDown() override {
    zubtest::closeChannelLog(0);
    zubtest::closeChannelLog(1);
    globalTraceLog = 0;
    zubRelease();
    settings = saved_;
  }
  ChannelRecord* rec(int32_t n) { return channelTable[n]; }

  Settings saved_{};
  zubtest::TempDir dir_;
};

TEST(SettingsDefaults, LoadTimeValuesAndVersionStamp) {
  EXPECT_EQ(settings.connectTimeout, 60000);
  EXPECT_EQ(settings.replyDelay, 0);
  EXPECT_EQ(settings.replyTimeout, 60000);
  EXPECT_EQ(settings.sendDelay, 0);
  EXPECT_EQ(settings.sendTimeout, 60000);
  EXPECT_EQ(settings.sleepTime, 10);
  EXPECT_EQ(settings.closeDelay, 50);
  EXPECT_EQ(settings.blockSize, 1024);
  EXPECT_EQ(settings.dataTimeout, 25000);
  EXPECT_EQ(settings.hostAddrIndex, 0);
  EXPECT_EQ(settings.nameSeparator, ':');
  EXPECT_EQ(settings.lineTimeout, 5000);

  EXPECT_STREQ(versionStamp, "$VER 0230 BLD 0008 NOV02 ZUB$");
  EXPECT_EQ(parseHex(versionStamp + 5, 4), 0x230);
  EXPECT_EQ(parseHex(versionStamp + 14, 4), 8);
  EXPECT_EQ(parseHex("fF0a", 4), 0xFF0A);
  EXPECT_EQ(parseHex("1g2", 3), 0x102);  // other characters count as 0
  EXPECT_EQ(parseHex("7\0" "3", 3), 0x703);   // so does a terminator in the range
  EXPECT_EQ(parseHex("ffffffff", 8), -1);
}

TEST_F(SettingsApi, StorageRulesAndResults) {
  // Block size: clamped, compared unsigned.
  EXPECT_EQ(zubSetInteger(0, ZUB_SET_BLOCK_SIZE, 100), 128);
  EXPECT_EQ(settings.blockSize, 128);
  EXPECT_EQ(zubSetInteger(0, ZUB_SET_BLOCK_SIZE, 9000), 8192);
  EXPECT_EQ(zubSetInteger(0, ZUB_SET_BLOCK_SIZE, -5), 8192);
  EXPECT_EQ(zubSetInteger(0, ZUB_SET_BLOCK_SIZE, 4000), 4000);
  EXPECT_EQ(settings.blockSize, 4000);

  EXPECT_EQ(zubSetInteger(0, ZUB_SET_HOST_ADDR_INDEX, 9), 1);
  EXPECT_EQ(settings.hostAddrIndex, 1);

  rec(0)->resumeTick = 5;
  rec(0)->deadlineTick = 6;
  EXPECT_EQ(zubSetInteger(0, ZUB_SET_AUTO_CALL, 2), 0);
  EXPECT_EQ(rec(0)->autoCall, 0);
  EXPECT_EQ(rec(0)->resumeTick, 0u);
  EXPECT_EQ(rec(0)->deadlineTick, 0u);
  EXPECT_EQ(zubSetInteger(0, ZUB_SET_AUTO_CALL, 3), 1);

  // Stored one below: the driver advances it before each use.
  EXPECT_EQ(zubSetInteger(0, ZUB_SET_DATA_PORT, 1000), 1000);
  EXPECT_EQ(rec(0)->dataPort, 999);
  EXPECT_EQ(zubSetInteger(0, ZUB_SET_DATA_PORT, 0), 0);
  EXPECT_EQ(rec(0)->dataPort, 65535);
  EXPECT_EQ(zubSetInteger(0, ZUB_SET_DATA_PORT, INT32_MIN), INT32_MIN);
  EXPECT_EQ(rec(0)->dataPort, 65535);

  EXPECT_EQ(zubSetInteger(0, ZUB_SET_CTRL_PORT, 65536 + 2121), 65536 + 2121);
  EXPECT_EQ(rec(0)->ctrlPort, 2121);
  EXPECT_EQ(zubSetInteger(0, ZUB_SET_NAME_SEPARATOR, 0x17C), 0x17C);
  EXPECT_EQ(settings.nameSeparator, '|');

  EXPECT_EQ(zubSetInteger(0, ZUB_SET_BLOCKING_CONNECT, 0), 0);
  EXPECT_EQ(rec(0)->nonBlockConnect, 1);
  EXPECT_EQ(zubSetInteger(0, ZUB_SET_BLOCKING_CONNECT, 5), 5);
  EXPECT_EQ(rec(0)->nonBlockConnect, 0);

  // The pauses: initially on; any value but 0 is kept as 1, the value passed returned.
  EXPECT_EQ(settings.pauses, 1);
  struct Pauses {
    int32_t value;
    int32_t stored;
  };
  for (Pauses p : {Pauses{0, 0}, Pauses{7, 1}, Pauses{0, 0}, Pauses{-1, 1}, Pauses{INT32_MIN, 1}, Pauses{1, 1}}) {
    EXPECT_EQ(zubSetInteger(1, ZUB_SET_PAUSES, p.value), p.value);
    EXPECT_EQ(settings.pauses, p.stored) << p.value;
  }

  EXPECT_EQ(zubSetInteger(0, ZUB_SET_PASSIVE, 3), 3);
  EXPECT_EQ(rec(0)->passiveMode, 3);
  EXPECT_EQ(zubSetInteger(0, ZUB_SET_RESTART, 1), 1);
  EXPECT_EQ(rec(0)->restartEnabled, 1);
  EXPECT_EQ(zubSetInteger(0, ZUB_SET_RESTART_OFFSET, 777), 777);
  EXPECT_EQ(rec(0)->restartOffset, 777);
  EXPECT_EQ(zubSetInteger(0, ZUB_SET_LOCAL_OFFSET, 888), 888);
  EXPECT_EQ(rec(0)->localFileOffset, 888);

  struct Lib {
    int32_t code;
    int32_t* field;
  };
  for (Lib l : {Lib{1, &settings.connectTimeout}, Lib{2, &settings.replyDelay}, Lib{3, &settings.replyTimeout},
                Lib{4, &settings.sendDelay}, Lib{5, &settings.sendTimeout}, Lib{8, &settings.sleepTime},
                Lib{10, &settings.closeDelay}, Lib{13, &settings.dataTimeout}, Lib{22, &settings.lineTimeout}}) {
    EXPECT_EQ(zubSetInteger(0, l.code, 4321 + l.code), 4321 + l.code) << l.code;
    EXPECT_EQ(*l.field, 4321 + l.code) << l.code;
  }

  Settings before = settings;
  ChannelRecord copy = *rec(0);
  for (int32_t code : {7, 20, 21, 0, 24, -1, 2000}) EXPECT_EQ(zubSetInteger(0, code, 1), -1) << code;
  EXPECT_EQ(std::memcmp(&before, &settings, sizeof before), 0);
  EXPECT_EQ(std::memcmp(&copy, rec(0), sizeof copy), 0);
}

TEST_F(SettingsApi, LibraryWideAndChannelScope) {
  EXPECT_EQ(zubSetInteger(1, ZUB_SET_REPLY_TIMEOUT, 1234), 1234);
  EXPECT_EQ(settings.replyTimeout, 1234);  // one value for all channels
  EXPECT_EQ(zubSetInteger(1, ZUB_SET_CTRL_PORT, 2121), 2121);
  EXPECT_EQ(rec(1)->ctrlPort, 2121);
  EXPECT_EQ(rec(0)->ctrlPort, 21);
  // Library settings survive release and attach; channel settings do not.
  zubRelease();
  ASSERT_EQ(zubAttach(2, 0), 1);
  EXPECT_EQ(settings.replyTimeout, 1234);
  EXPECT_EQ(rec(1)->ctrlPort, 21);
}

TEST_F(SettingsApi, TraceLinesByteForByte) {
  std::string log = dir_.file("trace.log");
  EXPECT_EQ(zubSetString(0, ZUB_STR_WRITE_LOG, "nowhere"), 0);  // no log: nothing, 0

  int32_t h = zubSetString(0, ZUB_STR_OPEN_LOG, log.c_str());
  ASSERT_GT(h, 0);
  EXPECT_EQ(rec(0)->logFile, h);
  EXPECT_EQ(globalTraceLog, h);
  EXPECT_EQ(zubtest::readFile(log), "");  // opening writes nothing

  EXPECT_EQ(zubSetInteger(65536, ZUB_SET_BLOCK_SIZE, -5), 8192);
  EXPECT_EQ(zubSetInteger(0, ZUB_SET_AUTO_CALL, 2), 0);
  EXPECT_EQ(zubSetInteger(0, 7, 1), -1);
  EXPECT_EQ(zubSetString(0, ZUB_STR_WRITE_LOG, "a note"), h);
  EXPECT_EQ(zubSetString(0, 99, "x"), -1);
  EXPECT_EQ(zubDebug(0, 1, 2, 3), 1);
  EXPECT_EQ(zubGetInteger(0, ZUB_GET_STEP_COUNT), 0);  // writes nothing
  char buf[64];
  EXPECT_EQ(zubErrorText(0, -3, buf, sizeof buf), 17);  // writes nothing
  EXPECT_EQ(zubSetInteger(1, ZUB_SET_PASSIVE, 1), 1);  // channel 1 has no log
  EXPECT_EQ(zubtest::readFile(log),
            "*** zubSetInteger(0,11,-5)\r\n"
            "*** zubSetInteger(0,6,2)\r\n"
            "AUTO_CALL = 0\r\n"
            "*** zubSetInteger(0,7,1)\r\n"
            "*** zubSetString(0,21,'a note')\r\n"
            "a note\r\n"
            "*** zubSetString(0,99,'x')\r\n"
            "*** zubDebug\r\n");

  std::string before = zubtest::readFile(log);
  writeVersionBanner(rec(0));
  EXPECT_EQ(zubtest::readFile(log), before + "ZUB Win32 Version 2.3.0 Build 8\r\n");

  // A formatted line is cut at 1023 characters and then lacks its CR LF.
  std::string longText(2000, 'w');
  before = zubtest::readFile(log);
  EXPECT_EQ(zubSetString(0, ZUB_STR_WRITE_LOG, longText.c_str()), h);
  std::string added = zubtest::readFile(log).substr(before.size());
  std::string entry = "*** zubSetString(0,21,'" + longText;
  EXPECT_EQ(added, entry.substr(0, 1023) + longText.substr(0, 1023));
}

TEST_F(SettingsApi, OpeningTheLog) {
  // A directory that does not exist: -1, no log, global handle unchanged.
  globalTraceLog = 0;
  EXPECT_EQ(zubSetString(0, ZUB_STR_OPEN_LOG, dir_.file("missing/trace.log").c_str()), -1);
  EXPECT_EQ(rec(0)->logFile, 0);
  EXPECT_EQ(globalTraceLog, 0);

  // An existing file is replaced by an empty one.
  std::string first = dir_.file("first.log");
  std::string second = dir_.file("second.log");
  int32_t h1 = zubSetString(0, ZUB_STR_OPEN_LOG, first.c_str());
  ASSERT_GT(h1, 0);
  EXPECT_EQ(zubSetString(0, ZUB_STR_WRITE_LOG, "old"), h1);
  zubtest::closeChannelLog(0);
  h1 = zubSetString(0, ZUB_STR_OPEN_LOG, first.c_str());
  ASSERT_GT(h1, 0);
  EXPECT_EQ(zubtest::readFile(first), "");

  // A second log closes the first; the entry line goes into the first.
  int32_t h2 = zubSetString(0, ZUB_STR_OPEN_LOG, second.c_str());
  ASSERT_GT(h2, 0);
  EXPECT_FALSE(zubtest::fdIsOpen(h1));
  EXPECT_TRUE(zubtest::fdIsOpen(h2));
  EXPECT_EQ(rec(0)->logFile, h2);
  EXPECT_EQ(globalTraceLog, h2);
  EXPECT_EQ(zubtest::readFile(first), "*** zubSetString(0,20,'" + second + "')\r\n");
  EXPECT_EQ(zubDebug(0, 0, 0, 0), 1);
  EXPECT_EQ(zubtest::readFile(second), "*** zubDebug\r\n");

  // A failed replacement closes the old log too, and the library-wide handle
  // no longer names it.
  EXPECT_EQ(zubSetString(0, ZUB_STR_OPEN_LOG, dir_.file("missing/x.log").c_str()), -1);
  EXPECT_FALSE(zubtest::fdIsOpen(h2));
  EXPECT_EQ(rec(0)->logFile, 0);
  EXPECT_EQ(globalTraceLog, 0);

  // Another channel's log leaves the first channel's alone.
  int32_t a = zubSetString(0, ZUB_STR_OPEN_LOG, first.c_str());
  int32_t b = zubSetString(1, ZUB_STR_OPEN_LOG, second.c_str());
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  EXPECT_TRUE(zubtest::fdIsOpen(a));
  EXPECT_EQ(globalTraceLog, b);
  EXPECT_EQ(zubSetString(1, ZUB_STR_WRITE_LOG, nullptr), b);  // null is an empty text
  EXPECT_EQ(zubtest::readFile(second), "*** zubSetString(1,21,'')\r\n\r\n");
}

}  // namespace
