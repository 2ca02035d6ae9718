#include "sim/usb/deferral.h"

#include "sim/ke/clock.h"
#include "sim/ke/ke.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace sim::usb {

struct Deferral::Shared {
  std::function<void()> work;
  KDPC dpc;
  std::mutex lock;  // guards the fields below
  std::condition_variable changed;
  bool alive = true;
  bool queued = false;              // the DPC is queued or about to run
  int running = 0;                  // runs in progress on any processor
  std::vector<uint64_t> scheduled;  // clock entries still to fire, for Stop

  void Queue() {
    {
      std::lock_guard<std::mutex> hold(lock);
      if (!alive || queued) return;
      queued = true;
    }
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
  }

  static VOID NTAPI Run(PKDPC, PVOID context, PVOID, PVOID) {
    auto* shared = static_cast<Shared*>(context);
    {
      std::lock_guard<std::mutex> hold(shared->lock);
      shared->queued = false;
      if (!shared->alive) {
        shared->changed.notify_all();
        return;
      }
      shared->running++;
    }
    shared->work();
    std::lock_guard<std::mutex> hold(shared->lock);
    shared->running--;
    shared->changed.notify_all();
  }
};

Deferral::Deferral(std::function<void()> work) : shared_(std::make_shared<Shared>()) {
  shared_->work = std::move(work);
  KeInitializeDpc(&shared_->dpc, &Shared::Run, shared_.get());
}

Deferral::~Deferral() { Stop(); }

void Deferral::Post(uint64_t latencyMs) {
  PostAt(clock::Now() + static_cast<int64_t>(latencyMs) * clock::kUnitsPerMs);
}

void Deferral::PostAt(int64_t due) {
  // Concurrent and due: straight to a DPC processor. Otherwise through the
  // clock, so that a deterministic run never happens inside the caller.
  if (ke::Concurrent() && due <= clock::Now()) {
    shared_->Queue();
    return;
  }
  std::shared_ptr<Shared> shared = shared_;
  // The entry forgets its id when it fires, so a long run keeps no trail.
  auto id = std::make_shared<uint64_t>(0);
  std::lock_guard<std::mutex> hold(shared_->lock);
  if (!shared_->alive) return;
  *id = clock::Schedule(due, [shared, id] {
    {
      std::lock_guard<std::mutex> forget(shared->lock);
      auto& scheduled = shared->scheduled;
      scheduled.erase(std::remove(scheduled.begin(), scheduled.end(), *id), scheduled.end());
    }
    shared->Queue();
  });
  shared_->scheduled.push_back(*id);
}

void Deferral::Stop() {
  std::vector<uint64_t> scheduled;
  {
    std::lock_guard<std::mutex> hold(shared_->lock);
    shared_->alive = false;
    scheduled.swap(shared_->scheduled);
  }
  for (uint64_t id : scheduled) clock::Cancel(id);
  if (KeRemoveQueueDpc(&shared_->dpc)) {
    std::lock_guard<std::mutex> hold(shared_->lock);
    shared_->queued = false;
  }
  // A DPC taken off the queue by a processor still runs (and sees it is
  // stopped); wait for it and for a run in progress.
  std::unique_lock<std::mutex> hold(shared_->lock);
  if (!ke::Concurrent()) return;
  shared_->changed.wait(hold, [this] { return !shared_->queued && shared_->running == 0; });
}

}  // namespace sim::usb
