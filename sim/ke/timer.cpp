/*
 * Kernel timers on virtual time. A set timer is one entry on the clock's
 * schedule; when it falls due it becomes signalled and queues its DPC.
 * Setting a set timer replaces its due time; cancelling a timer whose DPC is
 * already queued does not stop that DPC.
 */
#include "sim/ke/clock.h"
#include "sim/ke/ke.h"
#include "sim/verifier/verifier.h"

#include <map>
#include <mutex>

namespace sim::ke {
namespace {

struct SetTimer {
  uint64_t generation;  // tells this setting from later ones of the same timer
  uint64_t scheduleId;
};

std::mutex g_lock;
std::map<PKTIMER, SetTimer> g_set;
uint64_t g_generation;

// Runs when the schedule entry `id` falls due; a timer cancelled or set
// again in the meantime is left alone.
void Expire(PKTIMER timer, uint64_t generation) {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    auto found = g_set.find(timer);
    if (found == g_set.end() || found->second.generation != generation) return;
    g_set.erase(found);
  }
  timer->Header.SignalState = 1;
  WakeWaiters();
  if (timer->Dpc != nullptr) {
    KeInsertQueueDpc(timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(clock::Now())), nullptr);
  }
}

bool Unset(PKTIMER timer) {
  std::lock_guard<std::mutex> hold(g_lock);
  auto found = g_set.find(timer);
  if (found == g_set.end()) return false;
  clock::Cancel(found->second.scheduleId);
  g_set.erase(found);
  return true;
}

}  // namespace

bool CancelTimersIn(const void* begin, size_t size) {
  std::lock_guard<std::mutex> hold(g_lock);
  bool found = false;
  for (auto entry = g_set.begin(); entry != g_set.end();) {
    const char* at = reinterpret_cast<const char*>(entry->first);
    if (at >= begin && at < static_cast<const char*>(begin) + size) {
      clock::Cancel(entry->second.scheduleId);
      entry = g_set.erase(entry);
      found = true;
    } else {
      ++entry;
    }
  }
  return found;
}

size_t SetTimerCount() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_set.size();
}

void ResetTimers() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_set.clear();
}

}  // namespace sim::ke

extern "C" {

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  sim::ke::Unset(Timer);
  RtlZeroMemory(Timer, sizeof *Timer);
  Timer->Header.Type = static_cast<UCHAR>(8 + Type);  // TimerNotificationObject or TimerSynchronizationObject
  Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
  Timer->Header.SignalState = 0;
  InitializeListHead(&Timer->Header.WaitListHead);
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  if (sim::ke::CurrentIrql() > DISPATCH_LEVEL) {
    sim::verifier::Report(sim::verifier::Rule::IrqlTooHigh, "KeSetTimer called above DISPATCH_LEVEL");
  }
  if (Period != 0) {
    sim::verifier::Report(sim::verifier::Rule::UnsupportedCall, "KeSetTimerEx with a period");
  }
  BOOLEAN wasSet = sim::ke::Unset(Timer);
  // Negative: relative to now; positive: absolute system time (here, virtual).
  int64_t due = DueTime.QuadPart < 0 ? sim::clock::Now() - DueTime.QuadPart : DueTime.QuadPart;
  Timer->Header.SignalState = 0;
  Timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
  Timer->Dpc = Dpc;
  Timer->Period = 0;
  std::lock_guard<std::mutex> hold(sim::ke::g_lock);
  uint64_t generation = ++sim::ke::g_generation;
  uint64_t id = sim::clock::Schedule(due, [Timer, generation] { sim::ke::Expire(Timer, generation); });
  sim::ke::g_set[Timer] = {generation, id};
  return wasSet;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
  if (sim::ke::CurrentIrql() > DISPATCH_LEVEL) {
    sim::verifier::Report(sim::verifier::Rule::IrqlTooHigh, "KeCancelTimer called above DISPATCH_LEVEL");
  }
  return sim::ke::Unset(Timer);
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) { return Timer->Header.SignalState != 0; }

}  // extern "C"
