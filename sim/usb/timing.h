/*
 * A USB timing model for the simulated bus: bulk transfers move in packets,
 * frame by frame, and complete at the end of the frame that moved their last
 * packet, as a host controller schedules them.
 *
 *   full speed: frames of 1 ms, packets of 64 bytes, at most 19 bulk
 *               packets a frame (1,216,000 bytes/s on an idle bus);
 *   high speed: microframes of 125 us, packets of 512 bytes, at most 13 a
 *               microframe (53,248,000 bytes/s).
 *
 * A frame's schedule is made when the frame starts: the pipes take one
 * packet each in turn while the frame has room, a pipe whose device NAKs
 * (the model cannot answer its transfer) is passed over. A transfer's data
 * move with its first packet (the device model's Answer); the packets it
 * needs follow from the bytes moved, and a short or zero-length packet ends
 * an IN transfer. A transfer that arrives after a frame's schedule was made
 * waits for the next frame. A finished transfer's completion reaches the
 * driver `dpcLatency` after the end of its frame, at DISPATCH_LEVEL; a
 * completion with no latency reaches it before the next frame's schedule is
 * made, so the driver's resubmission can still be in it.
 *
 * Frames run on the virtual clock only while a transfer is moving or a
 * device has something to answer; an idle bus costs nothing and lets a wait
 * that nothing can satisfy be seen as such. Deterministic mode only.
 */
#pragma once

#include "driver/platform/platform.h"
#include "sim/usb/device_model.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace sim::usb {

enum class BusSpeed { Full, High };

struct FrameShape {
  int64_t length;            // virtual-clock units (100 ns)
  uint32_t packetSize;       // bytes of a full bulk packet
  uint32_t packetsPerFrame;  // bulk packets the frame has room for
};
FrameShape ShapeOf(BusSpeed speed);
// Bytes per second when every packet of every frame is full.
uint64_t PhysicalLimit(BusSpeed speed);
const char* SpeedName(BusSpeed speed);

struct TimingSettings {
  BusSpeed speed = BusSpeed::Full;
  int64_t dpcLatency = 0;  // virtual-clock units from the end of a frame to the completion
};

class BusState;
struct Pipe;

class FrameTiming {
 public:
  FrameTiming(BusState& bus, TimingSettings settings);
  ~FrameTiming();
  FrameTiming(const FrameTiming&) = delete;
  FrameTiming& operator=(const FrameTiming&) = delete;

  // A transfer was queued or a device may have something to answer: the
  // next frame to start will look. Called with no bus lock held.
  void Wake();
  // Drops every scheduled frame and completion; transfers still moving are
  // left to the bus's report.
  void Stop();

  const TimingSettings& Settings() const { return settings_; }
  uint64_t Frames() const { return frames_; }

 private:
  // A transfer taken off its pipe's queue and moving.
  struct Moving {
    PIRP irp;
    std::shared_ptr<Pipe> pipe;
    TransferAnswer answer;
    uint32_t packetsLeft;
  };

  void Tick();
  void Plan();
  bool StartNext(Pipe& pipe, const std::shared_ptr<Pipe>& shared);
  void Deliver(std::vector<Moving> finished);
  void ScheduleTick(int64_t at);

  BusState& bus_;
  const TimingSettings settings_;
  const FrameShape shape_;
  bool ticking_ = false;         // a frame start is on the clock
  uint64_t tickId_ = 0;
  size_t firstPipe_ = 0;         // the pipe that goes first in the next frame
  std::vector<Moving> moving_;   // transfers with packets still to move
  std::vector<Moving> ending_;   // transfers whose last packet moved in the running frame
  std::vector<uint64_t> deliveries_;  // clock entries of completions still to reach the driver
  uint64_t frames_ = 0;
};

}  // namespace sim::usb
