/*
 * Creation of the port device for each USB device the Plug and Play manager
 * gives the driver, and its deletion at the end of the port's life.
 * PASSIVE_LEVEL, in the Plug and Play manager's thread; no lock is needed:
 * until DO_DEVICE_INITIALIZING is cleared no request reaches the device.
 */
#include "driver/frame/dispatch.h"
#include "driver/pnp/pnp.h"
#include "driver/usb/configure.h"

// What ZwQueryKey returns for KeyNameInformation, which the platform
// headers do not declare: the name's length in bytes, then the name's
// characters without a terminating null.
struct KeyNameAnswer {
  ULONG NameLength;
  WCHAR Name[1];
};

static const ULONG kKeyNameBufferSize = 256;
static const size_t kDeviceNameCharacters = 256;
static const USHORT kNumberedNames = 128;
static const WCHAR kParametersComponent[] = L"\\Device Parameters";

// A device created with this status took no name: try the next one.
static BOOLEAN NameTaken(NTSTATUS status, PDEVICE_OBJECT created) {
  return created == nullptr && (status == STATUS_OBJECT_NAME_COLLISION || status == STATUS_OBJECT_NAME_EXISTS);
}

static NTSTATUS CreateNamedDevice(PDRIVER_OBJECT driver, PCWSTR name, PDEVICE_OBJECT* device) {
  UNICODE_STRING deviceName;
  RtlInitUnicodeString(&deviceName, name);
  return IoCreateDevice(driver, sizeof(PortExtension), &deviceName, FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN,
                        TRUE, device);
}

// The offset, in characters, of the first "\Device Parameters" within the
// first `length` characters of name, or -1.
static LONG FindParametersComponent(PCWSTR name, ULONG length) {
  const ULONG needle = sizeof kParametersComponent / sizeof(WCHAR) - 1;
  for (ULONG at = 0; at + needle <= length; ++at) {
    ULONG matched = 0;
    while (matched < needle && name[at + matched] == kParametersComponent[matched]) ++matched;
    if (matched == needle) return static_cast<LONG>(at);
  }
  return -1;
}

