#include "support/usb_function.h"

#include "sim/ke/ke.h"
#include "support/gtest.h"

#include <cstring>

namespace test {

URB DescriptorRequest(UCHAR type, UCHAR index, PVOID buffer, ULONG length) {
  URB urb;
  std::memset(&urb, 0, sizeof urb);
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, 0, buffer, nullptr,
                               length, nullptr);
  return urb;
}

URB StatusRequest(PVOID buffer, ULONG length) {
  URB urb;
  std::memset(&urb, 0, sizeof urb);
  UsbBuildGetStatusRequest(&urb, URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, buffer, nullptr, nullptr);
  urb.UrbControlGetStatusRequest.TransferBufferLength = length;
  return urb;
}

URB AbortRequest(USBD_PIPE_HANDLE pipe) {
  URB urb;
  std::memset(&urb, 0, sizeof urb);
  urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
  urb.UrbPipeRequest.PipeHandle = pipe;
  return urb;
}

URB ResetRequest(USBD_PIPE_HANDLE pipe) {
  URB urb = AbortRequest(pipe);
  urb.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  return urb;
}

URB BulkRequest(USBD_PIPE_HANDLE pipe, ULONG flags, PVOID buffer, ULONG length) {
  URB urb;
  std::memset(&urb, 0, sizeof urb);
  UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer, nullptr,
                                         length, flags, nullptr);
  return urb;
}

std::vector<std::vector<USBD_PIPE_INFORMATION>> PipesOf(PURB select) {
  std::vector<std::vector<USBD_PIPE_INFORMATION>> interfaces;
  auto base = reinterpret_cast<uint8_t*>(select);
  size_t offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  const size_t recordHead = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
  while (offset + recordHead <= select->UrbHeader.Length) {
    auto record = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(base + offset);
    if (record->Length < recordHead || offset + record->Length > select->UrbHeader.Length) break;
    std::vector<USBD_PIPE_INFORMATION> pipes;
    size_t room = (record->Length - recordHead) / sizeof(USBD_PIPE_INFORMATION);
    for (size_t p = 0; p < record->NumberOfPipes && p < room; ++p) pipes.push_back(record->Pipes[p]);
    interfaces.push_back(pipes);
    offset += record->Length;
  }
  return interfaces;
}

// --- UsbFunction ---------------------------------------------------------------------

UsbFunction::UsbFunction(sim::usb::Bus& bus) : device_(driver_.AddDevice(bus.Pdo())) {}

UsbFunction::~UsbFunction() {
  if (device_ != nullptr) TestDriver::RemoveDevice(device_);
}

UsbFunction::SyncResult UsbFunction::SubmitSync(PURB urb) {
  KEVENT event;
  IO_STATUS_BLOCK iosb;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, Lower(), nullptr, 0, nullptr, 0, TRUE, &event,
                                           &iosb);
  if (irp == nullptr) return {STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES, false};
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS returned = IofCallDriver(Lower(), irp);
  if (returned != STATUS_PENDING) return {returned, returned, false};
  KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
  return {returned, iosb.Status, true};
}

PURB UsbFunction::SelectFirstConfiguration(NTSTATUS* status, ULONG maximumTransferSize) {
  USB_CONFIGURATION_DESCRIPTOR head;
  URB read = DescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, &head, sizeof head);
  *status = SubmitSync(&read).status;
  if (*status == STATUS_SUCCESS && read.UrbControlDescriptorRequest.TransferBufferLength < sizeof head) {
    *status = STATUS_UNSUCCESSFUL;
  }
  if (*status != STATUS_SUCCESS) return nullptr;
  ULONG total = head.wTotalLength;
  auto configuration = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePool(NonPagedPool, total));
  read = DescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, configuration, total);
  *status = SubmitSync(&read).status;
  PURB select = nullptr;
  if (*status == STATUS_SUCCESS) {
    UCHAR count = configuration->bNumInterfaces;
    std::vector<USBD_INTERFACE_LIST_ENTRY> list(count + 1u, USBD_INTERFACE_LIST_ENTRY{nullptr, nullptr});
    for (UCHAR i = 0; i < count; ++i) {
      list[i].InterfaceDescriptor =
          USBD_ParseConfigurationDescriptorEx(configuration, configuration, i, -1, -1, -1, -1);
      if (list[i].InterfaceDescriptor == nullptr) break;
    }
    select = USBD_CreateConfigurationRequestEx(configuration, list.data());
    for (UCHAR i = 0; select != nullptr && maximumTransferSize != 0 && i < count; ++i) {
      PUSBD_INTERFACE_INFORMATION iface = list[i].Interface;
      for (ULONG pipe = 0; iface != nullptr && pipe < iface->NumberOfPipes; ++pipe) {
        iface->Pipes[pipe].MaximumTransferSize = maximumTransferSize;  // Pipes[] reaches past its declared element
      }
    }
    *status = select != nullptr ? SubmitSync(select).status : STATUS_INSUFFICIENT_RESOURCES;
  }
  ExFreePool(configuration);
  return select;
}

// --- UsbTransfer ---------------------------------------------------------------------

UsbTransfer::UsbTransfer(UsbFunction& function, USBD_PIPE_HANDLE pipe, ULONG flags, ULONG length)
    : function_(function),
      pipe_(pipe),
      flags_(flags),
      buffer_(length, 0),
      urb_(BulkRequest(pipe, flags, buffer_.data(), length)),
      irp_(IoAllocateIrp(static_cast<CCHAR>(function.Lower()->StackSize + 1), FALSE)) {
  EXPECT_NE(irp_, nullptr) << "IoAllocateIrp for a transfer";
}

UsbTransfer::~UsbTransfer() {
  if (irp_ != nullptr && !outstanding_) IoFreeIrp(irp_);
}

NTSTATUS UsbTransfer::Send() {
  urb_ = BulkRequest(pipe_, flags_, buffer_.data(), static_cast<ULONG>(buffer_.size()));
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.Others.Argument1 = &urb_;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  IoSetCompletionRoutine(irp_, Completion, this, TRUE, TRUE, TRUE);
  outstanding_ = true;
  NTSTATUS status = IofCallDriver(function_.Lower(), irp_);
  if (completing_) resubmissions_.push_back(status);
  return status;
}

NTSTATUS NTAPI UsbTransfer::Completion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  (void)device;
  auto self = static_cast<UsbTransfer*>(context);
  EXPECT_EQ(irp, self->irp_) << "the completion routine got another IRP";
  self->status_ = irp->IoStatus.Status;
  self->urbStatus_ = self->urb_.UrbHeader.Status;
  self->moved_ = self->urb_.UrbBulkOrInterruptTransfer.TransferBufferLength;
  self->irql_ = sim::ke::CurrentIrql();
  self->thread_ = std::this_thread::get_id();
  self->outstanding_ = false;
  if (self->onComplete) {
    self->completing_ = true;
    self->onComplete(*self);
    self->completing_ = false;
  }
  // Counted last: a test that polls the count from another thread then
  // sees everything the completion did.
  self->completions_++;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace test
