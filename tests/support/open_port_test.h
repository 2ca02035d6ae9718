/*
 * An open port on the simulated bus, with the requests an application
 * issues on its handle: control requests with their buffers, reads and
 * writes through direct I/O.
 */
#pragma once

#include "support/usb_port_test.h"

#include "sim/io/control_request.h"
#include "sim/io/transfer_request.h"

#include <cstring>
#include <memory>
#include <vector>

class OpenPortTest : public UsbPortTest {
 protected:
  void SetUp() override {
    UsbPortTest::SetUp();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(Open(), STATUS_SUCCESS);
  }

  // Sends a control request; `dispatched` gets what the driver returned.
  std::unique_ptr<sim::io::ControlRequest> Control(ULONG code, std::vector<uint8_t> input = {},
                                                   ULONG outputLength = 0, NTSTATUS* dispatched = nullptr) {
    auto request = std::make_unique<sim::io::ControlRequest>(device_, code, std::move(input), outputLength);
    NTSTATUS status = request->Send();
    if (dispatched != nullptr) *dispatched = status;
    return request;
  }

  std::unique_ptr<sim::io::ControlRequest> SetWaitMask(ULONG mask) {
    return Control(IOCTL_SERIAL_SET_WAIT_MASK, sim::io::BytesOf(mask));
  }
  std::unique_ptr<sim::io::ControlRequest> WaitOnMask(NTSTATUS* dispatched = nullptr) {
    return Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG), dispatched);
  }
  std::unique_ptr<sim::io::ControlRequest> Purge(ULONG flags) {
    return Control(IOCTL_SERIAL_PURGE, sim::io::BytesOf(flags));
  }

  std::unique_ptr<sim::io::TransferRequest> Read(ULONG length) {
    auto read = sim::io::TransferRequest::Read(device_, length);
    read->Send();
    return read;
  }
  std::unique_ptr<sim::io::TransferRequest> Write(std::vector<uint8_t> data) {
    auto write = sim::io::TransferRequest::Write(device_, std::move(data));
    write->Send();
    return write;
  }
};

// The ULONG a completed request returned.
inline ULONG ReturnedUlong(const sim::io::ControlRequest& request) {
  std::vector<uint8_t> output = request.Output();
  ULONG value = 0;
  if (output.size() >= sizeof value) std::memcpy(&value, output.data(), sizeof value);
  return value;
}
