// 32 channels at once against one real server (vsftpd: it sets no client
// limit), half in passive and half in active mode, each moving files of its
// own: first each channel in blocking use on a thread of its own, then all 32
// driven from one thread in caller-driven use.  Every byte is checked on the
// server's disk and after the way back, and each channel's counters and
// listing show only its own work.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "interop_env.h"
#include "interop_util.h"
#include "support/test_util.h"
#include "zub32.h"

namespace {

using namespace interop;

constexpr int32_t CHANNELS = 32;
constexpr const char* SERVER = "vsftpd";

// What one channel moves: two files of sizes of its own.
struct ChannelPlan {
  int32_t ch = 0;
  bool passive = false;
  std::string localDir;
  std::string serverDir;  // relative to the server's root
  std::string names[2];
  int64_t sizes[2] = {0, 0};
  FileSum sums[2];
};

class Concurrency : public testing::Test {
 protected:
  void SetUp() override {
    server_ = loadInteropServer(SERVER);
    ASSERT_TRUE(server_.available) << server_.problem;
    ASSERT_EQ(zubAttach(CHANNELS, 0), 1);
    attached_ = true;
  }

  void TearDown() override {
    if (attached_) {
      for (int32_t ch = 0; ch < CHANNELS; ++ch) {
        if (zubGetInteger(ch, ZUB_GET_CTRL_SOCKET) != 0) {
          zubSetInteger(ch, ZUB_SET_AUTO_CALL, 1);
          zubClose(ch);
        }
      }
      zubRelease();
    }
    std::error_code ec;
    for (const ChannelPlan& p : plans_) std::filesystem::remove_all(server_.rootDir + "/" + p.serverDir, ec);
  }

  // Local files and settings of every channel; `tag` and `portBlock` keep the
  // two tests apart when they run side by side.
  void prepare(const std::string& tag, int32_t portBlock) {
    plans_.resize(CHANNELS);
    for (int32_t ch = 0; ch < CHANNELS; ++ch) {
      ChannelPlan& p = plans_[ch];
      p.ch = ch;
      p.passive = ch % 2 == 0;
      p.localDir = local_.file("ch" + std::to_string(ch));
      std::filesystem::create_directory(p.localDir);
      p.serverDir = "zub-cc-" + tag + "-" + std::to_string(ch);
      std::error_code ec;
      std::filesystem::remove_all(server_.rootDir + "/" + p.serverDir, ec);
      // Sizes that differ from channel to channel and are not block multiples.
      p.sizes[0] = 200 * KiB + ch * 13 * KiB + ch;
      p.sizes[1] = 1000 + 7 * ch;
      for (int k = 0; k < 2; ++k) {
        p.names[k] = "c" + std::to_string(ch) + (k == 0 ? "-big.bin" : "-small.bin");
        p.sums[k] = makeFile(p.localDir + "/" + p.names[k], p.sizes[k], 1000 + 2 * ch + k);
        ASSERT_TRUE(p.sums[k].exists);
      }
      ASSERT_EQ(zubSetLocalDir(ch, p.localDir.c_str()), 0);
      zubSetInteger(ch, ZUB_SET_CTRL_PORT, server_.port);
      zubSetInteger(ch, ZUB_SET_PASSIVE, p.passive ? 1 : 0);
      zubSetInteger(ch, ZUB_SET_DATA_PORT, activePortBase(portBlock + ch));
    }
  }

