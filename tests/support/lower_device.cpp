#include "support/lower_device.h"

LowerDevice::LowerDevice() : driver_(std::make_unique<sim::io::LoadedDriver>(Entry)) {
  IoCreateDevice(driver_->Object(), sizeof(LowerDevice*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_);
  *static_cast<LowerDevice**>(device_->DeviceExtension) = this;
  device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

LowerDevice::~LowerDevice() { IoDeleteDevice(device_); }

NTSTATUS NTAPI LowerDevice::Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) driver->MajorFunction[major] = Dispatch;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI LowerDevice::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  LowerDevice* self = *static_cast<LowerDevice**>(device->DeviceExtension);
  if (self->onArrival_) self->onArrival_(irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  self->seen_.push_back({stack->MajorFunction, stack->MinorFunction, irp->IoStatus.Status,
                         stack->CompletionRoutine != nullptr, *stack, irp});
  if (self->hold_) {
    IoMarkIrpPending(irp);
    self->held_.push_back(irp);
    return STATUS_PENDING;
  }
  NTSTATUS status = self->status_;
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void LowerDevice::CompleteHeld(NTSTATUS status) {
  PIRP irp = held_.front();
  held_.erase(held_.begin());
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}
