/*
 * The serial control requests. Every code is METHOD_BUFFERED: one system
 * buffer holds the input on entry and the output on completion. Settings
 * are stored and reported, never sent to the device; only the time-outs
 * change what the driver does. Requests about events, waits and purge go
 * to events.cpp and purge.cpp.
 *
 * The settings are copied in and out under TimeoutsLock, so a get racing a
 * set of the same setting reports the old value or the new one, never a
 * mix of both.
 */
#include "driver/control/events.h"
#include "driver/control/properties.h"
#include "driver/frame/dispatch.h"
#include "driver/receive/reader.h"

namespace {

struct ControlBuffer {
  PVOID data;   // the system buffer; null when the request has none
  ULONG input;  // InputBufferLength
  ULONG output; // OutputBufferLength
};

// The length is tested before the pointer.
NTSTATUS Require(ULONG length, ULONG minimum, PVOID data) {
  if (length < minimum) return STATUS_BUFFER_TOO_SMALL;
  if (data == nullptr) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

NTSTATUS RequireExactly(ULONG length, ULONG size, PVOID data) {
  if (length != size || data == nullptr) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

NTSTATUS SetSetting(PortExtension* port, PVOID setting, ULONG size, const ControlBuffer& buffer) {
  NTSTATUS status = Require(buffer.input, size, buffer.data);
  if (!NT_SUCCESS(status)) return status;
  KIRQL irql;
  KeAcquireSpinLock(&port->TimeoutsLock, &irql);
  RtlCopyMemory(setting, buffer.data, size);
  KeReleaseSpinLock(&port->TimeoutsLock, irql);
  return STATUS_SUCCESS;
}

NTSTATUS GetSetting(PortExtension* port, const VOID* setting, ULONG size, const ControlBuffer& buffer,
                    ULONG_PTR* information) {
  NTSTATUS status = Require(buffer.output, size, buffer.data);
  if (!NT_SUCCESS(status)) return status;
  KIRQL irql;
  KeAcquireSpinLock(&port->TimeoutsLock, &irql);
  RtlCopyMemory(buffer.data, setting, size);
  KeReleaseSpinLock(&port->TimeoutsLock, irql);
  *information = size;
  return STATUS_SUCCESS;
}

// The receive buffer grows to the size asked for, up to
// RECEIVE_BUFFER_LARGEST, keeping its bytes; it never shrinks. Larger sizes
// are refused before any pool is taken: any user who can open the port
// could otherwise claim non-paged pool without limit. The new storage is
// allocated here, at PASSIVE_LEVEL, and only swapped in under RxBufferLock;
// the old storage is freed after the lock is released.
NTSTATUS SetQueueSize(PortExtension* port, const ControlBuffer& buffer) {
  NTSTATUS status = Require(buffer.input, sizeof(SERIAL_QUEUE_SIZE), buffer.data);
  if (!NT_SUCCESS(status)) return status;
  ULONG size = static_cast<PSERIAL_QUEUE_SIZE>(buffer.data)->InSize;
  if (size > RECEIVE_BUFFER_LARGEST) return STATUS_INVALID_PARAMETER;
  KIRQL irql;
  KeAcquireSpinLock(&port->RxBufferLock, &irql);
  ULONG capacity = port->RxBuffer.Capacity;
  KeReleaseSpinLock(&port->RxBufferLock, irql);
  if (size <= capacity) {
    ResumeBulkReader(port);
    return STATUS_SUCCESS;
  }

  auto storage = static_cast<PUCHAR>(ExAllocatePool(NonPagedPool, size));
  if (storage == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  // Another request may have grown the buffer meanwhile: then the new
  // storage is not needed and goes back.
  PUCHAR unused = storage;
  KeAcquireSpinLock(&port->RxBufferLock, &irql);
  if (size > port->RxBuffer.Capacity) RingBufferAdopt(&port->RxBuffer, storage, size, &unused);
  KeReleaseSpinLock(&port->RxBufferLock, irql);
  if (unused != nullptr) ExFreePool(unused);
  ResumeBulkReader(port);  // a larger buffer may take a transfer now
  return STATUS_SUCCESS;
}

NTSTATUS GetWaitMask(PortExtension* port, const ControlBuffer& buffer, ULONG_PTR* information) {
  NTSTATUS status = Require(buffer.output, sizeof(ULONG), buffer.data);
  if (!NT_SUCCESS(status)) return status;
  KIRQL irql;
  KeAcquireSpinLock(&port->EventLock, &irql);
  *static_cast<PULONG>(buffer.data) = port->WaitMask;
  KeReleaseSpinLock(&port->EventLock, irql);
  *information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

NTSTATUS ClearStats(PortExtension* port) {
  KIRQL irql;
  KeAcquireSpinLock(&port->TimeoutsLock, &irql);
  RtlZeroMemory(&port->PerfStats, sizeof port->PerfStats);
  port->BreakCount = 0;
  KeReleaseSpinLock(&port->TimeoutsLock, irql);
  return STATUS_SUCCESS;
}

// A structured answer that needs at least `size` bytes of output.
template <typename Fill>
NTSTATUS Answer(ULONG size, const ControlBuffer& buffer, ULONG_PTR* information, Fill fill) {
  NTSTATUS status = Require(buffer.output, size, buffer.data);
  if (!NT_SUCCESS(status)) return status;
  status = fill();
  *information = size;
  return status;
}

// Serves every code but IOCTL_SERIAL_WAIT_ON_MASK; the caller completes.
NTSTATUS ServeControl(PortExtension* port, PIRP irp, ULONG code, const ControlBuffer& buffer,
                      ULONG_PTR* information) {
  switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE: {
      NTSTATUS status = RequireExactly(buffer.input, sizeof(ULONG), buffer.data);
      if (!NT_SUCCESS(status)) return status;
      return SetSetting(port, &port->BaudRate, sizeof port->BaudRate, buffer);
    }
    case IOCTL_SERIAL_GET_BAUD_RATE:
      return GetSetting(port, &port->BaudRate, sizeof port->BaudRate, buffer, information);
    case IOCTL_SERIAL_SET_LINE_CONTROL:
      return SetSetting(port, &port->LineControl, sizeof port->LineControl, buffer);
    case IOCTL_SERIAL_GET_LINE_CONTROL:
      return GetSetting(port, &port->LineControl, sizeof port->LineControl, buffer, information);
    case IOCTL_SERIAL_SET_CHARS:
      return SetSetting(port, &port->Chars, sizeof port->Chars, buffer);
    case IOCTL_SERIAL_GET_CHARS:
      return GetSetting(port, &port->Chars, sizeof port->Chars, buffer, information);
    case IOCTL_SERIAL_SET_HANDFLOW:
      return SetSetting(port, &port->HandFlow, sizeof port->HandFlow, buffer);
    case IOCTL_SERIAL_GET_HANDFLOW:
      return GetSetting(port, &port->HandFlow, sizeof port->HandFlow, buffer, information);
    case IOCTL_SERIAL_SET_TIMEOUTS:
      return SetSetting(port, &port->Timeouts, sizeof port->Timeouts, buffer);
    case IOCTL_SERIAL_GET_TIMEOUTS:
      return GetSetting(port, &port->Timeouts, sizeof port->Timeouts, buffer, information);
    case IOCTL_SERIAL_GET_STATS:
      return GetSetting(port, &port->PerfStats, sizeof port->PerfStats, buffer, information);
    case IOCTL_SERIAL_CLEAR_STATS:
      return ClearStats(port);
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
      return SetQueueSize(port, buffer);
    case IOCTL_SERIAL_GET_PROPERTIES:
      return Answer(sizeof(SERIAL_COMMPROP), buffer, information, [&] { return GetProperties(buffer.data, port); });
    case IOCTL_SERIAL_GET_COMMSTATUS:
      return Answer(sizeof(SERIAL_STATUS), buffer, information, [&] { return GetCommStatus(port, buffer.data); });
    case IOCTL_SERIAL_CONFIG_SIZE: {
      // The port has no provider configuration data.
      NTSTATUS status = RequireExactly(buffer.output, sizeof(ULONG), buffer.data);
      if (!NT_SUCCESS(status)) return status;
      *static_cast<PULONG>(buffer.data) = 0;
      *information = sizeof(ULONG);
      return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_WAIT_MASK:
      return GetWaitMask(port, buffer, information);
    case IOCTL_SERIAL_SET_WAIT_MASK: {
      NTSTATUS status = Require(buffer.input, sizeof(ULONG), buffer.data);
      return NT_SUCCESS(status) ? ApplyWaitMask(irp) : status;
    }
    case IOCTL_SERIAL_PURGE: {
      NTSTATUS status = Require(buffer.input, sizeof(ULONG), buffer.data);
      return NT_SUCCESS(status) ? PurgePort(port, irp) : status;
    }
    // Modem lines the device does not have: accepted without effect.
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
      return STATUS_SUCCESS;
    // What would need a serial line: refused.
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
    case IOCTL_SERIAL_RESET_DEVICE:
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON:
    case IOCTL_SERIAL_GET_MODEMSTATUS:
    case IOCTL_SERIAL_XOFF_COUNTER:
    case IOCTL_SERIAL_GET_DTRRTS:
    case IOCTL_SERIAL_LSRMST_INSERT:
    case IOCTL_SERIAL_GET_MODEM_CONTROL:
    case IOCTL_SERIAL_SET_MODEM_CONTROL:
    case IOCTL_SERIAL_SET_FIFO_CONTROL:
      return STATUS_NOT_IMPLEMENTED;
    default:  // the COMMCONFIG pair, other functions, other device types
      return STATUS_INVALID_PARAMETER;
  }
}

}  // namespace

NTSTATUS NTAPI SerialIoControl(PDEVICE_OBJECT device, PIRP irp) {
  if (!IsPortUsable(device)) {
    irp->IoStatus.Status = STATUS_DELETE_PENDING;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_DELETE_PENDING;
  }
  PortExtension* port = PortOf(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ControlBuffer buffer = {irp->AssociatedIrp.SystemBuffer, stack->Parameters.DeviceIoControl.InputBufferLength,
                          stack->Parameters.DeviceIoControl.OutputBufferLength};
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IncrementIoCount(device);

  NTSTATUS status;
  ULONG_PTR information = 0;
  if (code == IOCTL_SERIAL_WAIT_ON_MASK) {
    // The completed wait writes its events here: a buffer without room for
    // them is refused before the request is held.
    status = Require(buffer.output, sizeof(ULONG), buffer.data);
    // Held or completed there; its reference goes with it.
    if (NT_SUCCESS(status)) return QueueWaitOnMask(irp, port);
  } else {
    status = ServeControl(port, irp, code, buffer, &information);
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  DecrementIoCount(device);
  return status;
}
