// The bounded text helpers that every buffer write of the library goes through.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "util/text.h"

namespace {

TEST(Text, LengthsAndLineEnd) {
  EXPECT_EQ(textLength(""), 0);
  EXPECT_EQ(textLength("abc"), 3);
  std::string big(9000, 'x');
  EXPECT_EQ(textLength(big.c_str()), 9000);
  EXPECT_EQ(boundedLength(big.c_str()), 8192);
  EXPECT_EQ(boundedLength(big.substr(0, 8191).c_str()), 8191);
  EXPECT_EQ(boundedLength("ab"), 2);

  char a[] = "250 OK\r\n";
  stripLineEnd(a);
  EXPECT_STREQ(a, "250 OK");
  char b[] = "\r\n";  // longer than one character: stripped
  stripLineEnd(b);
  EXPECT_STREQ(b, "");
  char c[] = "x\n";  // LF alone stays
  stripLineEnd(c);
  EXPECT_STREQ(c, "x\n");
  char d[] = "\n";
  stripLineEnd(d);
  EXPECT_STREQ(d, "\n");
}

TEST(Text, BoundedCopies) {
  char buf[16];
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(copyLine(buf, "name.txt\r\nrest", 255), 8);
  EXPECT_STREQ(buf, "name.txt");
  EXPECT_EQ(copyLine(buf, "a\nb", 255), 1);
  EXPECT_STREQ(buf, "a");
  // Cut at max: the terminator lands at position max.
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(copyLine(buf, "abcdefghij", 4), 4);
  EXPECT_EQ(std::string(buf, 5), std::string("abcd\0", 5));
  EXPECT_EQ(buf[5], '#');

  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(copyText(buf, "a\r\nb", 10), 4);  // CR and LF are copied
  EXPECT_STREQ(buf, "a\r\nb");
  EXPECT_EQ(copyText(buf, "abcdefghij", 3), 3);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(copyText(buf, "abc", 0), 0);
  EXPECT_STREQ(buf, "");
  std::memcpy(buf, "keep", 5);
  EXPECT_EQ(copyText(buf, nullptr, 10), 0);
  EXPECT_STREQ(buf, "keep");
  EXPECT_EQ(copyText(nullptr, "abc", 10), 0);
}

TEST(Text, AppendStaysWithinCapacity) {
  char buf[8];
  std::memset(buf, '#', sizeof buf);
  std::memcpy(buf, "ab", 3);
  appendText(buf, "cd", 8);
  EXPECT_STREQ(buf, "abcd");
  appendText(buf, "efghijk", 6);  // capacity counts the terminator here
  EXPECT_STREQ(buf, "abcde");
  EXPECT_EQ(buf[6], '#');
  appendText(buf, "zz", 6);  // already full
  EXPECT_STREQ(buf, "abcde");
  appendText(buf, "zz", 0);
  EXPECT_STREQ(buf, "abcde");
}

}  // namespace
