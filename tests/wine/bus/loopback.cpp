/*
 * The child's USB behaviour: descriptors, configuration, status, pipe
 * aborts and resets, and bulk transfers. Every byte of a bulk OUT transfer comes back
 * on the bulk IN pipe, in order. Bulk and interrupt transfers pend; a
 * worker thread ends them as a host controller would, later and from
 * another thread, never inside the submitting call. Pending transfers can
 * be cancelled, aborted by pipe, and fail when the device is unplugged.
 */
#include "tests/wine/bus/testbus.h"

// Documented for kernel callers, but not declared by the platform's DDK headers.
extern "C" NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout);

namespace {

const UCHAR kDeviceDescriptor[18] = {
    18, 1, 0x00, 0x02,  // bLength, DEVICE, bcdUSB 2.00
    0, 0, 0, 64,        // class, subclass, protocol per interface; control packet 64
    0x09, 0x12,         // idVendor 0x1209
    0x01, 0x00,         // idProduct 0x0001
    0x00, 0x01,         // bcdDevice 1.00
    0, 0, 0, 1,         // no strings; one configuration
};

const UCHAR kConfigurationDescriptor[48] = {
    9, 2, 48, 0, 2, 1, 0, 0x80, 50,  // two interfaces, configuration 1, bus powered, 100 mA
    9, 4, 0, 0, 1, 0xFF, 0, 0, 0,    // interface 0: one endpoint
    7, 5, 0x81, 3, 64, 0, 10,        //   interrupt IN
    9, 4, 1, 0, 2, 0xFF, 0, 0, 0,    // interface 1: two endpoints
    7, 5, 0x02, 2, 64, 0, 0,         //   bulk OUT
    7, 5, 0x82, 2, 64, 0, 0,         //   bulk IN
};

constexpr UCHAR kBulkOut = 0x02;
constexpr UCHAR kBulkIn = 0x82;

PURB UrbOf(PIRP irp) { return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1); }

NTSTATUS EndUrb(PIRP irp, NTSTATUS status, USBD_STATUS usbStatus) {
  UrbOf(irp)->UrbHeader.Status = usbStatus;
  return CompleteRequest(irp, status, 0);
}

NTSTATUS EndGone(PIRP irp) { return EndUrb(irp, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE); }

PUCHAR BufferOf(PVOID buffer, PMDL mdl) {
  if (buffer != nullptr) return static_cast<PUCHAR>(buffer);
  if (mdl != nullptr) return static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  return nullptr;
}

LoopbackPipe* PipeOf(ChildExtension* child, USBD_PIPE_HANDLE handle) {
  for (ULONG i = 0; i < kPipeCount; ++i) {
    if (handle == reinterpret_cast<USBD_PIPE_HANDLE>(&child->pipes[i])) return &child->pipes[i];
  }
  return nullptr;
}

LoopbackPipe* TransferPipe(ChildExtension* child, PIRP irp) {
  return PipeOf(child, UrbOf(irp)->UrbBulkOrInterruptTransfer.PipeHandle);
}

// --- Pending transfers ---------------------------------------------------------------

VOID NTAPI CancelTransfer(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto* child = static_cast<ChildExtension*>(irp->Tail.Overlay.DriverContext[0]);
  KIRQL irql;
  KeAcquireSpinLock(&child->lock, &irql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&child->lock, irql);
  UrbOf(irp)->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
  EndUrb(irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
}

// Takes a pending transfer off the list, under the lock, for the caller to
// end. A transfer whose cancel routine is already on its way is left to it
// (its list entry made harmless to remove) and FALSE is returned.
BOOLEAN TakeTransfer(PIRP irp) {
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    return FALSE;
  }
  return TRUE;
}

// Takes every pending transfer (of one pipe, or all when pipe is null) into
// `taken`, under the lock.
VOID TakeAll(ChildExtension* child, LoopbackPipe* pipe, PLIST_ENTRY taken) {
  PLIST_ENTRY entry = child->pending.Flink;
  while (entry != &child->pending) {
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    entry = entry->Flink;
    if (pipe != nullptr && TransferPipe(child, irp) != pipe) continue;
    if (TakeTransfer(irp)) InsertTailList(taken, &irp->Tail.Overlay.ListEntry);
  }
}

VOID EndAll(PLIST_ENTRY taken, NTSTATUS status, USBD_STATUS usbStatus) {
  while (!IsListEmpty(taken)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(taken), IRP, Tail.Overlay.ListEntry);
    UrbOf(irp)->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    EndUrb(irp, status, usbStatus);
  }
}

NTSTATUS QueueTransfer(ChildExtension* child, PIRP irp) {
  KIRQL irql;
  KeAcquireSpinLock(&child->lock, &irql);
  if (child->gone) {
    KeReleaseSpinLock(&child->lock, irql);
    return EndGone(irp);
  }
  irp->Tail.Overlay.DriverContext[0] = child;
  (void)IoSetCancelRoutine(irp, CancelTransfer);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    KeReleaseSpinLock(&child->lock, irql);
    return EndUrb(irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
  }
  IoMarkIrpPending(irp);
  InsertTailList(&child->pending, &irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&child->lock, irql);
  KeSetEvent(&child->wake, IO_NO_INCREMENT, FALSE);
  return STATUS_PENDING;
}

