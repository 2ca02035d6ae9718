/*
 * Spin locks: real locks across threads (the KSPIN_LOCK word holds its
 * owner), raising to DISPATCH_LEVEL while held. Every acquisition is checked
 * against the locks the thread already holds, and the order in which any two
 * locks were ever nested is remembered, so that taking them the other way
 * round anywhere in the run is reported even if it never deadlocks here.
 */
#include "sim/ke/ke.h"
#include "sim/explore/hook.h"
#include "sim/verifier/verifier.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace sim::ke {
namespace {

// Each thread's token is the address of a thread-local byte: nonzero, unique.
thread_local char t_token;
thread_local std::vector<const void*> t_held;

ULONG_PTR ThisThreadToken() { return reinterpret_cast<ULONG_PTR>(&t_token); }

std::mutex g_graphLock;
std::set<std::pair<const void*, const void*>> g_edges;  // (outer, inner)
std::set<std::pair<const void*, const void*>> g_reported;
std::map<const void*, std::string> g_names;

KSPIN_LOCK g_cancelSpinLock;

// Steps a test placed before the next acquisition of a lock (see
// RunBeforeNextAcquire); the flag spares every acquisition the map's lock
// while none is placed.
std::mutex g_stepsLock;
std::map<const void*, std::function<void()>> g_steps;
std::atomic<bool> g_anyStep{false};

// Takes the step placed on `lock`, if any, so that it runs once.
std::function<void()> TakeStep(PKSPIN_LOCK lock) {
  if (!g_anyStep.load()) return nullptr;
  std::lock_guard<std::mutex> hold(g_stepsLock);
  auto found = g_steps.find(lock);
  if (found == g_steps.end()) return nullptr;
  std::function<void()> step = std::move(found->second);
  g_steps.erase(found);
  g_anyStep.store(!g_steps.empty());
  return step;
}

std::string Describe(const void* lock) {
  auto found = g_names.find(lock);
  if (found != g_names.end()) return found->second;
  char text[64];
  std::snprintf(text, sizeof text, "spin lock at %p", lock);
  return text;
}

bool Reaches(const void* from, const void* to) {
  std::vector<const void*> pending{from};
  std::set<const void*> seen;
  while (!pending.empty()) {
    const void* at = pending.back();
    pending.pop_back();
    if (at == to) return true;
    if (!seen.insert(at).second) continue;
    for (auto edge = g_edges.lower_bound({at, nullptr}); edge != g_edges.end() && edge->first == at; ++edge) {
      pending.push_back(edge->second);
    }
  }
  return false;
}

// Records that `lock` is taken while the thread holds t_held, and reports an
// inversion if `lock` was ever held (directly or through others) around one
// of them.
void LearnOrder(const void* lock, const char* routine) {
  std::lock_guard<std::mutex> hold(g_graphLock);
  for (const void* outer : t_held) {
    if (Reaches(lock, outer) && g_reported.insert({outer, lock}).second) {
      verifier::Report(verifier::Rule::LockOrderInversion,
                       std::string(routine) + " takes " + Describe(lock) + " while holding " + Describe(outer) +
                           ", but elsewhere " + Describe(lock) + " is held while taking " + Describe(outer));
    }
    g_edges.insert({outer, lock});
  }
}

// Threads spinning on each lock at this moment, for tests that must know
// another thread is held up by a lock before they go on.
std::mutex g_spinningLock;
std::map<const void*, size_t> g_spinning;

void CountSpinning(const void* lock, bool more) {
  std::lock_guard<std::mutex> hold(g_spinningLock);
  if (more) {
    ++g_spinning[lock];
  } else if (--g_spinning[lock] == 0) {
    g_spinning.erase(lock);
  }
}

bool TryTake(PKSPIN_LOCK lock, ULONG_PTR token) {
  ULONG_PTR expected = 0;
  return __atomic_compare_exchange_n(lock, &expected, token, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
}

void Spin(PKSPIN_LOCK lock, const char* routine) {
  ULONG_PTR token = ThisThreadToken();
  if (TryTake(lock, token)) return;
  CountSpinning(lock, true);
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (TryTake(lock, token)) {
      CountSpinning(lock, false);
      return;
    }
    if (explore::BlockUntil(routine, [lock] { return __atomic_load_n(lock, __ATOMIC_RELAXED) == 0; })) continue;
    std::this_thread::yield();
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(WatchdogSeconds())) {
      // A lock that is never released is a deadlock; the run cannot go on.
      std::fprintf(stderr, "VERIFIER: %s: %s spins forever on %s\n",
                   verifier::RuleName(verifier::Rule::WaitNeverEnds), routine, Describe(lock).c_str());
      std::abort();
    }
  }
}

void Take(PKSPIN_LOCK lock, const char* routine) {
  if (ThisThreadHolds(lock)) {
    verifier::Report(verifier::Rule::SpinLockRecursion,
                     std::string(routine) + " acquires " + Describe(lock) + ", which this thread already holds");
    return;
  }
  explore::Yield(routine);
  LearnOrder(lock, routine);
  Spin(lock, routine);
  t_held.push_back(lock);
}

