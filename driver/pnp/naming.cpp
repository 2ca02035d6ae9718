/*
 * The port's COM name: read from the device's registry parameters
 * ("PortName", else "Identifier"), published as a \DosDevices\ link to the
 * port's NT name, as a SERIALCOMM value of the device map and as an enabled
 * COM-port device interface, and withdrawn again when the device goes.
 * PASSIVE_LEVEL, in Plug and Play requests, which come one at a time; no
 * lock is taken.
 */
#include "driver/pnp/pnp.h"

// The COM-port interface class: the platform header only declares it, and
// this is its one definition in the driver.
#include <initguid.h>
DEFINE_GUID(GUID_DEVINTERFACE_COMPORT, 0x86e0d1e0, 0x8089, 0x11d0, 0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73);

static const ULONG kPortNameDataSize = PORT_NAME_BUFFER_SIZE - sizeof(WCHAR);
// The link-name working string: "\DosDevices\" and a name of up to 128
// characters in all.
static const ULONG kLinkBufferSize = 258;
static const USHORT kLinkMaximumLength = 256;
// PortName: at most 32 characters, always followed by a null.
static const USHORT kPortNameSize = 66;

static const WCHAR kDosDevices[] = L"\\DosDevices\\";
// The longest port name the link-name working string can take.
static const ULONG kLongestPortName = (kLinkMaximumLength - (sizeof kDosDevices - sizeof(WCHAR))) / sizeof(WCHAR);
static const WCHAR kSerialComm[] = L"SERIALCOMM";
static const WCHAR kPortNameValue[] = L"PortName";
static const WCHAR kIdentifierValue[] = L"Identifier";
static const WCHAR kSkipNamingValue[] = L"SerialSkipExternalNaming";

VOID ReleaseUnicodeString(PUNICODE_STRING string) {
  if (string->Buffer != nullptr) ExFreePool(string->Buffer);
  string->Buffer = nullptr;
  string->Length = 0;
  string->MaximumLength = 0;
}

// Reads a port-name value into buffer (PORT_NAME_BUFFER_SIZE bytes). Only a
// REG_SZ of at most 256 bytes is taken; data without its null, or ending in
// half a character, is terminated after its last whole character. The text
// up to its first null must be one name component, not empty, and short
// enough for the link name. The buffer always ends up null-terminated.
static NTSTATUS ReadPortName(HANDLE key, PCWSTR valueName, ULONG valueNameSize, PWSTR buffer) {
  RtlZeroMemory(buffer, PORT_NAME_BUFFER_SIZE);
  ULONG length = 0;
  NTSTATUS status = QueryRegistryValue(key, valueName, valueNameSize, REG_SZ, buffer, kPortNameDataSize, &length);
  if (!NT_SUCCESS(status)) {
    buffer[0] = 0;
    return status;
  }
  buffer[length / sizeof(WCHAR)] = 0;
  ULONG characters = 0;
  for (; buffer[characters] != 0; ++characters) {
    if (buffer[characters] == L'\\') return STATUS_OBJECT_NAME_INVALID;
  }
  if (characters == 0 || characters > kLongestPortName) return STATUS_OBJECT_NAME_INVALID;
  return STATUS_SUCCESS;
}

NTSTATUS BuildDosLinkName(HANDLE key, PUNICODE_STRING linkName, PWSTR* portName) {
  PAGED_CODE();
  *portName = nullptr;
  linkName->Buffer = nullptr;
  linkName->Length = 0;
  linkName->MaximumLength = 0;

  UNICODE_STRING working;
  working.Buffer = static_cast<PWSTR>(ExAllocatePool(PagedPool, kLinkBufferSize));
  if (working.Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(working.Buffer, kLinkBufferSize);
  working.Length = 0;
  working.MaximumLength = kLinkMaximumLength;

  NTSTATUS status;
  PWSTR name = static_cast<PWSTR>(ExAllocatePool(PagedPool, PORT_NAME_BUFFER_SIZE));
  if (name == nullptr) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    status = ReadPortName(key, kPortNameValue, sizeof kPortNameValue, name);
    if (!NT_SUCCESS(status)) status = ReadPortName(key, kIdentifierValue, sizeof kIdentifierValue, name);
  }
  if (NT_SUCCESS(status)) status = RtlAppendUnicodeToString(&working, kDosDevices);
  if (NT_SUCCESS(status)) status = RtlAppendUnicodeToString(&working, name);
  if (NT_SUCCESS(status)) {
    const USHORT size = static_cast<USHORT>(working.Length + sizeof(WCHAR));
    linkName->Buffer = static_cast<PWSTR>(ExAllocatePool(NonPagedPool, size));
    if (linkName->Buffer == nullptr) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      RtlZeroMemory(linkName->Buffer, size);
      linkName->MaximumLength = size;
      RtlAppendUnicodeStringToString(linkName, &working);
    }
  }

  ExFreePool(working.Buffer);
  if (NT_SUCCESS(status)) {
    *portName = name;
  } else if (name != nullptr) {
    ExFreePool(name);
  }
  return status;
}

