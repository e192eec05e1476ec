// libFuzzer target for zubFileLength on arbitrary listing text and field
// ranges, with the library-wide trace log open so its trace line is formatted
// on every input.
#include <cstdio>
#include <cstdlib>

#include "core/trace.h"
#include "fuzz/listing_fuzz.h"
#include "platform/platform.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  int32_t log = platFileCreate("/dev/null", PLAT_ATTR_NORMAL);
  if (log == PLAT_INVALID) {
    std::fprintf(stderr, "fuzz_filelength: no trace log, the trace line goes unfuzzed\n");
  } else {
    globalTraceLog = log;
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!listing_fuzz::runFileLength(data, size)) std::abort();
  return 0;
}
