#include "sim/usb/timing.h"

#include "sim/ke/clock.h"

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

int64_t FrameTiming::CompletionTime(const Transfer& transfer, int64_t since) {
  // The first frame whose schedule is still to be made.
  int64_t frame = (since + shape_.length - 1) / shape_.length * shape_.length;
  if (transfer.endpoint == 0) return frame + shape_.length + settings_.dpcLatency;

  uint32_t packets = transfer.length == 0 ? 1 : (transfer.length + shape_.packetSize - 1) / shape_.packetSize;
  std::lock_guard<std::mutex> hold(lock_);
  // Frames before this one are past: forget them.
  used_.erase(used_.begin(), used_.lower_bound(frame));
  for (;; frame += shape_.length) {
    uint32_t& taken = used_[frame];
    uint32_t room = shape_.packetsPerFrame - taken;
    if (room == 0) continue;
    if (taken == 0) ++framesUsed_;
    uint32_t now = packets < room ? packets : room;
    taken += now;
    packets -= now;
    if (packets == 0) return frame + shape_.length + settings_.dpcLatency;
  }
}

uint64_t FrameTiming::FramesUsed() const {
  std::lock_guard<std::mutex> hold(lock_);
  return framesUsed_;
}

}  // namespace sim::usb
