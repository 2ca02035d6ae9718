#include "sim/usb/deferral.h"

#include "sim/ke/clock.h"
#include "sim/ke/ke.h"

#include <algorithm>
#include <vector>

namespace sim::usb {

struct Deferral::Shared {
  std::function<void()> work;
  std::mutex lock;  // guards the fields below
  std::condition_variable changed;
  bool alive = true;
  bool stopping = false;
  bool posted = false;  // a run waits for the completion thread
  bool threadStarted = false;
  int running = 0;                  // runs in progress on any thread
  std::vector<uint64_t> scheduled;  // clock entries still to fire, for Stop
};

Deferral::Deferral(std::function<void()> work) : shared_(std::make_shared<Shared>()) {
  shared_->work = std::move(work);
}

Deferral::~Deferral() { Stop(); }

void Deferral::RunAtDispatch(const std::shared_ptr<Shared>& shared) {
  {
    std::lock_guard<std::mutex> hold(shared->lock);
    if (!shared->alive) return;
    shared->running++;
  }
  KIRQL irql = ke::RaiseIrql(DISPATCH_LEVEL, "USB bus deferred completion");
  shared->work();
  ke::LowerIrql(irql, "USB bus deferred completion");
  std::lock_guard<std::mutex> hold(shared->lock);
  shared->running--;
  shared->changed.notify_all();
}

void Deferral::HandToThread(const std::shared_ptr<Shared>& shared) {
  std::lock_guard<std::mutex> hold(shared->lock);
  shared->posted = true;
  shared->changed.notify_all();
}

void Deferral::ThreadMain() {
  for (;;) {
    {
      std::unique_lock<std::mutex> hold(shared_->lock);
      shared_->changed.wait(hold, [this] { return shared_->posted || shared_->stopping; });
      if (shared_->stopping) return;
      shared_->posted = false;
    }
    RunAtDispatch(shared_);
  }
}

void Deferral::Post(uint64_t latencyMs) {
  bool threaded = false;
  if (ke::Concurrent()) {
    std::lock_guard<std::mutex> hold(shared_->lock);
    if (!shared_->alive) return;
    if (!shared_->threadStarted) {
      shared_->threadStarted = true;
      thread_ = std::thread(&Deferral::ThreadMain, this);
    }
    threaded = true;
  }
  if (threaded && latencyMs == 0) {
    HandToThread(shared_);
    return;
  }
  std::shared_ptr<Shared> shared = shared_;
  int64_t due = clock::Now() + static_cast<int64_t>(latencyMs) * clock::kUnitsPerMs;
  // The entry forgets its id when it fires, so a long run keeps no trail.
  auto id = std::make_shared<uint64_t>(0);
  std::lock_guard<std::mutex> hold(shared_->lock);
  *id = clock::Schedule(due, [shared, threaded, id] {
    {
      std::lock_guard<std::mutex> forget(shared->lock);
      auto& scheduled = shared->scheduled;
      scheduled.erase(std::remove(scheduled.begin(), scheduled.end(), *id), scheduled.end());
    }
    if (threaded) {
      HandToThread(shared);
    } else {
      RunAtDispatch(shared);
    }
  });
  shared_->scheduled.push_back(*id);
}

void Deferral::Stop() {
  std::vector<uint64_t> scheduled;
  {
    std::lock_guard<std::mutex> hold(shared_->lock);
    shared_->alive = false;
    shared_->stopping = true;
    scheduled.swap(shared_->scheduled);
  }
  shared_->changed.notify_all();
  for (uint64_t id : scheduled) clock::Cancel(id);
  if (thread_.joinable()) thread_.join();
  std::unique_lock<std::mutex> hold(shared_->lock);
  shared_->changed.wait(hold, [this] { return shared_->running == 0; });
}

}  // namespace sim::usb
