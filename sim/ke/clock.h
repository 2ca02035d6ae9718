/*
 * Virtual time. Nothing in the simulation sleeps: time moves when a test
 * advances it, or when a deterministic wait has nothing else to wait for.
 * Timers and device models put their work on one schedule, fired in due-time
 * order (ties in the order they were scheduled).
 */
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace sim::clock {

// 100-nanosecond units since the simulated boot.
int64_t Now();

// Work due at an absolute virtual time; returns an id for Cancel.
uint64_t Schedule(int64_t due, std::function<void()> work);
bool Cancel(uint64_t id);
std::optional<int64_t> NextDue();

// Fires the earliest entries due no later than limit (all those due at that
// same instant), moving Now to their due time, then runs the DPCs they
// queued. False if nothing is due by limit.
bool FireNext(int64_t limit);

// Moves time forward by `units`, firing everything that falls due on the way.
void Advance(int64_t units);
void AdvanceMs(uint64_t milliseconds);

// What a test's thread does when it hands control back to the simulated
// machine (after sending a request, cancelling one, or changing a device):
// everything due at the current instant runs, as the other processors would
// have run it by the time the caller goes on. Time does not move. Only in
// the deterministic mode, on a thread at PASSIVE_LEVEL holding no spin lock
// and not already firing the clock; elsewhere it does nothing.
void Settle();

void Reset();

constexpr int64_t kUnitsPerMs = 10000;

}  // namespace sim::clock
