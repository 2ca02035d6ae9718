/*
 * The world most scenarios start from: the driver loaded, a scripted device
 * on the simulated bus, the port plugged in by the Plug and Play manager
 * (add, start, capabilities) under the name COM5, and usually an open
 * handle. The device answers from the bus's DPC (deferred timing) once
 * the explored part starts. Requests sent by the actors are
 * kept with a label, so that the checks can say which one went wrong.
 *
 * Tear-down is the rest of a device life: the handle closed if it is still
 * open, the device removed if it is still there; then nothing of the port
 * may be left.
 */
#pragma once

#include "explore/scenario.h"

#include "driver/frame/dispatch.h"
#include "driver/frame/port.h"
#include "sim/cm/registry.h"
#include "sim/explore/hook.h"
#include "sim/io/control_request.h"
#include "sim/io/driver.h"
#include "sim/io/file.h"
#include "sim/io/transfer_request.h"
#include "sim/ob/namespace.h"
#include "sim/pnp/manager.h"
#include "sim/pnp/pnp.h"
#include "sim/usb/bus.h"
#include "sim/usb/devices/scripted.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace explore {

// A request an actor sent, with what it is called in messages.
struct Sent {
  std::string what;
  std::unique_ptr<sim::io::Request> request;
  std::vector<uint8_t> data;  // a write's bytes
};

class PortWorld : public Scenario {
 public:
  void SetUp(Problems& problems) override {
    BringUp(problems);
    if (!problems.empty()) return;
    if (openAtStart_ && Open() != STATUS_SUCCESS) problems.push_back("the port does not open");
    Prepare(problems);
    model_->AnswerLater();
  }

  void TearDown(Problems& problems) override {
    if (handle_ && handle_->IsOpen()) handle_->Close();
    handle_.reset();
    if (Port() != nullptr && manager_->Remove() != STATUS_SUCCESS) problems.push_back("removal failed");
    if (Port() != nullptr) problems.push_back("the port device is still attached after removal");
    if (!sim::ob::Links().empty()) problems.push_back("a symbolic link is left after removal");
    sent_.clear();
    manager_.reset();
    bus_.reset();
    driver_.reset();
    model_.reset();
  }

 protected:
  // What the scenario adds to the starting point (time-outs, requests).
  virtual void Prepare(Problems& problems) { (void)problems; }

  void BringUp(Problems& problems) {
    model_ = std::make_unique<sim::usb::ScriptedDevice>();
    bus_ = std::make_unique<sim::usb::Bus>(*model_);
    driver_ = std::make_unique<sim::io::LoadedDriver>(DriverEntry);
    manager_ = std::make_unique<sim::pnp::Manager>(bus_->Pdo());
    sim::cm::SetString(sim::pnp::ParametersKey(bus_->Pdo()), u"PortName", u"COM5");
    if (manager_->Plug(driver_->Object()) != STATUS_SUCCESS || Port() == nullptr) {
      problems.push_back("the port does not start");
    }
  }

  // The port device above the bus's PDO, or null once removed.
  PDEVICE_OBJECT PortDevice() const {
    for (PDEVICE_OBJECT device = bus_->Pdo()->AttachedDevice; device != nullptr; device = device->AttachedDevice) {
      if (device->DriverObject == driver_->Object()) return device;
    }
    return nullptr;
  }
  PortExtension* Port() const { return PortDevice() != nullptr ? PortOf(PortDevice()) : nullptr; }

  NTSTATUS Open() { return sim::io::FileHandle::Open(PortDevice(), &handle_); }
  NTSTATUS Close() {
    NTSTATUS status = handle_->Close();
    closed_ = true;
    return status;
  }

  // Requests as an application sends them; none is waited for here.
  sim::io::TransferRequest& Read(std::string what, ULONG length) {
    auto read = sim::io::TransferRequest::Read(PortDevice(), length);
    sim::io::TransferRequest& kept = *read;
    sent_.push_back({std::move(what), std::move(read), {}});
    kept.Send();
    return kept;
  }
  sim::io::TransferRequest& Write(std::string what, std::vector<uint8_t> data) {
    auto write = sim::io::TransferRequest::Write(PortDevice(), data);
    sim::io::TransferRequest& kept = *write;
    sent_.push_back({std::move(what), std::move(write), std::move(data)});
    kept.Send();
    return kept;
  }
  sim::io::ControlRequest& Control(std::string what, ULONG code, std::vector<uint8_t> input = {},
                                   ULONG outputLength = 0) {
    auto request = std::make_unique<sim::io::ControlRequest>(PortDevice(), code, std::move(input), outputLength);
    sim::io::ControlRequest& kept = *request;
    sent_.push_back({std::move(what), std::move(request), {}});
    kept.Send();
    return kept;
  }
  // A control request sent and finished in the set-up.
  NTSTATUS ControlNow(ULONG code, std::vector<uint8_t> input) {
    sim::io::ControlRequest request(PortDevice(), code, std::move(input), 0);
    request.Send();
    return request.Await() ? request.Status() : STATUS_PENDING;
  }
  NTSTATUS SetTimeouts(const SERIAL_TIMEOUTS& timeouts) {
    return ControlNow(IOCTL_SERIAL_SET_TIMEOUTS, sim::io::BytesOf(timeouts));
  }

