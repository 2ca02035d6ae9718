/*
 * IoBuildDeviceIoControlRequest: an IRP for a device-control request that
 * the I/O manager owns. The IRP gets the target's StackSize; its first
 * stack location (the one IoGetNextIrpStackLocation gives the caller) holds
 * the major function, control code and buffer lengths, and the buffers are
 * passed as the control code's transfer method says. When its completion
 * reaches the top, the I/O manager copies buffered output back, writes the
 * caller's status block, signals the caller's event and frees the IRP: the
 * caller neither completes nor frees it. As on Windows, a request that the
 * lower driver failed (an error status) without ever returning
 * STATUS_PENDING is only freed: its status block stays as it was and its
 * event is not signalled, since the caller has the status from
 * IofCallDriver and must not wait.
 *
 * Called at PASSIVE_LEVEL. Returns null when an allocation fails.
 */
#include "sim/ex/pool.h"
#include "sim/io/io.h"
#include "sim/ke/ke.h"
#include "sim/ke/stack.h"
#include "sim/verifier/verifier.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sim::io {
namespace {

// What the I/O manager does when a built request's completion reaches the top.
void FinishBuiltRequest(PIRP irp, ULONG outputLength) {
  if ((irp->Flags & IRP_BUFFERED_IO) != 0 && irp->AssociatedIrp.SystemBuffer != nullptr) {
    if ((irp->Flags & IRP_INPUT_OPERATION) != 0 && !NT_ERROR(irp->IoStatus.Status) && irp->UserBuffer != nullptr) {
      ULONG_PTR copied = std::min<ULONG_PTR>(irp->IoStatus.Information, outputLength);
      std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, copied);
    }
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) != 0) ExFreePool(irp->AssociatedIrp.SystemBuffer);
  }
  // A request that failed without ever being pended is only freed: the
  // caller's status block and event are left alone, as on Windows.
  // PendingReturned is the top location's pending mark.
  PKEVENT event = nullptr;
  if (!NT_ERROR(irp->IoStatus.Status) || irp->PendingReturned) {
    // The status block and event are usually the caller's locals: if its
    // frame has returned, the I/O manager would write into another frame.
    if (ke::OnUnwoundKernelStack(irp->UserIosb)) {
      verifier::Report(verifier::Rule::StatusBlockOnUnwoundStack,
                       "a built request completes after the frame holding its IO_STATUS_BLOCK returned");
    }
    if (irp->UserEvent != nullptr && ke::OnUnwoundKernelStack(irp->UserEvent)) {
      verifier::Report(verifier::Rule::StatusBlockOnUnwoundStack,
                       "a built request completes after the frame holding its event returned");
    }
    *irp->UserIosb = irp->IoStatus;
    event = irp->UserEvent;
  }
  FreeIrp(irp);
  if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace
}  // namespace sim::io

extern "C" {

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
  using namespace sim;
  if (ke::CurrentIrql() != PASSIVE_LEVEL) {
    verifier::Report(verifier::Rule::IrqlTooHigh, "IoBuildDeviceIoControlRequest called at IRQL " +
                                                      std::to_string(ke::CurrentIrql()) +
                                                      "; it must be called at PASSIVE_LEVEL");
  }
  ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
  if ((method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) && OutputBuffer != nullptr &&
      OutputBufferLength != 0) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "IoBuildDeviceIoControlRequest for control code 0x%08lX with a direct-I/O output buffer "
                  "(MDLs are not simulated)",
                  static_cast<unsigned long>(IoControlCode));
    verifier::Report(verifier::Rule::UnsupportedCall, text);
    return nullptr;
  }

  if (!pool::NextAllocationSucceeds()) return nullptr;
  PIRP irp = io::AllocateIrp(DeviceObject->StackSize, io::IrpOrigin::Built);
  if (irp == nullptr) return nullptr;
  irp->RequestorMode = KernelMode;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;

  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

  if (method == METHOD_NEITHER) {
    stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    irp->UserBuffer = OutputBuffer;
  } else {
    // Buffered (and the input side of direct I/O): one system buffer, large
    // enough for both directions, holding a copy of the input; the rest is
    // whatever the pool gave, as on Windows.
    ULONG length = method == METHOD_BUFFERED ? std::max(InputBufferLength, OutputBufferLength) : InputBufferLength;
    if (length != 0) {
      PVOID buffer = ExAllocatePool(NonPagedPool, length);
      if (buffer == nullptr) {
        io::FreeIrp(irp);
        return nullptr;
      }
      if (InputBuffer != nullptr) std::memcpy(buffer, InputBuffer, InputBufferLength);
      irp->AssociatedIrp.SystemBuffer = buffer;
      irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      if (method == METHOD_BUFFERED && OutputBuffer != nullptr) irp->Flags |= IRP_INPUT_OPERATION;
    }
    irp->UserBuffer = method == METHOD_BUFFERED ? OutputBuffer : nullptr;
  }

  io::FindIrp(irp, "IoBuildDeviceIoControlRequest")->onTop = [OutputBufferLength](PIRP done) {
    io::FinishBuiltRequest(done, OutputBufferLength);
  };
  return irp;
}

}  // extern "C"
