/*
 * A function driver for tests of the simulated USB bus: a device of a test
 * driver attached above the bus's PDO, which sends URBs the two ways a
 * function driver does.
 *  - SubmitSync: IoBuildDeviceIoControlRequest with
 *    IOCTL_INTERNAL_USB_SUBMIT_URB, the URB in Argument1 of the next stack
 *    location, IofCallDriver, and a wait on the event if the call returned
 *    STATUS_PENDING.
 *  - UsbTransfer: the driver's own IRP (IoAllocateIrp), a completion routine
 *    invoked on success, error and cancel that records what it saw and
 *    returns STATUS_MORE_PROCESSING_REQUIRED, and IoFreeIrp at the end.
 * Plus builders for the URBs a serial-port driver sends.
 */
#pragma once

#include "driver/platform/platform.h"
#include "sim/usb/bus.h"
#include "support/test_driver.h"

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace test {

// --- URBs ----------------------------------------------------------------------------
// Each is zeroed and filled with exactly the fields a driver sets.
URB DescriptorRequest(UCHAR type, UCHAR index, PVOID buffer, ULONG length);
URB StatusRequest(PVOID buffer, ULONG length = 2);
URB AbortRequest(USBD_PIPE_HANDLE pipe);
URB ResetRequest(USBD_PIPE_HANDLE pipe);  // URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL
URB BulkRequest(USBD_PIPE_HANDLE pipe, ULONG flags, PVOID buffer, ULONG length);

// The pipe handles a completed select-configuration request holds, interface
// by interface, read by walking its interface records within its Length.
std::vector<std::vector<USBD_PIPE_INFORMATION>> PipesOf(PURB select);

class UsbFunction {
 public:
  explicit UsbFunction(sim::usb::Bus& bus);
  ~UsbFunction();
  UsbFunction(const UsbFunction&) = delete;
  UsbFunction& operator=(const UsbFunction&) = delete;

  PDEVICE_OBJECT Device() const { return device_; }
  PDEVICE_OBJECT Lower() const { return TestDriver::Lower(device_); }

  struct SyncResult {
    NTSTATUS returned;  // what IofCallDriver returned
    NTSTATUS status;    // the request's final status (the status block's if it waited)
    bool waited;        // IofCallDriver returned STATUS_PENDING and the caller waited
  };
  // Submits and waits, at the calling thread's IRQL.
  SyncResult SubmitSync(PURB urb);

  // Reads the first configuration (9 bytes, then wTotalLength), parses its
  // interfaces with USBD_ParseConfigurationDescriptorEx, builds the request
  // with USBD_CreateConfigurationRequestEx and submits it. The request is
  // returned for inspection (free it with ExFreePool); null on failure, with
  // the status in *status. A non-zero maximumTransferSize is asked for
  // every pipe instead of the library's default.
  PURB SelectFirstConfiguration(NTSTATUS* status, ULONG maximumTransferSize = 0);

 private:
  TestDriver driver_;
  PDEVICE_OBJECT device_;
};

// One bulk or interrupt transfer with the driver's own IRP.
class UsbTransfer {
 public:
  UsbTransfer(UsbFunction& function, USBD_PIPE_HANDLE pipe, ULONG flags, ULONG length);
  // Frees the IRP, unless a lower driver still holds it (then the
  // end-of-test check reports it).
  ~UsbTransfer();
  UsbTransfer(const UsbTransfer&) = delete;
  UsbTransfer& operator=(const UsbTransfer&) = delete;

  // Fills the URB again (TransferBufferLength back to the full length) and
  // sends the IRP down; returns what IofCallDriver returned.
  NTSTATUS Send();
  BOOLEAN Cancel() { return IoCancelIrp(irp_); }

  // Called inside the completion routine, after the record is written (a
  // reader resubmits from here with Send()).
  std::function<void(UsbTransfer&)> onComplete;

  // What the last completion saw.
  int Completions() const { return completions_.load(); }
  bool Outstanding() const { return outstanding_.load(); }
  NTSTATUS Status() const { return status_; }
  USBD_STATUS UrbStatus() const { return urbStatus_; }
  ULONG Moved() const { return moved_; }
  ULONG Flags() const { return urb_.UrbBulkOrInterruptTransfer.TransferFlags; }
  KIRQL CompletionIrql() const { return irql_; }
  std::thread::id CompletionThread() const { return thread_; }
  // What Send() returned when it was called from inside onComplete.
  const std::vector<NTSTATUS>& Resubmissions() const { return resubmissions_; }
  std::vector<uint8_t> Received() const { return {buffer_.begin(), buffer_.begin() + moved_}; }
  std::vector<uint8_t>& Buffer() { return buffer_; }
  PIRP Irp() const { return irp_; }

 private:
  static NTSTATUS NTAPI Completion(PDEVICE_OBJECT device, PIRP irp, PVOID context);

  UsbFunction& function_;
  USBD_PIPE_HANDLE pipe_;
  ULONG flags_;
  std::vector<uint8_t> buffer_;
  URB urb_;
  PIRP irp_;
  std::atomic<int> completions_{0};
  std::atomic<bool> outstanding_{false};
  NTSTATUS status_ = STATUS_PENDING;
  USBD_STATUS urbStatus_ = 0;
  ULONG moved_ = 0;
  KIRQL irql_ = 0;
  std::thread::id thread_;
  bool completing_ = false;  // onComplete is running
  std::vector<NTSTATUS> resubmissions_;
};

}  // namespace test
