/*
 * Reading one value of the device's registry parameters. PASSIVE_LEVEL.
 */
#include "driver/pnp/pnp.h"

// The fixed head of the full value information, with room to align the
// data after the name.
static const ULONG kFullInformationHead = 24;

NTSTATUS QueryRegistryValue(HANDLE key, PCWSTR valueName, ULONG valueNameSize, ULONG type, PVOID data,
                            ULONG dataSize, PULONG dataLength) {
  PAGED_CODE();
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  const ULONG size = valueNameSize + dataSize + kFullInformationHead;
  auto information = static_cast<PKEY_VALUE_FULL_INFORMATION>(ExAllocatePool(PagedPool, size));
  if (information == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

  ULONG returned = 0;
  NTSTATUS status = ZwQueryValueKey(key, &name, KeyValueFullInformation, information, size, &returned);
  if (NT_SUCCESS(status)) {
    const ULONG length = information->DataLength;
    if (information->Type != type) {
      status = STATUS_OBJECT_TYPE_MISMATCH;
    } else if (length > dataSize ||
               (length != 0 && (information->DataOffset > size || length > size - information->DataOffset))) {
      // Data that does not fit, or does not lie within the answer, is not used.
      status = STATUS_BUFFER_TOO_SMALL;
    } else {
      if (length != 0) RtlCopyMemory(data, reinterpret_cast<PUCHAR>(information) + information->DataOffset, length);
      if (dataLength != nullptr) *dataLength = length;
      status = STATUS_SUCCESS;
    }
  }
  ExFreePool(information);
  return status;
}
