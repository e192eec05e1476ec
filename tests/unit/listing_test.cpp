// The listing utilities on the listing lines of real servers, their edge cases
// and the stated results of the single-pass matcher; the fuzz seed corpora are
// replayed here as well.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "core/trace.h"
#include "fuzz/listing_fuzz.h"
#include "platform/platform.h"
#include "util/listing.h"
#include "zub32.h"

namespace {

// LIST lines as the four servers send them, and a Windows-style pair.
const char* const VSFTPD = "-rw-r--r--    1 1000     1000       200009 Dec 08 03:18 a.bin\r\n";
const char* const VSFTPD_OLD = "-rw-r--r--    1 1000     1000           10 Jan 01  2001 r2.txt\r\n";
const char* const PUREFTPD = "-rw-r--r--    1 1000       ftptest        200009 Dec  8 03:18 a.bin\r\n";
const char* const PUREFTPD_OLD = "-rw-r--r--    1 1000       ftptest            10 Jan  1  2001 r2.txt\r\n";
const char* const PROFTPD = "-rw-r--r--   1 ftptest  ftptest    200009 Dec  8 03:18 a.bin\r\n";
const char* const PYFTPDLIB = "-rw-r--r--   1 root     root       200009 Dec 08 03:18 a.bin\r\n";
const char* const WIN_DIR = "12-08-26  03:18PM       <DIR>          pub\r\n";
const char* const WIN_FILE = "12-08-26  03:18PM               200009 a.bin\r\n";
const char* const THREE = "a.txt\r\nb.TXT\r\nc.doc\r\n";

constexpr const char* UNTOUCHED = "\x01untouched";

struct ExtractRow {
  std::string text;
  int32_t line, field, capacity;
  int32_t result;
  const char* out;  // UNTOUCHED: the buffer must not be written
};

TEST(ListingTest, ExtractSelectsLinesAndFields) {
  const ExtractRow rows[] = {
      {THREE, 1, 0, 80, 5, "a.txt"},
      {THREE, 3, 0, 80, 5, "c.doc"},
      {THREE, 4, 0, 80, 0, UNTOUCHED},
      {THREE, 0, 0, 80, 5, "a.txt"},
      {THREE, 2, -3, 80, 5, "b.TXT"},  // a negative field is the whole line
      {"no line end", 0, 0, 80, 11, "no line end"},
      {"no line end", 1, 0, 80, 0, UNTOUCHED},
      {"a\nb c\r\n", 0, 1, 80, 3, "a\nb"},  // a bare LF is an ordinary character
      {"a\rbc\rd\r", 2, 0, 80, 1, "c"},     // a line begins two characters after a CR
      {"a\r", 1, 0, 80, 1, "a"},
      {"a\r", 2, 0, 80, 0, UNTOUCHED},  // never steps past the terminator
      {"", 0, 0, 80, 0, UNTOUCHED},
      {VSFTPD, 1, 1, 80, 10, "-rw-r--r--"},
      {VSFTPD, 1, 5, 80, 6, "200009"},
      {VSFTPD, 1, 9, 80, 5, "a.bin"},
      {VSFTPD, 1, 10, 80, 0, ""},
      {VSFTPD, 1, INT32_MAX, 80, 0, ""},
      {std::string(VSFTPD) + PUREFTPD, 2, 4, 80, 7, "ftptest"},
      {std::string(VSFTPD) + PUREFTPD, INT32_MAX, 0, 80, 0, UNTOUCHED},
      {PROFTPD, 1, 3, 80, 7, "ftptest"},
      {WIN_DIR, 1, 3, 80, 5, "<DIR>"},
      {WIN_DIR, 1, 4, 80, 3, "pub"},
      {WIN_FILE, 1, 3, 80, 6, "200009"},
      {" \t a\tb  c\r\n", 1, 1, 80, 1, "a"},
      {" \t a\tb  c\r\n", 1, 3, 80, 1, "c"},
      {"0123456789 x\r\n", 1, 1, 4, 4, "0123"},
      {"0123456789 x\r\n", 1, 1, 0, 0, ""},
      {"0123456789 x\r\n", 1, 1, -7, 0, ""},
      {"x y\r\nz w\r\n", -1, 0, 80, 0, ""},   // a negative line is empty
      {"x y\r\nz w\r\n", -3, 2, 80, 1, "y"},  // but its fields count from the text's start
  };
  for (const ExtractRow& row : rows) {
    SCOPED_TRACE(row.text + " line " + std::to_string(row.line) + " field " + std::to_string(row.field));
    char out[128];
    std::strcpy(out, UNTOUCHED);
    EXPECT_EQ(zubExtract(row.text.c_str(), row.line, row.field, out, row.capacity), row.result);
    EXPECT_STREQ(out, row.out);
  }

  EXPECT_EQ(zubExtract(nullptr, 0, 0, nullptr, 80), 0);
  // Without an output buffer the result still counts what would be stored.
  EXPECT_EQ(zubExtract(VSFTPD, 1, 5, nullptr, 80), 6);
  EXPECT_EQ(zubExtract(VSFTPD, 1, 5, nullptr, 3), 3);
}

TEST(ListingTest, FileLengthReadsSizesOfServerListings) {
  const std::pair<std::string, int32_t> sizes[] = {
      {VSFTPD, 200009}, {VSFTPD_OLD, 10}, {PUREFTPD, 200009}, {PUREFTPD_OLD, 10},
      {PROFTPD, 200009}, {PYFTPDLIB, 200009},
  };
  for (const auto& [text, size] : sizes) EXPECT_EQ(zubFileLength(text.c_str(), 5, 6), size) << text;

  struct Row {
    std::string text;
    int32_t first, last, result;
  } rows[] = {
      {VSFTPD, 1, 9, 1},  // the link count is the first all-digit field
      {VSFTPD, 6, 5, -1},
      {VSFTPD, 5, 5, -1},
      {WIN_FILE, 3, 4, 200009},
      {WIN_FILE, 1, 9, 200009},
      {WIN_DIR, 1, 9, -1},
      {"-rw-r--r-- 1 u g 200,009 Dec 8 a.bin\r\n", 5, 6, -1},
      {"-rw-r--r-- 1000 200009 Dec 8 a.bin", 3, 4, 200009},  // no CR LF: the whole text
      {std::string(VSFTPD) + VSFTPD_OLD, 5, 6, 10},           // the last line is examined
      {"4294967301 x\r\n", 1, 2, 5},                          // 32-bit wrap-around
      {"12345\r\n", 0, 1, 12345},                             // field 0 is the whole line
      {"a 7\r\n", INT32_MIN, INT32_MAX, 7},                  // huge ranges end quickly
      {"a b\r\n", INT32_MIN, INT32_MAX, -1},
      {"\r\n", INT32_MIN, INT32_MAX, -1},
      {"", 0, 9, -1},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(zubFileLength(row.text.c_str(), row.first, row.last), row.result)
        << row.text << " " << row.first << ".." << row.last;
  }
  EXPECT_EQ(zubFileLength(nullptr, 1, 9), -1);
}

TEST(ListingTest, ParseDecimalWrapsAndCountLinesCountsLf) {
  const std::pair<const char*, int32_t> decimals[] = {
      {"", 0}, {"0", 0}, {"200009", 200009}, {"2147483647", INT32_MAX}, {"2147483648", INT32_MIN},
      {"4294967295", -1}, {"4294967296", 0}, {"99999999999999999999", 1661992959}, {"12a", -1},
      {" 12", -1}, {"-5", -1}, {"+5", -1},
  };
  for (const auto& [text, value] : decimals) EXPECT_EQ(parseDecimal(text), value) << text;

  const std::pair<const char*, int32_t> counts[] = {
      {nullptr, 0}, {"", 0}, {THREE, 3}, {"a\nb", 1}, {"\r\r", 0}, {"\n\n\n", 3},
  };
  for (const auto& [text, count] : counts) EXPECT_EQ(countLines(text), count) << (text ? text : "null");
}

// Every call of a caller's loop: (result, out) until the result is 0.
std::vector<std::pair<int32_t, std::string>> walk(const std::string& text, const char* pattern, int32_t exact,
                                                  int32_t capacity = 64, int32_t start = 0) {
  std::vector<std::pair<int32_t, std::string>> calls;
  std::vector<char> out(capacity);
  for (int i = 0; i < 100; i++) {
    start = zubMatchFile(text.c_str(), start, out.data(), capacity, pattern, exact);
    calls.emplace_back(start, out.data());
    if (start == 0) break;
  }
  return calls;
}

using Calls = std::vector<std::pair<int32_t, std::string>>;

TEST(ListingTest, MatchFileWalksMatchingLines) {
  struct Row {
    std::string text;
    const char* pattern;
    int32_t exact;
    Calls calls;
  } rows[] = {
      {THREE + std::string("last.txt"), "*.TXT", 0, {{7, "a.txt"}, {14, "b.TXT"}, {0, ""}}},
      {THREE, "*.TXT", 1, {{14, "b.TXT"}, {0, ""}}},
      {"x\r\n\r\nxy\r\n", "?", 0, {{3, "x"}, {5, ""}, {0, ""}}},
      {"one\r\n\r\ntwo\r\nlast", "*", 0, {{5, "one"}, {7, ""}, {12, "two"}, {0, ""}}},
      {"x\r\n\r\n", "", 0, {{5, ""}, {0, ""}}},
      // CR LF and LF LF are one line end each, a bare CR or LF is one too.
      {"a\n\nb\r\nc\r\rd\r\n", "*", 0, {{3, "a"}, {6, "b"}, {8, "c"}, {9, ""}, {12, "d"}, {0, ""}}},
      // The single pass: a '*' ends at the first occurrence of what follows it.
      {"a.b.txt\r\nfile.txt\r\n", "*.txt", 0, {{19, "file.txt"}, {0, ""}}},
      {"abcbc\r\nabc\r\n", "a*c", 0, {{12, "abc"}, {0, ""}}},
      {"ab\r\na*b\r\n", "**", 0, {{9, "a*b"}, {0, ""}}},
      {"ab\r\nab?\r\n", "*?", 0, {{9, "ab?"}, {0, ""}}},
      {"AT\r\nat\r\n", "*t", 0, {{8, "at"}, {0, ""}}},  // the byte after '*' is never folded
      {"a\r\nab\r\nabc\r\n", "a?", 0, {{3, "a"}, {7, "ab"}, {0, ""}}},
      {"a\r\nabc\r\n", "a?c", 0, {{8, "abc"}, {0, ""}}},
      {"a\r\nABC\r\n", "a*", 0, {{3, "a"}, {8, "ABC"}, {0, ""}}},
      {"\xe9\r\n\xc9\r\n", "\xe9", 0, {{3, "\xe9"}, {0, ""}}},  // only ASCII letters fold
      // Server listings: a vsftpd LIST, a pure-ftpd NLST with its dot entries,
      // a Windows-style LIST.
      {std::string(VSFTPD) + VSFTPD_OLD, "-*.bin", 0, {{63, std::string(VSFTPD, 61)}, {0, ""}}},
      {".\r\n..\r\na.bin\r\nr2.txt\r\n", "?*.*", 0, {{7, ".."}, {14, "a.bin"}, {22, "r2.txt"}, {0, ""}}},
      {std::string(WIN_DIR) + WIN_FILE, "*<DIR>*", 0, {{44, std::string(WIN_DIR, 42)}, {0, ""}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string("pattern ") + row.pattern + " on " + row.text);
    EXPECT_EQ(walk(row.text, row.pattern, row.exact), row.calls);
  }

  // A long line is cut to capacity - 1 characters; the offset passes all of it.
  EXPECT_EQ(walk("0123456789\r\nab\r\n", "*", 0, 5), (Calls{{12, "0123"}, {16, "ab"}, {0, ""}}));
  EXPECT_EQ(walk(THREE, "*", 0, 64, 7), (Calls{{14, "b.TXT"}, {21, "c.doc"}, {0, ""}}));
  EXPECT_EQ(walk(THREE, "*", 0, 64, 21), (Calls{{0, ""}}));
  EXPECT_EQ(walk("last line", "*", 0), (Calls{{0, ""}}));
}

TEST(ListingTest, MatchFileRejectsUnusableArgumentsWithoutWriting) {
  char out[8];
  std::strcpy(out, "keep");
  EXPECT_EQ(zubMatchFile(THREE, 0, out, 8, nullptr, 0), 0);
  EXPECT_EQ(zubMatchFile(THREE, 0, out, 0, "*", 0), 0);
  EXPECT_EQ(zubMatchFile(THREE, 0, out, -1, "*", 0), 0);
  EXPECT_STREQ(out, "keep");
  EXPECT_EQ(zubMatchFile(THREE, 0, nullptr, 8, "*", 0), 0);
  EXPECT_EQ(zubMatchFile(nullptr, 0, out, 8, "*", 0), 0);
  EXPECT_EQ(zubMatchFile(THREE, -1, out, 8, "*", 0), 0);
  EXPECT_STREQ(out, "");
  // A start beyond the text's end: nothing past its terminator is read (the
  // text sits in a block of its exact size).
  const std::string text = "a.txt\r\n";
  std::vector<char> exact(text.c_str(), text.c_str() + text.size() + 1);
  for (int32_t start : {static_cast<int32_t>(text.size()), static_cast<int32_t>(text.size()) + 1, 100}) {
    std::strcpy(out, "keep");
    EXPECT_EQ(zubMatchFile(exact.data(), start, out, 8, "*", 0), 0) << start;
    EXPECT_STREQ(out, "") << start;
  }
}

// The zubFileLength line in the library-wide trace log, read back as written.
std::string traceOfFileLength(const std::string& text, int32_t first, int32_t last) {
  std::string path = testing::TempDir() + "listing_trace.log";
  int32_t log = platFileCreate(path.c_str(), PLAT_ATTR_NORMAL);
  EXPECT_NE(log, PLAT_INVALID);
  int32_t saved = globalTraceLog;
  globalTraceLog = log;
  zubFileLength(text.c_str(), first, last);
  globalTraceLog = saved;
  platFileClose(log);
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(ListingTest, FileLengthTraceQuotesTheTextAndNeverOverflows) {
  EXPECT_EQ(traceOfFileLength(VSFTPD, 5, 6), std::string("zubFileLength(") + VSFTPD + ",5,6)\r\n");

  std::string text(10000, 'x');
  std::string line = traceOfFileLength(text, INT32_MIN, -1);
  const std::string tail = ",-2147483648,-1)\r\n";
  ASSERT_GT(line.size(), std::string("zubFileLength(").size() + tail.size());
  EXPECT_LT(line.size(), 1024u);
  EXPECT_EQ(line.compare(0, 14, "zubFileLength("), 0);
  EXPECT_EQ(line.compare(line.size() - tail.size(), tail.size(), tail), 0) << line;
  EXPECT_EQ(text.compare(0, line.size() - 14 - tail.size(), line, 14, line.size() - 14 - tail.size()), 0);
}

// The seed inputs of the fuzz targets, run through the same checks.
template <typename Run>
void replayCorpus(const char* target, Run run) {
  std::filesystem::path dir = std::filesystem::path(ZUB_SOURCE_DIR) / "tests/fuzz/corpus" / target;
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(run(data.data(), data.size())) << entry.path();
    files++;
  }
  EXPECT_GT(files, 0) << dir;
}

TEST(ListingTest, FuzzSeedCorporaReplay) {
  replayCorpus("fuzz_extract", listing_fuzz::runExtract);
  replayCorpus("fuzz_filelength", listing_fuzz::runFileLength);
  replayCorpus("fuzz_matchfile", listing_fuzz::runMatchFile);
}

}  // namespace
