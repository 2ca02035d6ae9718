#include "sim/ke/clock.h"
#include "sim/ke/ke.h"

#include <map>
#include <mutex>
#include <utility>

namespace sim::clock {
namespace {

struct Key {
  int64_t due;
  uint64_t id;
  bool operator<(const Key& other) const { return due != other.due ? due < other.due : id < other.id; }
};

std::mutex g_lock;
int64_t g_now;
uint64_t g_nextId = 1;
std::map<Key, std::function<void()>> g_schedule;
std::map<uint64_t, int64_t> g_dueById;
thread_local int t_firing;  // FireNext calls in progress on this thread

}  // namespace

int64_t Now() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_now;
}

uint64_t Schedule(int64_t due, std::function<void()> work) {
  std::lock_guard<std::mutex> hold(g_lock);
  uint64_t id = g_nextId++;
  g_schedule.emplace(Key{due, id}, std::move(work));
  g_dueById[id] = due;
  return id;
}

bool Cancel(uint64_t id) {
  std::lock_guard<std::mutex> hold(g_lock);
  auto found = g_dueById.find(id);
  if (found == g_dueById.end()) return false;
  g_schedule.erase(Key{found->second, id});
  g_dueById.erase(found);
  return true;
}

std::optional<int64_t> NextDue() {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_schedule.empty()) return std::nullopt;
  return g_schedule.begin()->first.due;
}

bool FireNext(int64_t limit) {
  // Everything due at that one instant fires before any DPC it queued runs,
  // as the timers expiring on one clock tick do: by the time the first
  // timer's DPC runs, a second timer due with it is no longer set.
  bool fired = false;
  int64_t instant = 0;
  ++t_firing;
  ke::DeferDpcs();
  for (;;) {
    std::function<void()> work;
    {
      std::lock_guard<std::mutex> hold(g_lock);
      if (g_schedule.empty()) break;
      auto first = g_schedule.begin();
      if (first->first.due > limit || (fired && first->first.due != instant)) break;
      instant = first->first.due;
      if (instant > g_now) g_now = instant;
      work = std::move(first->second);
      g_dueById.erase(first->first.id);
      g_schedule.erase(first);
    }
    work();
    fired = true;
  }
  ke::ResumeDpcs();  // runs the DPCs queued meanwhile
  --t_firing;
  return fired;
}

void Advance(int64_t units) {
  int64_t target = Now() + units;
  while (FireNext(target)) {
  }
  std::lock_guard<std::mutex> hold(g_lock);
  if (target > g_now) g_now = target;
}

void AdvanceMs(uint64_t milliseconds) { Advance(static_cast<int64_t>(milliseconds) * kUnitsPerMs); }

void Settle() {
  if (t_firing != 0 || ke::Concurrent() || ke::CurrentIrql() != PASSIVE_LEVEL || ke::SpinLocksHeldByThisThread() != 0) {
    return;
  }
  Advance(0);
}

void Reset() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_now = 0;
  g_schedule.clear();
  g_dueById.clear();
}

}  // namespace sim::clock
