/*
 * Events and waits. The state of every dispatcher object lives under one
 * dispatcher lock, as in the real kernel. A deterministic wait cannot block:
 * while its event is not signalled it lets virtual time run to the next
 * scheduled work (a timer, a device's reply), and when nothing is left that
 * could signal the event it reports a wait that can never end. A concurrent
 * wait blocks for real, under a watchdog.
 */
#include "sim/ke/clock.h"
#include "sim/ke/ke.h"
#include "sim/explore/hook.h"
#include "sim/verifier/verifier.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <limits>
#include <mutex>

namespace sim::ke {
namespace {

std::mutex g_dispatcher;
std::condition_variable g_changed;

bool IsEvent(PDISPATCHER_HEADER header) {
  return header->Type == NotificationEvent || header->Type == SynchronizationEvent;
}

// Takes the signal if it is there; a synchronization event resets on the way.
bool Consume(PDISPATCHER_HEADER header) {
  if (header->SignalState <= 0) return false;
  if (header->Type == SynchronizationEvent) header->SignalState = 0;
  return true;
}

std::string Describe(PVOID object) {
  char text[64];
  std::snprintf(text, sizeof text, "the event at %p", object);
  return text;
}

NTSTATUS WaitDeterministic(PDISPATCHER_HEADER header, const int64_t* deadline) {
  for (;;) {
    DrainDpcs();  // a DPC held back may be what signals it
    {
      std::lock_guard<std::mutex> hold(g_dispatcher);
      if (Consume(header)) return STATUS_SUCCESS;
    }
    int64_t limit = deadline ? *deadline : std::numeric_limits<int64_t>::max();
    if (clock::FireNext(limit)) continue;
    if (deadline) {
      clock::Advance(*deadline - clock::Now());
      std::lock_guard<std::mutex> hold(g_dispatcher);
      return Consume(header) ? STATUS_SUCCESS : STATUS_TIMEOUT;
    }
    verifier::Report(verifier::Rule::WaitNeverEnds,
                     "KeWaitForSingleObject on " + Describe(header) +
                         " without a time-out: it is not signalled and nothing is left that could signal it");
    return STATUS_TIMEOUT;
  }
}

NTSTATUS WaitConcurrent(PDISPATCHER_HEADER header, const int64_t* deadline) {
  auto started = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> hold(g_dispatcher);
  for (;;) {
    if (Consume(header)) return STATUS_SUCCESS;
    if (deadline && clock::Now() >= *deadline) return STATUS_TIMEOUT;
    auto canEnd = [&] { return header->SignalState > 0 || (deadline && clock::Now() >= *deadline); };
    if (explore::BlockReleasing(hold, "KeWaitForSingleObject", canEnd)) continue;
    if (std::chrono::steady_clock::now() - started > std::chrono::seconds(WatchdogSeconds())) {
      hold.unlock();
      verifier::Report(verifier::Rule::WaitNeverEnds, "KeWaitForSingleObject on " + Describe(header) +
                                                          " still blocked after the watchdog's " +
                                                          std::to_string(WatchdogSeconds()) + " s");
      return STATUS_TIMEOUT;
    }
    g_changed.wait_for(hold, std::chrono::milliseconds(20));
  }
}

}  // namespace

void WakeWaiters() {
  std::lock_guard<std::mutex> hold(g_dispatcher);
  g_changed.notify_all();
}

bool CheckMayWait(const char* routine) {
  if (CurrentIrql() <= APC_LEVEL && SpinLocksHeldByThisThread() == 0) return true;
  verifier::Report(verifier::Rule::MayWaitAtRaisedIrql,
                   std::string(routine) + " may wait but runs at IRQL " + std::to_string(CurrentIrql()) + " holding " +
                       std::to_string(SpinLocksHeldByThisThread()) + " spin lock(s)");
  return false;
}

}  // namespace sim::ke

extern "C" {

void QuillanHostAssertMayWait(const char* routine) { sim::ke::CheckMayWait(routine); }

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header.Type = static_cast<UCHAR>(Type);
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Increment;
  sim::explore::Yield("KeSetEvent");
  if (sim::ke::CurrentIrql() > DISPATCH_LEVEL) {
    sim::verifier::Report(sim::verifier::Rule::IrqlTooHigh, "KeSetEvent called above DISPATCH_LEVEL");
  }
  // Wait TRUE promises a wait right after, which a completion routine, at
  // DISPATCH_LEVEL or in an arbitrary thread, must not do.
  if (Wait && sim::ke::ThisThreadContext().completionRoutines != 0) {
    sim::verifier::Report(sim::verifier::Rule::SignalEventInCompletion,
                          "KeSetEvent with Wait TRUE called from a completion routine");
  }
  std::lock_guard<std::mutex> hold(sim::ke::g_dispatcher);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  sim::ke::g_changed.notify_all();
  return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> hold(sim::ke::g_dispatcher);
  Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> hold(sim::ke::g_dispatcher);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> hold(sim::ke::g_dispatcher);
  return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  sim::explore::Yield("KeWaitForSingleObject");
  auto header = static_cast<PDISPATCHER_HEADER>(Object);
  if (!sim::ke::IsEvent(header)) {
    sim::verifier::Report(sim::verifier::Rule::UnsupportedCall, "KeWaitForSingleObject on an object that is not an event");
    return STATUS_INVALID_PARAMETER;
  }
  bool polls = Timeout != nullptr && Timeout->QuadPart == 0;
  // Starting a device runs at PASSIVE_LEVEL: a wait there at raised IRQL (even
  // a poll) is a start path that went wrong.
  if (sim::ke::ThisThreadContext().startDevice != 0 && sim::ke::CurrentIrql() != PASSIVE_LEVEL) {
    sim::verifier::Report(sim::verifier::Rule::StartDeviceWait,
                          "KeWaitForSingleObject at IRQL " + std::to_string(sim::ke::CurrentIrql()) +
                              " while starting a device (IRP_MN_START_DEVICE)");
  } else if (polls) {
    if (sim::ke::CurrentIrql() > DISPATCH_LEVEL) {
      sim::verifier::Report(sim::verifier::Rule::WaitAtRaisedIrql, "KeWaitForSingleObject polled above DISPATCH_LEVEL");
    }
  } else if (sim::ke::CurrentIrql() > APC_LEVEL || sim::ke::SpinLocksHeldByThisThread() != 0) {
    sim::verifier::Report(sim::verifier::Rule::WaitAtRaisedIrql,
                          "KeWaitForSingleObject waits at IRQL " + std::to_string(sim::ke::CurrentIrql()) +
                              " holding " + std::to_string(sim::ke::SpinLocksHeldByThisThread()) + " spin lock(s)");
  }
  if (polls) {
    std::lock_guard<std::mutex> hold(sim::ke::g_dispatcher);
    return sim::ke::Consume(header) ? STATUS_SUCCESS : STATUS_TIMEOUT;
  }
  int64_t deadline = 0;
  if (Timeout != nullptr) {
    deadline = Timeout->QuadPart < 0 ? sim::clock::Now() - Timeout->QuadPart : Timeout->QuadPart;
  }
  const int64_t* limit = Timeout != nullptr ? &deadline : nullptr;
  return sim::ke::Concurrent() ? sim::ke::WaitConcurrent(header, limit) : sim::ke::WaitDeterministic(header, limit);
}

}  // extern "C"
