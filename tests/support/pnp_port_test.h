/*
 * A port brought up the way Windows brings one up: the driver loaded, the
 * simulated USB bus with a scripted device of the expected layout, and the
 * Plug and Play manager calling SerialAddDevice and sending the requests
 * of the device's life to SerialPnp. The device's registry parameters are
 * set before Add() or Plug(); PortName is COM5 unless the test changes it.
 *
 * Tear-down closes a handle still open and removes a port still present,
 * then runs the end-of-test checks. Rebuild() does the same mid-test and
 * starts over on a fresh kernel, for sweeps.
 */
#pragma once

#include "driver/frame/dispatch.h"
#include "driver/frame/port.h"
#include "sim/cm/registry.h"
#include "sim/ex/pool.h"
#include "sim/io/driver.h"
#include "sim/io/file.h"
#include "sim/kernel.h"
#include "sim/ob/namespace.h"
#include "sim/pnp/manager.h"
#include "sim/pnp/pnp.h"
#include "sim/usb/bus.h"
#include "sim/usb/devices/scripted.h"
#include "support/kernel_test.h"

#include <memory>
#include <string>

class PnpPortTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    BringUp();
  }

  void TearDown() override {
    TakeDown();
    KernelTest::TearDown();
  }

  // Closes, removes and releases everything, runs the end-of-test checks
  // (which must find nothing), and starts again on a fresh kernel.
  void Rebuild(const std::string& what) {
    TakeDown();
    std::vector<sim::verifier::Finding> findings = sim::EndOfTest();
    EXPECT_TRUE(findings.empty()) << what << ": the simulated kernel reported:\n"
                                  << sim::verifier::Describe(findings);
    sim::Reset();
    BringUp();
  }

  NTSTATUS Add() { return manager_->AddDevice(driver_->Object()); }
  NTSTATUS Plug() { return manager_->Plug(driver_->Object()); }
  sim::pnp::Manager& Pnp() { return *manager_; }

  // The port device of this driver above the bus's PDO, or null.
  PDEVICE_OBJECT Device() const {
    for (PDEVICE_OBJECT device = bus_->Pdo()->AttachedDevice; device != nullptr; device = device->AttachedDevice) {
      if (device->DriverObject == driver_->Object()) return device;
    }
    return nullptr;
  }
  PortExtension* Port() const { return Device() != nullptr ? PortOf(Device()) : nullptr; }
  std::u16string NtName() const { return sim::ob::FromUnicode(&Port()->DeviceName); }

  // The device's hardware parameters key and its values.
  std::u16string Key() const { return sim::pnp::ParametersKey(bus_->Pdo()); }
  void SetPortName(const std::u16string& name) { sim::cm::SetString(Key(), u"PortName", name); }

  NTSTATUS OpenByName(const std::u16string& name) { return sim::io::FileHandle::OpenByName(name, &handle_); }

  static std::vector<sim::cm::Value> SerialComm() { return sim::cm::Values(sim::cm::DeviceMapKey(u"SERIALCOMM")); }
  static size_t EnabledComPorts() {
    size_t enabled = 0;
    for (const sim::pnp::Interface& found : sim::pnp::Interfaces(sim::pnp::kComPortInterface)) enabled += found.enabled;
    return enabled;
  }

  // Nothing of a port is left: no device above the PDO, no link, no
  // SERIALCOMM value, no enabled interface, no key handle, no pool.
  void ExpectNothingLeft(const std::string& when) {
    EXPECT_EQ(Device(), nullptr) << when << ": the port device is still attached";
    EXPECT_EQ(bus_->Pdo()->AttachedDevice, nullptr) << when;
    EXPECT_TRUE(sim::ob::Links().empty()) << when << ": a link is left, first "
                                          << sim::ob::Narrow(sim::ob::Links()[0].name);
    EXPECT_TRUE(SerialComm().empty()) << when << ": a SERIALCOMM value is left";
    EXPECT_EQ(EnabledComPorts(), 0u) << when << ": a COM-port interface is still enabled";
    EXPECT_EQ(sim::cm::OpenHandleCount(), 0u) << when << ": registry key handles left open";
    EXPECT_EQ(sim::pool::Outstanding().blocks, 0u) << when << ": pool left:\n" << sim::pool::DescribeOutstanding();
  }

  std::unique_ptr<sim::usb::ScriptedDevice> model_;
  std::unique_ptr<sim::usb::Bus> bus_;
  std::unique_ptr<sim::io::LoadedDriver> driver_;
  std::unique_ptr<sim::pnp::Manager> manager_;
  std::unique_ptr<sim::io::FileHandle> handle_;

 private:
  void BringUp() {
    model_ = std::make_unique<sim::usb::ScriptedDevice>();
    bus_ = std::make_unique<sim::usb::Bus>(*model_);
    driver_ = std::make_unique<sim::io::LoadedDriver>(DriverEntry);
    manager_ = std::make_unique<sim::pnp::Manager>(bus_->Pdo());
    SetPortName(u"COM5");
  }

  void TakeDown() {
    if (handle_ && handle_->IsOpen()) handle_->Close();
    handle_.reset();
    if (Device() != nullptr) {
      EXPECT_EQ(manager_->Remove(), STATUS_SUCCESS) << "removal at tear-down";
    }
    manager_.reset();
    bus_.reset();
    driver_.reset();
    model_.reset();
  }
};
