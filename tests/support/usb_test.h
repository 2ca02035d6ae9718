/*
 * The base of tests of the simulated USB bus: a kernel test that plugs a
 * device model into a bus and puts a test function driver above its PDO.
 * Tear-down removes them, function driver first, before the end-of-test
 * checks.
 */
#pragma once

#include "sim/usb/bus.h"
#include "support/kernel_test.h"
#include "support/usb_function.h"

#include <memory>
#include <utility>

class UsbTest : public KernelTest {
 protected:
  // Makes the device model, plugs it into a fresh bus and attaches the
  // function driver; returns the model. What was plugged before is removed.
  template <class Model, class... Args>
  Model& Plug(Args&&... args) {
    Unplug();
    auto model = std::make_unique<Model>(std::forward<Args>(args)...);
    Model& plugged = *model;
    model_ = std::move(model);
    bus_ = std::make_unique<sim::usb::Bus>(plugged);
    function_ = std::make_unique<test::UsbFunction>(*bus_);
    return plugged;
  }

  // Plugs a device and selects its first configuration, as a function
  // driver's start does; in_ and out_ are then its first bulk pipes.
  template <class Model, class... Args>
  Model& Start(Args&&... args) {
    Model& device = Plug<Model>(std::forward<Args>(args)...);
    NTSTATUS status;
    PURB select = function_->SelectFirstConfiguration(&status);
    EXPECT_EQ(status, STATUS_SUCCESS) << "selecting the first configuration";
    if (select != nullptr) ExFreePool(select);
    in_ = bus_->PipeHandle(device.BulkIn());
    out_ = bus_->PipeHandle(device.BulkOut());
    return device;
  }

  void Unplug() {
    function_.reset();
    bus_.reset();
    model_.reset();
  }

  void TearDown() override {
    Unplug();
    KernelTest::TearDown();
  }

  sim::usb::Bus& bus() { return *bus_; }
  test::UsbFunction& function() { return *function_; }

  std::unique_ptr<sim::usb::DeviceModel> model_;
  std::unique_ptr<sim::usb::Bus> bus_;
  std::unique_ptr<test::UsbFunction> function_;
  USBD_PIPE_HANDLE in_ = nullptr;
  USBD_PIPE_HANDLE out_ = nullptr;
};
