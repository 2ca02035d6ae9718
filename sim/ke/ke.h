/*
 * Kernel core of the simulated kernel, as the rest of the simulation sees
 * it: the IRQL of each thread, spin locks with lock-order tracking, the DPC
 * queue, and the dispatcher that events and waits share. The exported
 * routines (KfAcquireSpinLock, KeSetTimer, ...) are thin wrappers over this.
 */
#pragma once

#include "driver/platform/platform.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace sim::ke {

// --- IRQL of the calling thread -------------------------------------------
KIRQL CurrentIrql();
// Raises to newIrql and returns the old IRQL; reports a lowering.
KIRQL RaiseIrql(KIRQL newIrql, const char* routine);
// Lowers to newIrql; reports a raising, and a fall below DISPATCH_LEVEL with a
// spin lock held (unless the caller already reported the lock it found held).
// Dropping below DISPATCH_LEVEL runs the DPCs queued meanwhile, as a
// processor does when its IRQL falls.
void LowerIrql(KIRQL newIrql, const char* routine, bool lockFaultReported = false);

// What the calling thread is running, for the rules that depend on the kind
// of driver routine: each count nests (a DPC may run inside a dispatch
// routine when its IRQL falls).
struct RoutineContext {
  int completionRoutines = 0;  // completion routines this thread is in
  int dpcs = 0;                // DPC routines
  int cancelRoutines = 0;      // cancel routines
  int startDevice = 0;         // dispatch of IRP_MN_START_DEVICE
};
RoutineContext& ThisThreadContext();

// --- Spin locks -------------------------------------------------------------
KIRQL AcquireSpinLock(PKSPIN_LOCK lock, const char* routine);
void AcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock, const char* routine);
void ReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql, const char* routine);
void ReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock, const char* routine);
size_t SpinLocksHeldByThisThread();
bool ThisThreadHolds(PKSPIN_LOCK lock);
// Threads waiting for the lock at this moment (concurrent mode), for tests
// that must know another thread is held up by a lock before going on.
size_t ThreadsSpinningOn(PKSPIN_LOCK lock);
// Gives a lock a readable name for verifier messages.
void NameSpinLock(PKSPIN_LOCK lock, const std::string& name);
std::string SpinLockName(const void* lock);
// Forgets what was learnt about locks in memory that is being freed.
void ForgetSpinLocksIn(const void* begin, size_t size);
void ResetSpinLocks();

// For tests that put another path's work at one exact point of a driver
// routine: `step` runs once, on the next thread about to acquire `lock`,
// before that thread raises its IRQL or takes the lock (so at the caller's
// IRQL, holding what the caller holds). A later call for the same lock
// replaces a step not yet run; Reset forgets them.
void RunBeforeNextAcquire(PKSPIN_LOCK lock, std::function<void()> step);

// The I/O manager's global cancel spin lock.
PKSPIN_LOCK CancelSpinLock();

// --- DPCs -------------------------------------------------------------------
// When a DPC queued in the deterministic mode runs.
//  - AtIrqlDrop: as on one processor, as soon as the queuing thread's IRQL
//    is below DISPATCH_LEVEL (at once if it already is).
//  - HeldBack: as if another processor took it, some time later: the code
//    that queued it goes on (returns from its call, releases its locks,
//    queues more) and the DPC runs only at the next point where the machine
//    has control again: the clock firing (a test advancing or settling
//    time), a deterministic wait, an explicit ResumeDpcs, the end of a test.
enum class DpcDelivery { AtIrqlDrop, HeldBack };
void SetDpcDelivery(DpcDelivery delivery);
DpcDelivery GetDpcDelivery();
// Runs every queued DPC at DISPATCH_LEVEL on this thread, if this thread is
// below DISPATCH_LEVEL, the kernel runs deterministically and DPCs are
// delivered at the IRQL drop.
void RunQueuedDpcs();
// A point where held-back DPCs run too (same conditions otherwise).
void DrainDpcs();
// A DPC taken off the queue with what it was queued with, read under the
// queue's lock as the kernel does: once off the queue the DPC may be queued
// again (with other arguments) while this call of it runs.
struct DpcCall {
  PKDPC dpc;
  PKDEFERRED_ROUTINE routine;
  PVOID context;
  PVOID argument1;
  PVOID argument2;
};
// Holds back, on this thread, the DPCs that would run at once (nests): the
// clock uses it so that everything due at one instant is done before the
// DPCs it queued run, as on one clock tick. The last ResumeDpcs runs them if
// the IRQL allows.
void DeferDpcs();
void ResumeDpcs();
// The DPC thread's two steps: take the oldest queued DPC, run it.
std::optional<DpcCall> TakeQueuedDpc();
void RunDpc(const DpcCall& call);
// Takes the DPCs queued in memory that is being freed off the queue; true if
// there were any (the caller reports it).
bool RemoveDpcsIn(const void* begin, size_t size);
// Takes DPCs in memory that is being freed off the timers (elsewhere) that
// would queue them; true if there were any (the caller reports it).
bool DetachTimerDpcsIn(const void* begin, size_t size);
size_t QueuedDpcCount();
void ResetDpcs();

// --- Timers -------------------------------------------------------------------
// The clock tick timers expire on, in 100-ns units: a timer expires at the
// first tick at or after its due time (never early, at most one tick late),
// and timers expiring on one tick expire together, their DPCs run as one
// batch after all of them. Windows' default clock rates give 10 ms (100000)
// or 15.625 ms (156250). 0: exact-time expiry, each timer at its due time
// (idealised, for tests that check a time-out to the 100-ns unit).
constexpr int64_t kTick10Ms = 100000;
constexpr int64_t kTick15_625Ms = 156250;
void SetClockTick(int64_t units);
int64_t ClockTick();
// Cancels the timers set in memory that is being freed; true if there were any.
bool CancelTimersIn(const void* begin, size_t size);
size_t SetTimerCount();
void ResetTimers();

// --- Dispatcher -----------------------------------------------------------------
// Wakes threads blocked in a wait so they look at their object again.
void WakeWaiters();

// Checks that a routine which may block runs at PASSIVE_LEVEL (or APC_LEVEL)
// with no spin lock held; reports MayWaitAtRaisedIrql otherwise.
bool CheckMayWait(const char* routine);

// --- Modes --------------------------------------------------------------------
// Deterministic: one thread, DPCs run when the IRQL falls, time moves only
// when the test or a wait moves it. Concurrent: DPCs run on a DPC thread, waits
// block for real under a watchdog.
bool Concurrent();
void StartConcurrent();
void StopConcurrent();
// Hands a DPC to the DPC processors (concurrent mode): kDpcProcessors
// threads, so that two DPCs, even of one driver, can run at once.
constexpr int kDpcProcessors = 2;
void SignalDpcThread();
// Real-time limit of a blocking wait in concurrent mode.
void SetWatchdogSeconds(unsigned seconds);
constexpr unsigned kDefaultWatchdogSeconds = 20;
unsigned WatchdogSeconds();

}  // namespace sim::ke
