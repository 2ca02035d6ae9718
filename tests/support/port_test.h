/*
 * A port on the simulated kernel, as add-device leaves it: the driver
 * loaded, a port device with its record attached above a LowerDevice, the
 * names of its six locks known to the verifier, the baseline pending-I/O
 * reference taken and Started set. Tear-down drops the baseline, detaches
 * and deletes the device, then runs the end-of-test checks.
 */
#pragma once

#include "driver/frame/dispatch.h"
#include "driver/frame/port.h"
#include "sim/io/driver.h"
#include "sim/ke/ke.h"
#include "support/kernel_test.h"
#include "support/lower_device.h"
#include "support/port_setup.h"

#include <memory>

class PortTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    driver_ = std::make_unique<sim::io::LoadedDriver>(DriverEntry);
    lower_ = std::make_unique<LowerDevice>();
    device_ = AddPort(driver_->Object(), lower_->Device());
    ASSERT_NE(device_, nullptr);
    port_ = PortOf(device_);
    ASSERT_EQ(port_->LowerDevice, lower_->Device());
  }

  void TearDown() override {
    if (device_ != nullptr) {
      EXPECT_TRUE(RemovePort(device_, lower_->Device())) << "requests or references still outstanding at removal";
    }
    lower_.reset();
    driver_.reset();
    KernelTest::TearDown();
  }

  LONG PendingIo() const { return port_->PendingIoCount; }

  PDRIVER_OBJECT Driver() const { return driver_->Object(); }

  std::unique_ptr<sim::io::LoadedDriver> driver_;
  std::unique_ptr<LowerDevice> lower_;
  PDEVICE_OBJECT device_ = nullptr;
  PortExtension* port_ = nullptr;
};