// --- The device's data path ---------------------------------------------------------------

// Moves a bulk transfer's bytes in or out of the loopback store, under the
// lock; FALSE when it cannot move now (OUT: no room for all of it; IN:
// nothing to send).
BOOLEAN Serve(ChildExtension* child, PIRP irp, UCHAR address) {
  auto& transfer = UrbOf(irp)->UrbBulkOrInterruptTransfer;
  PUCHAR buffer = BufferOf(transfer.TransferBuffer, transfer.TransferBufferMDL);
  ULONG length = transfer.TransferBufferLength;
  if (address == kBulkOut) {
    if (kLoopbackCapacity - child->count < length) return FALSE;
    for (ULONG i = 0; i < length; ++i) {
      child->data[(child->head + child->count + i) % kLoopbackCapacity] = buffer[i];
    }
    child->count += length;
    return TRUE;
  }
  if (child->count == 0) return FALSE;
  ULONG moved = length < child->count ? length : child->count;
  for (ULONG i = 0; i < moved; ++i) buffer[i] = child->data[(child->head + i) % kLoopbackCapacity];
  child->head = (child->head + moved) % kLoopbackCapacity;
  child->count -= moved;
  transfer.TransferBufferLength = moved;
  return TRUE;
}

// One pass over the pending transfers, in arrival order: OUT transfers in
// order as long as they fit, IN transfers while there is data. A transfer
// is taken off the list before its bytes move, so that one being cancelled
// never loses them; one that cannot move yet goes back where it was.
BOOLEAN ServePending(ChildExtension* child, PLIST_ENTRY done, PLIST_ENTRY cancelled) {
  BOOLEAN progress = FALSE;
  BOOLEAN outBlocked = FALSE;
  PLIST_ENTRY entry = child->pending.Flink;
  while (entry != &child->pending) {
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    entry = entry->Flink;
    UCHAR address = TransferPipe(child, irp)->address;
    if (address != kBulkOut && address != kBulkIn) continue;  // the interrupt pipe never sends
    if (address == kBulkOut && outBlocked) continue;
    if (!TakeTransfer(irp)) continue;
    if (Serve(child, irp, address)) {
      InsertTailList(done, &irp->Tail.Overlay.ListEntry);
      progress = TRUE;
      continue;
    }
    if (address == kBulkOut) outBlocked = TRUE;
    InsertTailList(entry, &irp->Tail.Overlay.ListEntry);
    (void)IoSetCancelRoutine(irp, CancelTransfer);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
      RemoveEntryList(&irp->Tail.Overlay.ListEntry);
      InsertTailList(cancelled, &irp->Tail.Overlay.ListEntry);
    }
  }
  return progress;
}