// PortName from the registry's name: a name of more than 32 characters
// does not fit and leaves PortName empty (the link still carries it whole).
static NTSTATUS SetPortName(PortExtension* port, PCWSTR name) {
  port->PortName.Buffer = static_cast<PWSTR>(ExAllocatePool(NonPagedPool, kPortNameSize));
  if (port->PortName.Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(port->PortName.Buffer, kPortNameSize);
  port->PortName.Length = 0;
  // The append may not take the last two bytes: they hold the null.
  port->PortName.MaximumLength = kPortNameSize - sizeof(WCHAR);
  RtlAppendUnicodeToString(&port->PortName, name);
  port->PortName.MaximumLength = kPortNameSize;
  port->PortName.Buffer[port->PortName.Length / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

// A link of that name already there is taken for a stale one, left by a
// port that was never withdrawn: it is replaced, once.
static NTSTATUS CreateDosLink(PortExtension* port) {
  NTSTATUS status = IoCreateSymbolicLink(&port->DosLinkName, &port->DeviceName);
  if (status == STATUS_OBJECT_NAME_COLLISION) {
    IoDeleteSymbolicLink(&port->DosLinkName);
    status = IoCreateSymbolicLink(&port->DosLinkName, &port->DeviceName);
  }
  return status;
}

static NTSTATUS EnableComPortInterface(PortExtension* port) {
  NTSTATUS status =
      IoRegisterDeviceInterface(port->PhysicalDevice, &GUID_DEVINTERFACE_COMPORT, nullptr, &port->InterfaceName);
  if (!NT_SUCCESS(status)) {
    port->InterfaceName.Buffer = nullptr;
    port->InterfaceName.Length = 0;
    port->InterfaceName.MaximumLength = 0;
    return status;
  }
  return IoSetDeviceInterfaceState(&port->InterfaceName, TRUE);
}

// Undoes a publication that failed part way.
static VOID UndoPublication(PortExtension* port) {
  ReleaseUnicodeString(&port->PortName);
  if (port->DosLinkCreated) {
    IoDeleteSymbolicLink(&port->DosLinkName);
    port->DosLinkCreated = FALSE;
  }
  ReleaseUnicodeString(&port->DosLinkName);
  if (port->DeviceName.Buffer != nullptr) {
    RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, kSerialComm, port->DeviceName.Buffer);
    port->SerialCommWritten = FALSE;
  }
  if (port->InterfaceName.Buffer != nullptr) {
    IoSetDeviceInterfaceState(&port->InterfaceName, FALSE);
    ReleaseUnicodeString(&port->InterfaceName);
  }
}

NTSTATUS PublishPort(PortExtension* port) {
  PAGED_CODE();
  // The key is read with value queries, which need KEY_QUERY_VALUE.
  HANDLE key;
  NTSTATUS status = IoOpenDeviceRegistryKey(port->PhysicalDevice, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
  if (!NT_SUCCESS(status)) return status;

  // A missing or unreadable setting publishes as usual.
  QueryRegistryValue(key, kSkipNamingValue, sizeof kSkipNamingValue, REG_DWORD, &port->SkipExternalNaming,
                     sizeof port->SkipExternalNaming, nullptr);
  if (port->SkipExternalNaming != 0) {
    ZwClose(key);
    return STATUS_SUCCESS;
  }

  PWSTR name = nullptr;
  status = BuildDosLinkName(key, &port->DosLinkName, &name);
  ZwClose(key);
  if (NT_SUCCESS(status)) status = SetPortName(port, name);
  if (NT_SUCCESS(status)) status = CreateDosLink(port);
  if (NT_SUCCESS(status)) {
    port->DosLinkCreated = TRUE;
    status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, kSerialComm, port->DeviceName.Buffer, REG_SZ,
                                   port->PortName.Buffer, port->PortName.Length + sizeof(WCHAR));
  }
  if (NT_SUCCESS(status)) {
    port->SerialCommWritten = TRUE;
    status = EnableComPortInterface(port);
  }

  if (name != nullptr) ExFreePool(name);
  if (!NT_SUCCESS(status)) {
    UndoPublication(port);
    return status;
  }
  return STATUS_SUCCESS;
}

VOID RemovePortNaming(PortExtension* port) {
  PAGED_CODE();
  if (port->InterfaceName.Buffer != nullptr) {
    IoSetDeviceInterfaceState(&port->InterfaceName, FALSE);
    ReleaseUnicodeString(&port->InterfaceName);
  }
  // Exactly the link this port created, under the name it was created
  // with: the registry may name the port differently by now, and that name
  // may be another live port's link.
  if (port->DosLinkCreated) {
    IoDeleteSymbolicLink(&port->DosLinkName);
    port->DosLinkCreated = FALSE;
  }
  ReleaseUnicodeString(&port->DosLinkName);
  if (port->SerialCommWritten) {
    RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, kSerialComm, port->DeviceName.Buffer);
    port->SerialCommWritten = FALSE;
  }
  ReleaseUnicodeString(&port->PortName);
}
