/*
 * The bus device (function driver of the root device the test installs),
 * its control device, and the driver's entry and dispatch routines.
 */
#include "tests/wine/bus/control.h"
#include "tests/wine/bus/testbus.h"

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS PassDown(BusExtension* bus, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(bus->lower, irp);
}

static NTSTATUS NTAPI SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits for the lower drivers to finish it.
static NTSTATUS PassDownAndWait(BusExtension* bus, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(bus->lower, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  return irp->IoStatus.Status;
}

// The child while it is plugged in; a new one is made at the first listing.
static NTSTATUS ListChildren(PDEVICE_OBJECT device, BusExtension* bus, PIRP irp) {
  if (bus->child == nullptr) {
    NTSTATUS status = CreateChild(device->DriverObject, &bus->child);
    if (!NT_SUCCESS(status)) return CompleteRequest(irp, status, 0);
  }
  auto* child = static_cast<ChildExtension*>(bus->child->DeviceExtension);
  auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePool(PagedPool, sizeof(DEVICE_RELATIONS)));
  if (relations == nullptr) return CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  relations->Count = 0;
  if (child->reported) {
    ObReferenceObject(bus->child);
    relations->Objects[relations->Count++] = bus->child;
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  return PassDown(bus, irp);
}

static VOID RemoveBus(BusExtension* bus) {
  if (bus->control != nullptr) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, QUILLAN_TESTBUS_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(bus->control);
    bus->control = nullptr;
  }
  if (bus->child != nullptr) {
    auto* child = static_cast<ChildExtension*>(bus->child->DeviceExtension);
    StopLoopback(child);
    IoDeleteDevice(bus->child);
    bus->child = nullptr;
  }
}

static NTSTATUS BusPnp(PDEVICE_OBJECT device, PIRP irp) {
  auto* bus = static_cast<BusExtension*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = PassDownAndWait(bus, irp);
      // A root device has no lower driver that must agree.
      if (status == STATUS_NOT_SUPPORTED) status = STATUS_SUCCESS;
      // The child is there from the start: ask for the bus to be listed.
      if (NT_SUCCESS(status)) IoInvalidateDeviceRelations(bus->physical, BusRelations);
      return CompleteRequest(irp, status, 0);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) return ListChildren(device, bus, irp);
      return PassDown(bus, irp);
    case IRP_MN_REMOVE_DEVICE: {
      RemoveBus(bus);
      irp->IoStatus.Status = STATUS_SUCCESS;
      NTSTATUS status = PassDown(bus, irp);
      IoDetachDevice(bus->lower);
      IoDeleteDevice(device);
      return status;
    }
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(bus, irp);
    default:
      return PassDown(bus, irp);
  }
}

static NTSTATUS CreateControlDevice(PDRIVER_OBJECT driver, BusExtension* bus) {
  UNICODE_STRING name;
  UNICODE_STRING link;
  RtlInitUnicodeString(&name, QUILLAN_TESTBUS_DEVICE_NAME);
  RtlInitUnicodeString(&link, QUILLAN_TESTBUS_LINK_NAME);
  PDEVICE_OBJECT control;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(ControlExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &control);
  if (!NT_SUCCESS(status)) return status;
  auto* extension = static_cast<ControlExtension*>(control->DeviceExtension);
  extension->kind = kControlDevice;
  extension->bus = bus;
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(control);
    return status;
  }
  control->Flags |= DO_BUFFERED_IO;
  control->Flags &= ~DO_DEVICE_INITIALIZING;
  bus->control = control;
  return STATUS_SUCCESS;
}

static NTSTATUS ControlRequest(PDEVICE_OBJECT device, PIRP irp) {
  auto* control = static_cast<ControlExtension*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
      return CompleteRequest(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
      if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_QUILLAN_TESTBUS_UNPLUG) {
        BusExtension* bus = control->bus;
        if (bus->child == nullptr) return CompleteRequest(irp, STATUS_NO_SUCH_DEVICE, 0);
        UnplugLoopback(static_cast<ChildExtension*>(bus->child->DeviceExtension));
        IoInvalidateDeviceRelations(bus->physical, BusRelations);
        return CompleteRequest(irp, STATUS_SUCCESS, 0);
      }
      return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    default:
      return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (KindOf(device)) {
    case kControlDevice:
      return ControlRequest(device, irp);
    case kChildDevice:
      if (stack->MajorFunction == IRP_MJ_PNP) return ChildPnp(device, irp);
      if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
          stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        return LoopbackSubmitUrb(static_cast<ChildExtension*>(device->DeviceExtension), irp);
      }
      if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        return CompleteRequest(irp, STATUS_SUCCESS, 0);
      }
      if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) return CompleteRequest(irp, STATUS_NOT_SUPPORTED, 0);
      if (stack->MajorFunction == IRP_MJ_SYSTEM_CONTROL) {
        return CompleteRequest(irp, irp->IoStatus.Status, irp->IoStatus.Information);
      }
      return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    case kBusDevice:
      if (stack->MajorFunction == IRP_MJ_PNP) return BusPnp(device, irp);
      if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(static_cast<BusExtension*>(device->DeviceExtension)->lower, irp);
      }
      return PassDown(static_cast<BusExtension*>(device->DeviceExtension), irp);
  }
  return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical) {
  PDEVICE_OBJECT device;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(BusExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto* bus = static_cast<BusExtension*>(device->DeviceExtension);
  RtlZeroMemory(bus, sizeof *bus);
  bus->kind = kBusDevice;
  bus->self = device;
  bus->physical = physical;
  bus->lower = IoAttachDeviceToDeviceStack(device, physical);
  if (bus->lower == nullptr) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  status = CreateControlDevice(driver, bus);
  if (!NT_SUCCESS(status)) {
    IoDetachDevice(bus->lower);
    IoDeleteDevice(device);
    return status;
  }
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static VOID NTAPI Unload(PDRIVER_OBJECT) {}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) driver->MajorFunction[major] = Dispatch;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}
