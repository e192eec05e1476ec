// Every system call failed once: a whole session (connect, log in,
// directories, upload, download, restart, listing, abort, close) runs once
// to count its calls, then again with the 1st, 2nd, ... call failing in
// turn with an error that fits it, until a run passes untouched.  Each time
// every result that differs from the clean run is a negative code, nothing
// counts as transferred that was not, and afterwards no descriptor, block
// or lock is held and the channel connects and transfers again.
//
// The test command sweeps a sample of the calls in passive mode; every call
// in both modes:  scripts/long_runs.sh syscalls
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/blocks.h"
#include "platform/platform.h"
#include "platform/syscalls.h"
#include "support/script_server.h"
#include "support/test_util.h"
#include "zub32.h"

namespace zubtest {
namespace {

// Errors that fit each operation; the sweep takes them in turn.
std::vector<int32_t> fittingErrors(PlatOp op) {
  switch (op) {
    case PLAT_OP_SOCKET: return {PLAT_WSAEMFILE, PLAT_WSAENOBUFS};
    case PLAT_OP_CONNECT: return {PLAT_WSAECONNREFUSED, PLAT_WSAETIMEDOUT, PLAT_WSAEINTR};
    case PLAT_OP_ACCEPT: return {PLAT_WSAECONNRESET, PLAT_WSAEWOULDBLOCK, PLAT_WSAEMFILE};
    case PLAT_OP_SEND: return {PLAT_WSAECONNRESET, PLAT_WSAEWOULDBLOCK, PLAT_WSAEINTR, PLAT_WSAENOBUFS};
    case PLAT_OP_RECV: return {PLAT_WSAECONNRESET, PLAT_WSAEWOULDBLOCK, PLAT_WSAEINTR};
    case PLAT_OP_RESOLVE: return {PLAT_WSAHOST_NOT_FOUND, PLAT_WSATRY_AGAIN};
    default: return {platFaultDefaultError(op)};
  }
}

struct Sweep {
  uint32_t target = 0;
  uint32_t variant = 0;
};

int32_t failTarget(PlatOp op, uint32_t call, void* context) {
  const Sweep* s = static_cast<const Sweep*>(context);
  if (call != s->target) return 0;
  std::vector<int32_t> errors = fittingErrors(op);
  return errors[s->variant % errors.size()];
}

class SyscallFaults : public ::testing::TestWithParam<DataMode> {
 protected:
  void SetUp() override {
    platFaultClearAll();
    ASSERT_FALSE(dir_.path().empty());
    body_ = std::string(30000, '\0');
    for (size_t i = 0; i < body_.size(); i++) body_[i] = static_cast<char>(i * 7 + i / 251);
    std::ofstream(dir_.file("up.bin"), std::ios::binary) << body_;
    srv_.autoMode("anna", "secret");
    srv_.putFile("/list/a.txt", "a");
    ASSERT_TRUE(srv_.start());
    baseline_ = openDescriptorCount();
  }
  void TearDown() override {
    platFaultClearAll();
    zubRelease();
  }

  void attach() {
    ASSERT_EQ(zubAttach(1, 0), 1);
    zubSetInteger(0, ZUB_SET_CTRL_PORT, srv_.port());
    zubSetInteger(0, ZUB_SET_REPLY_TIMEOUT, 2000);
    zubSetInteger(0, ZUB_SET_CONNECT_TIMEOUT, 2000);
    zubSetInteger(0, ZUB_SET_DATA_TIMEOUT, 2000);
    zubSetInteger(0, ZUB_SET_LINE_TIMEOUT, 500);
    zubSetInteger(0, ZUB_SET_PASSIVE, GetParam() == DataMode::Passive ? 1 : 0);
    zubSetInteger(0, ZUB_SET_DATA_PORT, ownDataPorts());
    ASSERT_EQ(zubSetLocalDir(0, dir_.path().c_str()), 0);
  }

  // The whole session; the result of each operation in order.
  std::vector<int32_t> session() {
    std::vector<int32_t> r;
    // A directory of the run's own, so each MKD is the first.
    dirName_ = "/d" + std::to_string(++sessions_);
    static char list[4096];
    std::remove(dir_.file("down.bin").c_str());
    r.push_back(zubConnect(0, "127.0.0.1", "anna", "secret"));
    r.push_back(zubMakeServerDir(0, dirName_.c_str()));
    r.push_back(zubSetServerDir(0, dirName_.c_str()));
    r.push_back(zubPutFile(0, "up.bin"));
    r.push_back(zubGetFile(0, "up.bin:down.bin"));
    // A restarted download: the first 10000 bytes again, the rest appended.
    zubSetInteger(0, ZUB_SET_RESTART, 1);
    zubSetInteger(0, ZUB_SET_RESTART_OFFSET, 10000);
    zubSetInteger(0, ZUB_SET_LOCAL_OFFSET, 10000);
    r.push_back(zubGetFile(0, "up.bin:down.bin"));
    zubSetInteger(0, ZUB_SET_RESTART, 0);
    r.push_back(zubGetList(0, ZUB_LIST, list, sizeof list));
    r.push_back(zubDelFile(0, "up.bin"));
    r.push_back(zubAbort(0));
    r.push_back(zubClose(0));
    return r;
  }

