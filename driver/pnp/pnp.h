/*
 * Plug and Play and port naming: creation and NT naming of the port device,
 * publication and withdrawal of its COM name, and the teardown of the port
 * record. Everything here runs at PASSIVE_LEVEL in the Plug and Play
 * manager's thread, one request at a time, and takes no lock.
 */
#pragma once

#include "driver/frame/port.h"

// Names and creates the port device (exclusive, with the port record as its
// extension, initialised), named "\Device\Serial_<instance>" after the
// device's hardware key, else the first free of "\Device\Serial0" to
// "\Device\Serial127". On failure no device object is left.
NTSTATUS CreatePortDevice(PDEVICE_OBJECT physicalDevice, PDRIVER_OBJECT driver, PDEVICE_OBJECT* device);

// Forms "\Device\Serial_<instance>" or "\Device\Serial<number>" in a
// buffer of `characters` characters: as the safe-string formatter would, a
// name too long is cut to fit and STATUS_BUFFER_OVERFLOW returned; the
// buffer always ends with a null (a buffer of 0 characters is
// STATUS_INVALID_PARAMETER and untouched). Any IRQL.
NTSTATUS FormatInstanceDeviceName(PWSTR buffer, size_t characters, PCWSTR instance);
NTSTATUS FormatNumberedDeviceName(PWSTR buffer, size_t characters, USHORT number);

// Reads one value of an open registry key into data. valueNameSize counts
// the name's bytes with its terminating null. Succeeds only for a value of
// `type` whose data fits dataSize; its bytes are then copied and *dataLength
// (if given) receives their count. A value of another type fails with
// STATUS_OBJECT_TYPE_MISMATCH, one too large with STATUS_BUFFER_TOO_SMALL;
// either way nothing is copied.
NTSTATUS QueryRegistryValue(HANDLE key, PCWSTR valueName, ULONG valueNameSize, ULONG type, PVOID data,
                            ULONG dataSize, PULONG dataLength);

// Size of the port-name buffer BuildDosLinkName hands out: up to 256 bytes
// of registry data and always a terminating null after them.
#define PORT_NAME_BUFFER_SIZE 258

// Builds "\DosDevices\<port name>" from the key's "PortName" value, else its
// "Identifier" value. On success *linkName has a NonPagedPool buffer
// (null-terminated) and *portName a PagedPool buffer holding the port name
// as a null-terminated string; both belong to the caller (ExFreePool). On
// failure both are left empty.
NTSTATUS BuildDosLinkName(HANDLE key, PUNICODE_STRING linkName, PWSTR* portName);

// Publishes the port: the \DosDevices\ link to DeviceName, the SERIALCOMM
// value and the enabled COM-port interface, unless the device's
// "SerialSkipExternalNaming" value says not to. A failure undoes what was
// done and is returned.
NTSTATUS PublishPort(PortExtension* port);

// Withdraws what PublishPort published; a second call finds nothing to do.
VOID RemovePortNaming(PortExtension* port);

// Releases every buffer the port record still owns (descriptor copies,
// the bulk-out URB, the name buffers), detaches the device from the stack
// if it was attached and deletes it. The record is gone afterwards.
VOID DeletePortDevice(PDEVICE_OBJECT device);

// Completion routine of a request the Plug and Play handler sends down and
// waits for: signals the event given as context and keeps the request.
// Any IRQL up to DISPATCH_LEVEL.
NTSTATUS NTAPI ForwardCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);

// Releases a string's pool buffer, if any, and empties the string.
VOID ReleaseUnicodeString(PUNICODE_STRING string);
