// The local directory (its probe, storage and report) and the local files of
// transfers in their three modes.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "engine/localfile.h"
#include "engine_fixture.h"
#include "support/test_util.h"

namespace zubtest {
namespace {

namespace fs = std::filesystem;

class LocalFileTest : public EngineTest {
 protected:
  static std::set<std::string> filesIn(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
  }
  static void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  std::string localDir() const { return rec_->localDir; }

  TempDir tmp_;
};

TEST_F(LocalFileTest, SetStoresWithBackslashLogsAndLeavesNothing) {
  openLog();
  ASSERT_EQ(zubSetLocalDir(0, tmp_.path().c_str()), 0);
  EXPECT_EQ(localDir(), tmp_.path() + "\\");
  EXPECT_TRUE(filesIn(tmp_.path()).empty());

  char buf[300];
  int32_t len = static_cast<int32_t>(tmp_.path().size()) + 1;
  EXPECT_EQ(zubGetLocalDir(0, buf, 299), len);
  EXPECT_EQ(std::string(buf), tmp_.path() + "\\");
  EXPECT_EQ(zubGetLocalDir(0, buf, 3), 3);
  EXPECT_EQ(std::string(buf), tmp_.path().substr(0, 3));
  EXPECT_EQ(zubGetLocalDir(0, nullptr, 10), 0);

  std::string line = "Local directory is '" + tmp_.path() + "\\'\r\n";
  EXPECT_EQ(readLog(), "*** zubSetLocalDir\r\n" + line + "*** zubGetLocalDir\r\n" + line + "*** zubGetLocalDir\r\n" +
                           line + "*** zubGetLocalDir\r\n" + line);

  // A trailing backslash is kept, not doubled.
  ASSERT_EQ(zubSetLocalDir(0, (tmp_.path() + "\\").c_str()), 0);
  EXPECT_EQ(localDir(), tmp_.path() + "\\");
}

// The probe must never replace or delete a file of the user's that happens to
// carry its name.
TEST_F(LocalFileTest, ProbeLeavesAUsersFileAlone) {
  writeFile(tmp_.file("$$$$.TMP"), "precious");
  writeFile(tmp_.file("$$$$1.TMP"), "also mine");
  ASSERT_EQ(zubSetLocalDir(0, tmp_.path().c_str()), 0);
  EXPECT_EQ(readFile(tmp_.file("$$$$.TMP")), "precious");
  EXPECT_EQ(readFile(tmp_.file("$$$$1.TMP")), "also mine");
  EXPECT_EQ(filesIn(tmp_.path()), (std::set<std::string>{"$$$$.TMP", "$$$$1.TMP"}));
}

TEST_F(LocalFileTest, RefusedDirectoriesKeepTheOldOne) {
  ASSERT_EQ(zubSetLocalDir(0, tmp_.path().c_str()), 0);
  const std::string kept = localDir();
  EXPECT_EQ(zubSetLocalDir(0, (tmp_.path() + "/no/such/dir").c_str()), ZUB_E_CANNOT_COMPLY);
  // The probe uses the text as given: a line end makes it another name.
  EXPECT_EQ(zubSetLocalDir(0, (tmp_.path() + "\r\n").c_str()), ZUB_E_CANNOT_COMPLY);
  EXPECT_EQ(zubSetLocalDir(0, nullptr), ZUB_E_NULL_ARGUMENT);
  // A file is not a directory.
  writeFile(tmp_.file("plain"), "x");
  EXPECT_EQ(zubSetLocalDir(0, tmp_.file("plain").c_str()), ZUB_E_CANNOT_COMPLY);
  EXPECT_EQ(localDir(), kept);
  EXPECT_EQ(filesIn(tmp_.path()), (std::set<std::string>{"plain"}));
}

TEST_F(LocalFileTest, ShortTextsNeedNoProbe) {
  openLog();
  EXPECT_EQ(zubSetLocalDir(0, ""), 0);
  EXPECT_EQ(localDir(), "");
  EXPECT_EQ(readLog(), "*** zubSetLocalDir\r\n");  // no directory line for an empty one
  // One character: no probe (no such directory exists here), stored with a
  // backslash.
  EXPECT_EQ(zubSetLocalDir(0, "q"), 0);
  EXPECT_EQ(localDir(), "q\\");
}

// localDir holds 255 characters: a text that fits whole (a final backslash
// included) is taken; a longer one would name another directory when cut.
TEST_F(LocalFileTest, LongestDirectoryThatFits) {
  std::string dir = tmp_.path() + "/";
  dir += std::string(254 - dir.size(), 'd');
  ASSERT_EQ(dir.size(), 254u);
  ASSERT_TRUE(fs::create_directory(dir));
  EXPECT_EQ(zubSetLocalDir(0, (dir + "\\").c_str()), 0);
  EXPECT_EQ(localDir(), dir + "\\");
  EXPECT_EQ(zubSetLocalDir(0, dir.c_str()), 0);
  EXPECT_EQ(localDir(), dir + "\\");

  std::string longer = dir + "e";
  ASSERT_TRUE(fs::create_directory(longer));
  EXPECT_EQ(zubSetLocalDir(0, longer.c_str()), ZUB_E_CANNOT_COMPLY);
  EXPECT_EQ(zubSetLocalDir(0, (longer + "\\").c_str()), ZUB_E_CANNOT_COMPLY);
  EXPECT_EQ(localDir(), dir + "\\");
  EXPECT_TRUE(filesIn(dir).empty());
}

TEST_F(LocalFileTest, OpenModesOffsetsAndTrace) {
  ASSERT_EQ(zubSetLocalDir(0, tmp_.path().c_str()), 0);
  openLog();
  const std::string shown = tmp_.path() + "\\a.txt";

  // W creates; the name ends at a line end.
  int32_t h = openLocalFile(rec_, "a.txt\r\nignored", 'W');
  ASSERT_GT(h, 0);
  EXPECT_EQ(platFileWrite(h, "hello world", 11), 11);
  rec_->localFile = h;
  closeLocalFile(rec_);
  EXPECT_EQ(rec_->localFile, 0);
  closeLocalFile(rec_);  // nothing open: nothing written
  EXPECT_EQ(readLog(), "'" + shown + "' opened\r\nClosing file\r\n");

  // R starts at the offset, which applies to this one open only.
  rec_->localFileOffset = 6;
  h = openLocalFile(rec_, "a.txt", 'R');
  ASSERT_GT(h, 0);
  EXPECT_EQ(rec_->localFileOffset, 0);
  char buf[32] = {};
  EXPECT_EQ(platFileRead(h, buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf, 5), "world");
  platFileClose(h);

  // A writes from the offset without truncating.
  rec_->localFileOffset = 6;
  h = openLocalFile(rec_, "a.txt", 'A');
  ASSERT_GT(h, 0);
  EXPECT_EQ(platFileWrite(h, "there", 5), 5);
  platFileClose(h);
  h = openLocalFile(rec_, "a.txt", 'A');
  ASSERT_GT(h, 0);
  EXPECT_EQ(platFileWrite(h, "J", 1), 1);
  platFileClose(h);
  EXPECT_EQ(readFile(tmp_.file("a.txt")), "Jello there");

  // A restart offset that cannot be reached (the seek fails) makes the file
  // unusable for R and A: nothing would be read or written where it should.
  for (char mode : {'R', 'A'}) {
    rec_->localFileOffset = 6;
    int32_t open = openDescriptorCount();
    platFaultSet(PLAT_OP_FILE_SEEK, 1, -1);
    EXPECT_LT(openLocalFile(rec_, "a.txt", mode), 0) << mode;
    platFaultClearAll();
    EXPECT_EQ(rec_->localFileOffset, 0) << mode;
    EXPECT_EQ(openDescriptorCount(), open) << mode;  // the file is closed again
  }
  EXPECT_EQ(readFile(tmp_.file("a.txt")), "Jello there");

  // A on a missing file fails and creates nothing; the offset is cleared.
  rec_->localFileOffset = 3;
  EXPECT_LT(openLocalFile(rec_, "b.txt", 'A'), 0);
  EXPECT_EQ(rec_->localFileOffset, 0);
  EXPECT_FALSE(fs::exists(tmp_.file("b.txt")));
  EXPECT_NE(readLog().find("Cannot open '" + tmp_.path() + "\\b.txt'\r\n"), std::string::npos);
  EXPECT_LT(openLocalFile(rec_, "b.txt", 'R'), 0);

  // W replaces what was there.
  h = openLocalFile(rec_, "a.txt", 'W');
  ASSERT_GT(h, 0);
  platFileClose(h);
  EXPECT_EQ(readFile(tmp_.file("a.txt")), "");
}

TEST_F(LocalFileTest, PathIsFormedAndCut) {
  openLog();
  // No local directory: the name stands for itself.
  rec_->localDir[0] = '\0';
  EXPECT_LT(openLocalFile(rec_, "zub-no-such-file.txt", 'A'), 0);
  EXPECT_EQ(readLog(), "Cannot open 'zub-no-such-file.txt'\r\n");

  // A directory without a final backslash gets one; the path stops at 254.
  std::string dir = tmp_.path();
  std::string name(250, 'n');
  std::strcpy(rec_->localDir, dir.c_str());
  EXPECT_LT(openLocalFile(rec_, name.c_str(), 'A'), 0);
  std::string path = std::string(rec_->dataBuf);
  EXPECT_EQ(path.size(), 254u);
  EXPECT_EQ(path, (dir + "\\" + name).substr(0, 254));
}

// A path that does not fit whole names another file: it is never opened,
// so a download cannot replace a file of the user's under the cut name, nor
// an upload send one.
TEST_F(LocalFileTest, CutPathIsNotOpened) {
  std::string dir = tmp_.path() + "/";
  dir += std::string(240 - dir.size(), 'd');
  ASSERT_TRUE(fs::create_directory(dir));
  ASSERT_EQ(zubSetLocalDir(0, dir.c_str()), 0);
  std::string name = "report-of-the-year.txt";  // 241 + 22 > 254
  std::string cutName = name.substr(0, 254 - 241);
  writeFile(dir + "/" + cutName, "precious");
  openLog();

  rec_->localFileOffset = 4;
  EXPECT_LT(openLocalFile(rec_, name.c_str(), 'W'), 0);
  EXPECT_EQ(rec_->localFileOffset, 0);
  EXPECT_LT(openLocalFile(rec_, name.c_str(), 'R'), 0);
  EXPECT_LT(openLocalFile(rec_, name.c_str(), 'A'), 0);
  EXPECT_EQ(readFile(dir + "/" + cutName), "precious");
  EXPECT_EQ(filesIn(dir), (std::set<std::string>{cutName}));
  std::string line = "Cannot open '" + dir + "\\" + cutName + "'\r\n";
  EXPECT_EQ(readLog(), line + line + line);

  // The longest path that fits is opened.
  std::string fits(254 - 241, 'f');
  int32_t h = openLocalFile(rec_, fits.c_str(), 'W');
  ASSERT_GT(h, 0);
  platFileClose(h);
  EXPECT_TRUE(fs::exists(dir + "/" + fits));
}

}  // namespace
}  // namespace zubtest
