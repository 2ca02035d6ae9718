/*
 * The routines the I/O manager and the Plug and Play manager call: the
 * driver's entry point, its dispatch routines and its unload routine. All
 * run at PASSIVE_LEVEL in the caller's thread.
 */
#pragma once

#include "driver/platform/platform.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

VOID NTAPI SerialUnload(PDRIVER_OBJECT driver);
NTSTATUS NTAPI SerialCreate(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI SerialCleanup(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI SerialClose(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI SerialRead(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI SerialWrite(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI SerialFlush(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI SerialIoControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI SerialPower(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI SerialSystemControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI SerialPnp(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI SerialAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);
