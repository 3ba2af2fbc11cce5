// The whole program explored at random: one stream of decisions builds a
// simulated machine, plays a technician's clicks and the machine's events
// (disks pulled out and plugged in, volumes remounted, calls failing) into
// the commands and both jobs, and checks the program's promises after every
// step. The same bytes replay the same run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct ExploreResult {
  bool ok = true;
  // What went wrong, one line a broken promise.
  std::string failure;
  // The decoded run: machine, actions and events, one line each.
  std::string trace;
  int steps = 0;  // top-level actions played
  int jobs = 0;   // write and wipe jobs that ran
};

// Plays the run the bytes decide. Runs on the calling thread; jobs run
// inline, so the run depends on nothing but the bytes, and a run played
// again untraced or traced is the same run.
ExploreResult Explore(const uint8_t* data, size_t size, bool trace = true);

