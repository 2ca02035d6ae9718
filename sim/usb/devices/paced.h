/*
 * A device with a pace of its own, for timing runs: on its first bulk IN
 * endpoint it sends a generated stream of a given length, producing it at
 * `inRate` bytes per second of virtual time; on its first bulk OUT endpoint
 * it takes bytes into a buffer of `outBuffer` bytes that it drains at
 * `outRate` bytes per second. A rate of 0 is as fast as the bus goes. It
 * NAKs an IN transfer while it has nothing to send and an OUT transfer
 * while its buffer has no room for it, and asks the bus to look again once
 * its pace has made data or room. What it sends and takes goes to the
 * observers, so a long run keeps no copy of the data.
 *
 * Used from the deterministic mode's one thread.
 */
#pragma once

#include "sim/usb/device_model.h"
#include "sim/usb/devices/layouts.h"

#include <cstdint>
#include <functional>

namespace sim::usb {

struct Pace {
  uint64_t inRate = 0;      // bytes/s the device produces; 0: unlimited
  uint64_t outRate = 0;     // bytes/s it drains from its OUT buffer; 0: unlimited
  uint32_t outBuffer = 4096;  // bytes its OUT buffer holds
};

class PacedDevice : public DeviceModel {
 public:
  // The stream's byte at an offset.
  using Generator = std::function<uint8_t(uint64_t offset)>;
  // IN bytes leaving the device (stream offset, length, virtual time), and
  // OUT bytes it took (in order).
  using InObserver = std::function<void(uint64_t offset, uint32_t length, int64_t time)>;
  using OutObserver = std::function<void(const uint8_t* bytes, uint32_t length)>;

  PacedDevice(Pace pace, Generator generator, Descriptors descriptors = layouts::Expected());
  ~PacedDevice() override;

  // Makes `bytes` more of the stream available to send, from now, at the pace.
  void Produce(uint64_t bytes);
  void ObserveIn(InObserver observer) { inObserver_ = std::move(observer); }
  void ObserveOut(OutObserver observer) { outObserver_ = std::move(observer); }
  uint64_t Sent() const { return sent_; }
  uint64_t Taken() const { return taken_; }

  const Descriptors& GetDescriptors() const override { return descriptors_; }
  bool CanAnswer(const Transfer& transfer) override;
  TransferAnswer Answer(const Transfer& transfer) override;

 private:
  uint64_t ProducedBy(int64_t time) const;
  uint64_t OutLevelAt(int64_t time) const;
  // Asks the bus to look again at `time`, when the pace has made progress.
  void WakeAt(int64_t time);

  const Descriptors descriptors_;
  const Pace pace_;
  const Generator generator_;
  InObserver inObserver_;
  OutObserver outObserver_;
  uint8_t bulkIn_ = 0;

  uint64_t target_ = 0;       // bytes of the stream to send in all so far
  uint64_t producedBase_ = 0; // bytes produced when the last Produce call came
  int64_t producedSince_ = 0; // and its time
  uint64_t sent_ = 0;
  uint64_t taken_ = 0;
  uint64_t outLevel_ = 0;     // bytes in the OUT buffer at outSince_
  int64_t outSince_ = 0;
  uint64_t wakeId_ = 0;       // a clock entry asking the bus to look again; 0 if none
  int64_t wakeAt_ = 0;
};

}  // namespace sim::usb