VOID NTAPI Worker(PVOID context) {
  auto* child = static_cast<ChildExtension*>(context);
  for (;;) {
    KeWaitForSingleObject(&child->wake, Executive, KernelMode, FALSE, nullptr);
    LIST_ENTRY done;
    LIST_ENTRY cancelled;
    InitializeListHead(&done);
    InitializeListHead(&cancelled);
    KIRQL irql;
    KeAcquireSpinLock(&child->lock, &irql);
    BOOLEAN stopping = child->stopping;
    if (!stopping && !child->gone) {
      while (ServePending(child, &done, &cancelled)) {
      }
    }
    KeReleaseSpinLock(&child->lock, irql);
    while (!IsListEmpty(&done)) {
      PIRP irp = CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry);
      EndUrb(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    }
    EndAll(&cancelled, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    if (stopping) break;
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

// --- Requests answered at once --------------------------------------------------------------

NTSTATUS GetDescriptor(PIRP irp) {
  auto& request = UrbOf(irp)->UrbControlDescriptorRequest;
  const UCHAR* source;
  ULONG size;
  if (request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE && request.Index == 0) {
    source = kDeviceDescriptor;
    size = sizeof kDeviceDescriptor;
  } else if (request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && request.Index == 0) {
    source = kConfigurationDescriptor;
    size = sizeof kConfigurationDescriptor;
  } else {
    return EndUrb(irp, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  }
  PUCHAR buffer = BufferOf(request.TransferBuffer, request.TransferBufferMDL);
  if (buffer == nullptr) return EndUrb(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  ULONG moved = request.TransferBufferLength < size ? request.TransferBufferLength : size;
  RtlCopyMemory(buffer, source, moved);
  request.TransferBufferLength = moved;
  return EndUrb(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

// Fills every interface record the request holds (as sized by the USBD
// library) with its handle and its pipes' descriptions and handles.
NTSTATUS SelectConfiguration(ChildExtension* child, PIRP irp) {
  PURB urb = UrbOf(irp);
  auto& request = urb->UrbSelectConfiguration;
  if (request.ConfigurationDescriptor == nullptr) return EndUrb(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
  request.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(child);
  const ULONG head = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
  PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
  auto* at = reinterpret_cast<PUCHAR>(&request.Interface);
  while (at + head <= end) {
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
    if (info->Length < head || at + info->Length > end) break;
    ULONG room = (info->Length - head) / sizeof(USBD_PIPE_INFORMATION);
    ULONG pipes = 0;
    for (ULONG i = 0; i < kPipeCount; ++i) {
      const LoopbackPipe& pipe = child->pipes[i];
      if (pipe.interfaceNumber != info->InterfaceNumber) continue;
      if (pipes == room) return EndUrb(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      USBD_PIPE_INFORMATION& out = info->Pipes[pipes++];
      out.MaximumPacketSize = 64;
      out.EndpointAddress = pipe.address;
      out.Interval = pipe.interval;
      out.PipeType = pipe.attributes == 3 ? UsbdPipeTypeInterrupt : UsbdPipeTypeBulk;
      out.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(&child->pipes[i]);
      if (out.MaximumTransferSize == 0) out.MaximumTransferSize = 4096;
    }
    if (pipes == 0) return EndUrb(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    info->NumberOfPipes = pipes;
    info->Class = 0xFF;
    info->SubClass = 0;
    info->Protocol = 0;
    info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(static_cast<ULONG_PTR>(info->InterfaceNumber) + 1);
    at += info->Length;
  }
  return EndUrb(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

NTSTATUS GetStatus(PIRP irp) {
  auto& request = UrbOf(irp)->UrbControlGetStatusRequest;
  PUCHAR buffer = BufferOf(request.TransferBuffer, request.TransferBufferMDL);
  if (buffer == nullptr || request.TransferBufferLength < 2) {
    return EndUrb(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  }
  buffer[0] = 0;  // bus powered, no remote wake-up
  buffer[1] = 0;
  request.TransferBufferLength = 2;
  return EndUrb(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

NTSTATUS AbortPipe(ChildExtension* child, PIRP irp) {
  LoopbackPipe* pipe = PipeOf(child, UrbOf(irp)->UrbPipeRequest.PipeHandle);
  if (pipe == nullptr) return EndUrb(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
  LIST_ENTRY taken;
  InitializeListHead(&taken);
  KIRQL irql;
  KeAcquireSpinLock(&child->lock, &irql);
  TakeAll(child, pipe, &taken);
  KeReleaseSpinLock(&child->lock, irql);
  EndAll(&taken, STATUS_CANCELLED, USBD_STATUS_CANCELED);
  return EndUrb(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

}  // namespace

NTSTATUS LoopbackSubmitUrb(ChildExtension* child, PIRP irp) {
  PURB urb = UrbOf(irp);
  if (urb == nullptr) return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
  if (child->gone) return EndGone(irp);
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return GetDescriptor(irp);
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return SelectConfiguration(child, irp);
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
      return GetStatus(irp);
    case URB_FUNCTION_ABORT_PIPE:
      return AbortPipe(child, irp);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
      // The loopback device never halts a pipe: nothing to clear.
      if (PipeOf(child, urb->UrbPipeRequest.PipeHandle) == nullptr) {
        return EndUrb(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
      }
      return EndUrb(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      auto& transfer = urb->UrbBulkOrInterruptTransfer;
      LoopbackPipe* pipe = PipeOf(child, transfer.PipeHandle);
      if (pipe == nullptr) return EndUrb(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
      BOOLEAN in = (transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
      if (in != ((pipe->address & 0x80) != 0) ||
          BufferOf(transfer.TransferBuffer, transfer.TransferBufferMDL) == nullptr) {
        return EndUrb(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      }
      if (!in && transfer.TransferBufferLength > kLoopbackCapacity) {
        return EndUrb(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      }
      return QueueTransfer(child, irp);
    }
    default:
      return EndUrb(irp, STATUS_NOT_SUPPORTED, USBD_STATUS_INVALID_URB_FUNCTION);
  }
}

NTSTATUS StartLoopback(ChildExtension* child) {
  KeInitializeSpinLock(&child->lock);
  InitializeListHead(&child->pending);
  KeInitializeEvent(&child->wake, SynchronizationEvent, FALSE);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  return PsCreateSystemThread(&child->worker, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, Worker, child);
}

VOID UnplugLoopback(ChildExtension* child) {
  LIST_ENTRY taken;
  InitializeListHead(&taken);
  KIRQL irql;
  KeAcquireSpinLock(&child->lock, &irql);
  child->gone = TRUE;
  child->reported = FALSE;
  TakeAll(child, nullptr, &taken);
  KeReleaseSpinLock(&child->lock, irql);
  EndAll(&taken, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
}

VOID StopLoopback(ChildExtension* child) {
  UnplugLoopback(child);
  KIRQL irql;
  KeAcquireSpinLock(&child->lock, &irql);
  child->stopping = TRUE;
  KeReleaseSpinLock(&child->lock, irql);
  KeSetEvent(&child->wake, IO_NO_INCREMENT, FALSE);
  if (child->worker != nullptr) {
    ZwWaitForSingleObject(child->worker, FALSE, nullptr);
    ZwClose(child->worker);
    child->worker = nullptr;
  }
}
