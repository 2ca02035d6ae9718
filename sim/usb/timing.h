/*
 * A USB timing model for the simulated bus, as its completion policy:
 * bulk transfers move in packets, frame by frame, and complete at the end
 * of the frame that moves their last packet, as a host controller
 * schedules them.
 *
 *   full speed: frames of 1 ms, packets of 64 bytes, at most 19 bulk
 *               packets a frame (1,216,000 bytes/s on an idle bus);
 *   high speed: microframes of 125 us, packets of 512 bytes, at most 13 a
 *               microframe (53,248,000 bytes/s).
 *
 * A frame's schedule is made when the frame starts. A transfer the device
 * can answer takes the room left in the frames from the first one whose
 * schedule is still to be made, in the order the transfers come (a
 * transfer the device NAKs is not scheduled until it can answer); it needs
 * one packet per packet size of its length, at least one. A transfer that
 * arrives after a frame's schedule was made waits for the next frame; one
 * arriving exactly at a frame's start (a completion resubmitted at once)
 * is still in it. The transfer completes at the end of its last frame,
 * and its completion reaches the driver `dpcLatency` later. Control
 * requests complete at the end of their first frame, outside the bulk
 * packets' room. The device's data move when the transfer completes.
 *
 * Install it with DeviceModel::AnswerWith. Frames cost nothing while no
 * transfer is scheduled.
 */
#pragma once

#include "sim/usb/device_model.h"

#include <cstdint>
#include <map>
#include <mutex>

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

class FrameTiming : public CompletionPolicy {
 public:
  explicit FrameTiming(TimingSettings settings) : settings_(settings), shape_(ShapeOf(settings.speed)) {}

  int64_t CompletionTime(const Transfer& transfer, int64_t since) override;

  const TimingSettings& Settings() const { return settings_; }
  // Frames that have carried bulk packets so far.
  uint64_t FramesUsed() const;

 private:
  const TimingSettings settings_;
  const FrameShape shape_;
  mutable std::mutex lock_;           // guards the two below
  std::map<int64_t, uint32_t> used_;  // bulk packets taken, by frame start; past frames forgotten
  uint64_t framesUsed_ = 0;
};

}  // namespace sim::usb
