// The library allocates nothing after zubAttach: a whole session (connect,
// list, download, upload, close) in both data modes is run while every heap
// allocation of the calling thread is counted.  The scripted server's own
// thread allocates freely and is not counted.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <string>

#include "support/script_server.h"
#include "support/test_util.h"
#include "zub32.h"

namespace {

// volatile: the compiler knows malloc reads no program variable and would
// otherwise move the flag's stores across the call.
thread_local volatile bool counting = false;
std::atomic<long> allocations{0};

void noteAllocation() {
  if (counting) allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers own malloc; they report every allocation through a hook.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onMalloc)(const volatile void*, size_t),
                                                        void (*onFree)(const volatile void*));

namespace {
void onMalloc(const volatile void*, size_t) { noteAllocation(); }
void onFree(const volatile void*) {}
const bool hooksInstalled = __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree) != 0;
}  // namespace
#else
// Interposed in the executable, so the library's calls land here too.
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* __libc_memalign(size_t, size_t);
extern "C" void __libc_free(void*);

extern "C" void* malloc(size_t n) {
  noteAllocation();
  return __libc_malloc(n);
}
extern "C" void* calloc(size_t count, size_t size) {
  noteAllocation();
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* p, size_t n) {
  noteAllocation();
  return __libc_realloc(p, n);
}
extern "C" void* aligned_alloc(size_t alignment, size_t n) {
  noteAllocation();
  return __libc_memalign(alignment, n);
}
extern "C" int posix_memalign(void** out, size_t alignment, size_t n) {
  noteAllocation();
  void* p = __libc_memalign(alignment, n);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}
extern "C" void free(void* p) { __libc_free(p); }

void* operator new(size_t n) {
  noteAllocation();
  void* p = __libc_malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  noteAllocation();
  return __libc_malloc(n == 0 ? 1 : n);
}
void* operator new[](size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { __libc_free(p); }
void operator delete[](void* p) noexcept { __libc_free(p); }
void operator delete(void* p, size_t) noexcept { __libc_free(p); }
void operator delete[](void* p, size_t) noexcept { __libc_free(p); }
namespace {
const bool hooksInstalled = true;
}  // namespace
#endif

namespace zubtest {
namespace {

void* volatile sink;

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
  return s;
}

TEST(NoAllocation, CounterSeesTheCallingThreadOnly) {
  ASSERT_TRUE(hooksInstalled);
  long before = allocations.load();
  counting = true;
  sink = std::malloc(16);
  counting = false;
  std::free(sink);
  EXPECT_EQ(allocations.load(), before + 1);
}

TEST(NoAllocation, WholeSessionInBothModes) {
  const std::string download = pattern(70000);
  const std::string upload = pattern(30000).substr(1);
  ScriptServer srv;
  srv.autoMode("anna", "secret");
  srv.putFile("/pub/a.bin", download);
  srv.putFile("/pub/b.txt", "b");
  ASSERT_TRUE(srv.start());
  TempDir dir;
  {
    std::ofstream out(dir.file("up.bin"), std::ios::binary);
    out << upload;
  }
  const std::string logPath = dir.file("trace.log");

  ASSERT_EQ(zubAttach(2, 0), 1);
  ASSERT_EQ(zubSetLocalDir(0, dir.path().c_str()), 0);
  zubSetInteger(0, ZUB_SET_CTRL_PORT, srv.port());
  zubSetInteger(0, ZUB_SET_REPLY_TIMEOUT, 5000);
  zubSetInteger(0, ZUB_SET_BLOCK_SIZE, 4096);

  char listing[4096];
  int32_t results[2][6];
  for (int32_t passive = 1; passive >= 0; --passive) {
    int32_t* r = results[passive];
    std::snprintf(listing, sizeof listing, "/pub");
    allocations.store(0);
    counting = true;
    r[0] = zubSetString(0, ZUB_STR_OPEN_LOG, logPath.c_str()) > 0 ? 0 : -1;
    zubSetInteger(0, ZUB_SET_PASSIVE, passive);
    r[1] = zubConnect(0, "127.0.0.1", "anna", "secret");
    r[2] = zubGetList(0, ZUB_LIST_ARG, listing, sizeof listing);
    r[3] = zubGetFile(0, "/pub/a.bin:a.bin");
    r[4] = zubPutFile(0, "up.bin:/pub/up.bin");
    r[5] = zubClose(0);
    counting = false;
    EXPECT_EQ(allocations.load(), 0) << (passive ? "passive" : "active") << " session allocated";
    EXPECT_EQ(r[0], 0);
    EXPECT_EQ(r[1], 0);
    EXPECT_GT(r[2], 0);
    EXPECT_EQ(r[3], 0);
    EXPECT_EQ(r[4], 0);
    EXPECT_EQ(r[5], 0);
    EXPECT_EQ(readFile(dir.file("a.bin")), download);
    std::string stored;
    EXPECT_TRUE(srv.getFile("/pub/up.bin", &stored));
    EXPECT_EQ(stored, upload);
  }
  zubRelease();
  srv.stop();
  EXPECT_TRUE(srv.errors().empty()) << ::testing::PrintToString(srv.errors());
}

}  // namespace
}  // namespace zubtest
