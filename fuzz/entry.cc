// The libFuzzer entry point of one target; CMake builds this file once per
// check with LS_FUZZ_CHECK naming it. A failed oracle aborts, so libFuzzer
// saves the input like any crash.
#include <cstdio>
#include <cstdlib>

#include "fuzz/checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ls::Bytes input(reinterpret_cast<const char*>(data), size);
  if (std::optional<std::string> failure = ls::fuzz::LS_FUZZ_CHECK(input)) {
    std::fprintf(stderr, "larkspine fuzz oracle failed: %s\n", failure->c_str());
    std::abort();
  }
  return 0;
}
