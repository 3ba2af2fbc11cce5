// The explorer fed by libFuzzer: coverage picks the decisions. A broken
// promise prints the run, decoded, and stops.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tests/explorer/explorer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A replay asks for the run even when it keeps every promise; otherwise
  // only a run that broke one is played again, traced, to print it.
  static const bool trace = std::getenv("TESSAVANE_EXPLORE_TRACE") != nullptr;
  const ExploreResult r = Explore(data, size, trace);
  if (!r.ok) {
    const ExploreResult traced = trace ? r : Explore(data, size, true);
    std::fprintf(stderr, "explorer: a promise was broken:\n%s--- the run, as decoded:\n%s",
                 r.failure.c_str(), traced.trace.c_str());
    if (traced.failure != r.failure)
      std::fprintf(stderr, "explorer: played again, the run broke instead:\n%s",
                   traced.failure.empty() ? "nothing\n" : traced.failure.c_str());
    std::abort();
  }
  if (trace) std::fprintf(stderr, "explorer: every promise kept:\n%s", r.trace.c_str());
  return 0;
}