  // What a run may claim: a success where the clean run succeeded, with the
  // bytes it claims, or a negative code.
  void checkRun(const std::vector<int32_t>& clean, const std::vector<int32_t>& got, const std::string& what) {
    ASSERT_EQ(got.size(), clean.size());
    // Until something fails, every result is the clean one or a negative
    // code; after a failure a listing may differ (it lists where the session
    // got to), but no other operation may succeed where it should not.
    bool failedBefore = false;
    for (size_t i = 0; i < got.size(); i++) {
      bool listing = i == 6;
      if (got[i] != clean[i] && !(failedBefore && listing && got[i] >= 0)) {
        EXPECT_LT(got[i], 0) << what << ", operation " << i;
      }
      failedBefore = failedBefore || got[i] < 0;
    }
    // Downloads of a file whose upload succeeded, that report success, left
    // the whole file (the restart too).
    if (got[3] == 0 && got[4] == 0 && got[5] == 0) {
      EXPECT_TRUE(readFile(dir_.file("down.bin")) == body_) << what << ": a download passed for complete";
    }
    std::string stored;
    if (got[3] == 0 && got[7] != 0 && srv_.getFile(dirName_ + "/up.bin", &stored)) {
      EXPECT_TRUE(stored == body_) << what << ": an upload passed for complete";
    }
  }

  // After a run: nothing held, and the channel works again.
  void checkRecovered(const std::string& what) {
    platFaultClearAll();
    zubAbort(0);
    zubClose(0);
    zubRelease();
    // The server's side of every connection is closed too before counting:
    // its descriptors live in this process.
    EXPECT_TRUE(srv_.waitDone(3000)) << what;
    EXPECT_EQ(openDescriptorCount(), baseline_) << what;
    int blocks = 0;
    for (const BlockEntry& b : blockTable) blocks += b.handle != nullptr;
    EXPECT_EQ(blocks, 0) << what;
    // The global lock is free for another thread.
    std::atomic<bool> done{false};
    std::thread other([&done] {
      platLockEnter();
      platLockLeave();
      done = true;
    });
    for (int i = 0; i < 200 && !done; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(done) << what << ": the global lock is held";
    if (done) {
      other.join();
    } else {
      other.detach();
    }
    attach();
    EXPECT_EQ(zubConnect(0, "127.0.0.1", "anna", "secret"), 0) << what;
    srv_.putFile("/again.bin", "again");
    EXPECT_EQ(zubGetFile(0, "/again.bin:again.bin"), 0) << what;
    EXPECT_TRUE(readFile(dir_.file("again.bin")) == "again") << what;
    EXPECT_EQ(zubClose(0), 0) << what;
    zubRelease();
  }

  TempDir dir_;
  ScriptServer srv_;
  std::string body_;
  int baseline_ = 0;
  int sessions_ = 0;
  std::string dirName_;
};

TEST_P(SyscallFaults, EveryCallFailedOnce) {
  const bool all = std::getenv("ZUB_SYSCALL_SWEEP") != nullptr;
  if (!all && GetParam() == DataMode::Active) GTEST_SKIP() << "ZUB_SYSCALL_SWEEP=all sweeps active mode too";
  attach();
  platFaultClearAll();
  const std::vector<int32_t> clean = session();
  const uint32_t calls = platFaultCalls(PLAT_OP_COUNT);
  ASSERT_EQ(clean[0], 0);
  ASSERT_EQ(clean[4], 0);
  ASSERT_EQ(clean[5], 0);
  ASSERT_GT(clean[6], 0);
  ASSERT_EQ(clean[9], 0);
  ASSERT_TRUE(readFile(dir_.file("down.bin")) == body_);
  checkRecovered("clean run");

  // The sample: the first calls (socket set-up, connect, login) one by one,
  // then calls spread over the rest of the session.
  const uint32_t stride = all ? 1 : calls / 10 + 1;
  Sweep sweep;
  uint32_t runs = 0, hits = 0;
  for (uint32_t k = 1;; k += k < 10 || all ? 1 : stride) {
    sweep.target = k;
    sweep.variant = k;
    attach();
    platFaultClearAll();  // calls are counted from the session's start
    platFaultSetHook(&failTarget, &sweep);
    std::vector<int32_t> got = session();
    int32_t op = -1;
    bool hit = platFaultLastHit(&op) != 0;
    platFaultSetHook(nullptr, nullptr);
    const std::string what = "call " + std::to_string(k) + " (operation " + std::to_string(op) + ")";
    std::string results;
    for (int32_t r : got) results += " " + std::to_string(r);
    checkRun(clean, got, what + ", results" + results);
    checkRecovered(what);
    runs++;
    hits += hit ? 1 : 0;
    // Untouched: the session ended before call k.
    if (!hit) break;
    if (HasFailure() && !all) break;
  }
  std::printf("%u calls in a clean session; %u runs, %u with a failed call\n", calls, runs, hits);
  EXPECT_GT(hits, all ? calls / 2 : 15u);

  // Short sends and short file writes all through a session: both go out
  // in pieces and the session completes with every byte in place.
  for (PlatOp op : {PLAT_OP_SEND, PLAT_OP_FILE_WRITE}) {
    const std::string what = op == PLAT_OP_SEND ? "short sends" : "short writes";
    attach();
    platFaultLimit(op, op == PLAT_OP_SEND ? 7 : 1000);
    std::vector<int32_t> got = session();
    platFaultLimit(op, 0);
    EXPECT_EQ(got, clean) << what;
    EXPECT_TRUE(readFile(dir_.file("down.bin")) == body_) << what;
    checkRecovered(what);
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, SyscallFaults, ::testing::Values(DataMode::Passive, DataMode::Active),
                         [](const ::testing::TestParamInfo<DataMode>& info) {
                           return info.param == DataMode::Passive ? "Passive" : "Active";
                         });

}  // namespace
}  // namespace zubtest
