/*
 * Power and system-control requests: the driver keeps no power state and
 * takes no part in WMI, so both go down the stack unchanged, with no
 * completion routine and the lower driver's status returned as it is.
 * PASSIVE_LEVEL (the port device is power-pageable); no lock taken.
 */
#include "driver/frame/dispatch.h"
#include "driver/frame/port.h"

NTSTATUS NTAPI SerialPower(PDEVICE_OBJECT device, PIRP irp) {
  PortExtension* port = PortOf(device);
  IncrementIoCount(device);
  DbgPrint("IrpStack->MinorFunction %d \n", IoGetCurrentIrpStackLocation(irp)->MinorFunction);
  IoCopyCurrentIrpStackLocationToNext(irp);
  PoStartNextPowerIrp(irp);
  NTSTATUS status = PoCallDriver(port->LowerDevice, irp);
  DecrementIoCount(device);
  return status;
}

NTSTATUS NTAPI SerialSystemControl(PDEVICE_OBJECT device, PIRP irp) {
  PortExtension* port = PortOf(device);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IncrementIoCount(device);
  IoCopyCurrentIrpStackLocationToNext(irp);
  NTSTATUS status = IofCallDriver(port->LowerDevice, irp);
  DecrementIoCount(device);
  return status;
}
