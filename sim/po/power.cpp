/*
 * The power manager's two routines a function driver calls while passing a
 * power IRP down. PoStartNextPowerIrp is counted on the IRP's record so tests
 * can see that the driver called it.
 */
#include "sim/io/io.h"
#include "sim/po/power.h"

namespace sim::po {

int NextPowerIrpStarts(PIRP irp) {
  auto record = io::FindIrp(irp, "NextPowerIrpStarts");
  if (!record) return 0;
  std::lock_guard<std::mutex> hold(record->lock);
  return record->powerIrpsStarted;
}

}  // namespace sim::po

extern "C" {

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return sim::io::CallDriver(DeviceObject, Irp, "PoCallDriver");
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  auto record = sim::io::FindIrp(Irp, "PoStartNextPowerIrp");
  if (!record) return;
  std::lock_guard<std::mutex> hold(record->lock);
  record->powerIrpsStarted++;
}

}  // extern "C"
