/*
 * IoCancelIrp: under the cancel spin lock, set Cancel and take the cancel
 * routine with an interlocked exchange. If there was one, call it at
 * DISPATCH_LEVEL with the lock still held and the IRQL to return to in
 * CancelIrql; the routine must release the lock itself.
 */
#include "sim/io/io.h"
#include "sim/ke/ke.h"
#include "sim/verifier/verifier.h"

#include <cstdio>

extern "C" {

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  auto record = sim::io::FindIrp(Irp, "IoCancelIrp");
  if (!record) return FALSE;
  {
    std::lock_guard<std::mutex> hold(record->lock);
    if (record->completed) {
      sim::verifier::Report(sim::verifier::Rule::IrpUsedAfterCompletion,
                            "IoCancelIrp of an IRP whose completion already reached its top");
      return FALSE;
    }
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device =
      Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
  routine(device, Irp);
  // The IRP may be completed and gone now.
  if (sim::ke::ThisThreadHolds(sim::ke::CancelSpinLock())) {
    char text[128];
    std::snprintf(text, sizeof text, "cancel routine %p returned without IoReleaseCancelSpinLock",
                  reinterpret_cast<void*>(routine));
    sim::verifier::Report(sim::verifier::Rule::CancelSpinLockNotReleased, text);
    IoReleaseCancelSpinLock(irql);
  } else if (sim::ke::CurrentIrql() != irql) {
    sim::verifier::Report(sim::verifier::Rule::IrqlNotRestored,
                          "a cancel routine returned at IRQL " + std::to_string(sim::ke::CurrentIrql()) +
                              " instead of the CancelIrql " + std::to_string(irql));
  }
  return TRUE;
}

}  // extern "C"
