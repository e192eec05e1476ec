// libFuzzer target for zubExtract on arbitrary listing text and arguments.
#include <cstdlib>

#include "fuzz/listing_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!listing_fuzz::runExtract(data, size)) std::abort();
  return 0;
}
