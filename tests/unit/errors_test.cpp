// Error texts and zubErrorText's cut and reply line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/channel.h"
#include "core/errors.h"
#include "util/text.h"
#include "zub32.h"

namespace {

class ErrorText : public ::testing::Test {
 protected:
  void SetUp() override {
    zubRelease();
    ASSERT_EQ(zubAttach(1, 0), 1);
  }
  void TearDown() override { zubRelease(); }

  // zubErrorText into a buffer of `size` bytes, guarded by a canary.
  std::string text(int32_t code, int32_t size, int32_t* result) {
    char buf[300];
    std::memset(buf, '#', sizeof buf);
    *result = zubErrorText(0, code, buf, size);
    EXPECT_EQ(buf[size], '#') << "written past the buffer";
    return std::string(buf);
  }
};

TEST(ErrorTable, TextsAreStoredExactly) {
  struct Row {
    int32_t code;
    const char* text;
  };
  for (Row r : {Row{-1, "Socket has been closed."}, Row{-4, "Bad status flag passed to zubStatus."},
                Row{-6, "Cannot comply"}, Row{-15, "Must call zubAttach first."},
                Row{-24, "Must specify 'A' or 'B' for mode."}, Row{-28, "Cannot open file."},
                Row{-30, "Cannot find PASV port."}, Row{-32, "List buffer has overflowed."},
                Row{-10004, "Interrupted system call."}, Row{-10035, "Would block socket in non-blocking mode."},
                Row{-10061, "Connection refused by remote host."}, Row{-10064, "Host is down"},
                Row{-10065, "No route to host"}, Row{-10092, "WINSOCK doesn't support requested version."},
                Row{-10093, "Sockets not initialized. Call WSAStartup."}, Row{-11004, "No data is available."}}) {
    ASSERT_NE(errorTextOf(r.code), nullptr) << r.code;
    EXPECT_STREQ(errorTextOf(r.code), r.text);
  }
  // Every library code from -1 to -32 has a text, except -2 and -29.
  for (int32_t code = -1; code >= -32; code--) {
    if (code == -2 || code == -29) {
      EXPECT_EQ(errorTextOf(code), nullptr) << code;
    } else {
      ASSERT_NE(errorTextOf(code), nullptr) << code;
      EXPECT_GT(textLength(errorTextOf(code)), 0) << code;
    }
  }
  for (int32_t code : {0, 5, 999, -100, -106, -10000, -10046, -11005}) EXPECT_EQ(errorTextOf(code), nullptr) << code;
}

TEST_F(ErrorText, CopiesAndCuts) {
  int32_t r = 0;
  EXPECT_EQ(text(-3, 100, &r), "Already attached.");
  EXPECT_EQ(r, 17);
  EXPECT_EQ(text(-3, 8, &r), "Already");
  EXPECT_EQ(r, 7);
  EXPECT_EQ(text(-3, 1, &r), "");
  EXPECT_EQ(r, 0);
  // The lookup does not depend on the state.
  EXPECT_EQ(text(-15, 100, &r), "Must call zubAttach first.");
  EXPECT_EQ(r, 26);
  for (int32_t code : {-29, -100, 5}) {
    EXPECT_EQ(text(code, 100, &r), "") << code;
    EXPECT_EQ(r, 0);
  }
}

TEST_F(ErrorText, ServerErrorsCarryTheLastReplyLine) {
  int32_t r = 0;
  // No reply yet: only the blank follows the text.
  EXPECT_EQ(text(-18, 27, &r), "FTP server returned error.");
  EXPECT_EQ(r, 26);
  EXPECT_EQ(text(-18, 28, &r), "FTP server returned error. ");
  EXPECT_EQ(r, 27);

  copyText(channelTable[0]->responseBuf, "550 No such file.\r\n", RESPONSE_BUF_CAP);
  EXPECT_EQ(text(-18, 200, &r), "FTP server returned error. 550 No such file.\r\n");
  EXPECT_EQ(r, 46);
  EXPECT_EQ(text(-9, 200, &r), "Error attempting to connect. 550 No such file.\r\n");
  EXPECT_EQ(r, 48);
  EXPECT_EQ(text(-18, 32, &r), "FTP server returned error. 550 ");
  EXPECT_EQ(r, 31);
  EXPECT_EQ(text(-18, 27, &r), "FTP server returned error.");
  // Other codes never show the reply.
  EXPECT_EQ(text(-21, 200, &r), "Socket write error.");
}

TEST_F(ErrorText, BadArgumentsWriteNothing) {
  char buf[8] = "keep";
  EXPECT_EQ(zubErrorText(1, -3, buf, sizeof buf), ZUB_E_CHANNEL_RANGE);
  EXPECT_EQ(zubErrorText(0, -3, buf, 0), 0);
  EXPECT_STREQ(buf, "keep");
  EXPECT_EQ(zubErrorText(0, -3, nullptr, 10), ZUB_E_NULL_ARGUMENT);
}

}  // namespace
