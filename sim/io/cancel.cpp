/*
 * IoCancelIrp: under the cancel spin lock, set Cancel and take the cancel
 * routine with an interlocked exchange. If there was one, call it at
 * DISPATCH_LEVEL with the lock still held and the IRQL to return to in
 * CancelIrql; the routine must release the lock itself. A driver that
 * cancels an IRP whose completion reached its top is reported; the I/O
 * manager's own cancel for a caller (Request::Cancel) quietly loses that race.
 */
#include "sim/io/io.h"
#include "sim/explore/hook.h"
#include "sim/ke/ke.h"
#include "sim/ke/stack.h"
#include "sim/verifier/verifier.h"

#include <cstdio>

namespace sim::io {

BOOLEAN CancelIrp(PIRP Irp, bool forCaller) {
  explore::Yield("IoCancelIrp");
  auto record = FindIrp(Irp, "IoCancelIrp");
  if (!record) return FALSE;
  {
    std::lock_guard<std::mutex> hold(record->lock);
    if (record->completed) {
      // The I/O manager cancels for a caller only requests still on the
      // thread's list, which completion takes them off: a caller's cancel
      // that loses the race with completion does nothing. A driver that
      // cancels a finished IRP uses memory the I/O manager may have freed.
      if (!forCaller) {
        verifier::Report(verifier::Rule::IrpUsedAfterCompletion,
                         "IoCancelIrp of an IRP whose completion already reached its top");
      }
      return FALSE;
    }
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  // Cancel must be visible before the exchange: a driver that installs its
  // routine and then reads Cancel relies on that order (the header's
  // exchange is only an acquire barrier for the compiler).
  __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device =
      Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
  ke::ThisThreadContext().cancelRoutines++;
  ke::CallDriverRoutine("cancel routine", [&] { routine(device, Irp); });
  ke::ThisThreadContext().cancelRoutines--;
  // The IRP may be completed and gone now.
  if (ke::ThisThreadHolds(ke::CancelSpinLock())) {
    char text[128];
    std::snprintf(text, sizeof text, "cancel routine %p returned without IoReleaseCancelSpinLock",
                  reinterpret_cast<void*>(routine));
    verifier::Report(verifier::Rule::CancelSpinLockNotReleased, text);
    IoReleaseCancelSpinLock(irql);
  } else if (ke::CurrentIrql() != irql) {
    verifier::Report(verifier::Rule::IrqlNotRestored, "a cancel routine returned at IRQL " +
                                                          std::to_string(ke::CurrentIrql()) +
                                                          " instead of the CancelIrql " + std::to_string(irql));
  }
  return TRUE;
}

}  // namespace sim::io

extern "C" {

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) { return sim::io::CancelIrp(Irp, false); }

}  // extern "C"
