// One entry of the simulated machine's fault table, built in one line.
#pragma once

#include <string>

#include "platform/sim/sim.h"

inline SimFault Fault(SimOp op, const std::wstring& target, int nth,
                      uint32_t error, bool persistent = false,
                      uint32_t ioctl = 0) {
  SimFault f;
  f.op = op;
  f.target = target;
  f.nth = nth;
  f.error = error;
  f.persistent = persistent;
  f.ioctl = ioctl;
  return f;
}
