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

#include <memory>

class PortTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    driver_ = std::make_unique<sim::io::LoadedDriver>(DriverEntry);
    lower_ = std::make_unique<LowerDevice>();
    ASSERT_EQ(IoCreateDevice(driver_->Object(), sizeof(PortExtension), nullptr, FILE_DEVICE_SERIAL_PORT, 0, TRUE,
                             &device_),
              STATUS_SUCCESS);
    port_ = PortOf(device_);
    InitializePortRecord(port_, device_);
    NameLocks();
    port_->PhysicalDevice = lower_->Device();
    port_->LowerDevice = IoAttachDeviceToDeviceStack(device_, lower_->Device());
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
    IncrementIoCount(device_);
    port_->Started = TRUE;
  }

  void TearDown() override {
    if (device_ != nullptr) {
      EXPECT_EQ(DecrementIoCount(device_), 0) << "requests or references still outstanding at removal";
      IoDetachDevice(lower_->Device());
      IoDeleteDevice(device_);
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

 private:
  void NameLocks() {
    sim::ke::NameSpinLock(&port_->ReadQueueLock, "ReadQueueLock");
    sim::ke::NameSpinLock(&port_->RxBufferLock, "RxBufferLock");
    sim::ke::NameSpinLock(&port_->TimeoutsLock, "TimeoutsLock");
    sim::ke::NameSpinLock(&port_->WriteQueueLock, "WriteQueueLock");
    sim::ke::NameSpinLock(&port_->EventLock, "EventLock");
    sim::ke::NameSpinLock(&port_->IoCountLock, "IoCountLock");
  }
};
