/*
 * Kernel timers on virtual time. A set timer is one entry on the clock's
 * schedule, at the first clock tick at or after its due time (or at its due
 * time exactly, with no tick); when that comes it becomes signalled and
 * queues its DPC. Timers on one tick are one instant of the schedule, so all
 * of them expire before any of their DPCs runs.
 * Setting a set timer replaces its due time; a due time already reached
 * expires the timer at once; cancelling a timer whose DPC is already queued
 * does not stop that DPC. Every field of a KTIMER is written under the
 * timer lock, since one thread may set a timer while another expires it.
 */
#include "sim/ke/clock.h"
#include "sim/ke/ke.h"
#include "sim/explore/hook.h"
#include "sim/verifier/verifier.h"

#include <atomic>
#include <map>
#include <mutex>

namespace sim::ke {
namespace {

struct SetTimer {
  uint64_t generation;  // tells this setting from later ones of the same timer
  uint64_t scheduleId;
};

std::atomic<int64_t> g_tick{0};
std::mutex g_lock;  // guards g_set and the fields of every KTIMER
std::map<PKTIMER, SetTimer> g_set;
uint64_t g_generation;

// Queues the DPC of a timer that has just expired, as the kernel does, with
// the expiry time as the first system argument.
void DeliverExpiry(PKDPC dpc, int64_t when) {
  WakeWaiters();
  if (dpc != nullptr) KeInsertQueueDpc(dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(when)), nullptr);
}

// Runs when the schedule entry of the setting `generation` falls due; a timer
// cancelled or set again in the meantime is left alone.
void Expire(PKTIMER timer, uint64_t generation) {
  PKDPC dpc;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    auto found = g_set.find(timer);
    if (found == g_set.end() || found->second.generation != generation) return;
    g_set.erase(found);
    timer->Header.SignalState = 1;
    dpc = timer->Dpc;
  }
  DeliverExpiry(dpc, clock::Now());
}

// Takes a timer off the schedule; true if it was set. Needs g_lock.
bool UnsetLocked(PKTIMER timer) {
  auto found = g_set.find(timer);
  if (found == g_set.end()) return false;
  clock::Cancel(found->second.scheduleId);
  g_set.erase(found);
  return true;
}

bool Unset(PKTIMER timer) {
  std::lock_guard<std::mutex> hold(g_lock);
  return UnsetLocked(timer);
}

// When a timer due at `due` expires: on the first clock tick at or after it.
int64_t ExpiryTime(int64_t due) {
  int64_t tick = g_tick.load();
  if (tick <= 0 || due % tick == 0 || due > INT64_MAX - tick) return due;
  return (due / tick + 1) * tick;
}

}  // namespace

void SetClockTick(int64_t units) { g_tick.store(units > 0 ? units : 0); }
int64_t ClockTick() { return g_tick.load(); }

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

bool DetachTimerDpcsIn(const void* begin, size_t size) {
  std::lock_guard<std::mutex> hold(g_lock);
  bool found = false;
  for (auto& entry : g_set) {
    const char* dpc = reinterpret_cast<const char*>(entry.first->Dpc);
    if (dpc >= begin && dpc < static_cast<const char*>(begin) + size) {
      entry.first->Dpc = nullptr;
      found = true;
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
  std::lock_guard<std::mutex> hold(sim::ke::g_lock);
  sim::ke::UnsetLocked(Timer);
  RtlZeroMemory(Timer, sizeof *Timer);
  Timer->Header.Type = static_cast<UCHAR>(8 + Type);  // TimerNotificationObject or TimerSynchronizationObject
  Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
  Timer->Header.SignalState = 0;
  InitializeListHead(&Timer->Header.WaitListHead);
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  sim::explore::Yield("KeSetTimer");
  if (sim::ke::CurrentIrql() > DISPATCH_LEVEL) {
    sim::verifier::Report(sim::verifier::Rule::IrqlTooHigh,
                          "KeSetTimer called at IRQL " + std::to_string(sim::ke::CurrentIrql()) +
                              ", above DISPATCH_LEVEL");
  }
  if (Period != 0) {
    sim::verifier::Report(sim::verifier::Rule::UnsupportedCall,
                          "KeSetTimerEx with a period of " + std::to_string(Period) +
                              " ms: periodic timers are not simulated");
  }
  // Negative: relative to now; otherwise absolute system time (here, virtual).
  int64_t now = sim::clock::Now();
  // A relative time too far out for virtual time's 63 bits never comes.
  int64_t due = DueTime.QuadPart >= 0                                ? DueTime.QuadPart
                : -(DueTime.QuadPart + 1) >= INT64_MAX - now ? INT64_MAX
                                                                     : now - DueTime.QuadPart;
  BOOLEAN wasSet;
  {
    std::lock_guard<std::mutex> hold(sim::ke::g_lock);
    wasSet = sim::ke::UnsetLocked(Timer);
    Timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    Timer->Dpc = Dpc;
    Timer->Period = 0;
    if (due > now) {
      Timer->Header.SignalState = 0;
      uint64_t generation = ++sim::ke::g_generation;
      uint64_t id = sim::clock::Schedule(sim::ke::ExpiryTime(due),
                                         [Timer, generation] { sim::ke::Expire(Timer, generation); });
      sim::ke::g_set[Timer] = {generation, id};
      return wasSet;
    }
    // An absolute due time already reached: the timer expires here and now.
    Timer->Header.SignalState = 1;
  }
  sim::ke::DeliverExpiry(Dpc, now);
  return wasSet;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
  sim::explore::Yield("KeCancelTimer");
  if (sim::ke::CurrentIrql() > DISPATCH_LEVEL) {
    sim::verifier::Report(sim::verifier::Rule::IrqlTooHigh,
                          "KeCancelTimer called at IRQL " + std::to_string(sim::ke::CurrentIrql()) +
                              ", above DISPATCH_LEVEL");
  }
  return sim::ke::Unset(Timer);
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
  std::lock_guard<std::mutex> hold(sim::ke::g_lock);
  return Timer->Header.SignalState != 0;
}

}  // extern "C"
