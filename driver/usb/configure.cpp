/*
 * Device configuration. Every request is synchronous. Descriptor requests
 * that fail are reported as STATUS_INSUFFICIENT_RESOURCES. A configuration
 * descriptor that arrives incomplete, or whose chain of descriptors is
 * malformed, is refused with STATUS_PORT_DESCRIPTOR_INVALID before anything
 * parses it (the USB driver interface library walks a chain as it stands);
 * a configuration without the two bulk pipes where the port expects them is
 * refused with STATUS_PORT_LAYOUT_MISMATCH. No descriptor or select result
 * is ever read beyond the bytes the device returned.
 */
#include "driver/usb/configure.h"
#include "driver/usb/submit.h"

typedef struct _URB_CONTROL_DESCRIPTOR_REQUEST DescriptorRequest;

// Reads a descriptor of the device into buffer; *received is the count the
// device returned.
static NTSTATUS ReadDescriptor(PDEVICE_OBJECT device, DescriptorRequest* request, UCHAR type, PVOID buffer,
                               ULONG length, ULONG* received) {
  RtlZeroMemory(request, sizeof *request);
  PURB urb = reinterpret_cast<PURB>(request);
  UsbBuildGetDescriptorRequest(urb, sizeof *request, type, 0, 0, buffer, nullptr, length, nullptr);
  NTSTATUS status = SubmitUrbSync(device, urb);
  *received = request->TransferBufferLength;
  return status;
}

VOID ReleaseDescriptors(PortExtension* port) {
  if (port->DeviceDescriptor != nullptr) {
    ExFreePool(port->DeviceDescriptor);
    port->DeviceDescriptor = nullptr;
  }
  if (port->ConfigDescriptor != nullptr) {
    ExFreePool(port->ConfigDescriptor);
    port->ConfigDescriptor = nullptr;
  }
}

