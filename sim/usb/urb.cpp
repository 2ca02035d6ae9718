/*
 * IOCTL_INTERNAL_USB_SUBMIT_URB at the PDO: every URB is recorded, then
 * routed by its function. Control requests on the default pipe (device and
 * configuration descriptors, the device's status, selecting a
 * configuration) are answered here, at once or from the deferred queue as
 * the device's timing says; transfers, pipe aborts and pipe resets go to the
 * pipes.
 * Functions and IOCTLs the simulation does not implement are reported as
 * UnsupportedCall and fail with STATUS_NOT_SUPPORTED.
 *
 * Every request completes at DISPATCH_LEVEL, as the USB stack's do.
 */
#include "sim/usb/bus_state.h"

#include "sim/ke/ke.h"
#include "sim/verifier/verifier.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sim::usb {
namespace {

const Outcome kStall{STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
const Outcome kInvalid{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
const Outcome kNotSupported{STATUS_NOT_SUPPORTED, USBD_STATUS_NOT_SUPPORTED};

// A control read into the caller's buffer: as a real device does, a reply
// longer than the request gives what fits; TransferBufferLength becomes the
// number of bytes returned.
Outcome ControlRead(const ControlAnswer& answer, PVOID buffer, ULONG* length) {
  if (answer.outcome.status != STATUS_SUCCESS) {
    *length = 0;
    return answer.outcome;
  }
  ULONG returned = static_cast<ULONG>(std::min<size_t>(*length, answer.data.size()));
  if (returned != 0) std::memcpy(buffer, answer.data.data(), returned);
  *length = returned;
  return answer.outcome;
}

// The checks every control read URB gets: its size, a buffer for its
// length, and no MDL or linked URB (not simulated).
std::optional<Outcome> CheckControlRead(PURB urb, size_t size, PVOID buffer, PMDL mdl, ULONG length, PURB link) {
  if (urb->UrbHeader.Length != size || (buffer == nullptr && mdl == nullptr && length != 0)) return kInvalid;
  if (mdl != nullptr || link != nullptr) {
    char text[128];
    std::snprintf(text, sizeof text, "%s URB with %s", UrbFunctionName(urb->UrbHeader.Function),
                  link != nullptr ? "UrbLink set (linked URBs)" : "a TransferBufferMDL");
    verifier::Report(verifier::Rule::UnsupportedCall, text);
    return kNotSupported;
  }
  return std::nullopt;
}

UrbSeen Describe(PURB urb, const std::shared_ptr<Pipe>& pipe) {
  UrbSeen seen{urb->UrbHeader.Function, nullptr, 0, 0, 0, 0, 0};
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      seen.pipe = urb->UrbBulkOrInterruptTransfer.PipeHandle;
      seen.length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
      seen.flags = urb->UrbBulkOrInterruptTransfer.TransferFlags;
      break;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
      seen.pipe = urb->UrbPipeRequest.PipeHandle;
      break;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      seen.length = urb->UrbControlDescriptorRequest.TransferBufferLength;
      seen.descriptorType = urb->UrbControlDescriptorRequest.DescriptorType;
      seen.descriptorIndex = urb->UrbControlDescriptorRequest.Index;
      break;
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
      seen.length = urb->UrbControlGetStatusRequest.TransferBufferLength;
      break;
    default:
      break;
  }
  if (pipe) seen.endpoint = pipe->endpoint.address;
  return seen;
}

}  // namespace

NTSTATUS BusState::SubmitUrb(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  if (code != IOCTL_INTERNAL_USB_SUBMIT_URB) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "internal device control 0x%08lX at the USB PDO: only IOCTL_INTERNAL_USB_SUBMIT_URB "
                  "is simulated",
                  static_cast<unsigned long>(code));
    verifier::Report(verifier::Rule::UnsupportedCall, text);
    CompleteIrp(irp, STATUS_NOT_SUPPORTED);
    return STATUS_NOT_SUPPORTED;
  }
  auto urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
  if (urb == nullptr) {
    CompleteIrp(irp, STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  {
    USBD_PIPE_HANDLE handle = urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER
                                  ? urb->UrbBulkOrInterruptTransfer.PipeHandle
                              : urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE ||
                                        urb->UrbHeader.Function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL
                                  ? urb->UrbPipeRequest.PipeHandle
                                  : nullptr;
    KIRQL irql = Acquire();
    std::shared_ptr<Pipe> pipe = handle != nullptr ? FindPipeLocked(handle) : nullptr;
    Release(irql);
    std::lock_guard<std::mutex> hold(logLock);
    if (log.size() == kUrbLogLimit) log.pop_front();
    log.push_back(Describe(urb, pipe));
  }
  urb->UrbHeader.UsbdDeviceHandle = deviceHandle;

  // A device that has left the bus, or whose PDO was surprise-removed, gets
  // nothing more: every URB fails at once, as the hub fails them for a
  // device no longer connected to its port.
  std::optional<Outcome> gone = model.Gone();
  {
    KIRQL irql = Acquire();
    if (surpriseRemoved) gone = kDeviceGone;
    Release(irql);
  }
  if (gone) {
    ZeroTransferLength(urb);
    CompleteUrb(irp, urb, *gone);
    return gone->status;
  }

  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return SubmitTransfer(irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
      return AbortPipe(irp, urb);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
      return ResetPipe(irp, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
      if (ke::CurrentIrql() != PASSIVE_LEVEL) {
        verifier::Report(verifier::Rule::IrqlTooHigh, "URB_FUNCTION_SELECT_CONFIGURATION sent at IRQL " +
                                                          std::to_string(ke::CurrentIrql()) +
                                                          "; it must be sent at PASSIVE_LEVEL");
      }
      [[fallthrough]];
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE: {
      if (Realistic()) return QueueControl(irp);
      Outcome outcome = AnswerControl(urb);
      CompleteUrb(irp, urb, outcome);
      return outcome.status;
    }
    default: {
      char text[128];
      std::snprintf(text, sizeof text, "URB function %s (0x%04X) is not simulated by the USB bus",
                    UrbFunctionName(urb->UrbHeader.Function), urb->UrbHeader.Function);
      verifier::Report(verifier::Rule::UnsupportedCall, text);
      CompleteUrb(irp, urb, Failure(STATUS_NOT_SUPPORTED, USBD_STATUS_INVALID_URB_FUNCTION));
      return STATUS_NOT_SUPPORTED;
    }
  }
}

Outcome BusState::AnswerControl(PURB urb) {
  if (std::optional<Outcome> gone = model.Gone()) {
    if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
      urb->UrbControlDescriptorRequest.TransferBufferLength = 0;
    } else if (urb->UrbHeader.Function == URB_FUNCTION_GET_STATUS_FROM_DEVICE) {
      urb->UrbControlGetStatusRequest.TransferBufferLength = 0;
    }
    return *gone;
  }
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return SelectConfiguration(urb);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto& request = urb->UrbControlDescriptorRequest;
      if (auto refused = CheckControlRead(urb, sizeof request, request.TransferBuffer, request.TransferBufferMDL,
                                          request.TransferBufferLength, request.UrbLink)) {
        request.TransferBufferLength = 0;
        return *refused;
      }
      return ControlRead(model.GetDescriptor(request.DescriptorType, request.Index, request.LanguageId),
                         request.TransferBuffer, &request.TransferBufferLength);
    }
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE: {
      auto& request = urb->UrbControlGetStatusRequest;
      if (auto refused = CheckControlRead(urb, sizeof request, request.TransferBuffer, request.TransferBufferMDL,
                                          request.TransferBufferLength, request.UrbLink)) {
        request.TransferBufferLength = 0;
        return *refused;
      }
      // GET_STATUS to a device has wIndex 0; a device stalls anything else.
      ControlAnswer answer = request.Index == 0 ? model.GetStatus() : ControlAnswer{kStall, {}};
      return ControlRead(answer, request.TransferBuffer, &request.TransferBufferLength);
    }
    default:
      return kNotSupported;  // not routed here
  }
}

const char* UrbFunctionName(USHORT function) {
  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return "URB_FUNCTION_SELECT_CONFIGURATION";
    case URB_FUNCTION_SELECT_INTERFACE:
      return "URB_FUNCTION_SELECT_INTERFACE";
    case URB_FUNCTION_ABORT_PIPE:
      return "URB_FUNCTION_ABORT_PIPE";
    case URB_FUNCTION_CONTROL_TRANSFER:
      return "URB_FUNCTION_CONTROL_TRANSFER";
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER";
    case URB_FUNCTION_ISOCH_TRANSFER:
      return "URB_FUNCTION_ISOCH_TRANSFER";
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return "URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE";
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
      return "URB_FUNCTION_GET_STATUS_FROM_DEVICE";
    case URB_FUNCTION_VENDOR_DEVICE:
      return "URB_FUNCTION_VENDOR_DEVICE";
    case URB_FUNCTION_CLASS_INTERFACE:
      return "URB_FUNCTION_CLASS_INTERFACE";
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
      return "URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL";
    case URB_FUNCTION_GET_CONFIGURATION:
      return "URB_FUNCTION_GET_CONFIGURATION";
    default:
      return "URB function";
  }
}

}  // namespace sim::usb
