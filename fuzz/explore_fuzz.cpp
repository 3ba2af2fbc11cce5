// The explorer fed by libFuzzer: coverage picks the decisions. A broken
// promise prints the run, decoded, and stops.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tests/explorer/explorer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ExploreResult r = Explore(data, size);
  if (!r.ok) {
    std::fprintf(stderr, "explorer: a promise was broken:\n%s--- the run, as decoded:\n%s",
                 r.failure.c_str(), r.trace.c_str());
    std::abort();
  }
  // A replay asks for the run even when it keeps every promise.
  static const bool trace = std::getenv("TESSAVANE_EXPLORE_TRACE") != nullptr;
  if (trace) std::fprintf(stderr, "explorer: every promise kept:\n%s", r.trace.c_str());
  return 0;
}
