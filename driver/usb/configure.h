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

NTSTATUS ConfigureDevice(PDEVICE_OBJECT device);
NTSTATUS ReadConfigurationDescriptor(PDEVICE_OBJECT device);
NTSTATUS SelectConfiguration(PDEVICE_OBJECT device, PUSB_CONFIGURATION_DESCRIPTOR config);

// Releases the descriptor copies the record holds (at a new start and when
// the record goes away).
VOID ReleaseDescriptors(PortExtension* port);
