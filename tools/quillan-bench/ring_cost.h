/*
 * The receive data path's instructions per byte, measured with callgrind
 * on quillan-ring-cost (ring_path.cpp), side by side with a plain copy of
 * the same bytes in the same run. Needs valgrind and callgrind_annotate.
 */
#pragma once

#include <string>

namespace quillan_bench {

struct RingCost {
  bool measured = false;
  std::string why;  // why not, when not measured
  double ringPerByte = 0;
  double copyPerByte = 0;
};

// `self` is argv[0] of quillan-bench; quillan-ring-cost sits beside it.
RingCost MeasureRingCost(const std::string& self);

}  // namespace quillan_bench
