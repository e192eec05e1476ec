// libFuzzer target for the reply reader on arbitrary control-connection bytes.
#include <cstdlib>

#include "fuzz/reply_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!reply_fuzz::runReplies(data, size)) std::abort();
  return 0;
}
