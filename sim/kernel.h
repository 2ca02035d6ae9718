/*
 * The simulated kernel as a whole, for tests and tools: bring it to a clean
 * state, and at the end of a test check that nothing was left behind.
 */
#pragma once

#include "sim/verifier/verifier.h"

#include <vector>

namespace sim {

// A fresh kernel: time 0, no findings, no pool, no IRPs, no names, a registry
// of only its well-known keys, deterministic mode.
void Reset();

// The end-of-test checks: IRPs, device objects, symbolic links, registry key
// handles, enabled device interfaces, pool, timers, DPCs and spin locks
// still held are reported; then everything is released. Returns every
// finding of the test, those checks included.
std::vector<verifier::Finding> EndOfTest();

}  // namespace sim
