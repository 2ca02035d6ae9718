#include "sim/io/control_request.h"

#include "sim/io/io.h"

#include <algorithm>
#include <cstring>

namespace sim::io {

// Outlives the ControlRequest when a test lets go of a request the driver
// still holds: its completion still lands here.
struct ControlRequest::Shared {
  std::unique_ptr<uint8_t[]> systemBuffer;
  std::vector<uint8_t> output;  // the caller's output buffer
  bool copiedBack = false;
};

ControlRequest::ControlRequest(PDEVICE_OBJECT target, ULONG code, std::vector<uint8_t> input, ULONG outputLength)
    : Request(target, IRP_MJ_DEVICE_CONTROL), shared_(std::make_shared<Shared>()) {
  PIO_STACK_LOCATION stack = Stack();
  stack->Parameters.DeviceIoControl.IoControlCode = code;
  stack->Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(input.size());
  stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  shared_->output.assign(outputLength, 0xCD);

  size_t length = std::max<size_t>(input.size(), outputLength);
  if (length != 0) {
    // Beyond the input, whatever the pool gave: a driver must not rely on it.
    shared_->systemBuffer.reset(new uint8_t[length]);
    std::memset(shared_->systemBuffer.get(), 0xEE, length);
    if (!input.empty()) std::memcpy(shared_->systemBuffer.get(), input.data(), input.size());
    Irp()->AssociatedIrp.SystemBuffer = shared_->systemBuffer.get();
    Irp()->Flags |= IRP_BUFFERED_IO;
  }

  auto record = FindIrp(Irp(), "ControlRequest");
  std::function<void(PIRP)> signalCaller = std::move(record->onTop);
  std::shared_ptr<Shared> shared = shared_;
  record->onTop = [shared, signalCaller, outputLength](PIRP done) {
    if (shared->systemBuffer && !NT_ERROR(done->IoStatus.Status)) {
      size_t count = std::min<size_t>(done->IoStatus.Information, outputLength);
      if (count != 0) std::memcpy(shared->output.data(), shared->systemBuffer.get(), count);
      shared->output.resize(count);
    } else {
      shared->output.clear();
    }
    shared->copiedBack = true;
    signalCaller(done);
  };
}

ControlRequest::~ControlRequest() = default;

std::vector<uint8_t> ControlRequest::Output() const {
  return Completed() && shared_->copiedBack ? shared_->output : std::vector<uint8_t>{};
}

void ControlRequest::DropSystemBuffer() { Irp()->AssociatedIrp.SystemBuffer = nullptr; }

}  // namespace sim::io
