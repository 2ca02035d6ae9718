/*
 * The frame schedule of the simulated bus's timing model (see timing.h).
 * Each frame start is one entry on the virtual clock; it ends the frame
 * before (its finished transfers complete now or after the DPC latency),
 * then makes the new frame's schedule.
 */
#include "sim/usb/timing.h"

#include "sim/ke/clock.h"
#include "sim/ke/ke.h"
#include "sim/usb/bus_state.h"

#include <algorithm>

namespace sim::usb {

FrameShape ShapeOf(BusSpeed speed) {
  if (speed == BusSpeed::High) return {clock::kUnitsPerMs / 8, 512, 13};
  return {clock::kUnitsPerMs, 64, 19};
}

uint64_t PhysicalLimit(BusSpeed speed) {
  FrameShape shape = ShapeOf(speed);
  uint64_t framesPerSecond = static_cast<uint64_t>(1000 * clock::kUnitsPerMs / shape.length);
  return framesPerSecond * shape.packetsPerFrame * shape.packetSize;
}

const char* SpeedName(BusSpeed speed) { return speed == BusSpeed::High ? "high speed" : "full speed"; }

FrameTiming::FrameTiming(BusState& bus, TimingSettings settings)
    : bus_(bus), settings_(settings), shape_(ShapeOf(settings.speed)) {}

FrameTiming::~FrameTiming() { Stop(); }

void FrameTiming::Stop() {
  if (ticking_) clock::Cancel(tickId_);
  ticking_ = false;
  for (uint64_t id : deliveries_) clock::Cancel(id);
  deliveries_.clear();
}

void FrameTiming::Wake() {
  if (ticking_) return;
  // The schedule of the frame running now was made when it started.
  int64_t now = clock::Now();
  ScheduleTick((now / shape_.length + 1) * shape_.length);
}

void FrameTiming::ScheduleTick(int64_t at) {
  ticking_ = true;
  tickId_ = clock::Schedule(at, [this] { Tick(); });
}

void FrameTiming::Tick() {
  ticking_ = false;
  ++frames_;
  KIRQL irql = ke::RaiseIrql(DISPATCH_LEVEL, "USB frame");
  int64_t now = clock::Now();
  // The frame that ends now: its finished transfers complete.
  std::vector<Moving> finished;
  finished.swap(ending_);
  if (!finished.empty()) {
    if (settings_.dpcLatency == 0) {
      // Before the next frame's schedule is made, so resubmissions join it.
      // Keeps the tick from being scheduled twice by a Wake meanwhile.
      ticking_ = true;
      Deliver(std::move(finished));
      ticking_ = false;
    } else {
      auto id = std::make_shared<uint64_t>(0);
      auto batch = std::make_shared<std::vector<Moving>>(std::move(finished));
      *id = clock::Schedule(now + settings_.dpcLatency, [this, id, batch] {
        deliveries_.erase(std::remove(deliveries_.begin(), deliveries_.end(), *id), deliveries_.end());
        KIRQL dpc = ke::RaiseIrql(DISPATCH_LEVEL, "USB completion DPC");
        Deliver(std::move(*batch));
        ke::LowerIrql(dpc, "USB completion DPC");
      });
      deliveries_.push_back(*id);
    }
  }
  Plan();
  if (!moving_.empty() || !ending_.empty()) {
    if (!ticking_) ScheduleTick(now + shape_.length);
  }
  ke::LowerIrql(irql, "USB frame");
}

void FrameTiming::Deliver(std::vector<Moving> finished) {
  for (Moving& done : finished) {
    PURB urb = static_cast<PURB>(URB_FROM_IRP(done.irp));
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = done.answer.moved;
    CompleteUrb(done.irp, urb, done.answer.outcome);
    bus_.FinishInFlight(done.pipe);
  }
}

// Takes the transfer at the head of a pipe's queue if its device answers:
// its data move now. Needs the bus lock; releases it around the answer.
bool FrameTiming::StartNext(Pipe& pipe, const std::shared_ptr<Pipe>& shared) {
  if (pipe.queue.empty()) return false;
  PIRP head = pipe.queue.front();
  PURB urb = static_cast<PURB>(URB_FROM_IRP(head));
  std::optional<Outcome> gone = bus_.model.Gone();
  if (!gone && !bus_.model.CanAnswer(TransferOf(urb, pipe))) return false;  // NAK
  if (IoSetCancelRoutine(head, nullptr) == nullptr) return false;          // being cancelled
  pipe.queue.pop_front();
  pipe.inFlight++;
  Moving moving{head, shared, {}, 1};
  moving.answer = gone ? TransferAnswer{*gone, 0} : bus_.model.Answer(TransferOf(urb, pipe));
  if (moving.answer.outcome.status == STATUS_SUCCESS && moving.answer.moved > shape_.packetSize) {
    moving.packetsLeft = (moving.answer.moved + shape_.packetSize - 1) / shape_.packetSize;
  }
  moving_.push_back(std::move(moving));
  return true;
}

void FrameTiming::Plan() {
  uint32_t room = shape_.packetsPerFrame;
  KIRQL irql = bus_.Acquire();
  std::vector<std::shared_ptr<Pipe>> pipes = bus_.pipes;
  size_t count = pipes.size();
  if (count != 0) firstPipe_ %= count;
  // One packet per pipe in turn while the frame has room and a pipe moves.
  for (bool moved = true; room != 0 && moved && count != 0;) {
    moved = false;
    for (size_t turn = 0; turn < count && room != 0; ++turn) {
      const std::shared_ptr<Pipe>& pipe = pipes[(firstPipe_ + turn) % count];
      auto current = std::find_if(moving_.begin(), moving_.end(),
                                  [&](const Moving& m) { return m.pipe.get() == pipe.get(); });
      if (current == moving_.end()) {
        if (!StartNext(*pipe, pipe)) continue;
        current = moving_.end() - 1;
      }
      --room;
      moved = true;
      if (--current->packetsLeft == 0) {
        ending_.push_back(std::move(*current));
        moving_.erase(current);
      }
    }
  }
  if (count != 0) firstPipe_ = (firstPipe_ + 1) % count;
  bus_.Release(irql);
}

}  // namespace sim::usb