NTSTATUS ConfigureDevice(PDEVICE_OBJECT device) {
  PAGED_CODE();
  PortExtension* port = PortOf(device);
  auto request = static_cast<DescriptorRequest*>(ExAllocatePool(NonPagedPool, sizeof(DescriptorRequest)));
  if (request == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto descriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(ExAllocatePool(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR)));
  if (descriptor == nullptr) {
    ExFreePool(request);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  // A new start replaces what an earlier one read.
  ReleaseDescriptors(port);

  ULONG received;
  NTSTATUS status =
      ReadDescriptor(device, request, USB_DEVICE_DESCRIPTOR_TYPE, descriptor, sizeof(USB_DEVICE_DESCRIPTOR), &received);
  if (NT_SUCCESS(status)) {
    port->DeviceDescriptor = descriptor;
  } else {
    ExFreePool(descriptor);
    status = STATUS_INSUFFICIENT_RESOURCES;
  }
  ExFreePool(request);
  if (!NT_SUCCESS(status)) return status;

  status = ReadConfigurationDescriptor(device);
  if (NT_SUCCESS(status)) SetFlag(port->Started, TRUE);
  return status;
}

static USHORT TotalLength(PUSB_CONFIGURATION_DESCRIPTOR config) { return config->wTotalLength; }

// Whether the configuration descriptor, of which the device sent `received`
// bytes, is whole and its chain sound: a configuration descriptor first,
// wTotalLength within what arrived, then descriptors of at least their
// two-byte head, none running past wTotalLength, interface and endpoint
// descriptors at least as long as their structures.
static NTSTATUS CheckConfigurationChain(PUSB_CONFIGURATION_DESCRIPTOR config, ULONG received) {
  if (received < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return STATUS_PORT_DESCRIPTOR_INVALID;
  const ULONG total = TotalLength(config);
  if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR) || total > received) return STATUS_PORT_DESCRIPTOR_INVALID;
  if (config->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    return STATUS_PORT_DESCRIPTOR_INVALID;
  }
  const PUCHAR bytes = reinterpret_cast<PUCHAR>(config);
  for (ULONG at = 0; at < total;) {
    if (total - at < sizeof(USB_COMMON_DESCRIPTOR)) return STATUS_PORT_DESCRIPTOR_INVALID;
    auto descriptor = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(bytes + at);
    const ULONG length = descriptor->bLength;
    if (length < sizeof(USB_COMMON_DESCRIPTOR) || length > total - at) return STATUS_PORT_DESCRIPTOR_INVALID;
    if (descriptor->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE && length < sizeof(USB_INTERFACE_DESCRIPTOR)) {
      return STATUS_PORT_DESCRIPTOR_INVALID;
    }
    if (descriptor->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && length < sizeof(USB_ENDPOINT_DESCRIPTOR)) {
      return STATUS_PORT_DESCRIPTOR_INVALID;
    }
    at += length;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ReadConfigurationDescriptor(PDEVICE_OBJECT device) {
  PAGED_CODE();
  PortExtension* port = PortOf(device);
  auto request = static_cast<DescriptorRequest*>(ExAllocatePool(NonPagedPool, sizeof(DescriptorRequest)));
  if (request == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

  // First the configuration descriptor alone, to learn the size of the
  // whole; then the whole. The size must grow strictly for another pass, so
  // the loop ends.
  ULONG size = sizeof(USB_CONFIGURATION_DESCRIPTOR);
  ULONG received;
  for (;;) {
    port->ConfigDescriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePool(NonPagedPool, size));
    if (port->ConfigDescriptor == nullptr) {
      ExFreePool(request);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status =
        ReadDescriptor(device, request, USB_CONFIGURATION_DESCRIPTOR_TYPE, port->ConfigDescriptor, size, &received);
    if (!NT_SUCCESS(status)) {
      ReleaseDescriptors(port);
      ExFreePool(request);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    // wTotalLength counts only if the device sent it.
    BOOLEAN hasTotal = received >= FIELD_OFFSET(USB_CONFIGURATION_DESCRIPTOR, wTotalLength) + sizeof(USHORT);
    if (!hasTotal || TotalLength(port->ConfigDescriptor) <= size) break;
    size = TotalLength(port->ConfigDescriptor);
    ExFreePool(port->ConfigDescriptor);
    port->ConfigDescriptor = nullptr;
  }
  ExFreePool(request);

  // Parse nothing the device did not send, nor a malformed chain.
  NTSTATUS status = received > size ? STATUS_PORT_DESCRIPTOR_INVALID
                                    : CheckConfigurationChain(port->ConfigDescriptor, received);
  if (!NT_SUCCESS(status)) {
    ExFreePool(port->ConfigDescriptor);
    port->ConfigDescriptor = nullptr;
    return status;
  }
  return SelectConfiguration(device, port->ConfigDescriptor);
}

// True if an interface record, with all the pipes it claims, lies within the
// select result.
static BOOLEAN InterfaceFits(PUSBD_INTERFACE_INFORMATION iface, PUCHAR end) {
  PUCHAR start = reinterpret_cast<PUCHAR>(iface);
  ULONG_PTR head = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
  if (start > end || static_cast<ULONG_PTR>(end - start) < head) return FALSE;
  ULONG_PTR available = static_cast<ULONG_PTR>(end - start);
  if (iface->Length < head || iface->Length > available) return FALSE;
  return iface->NumberOfPipes <= (iface->Length - head) / sizeof(USBD_PIPE_INFORMATION);
}

static BOOLEAN IsBulk(const USBD_PIPE_INFORMATION& pipe, BOOLEAN in) {
  return pipe.PipeType == UsbdPipeTypeBulk && (USB_ENDPOINT_DIRECTION_IN(pipe.EndpointAddress) != 0) == in;
}

// Takes WritePipe and ReadPipe from a completed select request: pipe 0 and
// pipe 1 of the second interface record, which follows a first interface
// record of exactly one pipe.
static NTSTATUS TakeBulkPipes(PortExtension* port, struct _URB_SELECT_CONFIGURATION* select) {
  PUCHAR end = reinterpret_cast<PUCHAR>(select) + select->Hdr.Length;
  PUSBD_INTERFACE_INFORMATION first = &select->Interface;
  if (!InterfaceFits(first, end) || first->NumberOfPipes != 1) return STATUS_PORT_LAYOUT_MISMATCH;
  auto second = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(first) + first->Length);
  if (!InterfaceFits(second, end) || second->NumberOfPipes < 2) return STATUS_PORT_LAYOUT_MISMATCH;
  if (!IsBulk(second->Pipes[0], FALSE) || !IsBulk(second->Pipes[1], TRUE)) return STATUS_PORT_LAYOUT_MISMATCH;
  port->WritePipe = second->Pipes[0].PipeHandle;
  port->ReadPipe = second->Pipes[1].PipeHandle;
  return STATUS_SUCCESS;
}

NTSTATUS SelectConfiguration(PDEVICE_OBJECT device, PUSB_CONFIGURATION_DESCRIPTOR config) {
  PAGED_CODE();
  PortExtension* port = PortOf(device);
  ULONG count = config->bNumInterfaces;
  auto list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
      ExAllocatePool(NonPagedPool, (count + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY)));
  if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(list, (count + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY));

  // Interface 0, 1, ... at their first alternate setting; the list ends at
  // the first number the configuration lacks.
  for (ULONG i = 0; i < count; ++i) {
    list[i].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(config, config, static_cast<LONG>(i), -1, -1, -1, -1);
    if (list[i].InterfaceDescriptor == nullptr) break;
  }

  PURB urb = USBD_CreateConfigurationRequestEx(config, list);
  ExFreePool(list);
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

  NTSTATUS status = SubmitUrbSync(device, urb);
  if (NT_SUCCESS(status)) status = TakeBulkPipes(port, &urb->UrbSelectConfiguration);
  ExFreePool(urb);
  return status;
}