// Formats "\Device\Serial_<instance>" from the hardware key's name into
// deviceName: the instance is the component before "\Device Parameters"
// (such as 7&1234&0&1). *formatted stays FALSE if the name has no such
// component, or if it does not fit the query buffer (a long instance
// identifier): the numbered names serve then.
static NTSTATUS FormatInstanceName(HANDLE key, PWSTR deviceName, BOOLEAN* formatted) {
  *formatted = FALSE;
  auto answer = static_cast<KeyNameAnswer*>(ExAllocatePool(PagedPool, kKeyNameBufferSize));
  if (answer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG returned = 0;
  NTSTATUS status = ZwQueryKey(key, KeyNameInformation, answer, kKeyNameBufferSize, &returned);
  if (status == STATUS_BUFFER_OVERFLOW) {
    ExFreePool(answer);
    return STATUS_SUCCESS;
  }
  if (!NT_SUCCESS(status)) {
    ExFreePool(answer);
    return status;
  }

  // Never read beyond what the buffer holds, whatever the length says.
  const ULONG room = (kKeyNameBufferSize - FIELD_OFFSET(KeyNameAnswer, Name)) / sizeof(WCHAR);
  ULONG length = answer->NameLength / sizeof(WCHAR);
  if (length > room) length = room;
  LONG cut = FindParametersComponent(answer->Name, length);
  if (cut >= 0) {
    LONG start = cut;
    while (start > 0 && answer->Name[start - 1] != L'\\') --start;
    answer->Name[cut] = 0;
    // An instance name too long for the buffer is cut to fit.
    FormatInstanceDeviceName(deviceName, kDeviceNameCharacters, &answer->Name[start]);
    *formatted = TRUE;
  }
  ExFreePool(answer);
  return STATUS_SUCCESS;
}

// Creates the device under its instance name, else under the first free
// numbered name.
static NTSTATUS CreateDeviceByName(HANDLE key, PDRIVER_OBJECT driver, PWSTR deviceName, PDEVICE_OBJECT* device) {
  BOOLEAN formatted;
  NTSTATUS status = FormatInstanceName(key, deviceName, &formatted);
  if (!NT_SUCCESS(status)) return status;
  // Without an instance name the numbered names are tried as if it were taken.
  status = formatted ? CreateNamedDevice(driver, deviceName, device) : STATUS_OBJECT_NAME_COLLISION;
  for (USHORT n = 0; NameTaken(status, *device) && n < kNumberedNames; ++n) {
    FormatNumberedDeviceName(deviceName, kDeviceNameCharacters, n);
    status = CreateNamedDevice(driver, deviceName, device);
  }
  return status;
}

NTSTATUS CreatePortDevice(PDEVICE_OBJECT physicalDevice, PDRIVER_OBJECT driver, PDEVICE_OBJECT* device) {
  PAGED_CODE();
  *device = nullptr;
  HANDLE key;
  NTSTATUS status = IoOpenDeviceRegistryKey(physicalDevice, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
  if (!NT_SUCCESS(status)) return status;
  WCHAR deviceName[kDeviceNameCharacters];
  status = CreateDeviceByName(key, driver, deviceName, device);
  ZwClose(key);
  // Only a name-exists answer for the last numbered name is a success
  // without a device.
  if (*device == nullptr) return NT_SUCCESS(status) ? STATUS_OBJECT_NAME_COLLISION : status;

  PortExtension* port = PortOf(*device);
  InitializePortRecord(port, *device);
  UNICODE_STRING created;
  RtlInitUnicodeString(&created, deviceName);
  port->DeviceName.Buffer = static_cast<PWSTR>(ExAllocatePool(NonPagedPool, created.MaximumLength));
  if (port->DeviceName.Buffer == nullptr) {
    IoDeleteDevice(*device);
    *device = nullptr;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  port->DeviceName.Length = 0;
  port->DeviceName.MaximumLength = created.MaximumLength;
  RtlZeroMemory(port->DeviceName.Buffer, created.MaximumLength);
  RtlAppendUnicodeStringToString(&port->DeviceName, &created);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI SerialAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
  PAGED_CODE();
  PDEVICE_OBJECT device;
  NTSTATUS status = CreatePortDevice(physicalDevice, driver, &device);
  if (!NT_SUCCESS(status)) return status;

  PortExtension* port = PortOf(device);
  device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
  port->PhysicalDevice = physicalDevice;
  port->LowerDevice = IoAttachDeviceToDeviceStack(device, physicalDevice);
  if (port->LowerDevice == nullptr) {
    // The stack below is going away or cannot take a device above it.
    DeletePortDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }

  status = PublishPort(port);
  if (!NT_SUCCESS(status)) {
    DeletePortDevice(device);
    return status;
  }

  // The baseline reference, dropped only at removal.
  IncrementIoCount(device);
  SetFlag(port->Started, TRUE);
  SetFlag(port->Removed, FALSE);
  SetFlag(port->RemovePending, FALSE);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID DeletePortDevice(PDEVICE_OBJECT device) {
  PAGED_CODE();
  PortExtension* port = PortOf(device);
  ReleaseDescriptors(port);
  if (port->WriteUrb != nullptr) {
    ExFreePool(port->WriteUrb);
    port->WriteUrb = nullptr;
  }
  ReleaseUnicodeString(&port->InterfaceName);
  ReleaseUnicodeString(&port->DosLinkName);
  ReleaseUnicodeString(&port->PortName);
  ReleaseUnicodeString(&port->DeviceName);
  if (port->LowerDevice != nullptr) IoDetachDevice(port->LowerDevice);
  IoDeleteDevice(device);
}