  // After the work: the files on the server's disk, the ones that came back,
  // and the channel's own counters.  Returns what is wrong, "" when all is well.
  std::string verify(const ChannelPlan& p) const {
    std::string wrong;
    int64_t total = 0;
    for (int k = 0; k < 2; ++k) {
      FileSum onDisk = sumFile(server_.rootDir + "/" + p.serverDir + "/" + p.names[k]);
      FileSum back = sumFile(p.localDir + "/back-" + p.names[k]);
      if (!(back == p.sums[k])) wrong += " back-" + p.names[k] + " differs;";
      // The files were deleted at the end of the session.
      if (onDisk.exists) wrong += " " + p.names[k] + " still on the server;";
      total += p.sizes[k];
    }
    if (zubGetInteger(p.ch, ZUB_GET_BYTES_TOTAL) != total) {
      wrong += " got " + std::to_string(zubGetInteger(p.ch, ZUB_GET_BYTES_TOTAL)) + " bytes in all;";
    }
    if (zubGetInteger(p.ch, ZUB_PUT_BYTES_TOTAL) != total) {
      wrong += " put " + std::to_string(zubGetInteger(p.ch, ZUB_PUT_BYTES_TOTAL)) + " bytes in all;";
    }
    return wrong;
  }

  // The listing of a channel's directory holds its own two files, with their sizes.
  static std::string checkListing(const ChannelPlan& p, const std::string& list) {
    std::string wrong;
    if (matchingLines(list, "-*").size() != 2) wrong += " listing has not 2 files: " + list;
    for (int k = 0; k < 2; ++k) {
      std::vector<std::string> lines = matchingLines(list, "-*:?? " + p.names[k]);
      if (lines.size() != 1 || zubFileLength(lines[0].c_str(), 5, 6) != p.sizes[k]) {
        wrong += " listing lacks " + p.names[k] + " with its size;";
      }
    }
    return wrong;
  }

  // The files as the server's disk has them after the uploads.
  std::string checkUploaded(const ChannelPlan& p) const {
    std::string wrong;
    for (int k = 0; k < 2; ++k) {
      if (!(sumFile(server_.rootDir + "/" + p.serverDir + "/" + p.names[k]) == p.sums[k])) {
        wrong += " " + p.names[k] + " differs on the server;";
      }
    }
    return wrong;
  }

