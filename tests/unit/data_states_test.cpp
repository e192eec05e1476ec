// The data port of PASV replies and the PORT command line, as pure functions.
#include <gtest/gtest.h>

#include <cstring>

#include "net/data.h"
#include "platform/platform.h"

namespace {

struct PasvRow {
  const char* reply;
  int32_t result;  // 1 parsed, 0 no digit, -1 too few numbers
  uint16_t port;
};

TEST(PasvParse, Table) {
  const PasvRow rows[] = {
      {"227 Entering Passive Mode (127,0,0,1,161,22).\r\n", 1, 161 * 256 + 22},
      // Another host in the reply: only the port counts.
      {"227 Entering Passive Mode (10,0,0,5,195,80)\r\n", 1, 50000},
      {"227 Entering passive mode (127,0,0,1,163,133).\r\n", 1, 163 * 256 + 133},
      // No parenthesis and no final line end.
      {"227 =127,0,0,1,4,1", 1, 4 * 256 + 1},
      // A digit before the parenthesis is the first of the six numbers; the
      // parenthesis after its separator is no number, and no port is made up.
      {"227 Mode 2 (127,0,0,1,4,1)\r\n", -1, 0},
      {"227 Mode 2,127,0,0,1,4,1)\r\n", 1, 1 * 256 + 4},
      // Comma plus space: the space is no number either.
      {"227 Entering Passive Mode (127, 0, 0, 1, 4, 1)\r\n", -1, 0},
      // Numbers above 255, signed ones and port 0 name no port.
      {"227 (1,2,3,4,300,300)\r\n", -1, 0},
      {"227 (127,0,0,1,4,256)\r\n", -1, 0},
      {"227 (127,0,0,1,99999999999,1)\r\n", -1, 0},
      {"227 (127,0,0,1,-4,1)\r\n", -1, 0},
      {"227 (127,0,0,1,0,0)\r\n", -1, 0},
      {"227 (127,0,0,1,255,255)\r\n", 1, 65535},
      {"227 (127,0,0,1,0,1)\r\n", 1, 1},
      // The code's own digits and its separator are not searched.
      {"227 (9,9,9,9,0,21)\r\n", 1, 21},
      {"227 Entering Passive Mode\r\n", 0, 0},
      {"227\r\n", 0, 0},
      {"227", 0, 0},
      {"", 0, 0},
      // Fewer than six numbers: never read past the line.
      {"227 Entering Passive Mode (127,0,0,1,4)\r\n", -1, 0},
      {"227 (127,0,0,1)\r\n", -1, 0},
      {"227 (127,0,0", -1, 0},
      {"227 5", -1, 0},
      {"227 1,2,3,4,5,", -1, 0},
      {"227 1,2,3,4,5,6", 1, 5 * 256 + 6},
  };
  for (const PasvRow& row : rows) {
    uint16_t port = 0xBEEF;
    EXPECT_EQ(parsePasvPort(row.reply, &port), row.result) << row.reply;
    EXPECT_EQ(port, row.result == 1 ? row.port : 0xBEEF) << row.reply;
  }
}

TEST(PasvParse, StopsAtTheTerminatorOfAShortBuffer) {
  // The reply sits at the very end of its buffer: a read past the NUL would
  // show under the address sanitizer.
  const char text[] = "227 (1,2,3";
  char* exact = new char[sizeof text];
  std::memcpy(exact, text, sizeof text);
  uint16_t port = 0;
  EXPECT_EQ(parsePasvPort(exact, &port), -1);
  delete[] exact;
}

TEST(PortCommand, DotsBecomeCommasAndThePortSplits) {
  char line[PLAT_FORMAT_MAX];
  EXPECT_EQ(formatPortCommand(line, "192.168.1.20", 16385), 24);
  EXPECT_STREQ(line, "PORT 192,168,1,20,64,1\r\n");
  formatPortCommand(line, "255.255.255.255", 65535);
  EXPECT_STREQ(line, "PORT 255,255,255,255,255,255\r\n");
  formatPortCommand(line, "1.2.3.4", 255);
  EXPECT_STREQ(line, "PORT 1,2,3,4,0,255\r\n");
  formatPortCommand(line, "127.0.0.1", 256);
  EXPECT_STREQ(line, "PORT 127,0,0,1,1,0\r\n");
}

}  // namespace