  // What the receive buffer holds now (at most `length` bytes), read by a
  // read that times out after 1 ms; nullopt if that read never ends.
  std::optional<std::vector<uint8_t>> Drain(ULONG length) {
    SERIAL_TIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = 1;
    if (SetTimeouts(timeouts) != STATUS_SUCCESS) return std::nullopt;
    auto read = sim::io::TransferRequest::Read(PortDevice(), length);
    read->Send();
    if (!read->Await()) return std::nullopt;
    return read->Transferred();
  }

  // The device leaves the bus, then the Plug and Play manager tells the driver.
  void Unplug() {
    model_->Unplug(STATUS_DEVICE_NOT_CONNECTED);
    manager_->SurpriseRemove();
  }
  // As the Plug and Play manager does: removal once the last handle is closed.
  void RemoveAfterClose() {
    sim::explore::BlockUntil("the PnP manager's wait for the last handle", [this] { return closed_.load(); });
    manager_->Remove();
  }

  // --- Checks ---------------------------------------------------------------------
  void ExpectEveryRequestEnded(Problems& problems, const std::string& when) const {
    for (const Sent& sent : sent_) {
      if (!sent.request->Completed()) problems.push_back(sent.what + " is still pending " + when);
    }
  }
  void ExpectStatusAmong(Problems& problems, const Sent& sent, std::initializer_list<NTSTATUS> allowed) const {
    if (!sent.request->Completed()) return;
    for (NTSTATUS status : allowed) {
      if (sent.request->Status() == status) return;
    }
    char text[64];
    std::snprintf(text, sizeof text, " ended with status 0x%08X", static_cast<unsigned>(sent.request->Status()));
    problems.push_back(sent.what + text);
  }
  // Nothing of the port outstanding: the reader stopped, no transfer on the
  // bus, the count at its baseline.
  void ExpectPortIdle(Problems& problems, const std::string& when) const {
    if (bus_->Queued(model_->BulkIn()) != 0) problems.push_back("a bulk-in transfer is left on the bus " + when);
    if (bus_->Queued(model_->BulkOut()) != 0) problems.push_back("a bulk-out transfer is left on the bus " + when);
    if (Port() != nullptr && Port()->PendingIoCount != 1) {
      problems.push_back("the pending-I/O count is " + std::to_string(Port()->PendingIoCount) + " " + when +
                         ", expected the baseline 1");
    }
  }
  // What the device took is the start of what the writes sent, in order,
  // and each write reports no more than it sent.
  void ExpectOutStreamIntact(Problems& problems) const {
    std::vector<uint8_t> expected;
    for (const Sent& sent : sent_) expected.insert(expected.end(), sent.data.begin(), sent.data.end());
    std::vector<uint8_t> out = model_->OutBytes();
    if (out.size() > expected.size() || !std::equal(out.begin(), out.end(), expected.begin())) {
      problems.push_back("the device received " + std::to_string(out.size()) +
                         " bytes that are not the start of what was written");
    }
    size_t reported = 0;
    for (const Sent& sent : sent_) {
      if (sent.data.empty() || !sent.request->Completed()) continue;
      reported += sent.request->Information();
      if (sent.request->Status() == STATUS_SUCCESS && sent.request->Information() != sent.data.size()) {
        problems.push_back(sent.what + " succeeded having written " + std::to_string(sent.request->Information()) +
                           " of " + std::to_string(sent.data.size()) + " bytes");
      }
    }
    if (reported > out.size()) {
      problems.push_back("the writes report " + std::to_string(reported) + " bytes written, the device took " +
                         std::to_string(out.size()));
    }
  }

  bool openAtStart_ = true;
  std::unique_ptr<sim::usb::ScriptedDevice> model_;
  std::unique_ptr<sim::usb::Bus> bus_;
  std::unique_ptr<sim::io::LoadedDriver> driver_;
  std::unique_ptr<sim::pnp::Manager> manager_;
  std::unique_ptr<sim::io::FileHandle> handle_;
  std::vector<Sent> sent_;
  std::atomic<bool> closed_{false};
};

// Numbered bytes, different from one stream to the next.
inline std::vector<uint8_t> Stream(size_t length, uint8_t first) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(first + i * 7);
  return bytes;
}

}  // namespace explore
