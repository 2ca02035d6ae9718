#include "sim/usb/devices/paced.h"

#include "sim/ke/clock.h"

#include <algorithm>

namespace sim::usb {
namespace {

constexpr int64_t kUnitsPerSecond = 1000 * clock::kUnitsPerMs;

// Whole bytes a pace makes in `units` of virtual time (in two parts, so
// that nothing overflows 64 bits for any sensible rate).
uint64_t BytesIn(uint64_t rate, int64_t units) {
  auto whole = static_cast<uint64_t>(units / kUnitsPerSecond);
  auto part = static_cast<uint64_t>(units % kUnitsPerSecond);
  return whole * rate + part * rate / kUnitsPerSecond;
}

// The time from which a pace has made `bytes`.
int64_t TimeFor(uint64_t rate, uint64_t bytes) {
  uint64_t whole = bytes / rate;
  uint64_t part = bytes % rate;
  return static_cast<int64_t>(whole * kUnitsPerSecond + (part * kUnitsPerSecond + rate - 1) / rate);
}

}  // namespace

PacedDevice::PacedDevice(Pace pace, Generator generator, Descriptors descriptors)
    : descriptors_(std::move(descriptors)), pace_(pace), generator_(std::move(generator)) {
  if (!descriptors_.configurations.empty()) {
    if (std::optional<ConfigurationInfo> first = ParseConfiguration(descriptors_.configurations[0])) {
      for (const InterfaceInfo& iface : first->interfaces) {
        for (const EndpointInfo& endpoint : iface.endpoints) {
          if ((endpoint.attributes & 3) == kBulk && (endpoint.address & kDirectionIn) && bulkIn_ == 0) {
            bulkIn_ = endpoint.address;
          }
        }
      }
    }
  }
}

PacedDevice::~PacedDevice() {
  if (wakeId_ != 0) clock::Cancel(wakeId_);
}

void PacedDevice::Produce(uint64_t bytes) {
  int64_t now = clock::Now();
  producedBase_ = ProducedBy(now);
  producedSince_ = now;
  target_ += bytes;
  Changed();
}

uint64_t PacedDevice::ProducedBy(int64_t time) const {
  if (pace_.inRate == 0) return target_;
  return std::min(target_, producedBase_ + BytesIn(pace_.inRate, time - producedSince_));
}

uint64_t PacedDevice::OutLevelAt(int64_t time) const {
  if (pace_.outRate == 0) return 0;
  uint64_t drained = BytesIn(pace_.outRate, time - outSince_);
  return outLevel_ > drained ? outLevel_ - drained : 0;
}

void PacedDevice::WakeAt(int64_t time) {
  if (wakeId_ != 0 && wakeAt_ <= time) return;
  if (wakeId_ != 0) clock::Cancel(wakeId_);
  wakeAt_ = time;
  wakeId_ = clock::Schedule(time, [this] {
    wakeId_ = 0;
    Changed();
  });
}

bool PacedDevice::CanAnswer(const Transfer& transfer) {
  int64_t now = clock::Now();
  if (transfer.In()) {
    if (transfer.endpoint != bulkIn_) return false;
    uint64_t produced = ProducedBy(now);
    if (produced > sent_) return true;
    if (produced < target_) WakeAt(producedSince_ + TimeFor(pace_.inRate, sent_ + 1 - producedBase_));
    return false;  // NAK: nothing to send yet
  }
  uint64_t level = OutLevelAt(now);
  if (level + transfer.length <= pace_.outBuffer || level == 0) return true;
  // NAK until the buffer has drained enough to take the whole transfer.
  WakeAt(now + TimeFor(pace_.outRate, level + transfer.length - pace_.outBuffer));
  return false;
}

TransferAnswer PacedDevice::Answer(const Transfer& transfer) {
  int64_t now = clock::Now();
  if (transfer.In()) {
    uint64_t ready = ProducedBy(now) - sent_;
    auto length = static_cast<uint32_t>(std::min<uint64_t>(ready, transfer.length));
    for (uint32_t i = 0; i < length; ++i) transfer.buffer[i] = generator_(sent_ + i);
    if (inObserver_ && length != 0) inObserver_(sent_, length, now);
    sent_ += length;
    return {Success(), length};
  }
  outLevel_ = OutLevelAt(now) + transfer.length;
  outSince_ = now;
  taken_ += transfer.length;
  if (outObserver_) outObserver_(transfer.buffer, transfer.length);
  return {Success(), transfer.length};
}

}  // namespace sim::usb
