/*
 * Executive pool: every block is tracked by type, size and the order of its
 * allocation, so leaks and double frees are reported and failures can be
 * injected at any allocation.
 */
#pragma once

#include "driver/platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace sim::pool {

struct Usage {
  size_t blocks;
  size_t bytes;
};
Usage Outstanding();

// The IRQL at which an outstanding block was allocated; nothing for an
// address that is not the start of one.
std::optional<KIRQL> AllocationIrql(const void* block);

// One line per outstanding block (type, size, allocation number).
std::string DescribeOutstanding();

// Counts allocations from now on: the nth (1 = the next) fails.
void FailNth(uint64_t n);
// Every allocation from the nth on fails.
void FailFrom(uint64_t n);
// Low-resources mode, as Driver Verifier's: after `grace` more allocations,
// each one fails with a chance of `percent` in a hundred, decided by the seed
// and the allocation's number (the same seed fails the same allocations).
void SimulateLowResources(uint64_t seed, uint64_t grace, unsigned percent);
// Allocations the low-resources mode failed since it was turned on.
uint64_t LowResourceFailures();
// Ends planned failures and the low-resources mode.
void StopFailing();
// Counts one allocation made for a driver outside the pool (an IRP, a device
// object) against the same injection, and says whether it may succeed.
bool NextAllocationSucceeds();
// Allocations attempted since the last Reset (failed ones included).
uint64_t Attempts();

// Releases everything still allocated, without reporting (end of a test,
// after the leak check has spoken).
void Reset();

}  // namespace sim::pool
