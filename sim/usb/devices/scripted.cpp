#include "sim/usb/devices/scripted.h"

#include <algorithm>

namespace sim::usb {

ScriptedDevice::ScriptedDevice(Descriptors descriptors) : descriptors_(std::move(descriptors)) {
  if (descriptors_.configurations.empty()) return;
  std::optional<ConfigurationInfo> first = ParseConfiguration(descriptors_.configurations[0]);
  if (!first) return;
  for (const InterfaceInfo& iface : first->interfaces) {
    for (const EndpointInfo& endpoint : iface.endpoints) {
      if ((endpoint.attributes & 3) != kBulk) continue;
      uint8_t& slot = (endpoint.address & kDirectionIn) ? bulkIn_ : bulkOut_;
      if (slot == 0) slot = endpoint.address;
    }
  }
}

// --- IN ------------------------------------------------------------------------------

void ScriptedDevice::SendIn(Bytes chunk) { SendIn(bulkIn_, std::move(chunk)); }

void ScriptedDevice::SendIn(uint8_t endpoint, Bytes chunk) {
  QueueIn(endpoint, std::move(chunk));
  Changed();
}

void ScriptedDevice::QueueIn(uint8_t endpoint, Bytes chunk) {
  std::lock_guard<std::mutex> hold(lock_);
  in_[endpoint].Push(std::move(chunk));
}

size_t ScriptedDevice::InWaiting() const {
  std::lock_guard<std::mutex> hold(lock_);
  auto found = in_.find(bulkIn_);
  return found == in_.end() ? 0 : found->second.Size();
}

// --- OUT -----------------------------------------------------------------------------

void ScriptedDevice::AcceptAllOut() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    outPolicy_ = OutPolicy::All;
  }
  Changed();
}

void ScriptedDevice::AcceptOutUpTo(uint32_t bytesPerTransfer) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    outPolicy_ = OutPolicy::UpTo;
    outLimit_ = bytesPerTransfer;
  }
  Changed();
}

void ScriptedDevice::HoldOut() {
  std::lock_guard<std::mutex> hold(lock_);
  outPolicy_ = OutPolicy::Hold;
}

void ScriptedDevice::ReleaseOut() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    outReleases_.push_back(std::nullopt);
  }
  Changed();
}

void ScriptedDevice::ReleaseOut(uint32_t accept) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    outReleases_.push_back(accept);
  }
  Changed();
}

void ScriptedDevice::TakeOutPart(uint32_t bytes) {
  std::lock_guard<std::mutex> hold(lock_);
  outPart_ = bytes;
}

uint32_t ScriptedDevice::Cut(const Transfer& transfer) {
  std::lock_guard<std::mutex> hold(lock_);
  if (transfer.In() || gone_) return 0;
  uint32_t moved = std::min(outPart_, transfer.length);
  outPart_ = 0;
  if (outObserver_) {
    outObserver_(transfer.buffer, moved);
  } else {
    out_.insert(out_.end(), transfer.buffer, transfer.buffer + moved);
  }
  return moved;
}

Bytes ScriptedDevice::OutBytes() const {
  std::lock_guard<std::mutex> hold(lock_);
  return out_;
}

void ScriptedDevice::ObserveOut(std::function<void(const uint8_t*, size_t)> observer) {
  std::lock_guard<std::mutex> hold(lock_);
  outObserver_ = std::move(observer);
}

// --- Failures ------------------------------------------------------------------------

void ScriptedDevice::FailNextTransfer(uint8_t endpoint, NTSTATUS status, USBD_STATUS usbd) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    transferFailures_[endpoint].push_back(Failure(status, usbd));
  }
  Changed();
}

void ScriptedDevice::FailDescriptor(uint8_t type, NTSTATUS status, USBD_STATUS usbd) {
  std::lock_guard<std::mutex> hold(lock_);
  descriptorFailures_[type] = Failure(status, usbd);
}

void ScriptedDevice::LimitDescriptor(uint8_t type, size_t maxBytes) {
  std::lock_guard<std::mutex> hold(lock_);
  descriptorLimits_[type] = maxBytes;
}