  InteropServer server_;
  zubtest::TempDir local_;
  std::vector<ChannelPlan> plans_;
  bool attached_ = false;
};

// One channel's whole session in blocking use; "" or what went wrong.
std::string blockingSession(const ChannelPlan& p, const InteropServer& server,
                            const std::function<std::string(const ChannelPlan&)>& afterUpload,
                            const std::function<std::string(const ChannelPlan&, const std::string&)>& onListing) {
  const int32_t ch = p.ch;
  auto fail = [&](const char* what, int32_t r) {
    return std::string(what) + " returned " + std::to_string(r) + ": " + errorText(ch, r);
  };
  if (zubSetString(ch, ZUB_STR_OPEN_LOG, (p.localDir + "/trace.log").c_str()) <= 0) return "no trace log";
  int32_t r = zubConnect(ch, server.host.c_str(), server.user.c_str(), server.pass.c_str());
  if (r != 0) return fail("zubConnect", r);
  if ((r = zubMakeServerDir(ch, p.serverDir.c_str())) != 0) return fail("zubMakeServerDir", r);
  if ((r = zubSetServerDir(ch, p.serverDir.c_str())) != 0) return fail("zubSetServerDir", r);
  if (serverDir(ch) != "/" + p.serverDir) return "PWD says " + serverDir(ch);
  if ((r = zubSetMode(ch, 'B')) != 0) return fail("zubSetMode", r);
  for (int k = 0; k < 2; ++k) {
    if ((r = zubPutFile(ch, p.names[k].c_str())) != 0) return fail("zubPutFile", r);
    if (zubGetInteger(ch, ZUB_PUT_BYTES) != p.sizes[k]) return "upload counted " + std::to_string(zubGetInteger(ch, ZUB_PUT_BYTES));
  }
  std::string wrong = afterUpload(p);
  std::vector<char> list(16 * KiB);
  r = zubGetList(ch, ZUB_LIST, list.data(), static_cast<int32_t>(list.size()));
  if (r <= 0) return fail("zubGetList", r);
  wrong += onListing(p, std::string(list.data(), static_cast<size_t>(r)));
  for (int k = 0; k < 2; ++k) {
    std::string names = p.names[k] + ":back-" + p.names[k];
    if ((r = zubGetFile(ch, names.c_str())) != 0) return fail("zubGetFile", r);
    if (zubGetInteger(ch, ZUB_GET_BYTES) != p.sizes[k]) return "download counted " + std::to_string(zubGetInteger(ch, ZUB_GET_BYTES));
  }
  for (int k = 0; k < 2; ++k) {
    if ((r = zubDelFile(ch, p.names[k].c_str())) != 0) return fail("zubDelFile", r);
  }
  if ((r = zubSetServerDir(ch, "..")) != 0) return fail("zubSetServerDir ..", r);
  if ((r = zubDelServerDir(ch, p.serverDir.c_str())) != 0) return fail("zubDelServerDir", r);
  if ((r = zubClose(ch)) != 0) return fail("zubClose", r);
  return wrong;
}

TEST_F(Concurrency, ThirtyTwoChannelsEachOnItsOwnThread) {
  ASSERT_NO_FATAL_FAILURE(prepare("thr", 20));
  std::vector<std::string> outcome(CHANNELS);
  std::vector<std::thread> threads;
  auto afterUpload = [this](const ChannelPlan& p) { return checkUploaded(p); };
  for (int32_t ch = 0; ch < CHANNELS; ++ch) {
    threads.emplace_back([&, ch] { outcome[ch] = blockingSession(plans_[ch], server_, afterUpload, checkListing); });
  }
  for (std::thread& t : threads) t.join();
  for (int32_t ch = 0; ch < CHANNELS; ++ch) {
    EXPECT_EQ(outcome[ch], "") << "channel " << ch << (plans_[ch].passive ? " (passive)" : " (active)");
    EXPECT_EQ(verify(plans_[ch]), "") << "channel " << ch;
    EXPECT_EQ(zubGetInteger(ch, ZUB_GET_CTRL_SOCKET), 0) << "channel " << ch;
  }
}

// One step of a channel's caller-driven script: arms an operation (0 when
// armed) and, once the driver is done with it, checks what it did.
struct ScriptStep {
  std::string what;
  std::function<int32_t()> arm;
  std::function<std::string()> check;
};

TEST_F(Concurrency, ThirtyTwoChannelsDrivenFromOneThread) {
  ASSERT_NO_FATAL_FAILURE(prepare("drv", 52));
  std::vector<std::vector<char>> lists(CHANNELS, std::vector<char>(16 * KiB));
  std::vector<std::vector<ScriptStep>> scripts(CHANNELS);
  for (int32_t ch = 0; ch < CHANNELS; ++ch) {
    const ChannelPlan& p = plans_[ch];
    std::vector<ScriptStep>& s = scripts[ch];
    auto expectReply = [ch](int32_t code) {
      return [ch, code]() -> std::string {
        return replyCode(ch) == code ? "" : "reply " + lastReply(ch) + ", not " + std::to_string(code);
      };
    };
    auto none = []() -> std::string { return ""; };
    s.push_back({"connect", [this, ch] {
                   return zubConnect(ch, server_.host.c_str(), server_.user.c_str(), server_.pass.c_str());
                 }, expectReply(230)});
    s.push_back({"MKD", [ch, &p] { return zubMakeServerDir(ch, p.serverDir.c_str()); }, expectReply(257)});
    s.push_back({"CWD", [ch, &p] { return zubSetServerDir(ch, p.serverDir.c_str()); }, expectReply(250)});
    s.push_back({"TYPE", [ch] { return zubSetMode(ch, 'B'); }, expectReply(200)});
    for (int k = 0; k < 2; ++k) {
      s.push_back({"STOR " + p.names[k], [ch, &p, k] { return zubPutFile(ch, p.names[k].c_str()); },
                   [ch, &p, k]() -> std::string {
                     return zubGetInteger(ch, ZUB_PUT_BYTES) == p.sizes[k] ? "" : "upload counted wrong";
                   }});
    }
    s.push_back({"LIST",
                 [ch, &lists] {
                   return zubGetList(ch, ZUB_LIST, lists[ch].data(), static_cast<int32_t>(lists[ch].size()));
                 },
                 [this, &p, &lists, ch]() -> std::string {
                   // In caller-driven use the text is taken from the buffer.
                   return checkUploaded(p) + checkListing(p, std::string(lists[ch].data()));
                 }});
    for (int k = 0; k < 2; ++k) {
      s.push_back({"RETR " + p.names[k],
                   [ch, &p, k] { return zubGetFile(ch, (p.names[k] + ":back-" + p.names[k]).c_str()); },
                   [ch, &p, k]() -> std::string {
                     return zubGetInteger(ch, ZUB_GET_BYTES) == p.sizes[k] ? "" : "download counted wrong";
                   }});
    }
    for (int k = 0; k < 2; ++k) {
      s.push_back({"DELE", [ch, &p, k] { return zubDelFile(ch, p.names[k].c_str()); }, expectReply(250)});
    }
    s.push_back({"CWD ..", [ch] { return zubSetServerDir(ch, ".."); }, none});
    s.push_back({"RMD", [ch, &p] { return zubDelServerDir(ch, p.serverDir.c_str()); }, expectReply(250)});
    s.push_back({"NOOP", [ch] { return zubHello(ch); }, expectReply(200)});
  }

  for (int32_t ch = 0; ch < CHANNELS; ++ch) ASSERT_EQ(zubSetInteger(ch, ZUB_SET_AUTO_CALL, 0), 0);
  std::vector<size_t> at(CHANNELS, 0);
  std::vector<bool> armed(CHANNELS, false);
  std::vector<std::string> outcome(CHANNELS);
  std::vector<int32_t> last(CHANNELS, 0);
  int32_t running = CHANNELS;
  // Bounded by the library's own time limits; the cap only stops a runaway loop.
  auto t0 = std::chrono::steady_clock::now();
  while (running > 0 && std::chrono::steady_clock::now() - t0 < std::chrono::minutes(5)) {
    // A round in which no channel changed state waits a moment instead of
    // spinning, as a caller's own loop would.
    bool moved = false;
    for (int32_t ch = 0; ch < CHANNELS; ++ch) {
      if (at[ch] >= scripts[ch].size() || !outcome[ch].empty()) continue;
      ScriptStep& step = scripts[ch][at[ch]];
      int32_t r;
      if (!armed[ch]) {
        r = step.arm();
        armed[ch] = true;
        if (r != 0) {
          outcome[ch] = step.what + " armed with " + std::to_string(r);
          --running;
          continue;
        }
      }
      r = zubDriver(ch);
      if (r != last[ch]) moved = true;
      last[ch] = r;
      if (r > 0) continue;
      armed[ch] = false;
      std::string wrong = r == 0 ? step.check() : step.what + " failed with " + std::to_string(r) + ": " + errorText(ch, r);
      if (!wrong.empty()) {
        outcome[ch] = step.what + ": " + wrong;
        --running;
      } else if (++at[ch] == scripts[ch].size()) {
        --running;
      }
    }
    if (!moved) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // zubClose closes the control socket only in blocking use.
  for (int32_t ch = 0; ch < CHANNELS; ++ch) {
    zubSetInteger(ch, ZUB_SET_AUTO_CALL, 1);
    EXPECT_EQ(zubClose(ch), 0) << "channel " << ch << ": " << lastReply(ch);
  }
  for (int32_t ch = 0; ch < CHANNELS; ++ch) {
    EXPECT_EQ(outcome[ch], "") << "channel " << ch << (plans_[ch].passive ? " (passive)" : " (active)");
    EXPECT_EQ(at[ch], scripts[ch].size()) << "channel " << ch << " stopped at step " << at[ch];
    EXPECT_EQ(verify(plans_[ch]), "") << "channel " << ch;
  }
}

}  // namespace
