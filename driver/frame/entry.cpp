/*
 * The driver's front door: the entry point announces the driver and fills
 * the routing table. The driver keeps no global state; everything lives in
 * the port record of each port device. Major functions without an entry keep
 * the I/O manager's default, which refuses them without the driver seeing
 * them.
 */
#include "driver/frame/dispatch.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  UNREFERENCED_PARAMETER(registryPath);
  DbgPrint("QUILLAN 2010.01.06 V1--Ostrel\n");

  driver->MajorFunction[IRP_MJ_CREATE] = SerialCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = SerialClose;
  driver->MajorFunction[IRP_MJ_READ] = SerialRead;
  driver->MajorFunction[IRP_MJ_WRITE] = SerialWrite;
  driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = SerialFlush;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = SerialIoControl;
  driver->MajorFunction[IRP_MJ_CLEANUP] = SerialCleanup;
  driver->MajorFunction[IRP_MJ_POWER] = SerialPower;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = SerialSystemControl;
  driver->MajorFunction[IRP_MJ_PNP] = SerialPnp;
  driver->DriverExtension->AddDevice = SerialAddDevice;
  driver->DriverUnload = SerialUnload;
  return STATUS_SUCCESS;
}

// By the time the system unloads the driver, removal has released every
// port's resources and deleted its device object: nothing is left to do.
VOID NTAPI SerialUnload(PDRIVER_OBJECT driver) { UNREFERENCED_PARAMETER(driver); }
