/*
 * A port above the simulated USB bus, as add-device leaves it (see
 * PortTest), with a scripted device of the expected layout unless the test
 * plugs in another. Start() configures the device as the start request does;
 * Open() and Close() go through the I/O manager as an application's handle
 * does. Tear-down closes a handle still open, then takes the port down the
 * way removal does.
 */
#pragma once

#include "driver/frame/dispatch.h"
#include "driver/frame/port.h"
#include "driver/usb/configure.h"
#include "sim/io/driver.h"
#include "sim/io/file.h"
#include "sim/ke/ke.h"
#include "sim/usb/bus.h"
#include "sim/usb/devices/scripted.h"
#include "support/kernel_test.h"
#include "support/port_setup.h"

#include <memory>

class UsbPortTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    if (!device_model_) device_model_ = std::make_unique<sim::usb::ScriptedDevice>();
    driver_ = std::make_unique<sim::io::LoadedDriver>(DriverEntry);
    bus_ = std::make_unique<sim::usb::Bus>(*device_model_);
    device_ = AddPort(driver_->Object(), bus_->Pdo());
    ASSERT_NE(device_, nullptr);
    port_ = PortOf(device_);
    ASSERT_EQ(port_->LowerDevice, bus_->Pdo());
  }

  void TearDown() override {
    if (handle_ && handle_->IsOpen()) handle_->Close();
    handle_.reset();
    if (device_ != nullptr) {
      EXPECT_TRUE(RemovePort(device_, bus_->Pdo())) << "requests, transfers or references still outstanding at removal";
    }
    bus_.reset();
    driver_.reset();
    KernelTest::TearDown();
  }

  // Plugs in another device model; call before UsbPortTest::SetUp.
  void Plug(std::unique_ptr<sim::usb::ScriptedDevice> model) { device_model_ = std::move(model); }

  NTSTATUS Start() { return ConfigureDevice(device_); }

  NTSTATUS Open() { return sim::io::FileHandle::Open(device_, &handle_); }

  NTSTATUS Close() { return handle_->Close(); }

  sim::usb::ScriptedDevice& Device() { return *device_model_; }
  LONG PendingIo() const { return __atomic_load_n(&port_->PendingIoCount, __ATOMIC_ACQUIRE); }

  std::unique_ptr<sim::usb::ScriptedDevice> device_model_;
  std::unique_ptr<sim::io::LoadedDriver> driver_;
  std::unique_ptr<sim::usb::Bus> bus_;
  std::unique_ptr<sim::io::FileHandle> handle_;
  PDEVICE_OBJECT device_ = nullptr;
  PortExtension* port_ = nullptr;
};
