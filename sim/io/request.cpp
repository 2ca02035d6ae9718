#include "sim/io/request.h"
#include "sim/io/io.h"
#include "sim/explore/hook.h"
#include "sim/ke/clock.h"
#include "sim/ke/ke.h"
#include "sim/verifier/verifier.h"

#include <chrono>
#include <limits>

namespace sim::io {
namespace {
std::atomic<uint64_t> g_completions;
}

void ResetRequestOrder() { g_completions = 0; }

Request::Request(PDEVICE_OBJECT target, UCHAR major, UCHAR minor)
    : target_(target), completion_(std::make_shared<Completion>()) {
  irp_ = AllocateIrp(target->StackSize, IrpOrigin::Requester);
  irp_->RequestorMode = UserMode;
  irp_->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION stack = Stack();
  stack->MajorFunction = major;
  stack->MinorFunction = minor;

  auto record = FindIrp(irp_, "Request");
  std::weak_ptr<Completion> completion = completion_;
  record->onTop = [completion](PIRP) {
    if (auto state = completion.lock()) {
      std::lock_guard<std::mutex> hold(state->lock);
      state->completed = true;
      state->order = ++g_completions;
      state->time = clock::Now();
      state->done.notify_all();
    }
  };
}

Request::~Request() {
  auto record = FindIrp(irp_, "~Request");
  if (!record) return;
  bool completed = Completed();
  {
    std::lock_guard<std::mutex> hold(record->lock);
    if ((record->inDriver || record->completing) && !completed) {
      record->abandoned = true;  // left for the leak check at the end of the test, which says why
      return;
    }
  }
  FreeIrp(irp_);
}

PIO_STACK_LOCATION Request::Stack() const {
  return irp_->CurrentLocation > irp_->StackCount ? IoGetNextIrpStackLocation(irp_)
                                                   : IoGetCurrentIrpStackLocation(irp_);
}

NTSTATUS Request::Send() {
  NTSTATUS status = IofCallDriver(target_, irp_);
  clock::Settle();
  return status;
}

BOOLEAN Request::Cancel() {
  BOOLEAN cancelled = CancelIrp(irp_, true);
  clock::Settle();
  return cancelled;
}

bool Request::Completed() const {
  std::lock_guard<std::mutex> hold(completion_->lock);
  return completion_->completed;
}

bool Request::WaitCompleted(unsigned milliseconds) const {
  std::unique_lock<std::mutex> hold(completion_->lock);
  return completion_->done.wait_for(hold, std::chrono::milliseconds(milliseconds),
                                    [this] { return completion_->completed; });
}

int64_t Request::CompletionTime() const {
  std::lock_guard<std::mutex> hold(completion_->lock);
  return completion_->time;
}

bool Request::Await() const {
  if (explore::BlockUntil("the caller's wait for its request", [this] { return Completed(); })) return true;
  if (ke::Concurrent()) return WaitCompleted(ke::WatchdogSeconds() * 1000);
  while (!Completed() && clock::FireNext(std::numeric_limits<int64_t>::max())) {
  }
  return Completed();
}

NTSTATUS Request::Status() const { return irp_->IoStatus.Status; }

ULONG_PTR Request::Information() const { return irp_->IoStatus.Information; }

uint64_t Request::CompletionOrder() const {
  std::lock_guard<std::mutex> hold(completion_->lock);
  return completion_->order;
}

}  // namespace sim::io
