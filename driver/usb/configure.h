/*
 * Configuration of the USB device at start: its descriptors are read and
 * kept, its first configuration is selected with every interface at its
 * first alternate setting, and the two bulk pipes are taken. PASSIVE_LEVEL,
 * in the Plug and Play start path only.
 */
#pragma once

#include "driver/frame/port.h"

// The device a port expects: interface 0 with exactly one endpoint;
// interface 1 with a bulk OUT endpoint first (WritePipe) and a bulk IN
// endpoint second (ReadPipe). A device that does not have it is refused
// with this status.
#define STATUS_PORT_LAYOUT_MISMATCH STATUS_DEVICE_CONFIGURATION_ERROR

// A configuration descriptor that is incomplete or whose chain of
// descriptors is malformed (a descriptor shorter than two bytes, one running
// past wTotalLength, an interface or endpoint descriptor cut short): the
// device sent data that cannot be trusted, and it is refused with this
// status before any of it is parsed.
#define STATUS_PORT_DESCRIPTOR_INVALID STATUS_DEVICE_DATA_ERROR

NTSTATUS ConfigureDevice(PDEVICE_OBJECT device);
NTSTATUS ReadConfigurationDescriptor(PDEVICE_OBJECT device);
NTSTATUS SelectConfiguration(PDEVICE_OBJECT device, PUSB_CONFIGURATION_DESCRIPTOR config);

// Releases the descriptor copies the record holds (at a new start and when
// the record goes away).
VOID ReleaseDescriptors(PortExtension* port);
