#include "driver/frame/direct_io.h"

NTSTATUS RefuseTransfer(PDEVICE_OBJECT device, PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  DecrementIoCount(device);
  return status;
}

NTSTATUS AdmitTransfer(PDEVICE_OBJECT device, PIRP irp, ULONG length) {
  if (!IsPortUsable(device)) return RefuseTransfer(device, irp, STATUS_DELETE_PENDING);
  if (irp->MdlAddress == nullptr || length == 0 || length > MmGetMdlByteCount(irp->MdlAddress)) {
    return RefuseTransfer(device, irp, STATUS_INVALID_PARAMETER);
  }
  // Before anything is taken from the receive buffer or sent: a request
  // that cannot be mapped is refused with nothing lost.
  if (MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority) == nullptr) {
    return RefuseTransfer(device, irp, STATUS_INSUFFICIENT_RESOURCES);
  }
  return STATUS_SUCCESS;
}