void ScriptedDevice::FailGetStatus(NTSTATUS status, USBD_STATUS usbd) {
  std::lock_guard<std::mutex> hold(lock_);
  statusFailure_ = Failure(status, usbd);
}

void ScriptedDevice::FailSetConfiguration(NTSTATUS status, USBD_STATUS usbd) {
  std::lock_guard<std::mutex> hold(lock_);
  configurationFailure_ = Failure(status, usbd);
}

void ScriptedDevice::SetStatusWord(uint16_t status) {
  std::lock_guard<std::mutex> hold(lock_);
  statusWord_ = status;
}

void ScriptedDevice::Unplug(NTSTATUS status) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    gone_ = Failure(status, USBD_STATUS_DEVICE_GONE);
  }
  Changed();
}

uint8_t ScriptedDevice::ConfigurationValue() const {
  std::lock_guard<std::mutex> hold(lock_);
  return configuration_;
}

// --- DeviceModel ---------------------------------------------------------------------

ControlAnswer ScriptedDevice::GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId) {
  ControlAnswer answer = DeviceModel::GetDescriptor(type, index, languageId);
  std::lock_guard<std::mutex> hold(lock_);
  if (auto failure = descriptorFailures_.find(type); failure != descriptorFailures_.end()) {
    return {failure->second, {}};
  }
  if (auto limit = descriptorLimits_.find(type);
      limit != descriptorLimits_.end() && answer.data.size() > limit->second) {
    answer.data.resize(limit->second);
  }
  return answer;
}

ControlAnswer ScriptedDevice::GetStatus() {
  std::lock_guard<std::mutex> hold(lock_);
  if (statusFailure_) return {*statusFailure_, {}};
  return {Success(), {static_cast<uint8_t>(statusWord_ & 0xFF), static_cast<uint8_t>(statusWord_ >> 8)}};
}

Outcome ScriptedDevice::SetConfiguration(uint8_t value) {
  std::lock_guard<std::mutex> hold(lock_);
  if (configurationFailure_) return *configurationFailure_;
  configuration_ = value;
  return Success();
}

bool ScriptedDevice::CanAnswer(const Transfer& transfer) {
  std::lock_guard<std::mutex> hold(lock_);
  if (gone_) return true;
  if (auto failures = transferFailures_.find(transfer.endpoint);
      failures != transferFailures_.end() && !failures->second.empty()) {
    return true;
  }
  if (transfer.In()) {
    auto fifo = in_.find(transfer.endpoint);
    return fifo != in_.end() && !fifo->second.Empty();
  }
  return outPolicy_ != OutPolicy::Hold || !outReleases_.empty();
}

TransferAnswer ScriptedDevice::Answer(const Transfer& transfer) {
  std::lock_guard<std::mutex> hold(lock_);
  if (gone_) return {*gone_, 0};
  if (auto failures = transferFailures_.find(transfer.endpoint);
      failures != transferFailures_.end() && !failures->second.empty()) {
    Outcome failure = failures->second.front();
    failures->second.pop_front();
    return {failure, 0};
  }
  if (transfer.In()) return in_[transfer.endpoint].Fill(transfer);

  uint32_t accepted = transfer.length;
  if (outPolicy_ == OutPolicy::UpTo) accepted = std::min(accepted, outLimit_);
  if (outPolicy_ == OutPolicy::Hold && !outReleases_.empty()) {
    if (outReleases_.front()) accepted = std::min(accepted, *outReleases_.front());
    outReleases_.pop_front();
  }
  accepted = std::max(accepted, std::min(outPart_, transfer.length));  // what it took already stays taken
  outPart_ = 0;
  if (outObserver_) {
    outObserver_(transfer.buffer, accepted);
  } else {
    out_.insert(out_.end(), transfer.buffer, transfer.buffer + accepted);
  }
  return {Success(), accepted};
}

std::optional<Outcome> ScriptedDevice::Gone() const {
  std::lock_guard<std::mutex> hold(lock_);
  return gone_;
}

}  // namespace sim::usb
