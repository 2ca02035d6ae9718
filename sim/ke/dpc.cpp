/*
 * Deferred procedure calls. A queued DPC runs once, at DISPATCH_LEVEL: in
 * deterministic mode on the thread whose IRQL next falls below
 * DISPATCH_LEVEL (at once if the queuing thread is already below it), or,
 * when DPCs are held back, at the next point where the machine has control
 * (see DpcDelivery); in concurrent mode on one of the DPC processors, which
 * may run two DPCs at once. A DPC already queued is not queued again.
 */
#include "sim/ke/ke.h"
#include "sim/explore/hook.h"
#include "sim/ke/stack.h"
#include "sim/verifier/verifier.h"

#include <atomic>
#include <cstdio>
#include <deque>
#include <mutex>

namespace sim::ke {
namespace {

std::mutex g_lock;
std::deque<PKDPC> g_queue;
int g_queuedMarker;  // DpcData points here while a DPC is queued
thread_local bool t_runningDpcs;
thread_local unsigned t_deferred;  // DeferDpcs without its ResumeDpcs yet
std::atomic<DpcDelivery> g_delivery{DpcDelivery::AtIrqlDrop};

std::optional<DpcCall> PopDpc() {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_queue.empty()) return std::nullopt;
  PKDPC dpc = g_queue.front();
  g_queue.pop_front();
  DpcCall call{dpc, dpc->DeferredRoutine, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2};
  dpc->DpcData = nullptr;  // from here on the DPC may queue itself again
  return call;
}

}  // namespace

// Runs one DPC at DISPATCH_LEVEL and checks that it left the IRQL and the
// spin locks as it found them.
void RunDpc(const DpcCall& call) {
  KIRQL before = RaiseIrql(DISPATCH_LEVEL, "DPC delivery");
  size_t locksBefore = SpinLocksHeldByThisThread();
  ThisThreadContext().dpcs++;
  CallDriverRoutine("DPC routine", [&] { call.routine(call.dpc, call.context, call.argument1, call.argument2); });
  ThisThreadContext().dpcs--;
  if (CurrentIrql() != DISPATCH_LEVEL) {
    char text[96];
    std::snprintf(text, sizeof text, "DPC routine %p returned at IRQL %d, expected DISPATCH_LEVEL (%d)",
                  reinterpret_cast<void*>(call.routine), CurrentIrql(), DISPATCH_LEVEL);
    verifier::Report(verifier::Rule::IrqlNotRestored, text);
  }
  size_t locksAfter = SpinLocksHeldByThisThread();
  if (locksAfter != locksBefore) {
    char text[128];
    std::snprintf(text, sizeof text, "DPC routine %p returned holding %zu spin lock(s), expected %zu",
                  reinterpret_cast<void*>(call.routine), locksAfter, locksBefore);
    verifier::Report(verifier::Rule::SpinLockHeldOnReturn, text);
  }
  // Back to where the processor was, without running DPCs recursively here.
  bool wasRunning = t_runningDpcs;
  t_runningDpcs = true;
  LowerIrql(before, "DPC delivery", locksAfter != locksBefore);
  t_runningDpcs = wasRunning;
}

std::optional<DpcCall> TakeQueuedDpc() { return PopDpc(); }

void SetDpcDelivery(DpcDelivery delivery) { g_delivery.store(delivery); }
DpcDelivery GetDpcDelivery() { return g_delivery.load(); }

void DrainDpcs() {
  if (Concurrent() || t_runningDpcs || t_deferred != 0 || CurrentIrql() >= DISPATCH_LEVEL) return;
  t_runningDpcs = true;
  while (std::optional<DpcCall> call = PopDpc()) RunDpc(*call);
  t_runningDpcs = false;
}

void RunQueuedDpcs() {
  if (g_delivery.load() == DpcDelivery::HeldBack) return;
  DrainDpcs();
}

void DeferDpcs() { ++t_deferred; }

void ResumeDpcs() {
  if (t_deferred != 0 && --t_deferred == 0) DrainDpcs();
}

bool RemoveDpcsIn(const void* begin, size_t size) {
  std::lock_guard<std::mutex> hold(g_lock);
  bool found = false;
  for (auto at = g_queue.begin(); at != g_queue.end();) {
    const char* dpc = reinterpret_cast<const char*>(*at);
    if (dpc >= begin && dpc < static_cast<const char*>(begin) + size) {
      at = g_queue.erase(at);
      found = true;
    } else {
      ++at;
    }
  }
  return found;
}

size_t QueuedDpcCount() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_queue.size();
}

// Forgets the queue without touching the DPCs on it: the memory that held
// them (a finished test's stack or fixture) may be gone. KeInitializeDpc
// clears a DPC's queued mark before it is used again.
void ResetDpcs() {
  t_deferred = 0;  // a test that stopped between DeferDpcs and ResumeDpcs leaves no hold behind
  std::lock_guard<std::mutex> hold(g_lock);
  g_queue.clear();
}

}  // namespace sim::ke

extern "C" {

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  Dpc->Type = 19;  // DpcObject in the kernel's object types
  Dpc->Importance = MediumImportance;
  Dpc->Number = 0;
  Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  sim::explore::Yield("KeInsertQueueDpc");
  {
    std::lock_guard<std::mutex> hold(sim::ke::g_lock);
    if (Dpc->DpcData != nullptr) return FALSE;
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    Dpc->DpcData = &sim::ke::g_queuedMarker;
    sim::ke::g_queue.push_back(Dpc);
  }
  if (sim::ke::Concurrent()) {
    sim::ke::SignalDpcThread();
  } else {
    sim::ke::RunQueuedDpcs();
  }
  return TRUE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
  sim::explore::Yield("KeRemoveQueueDpc");
  std::lock_guard<std::mutex> hold(sim::ke::g_lock);
  for (auto at = sim::ke::g_queue.begin(); at != sim::ke::g_queue.end(); ++at) {
    if (*at == Dpc) {
      sim::ke::g_queue.erase(at);
      Dpc->DpcData = nullptr;
      return TRUE;
    }
  }
  return FALSE;
}

}  // extern "C"