bool Give(PKSPIN_LOCK lock, const char* routine) {
  auto found = std::find(t_held.begin(), t_held.end(), static_cast<const void*>(lock));
  if (found == t_held.end() || __atomic_load_n(lock, __ATOMIC_RELAXED) != ThisThreadToken()) {
    verifier::Report(verifier::Rule::SpinLockNotHeld,
                     std::string(routine) + " releases " + Describe(lock) + ", which this thread does not hold");
    return false;
  }
  t_held.erase(found);
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
  explore::Yield(routine);
  return true;
}

}  // namespace

void RunBeforeNextAcquire(PKSPIN_LOCK lock, std::function<void()> step) {
  std::lock_guard<std::mutex> hold(g_stepsLock);
  g_steps[lock] = std::move(step);
  g_anyStep.store(true);
}

KIRQL AcquireSpinLock(PKSPIN_LOCK lock, const char* routine) {
  if (std::function<void()> step = TakeStep(lock)) step();
  if (CurrentIrql() > DISPATCH_LEVEL) {
    verifier::Report(verifier::Rule::IrqlTooHigh,
                     std::string(routine) + " called at IRQL " + std::to_string(CurrentIrql()));
  }
  // Above DISPATCH_LEVEL (reported) the IRQL stays where it is.
  KIRQL old = CurrentIrql() > DISPATCH_LEVEL ? CurrentIrql() : RaiseIrql(DISPATCH_LEVEL, routine);
  Take(lock, routine);
  return old;
}

void AcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock, const char* routine) {
  if (std::function<void()> step = TakeStep(lock)) step();
  if (CurrentIrql() != DISPATCH_LEVEL) {
    verifier::Report(verifier::Rule::IrqlTooHigh, std::string(routine) + " needs DISPATCH_LEVEL, called at IRQL " +
                                                      std::to_string(CurrentIrql()));
  }
  Take(lock, routine);
}

void ReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql, const char* routine) {
  Give(lock, routine);
  LowerIrql(newIrql, routine);
}

void ReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock, const char* routine) {
  if (CurrentIrql() < DISPATCH_LEVEL) {
    verifier::Report(verifier::Rule::IrqlTooLow, std::string(routine) + " needs DISPATCH_LEVEL, called at IRQL " +
                                                     std::to_string(CurrentIrql()));
  }
  Give(lock, routine);
}

size_t SpinLocksHeldByThisThread() { return t_held.size(); }

size_t ThreadsSpinningOn(PKSPIN_LOCK lock) {
  std::lock_guard<std::mutex> hold(g_spinningLock);
  auto found = g_spinning.find(lock);
  return found == g_spinning.end() ? 0 : found->second;
}

bool ThisThreadHolds(PKSPIN_LOCK lock) {
  return std::find(t_held.begin(), t_held.end(), static_cast<const void*>(lock)) != t_held.end();
}

void NameSpinLock(PKSPIN_LOCK lock, const std::string& name) {
  std::lock_guard<std::mutex> hold(g_graphLock);
  g_names[lock] = name;
}

std::string SpinLockName(const void* lock) {
  std::lock_guard<std::mutex> hold(g_graphLock);
  return Describe(lock);
}

void ForgetSpinLocksIn(const void* begin, size_t size) {
  auto inside = [&](const void* p) {
    return p >= begin && static_cast<const char*>(p) < static_cast<const char*>(begin) + size;
  };
  std::lock_guard<std::mutex> hold(g_graphLock);
  for (auto edge = g_edges.begin(); edge != g_edges.end();) {
    edge = (inside(edge->first) || inside(edge->second)) ? g_edges.erase(edge) : std::next(edge);
  }
  for (auto edge = g_reported.begin(); edge != g_reported.end();) {
    edge = (inside(edge->first) || inside(edge->second)) ? g_reported.erase(edge) : std::next(edge);
  }
  for (auto name = g_names.begin(); name != g_names.end();) {
    name = inside(name->first) ? g_names.erase(name) : std::next(name);
  }
}

void ResetSpinLocks() {
  std::lock_guard<std::mutex> hold(g_graphLock);
  g_edges.clear();
  g_reported.clear();
  g_names.clear();
  g_names[&g_cancelSpinLock] = "the cancel spin lock";
  t_held.clear();
  g_cancelSpinLock = 0;
  std::lock_guard<std::mutex> steps(g_stepsLock);
  g_steps.clear();
  g_anyStep.store(false);
}

PKSPIN_LOCK CancelSpinLock() { return &g_cancelSpinLock; }

}  // namespace sim::ke

extern "C" {

#if defined(_X86_)

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  return sim::ke::AcquireSpinLock(SpinLock, "KfAcquireSpinLock");
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  sim::ke::ReleaseSpinLock(SpinLock, NewIrql, "KfReleaseSpinLock");
}

VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  sim::ke::AcquireSpinLockAtDpcLevel(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  sim::ke::ReleaseSpinLockFromDpcLevel(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

#else

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  return sim::ke::AcquireSpinLock(SpinLock, "KeAcquireSpinLock");
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  sim::ke::ReleaseSpinLock(SpinLock, NewIrql, "KeReleaseSpinLock");
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  sim::ke::AcquireSpinLockAtDpcLevel(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  sim::ke::ReleaseSpinLockFromDpcLevel(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

#endif

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
  *Irql = sim::ke::AcquireSpinLock(sim::ke::CancelSpinLock(), "IoAcquireCancelSpinLock");
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
  sim::ke::ReleaseSpinLock(sim::ke::CancelSpinLock(), Irql, "IoReleaseCancelSpinLock");
}

}  // extern "C"
