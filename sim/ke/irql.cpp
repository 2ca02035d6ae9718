/*
 * IRQL: one per thread, PASSIVE_LEVEL until raised. The HAL's exports for
 * 32-bit x86 live here; on x86-64 the platform headers make the IRQL routines
 * inline CR8 accesses, which the driver does not use.
 */
#include "sim/ke/ke.h"
#include "sim/verifier/verifier.h"

namespace sim::ke {
namespace {
thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local RoutineContext t_context;
}

KIRQL CurrentIrql() { return t_irql; }

RoutineContext& ThisThreadContext() { return t_context; }

KIRQL RaiseIrql(KIRQL newIrql, const char* routine) {
  KIRQL old = t_irql;
  if (newIrql < old) {
    verifier::Report(verifier::Rule::IrqlNotRestored,
                     std::string(routine) + " raised IRQL from " + std::to_string(old) + " to the lower " +
                         std::to_string(newIrql));
  }
  t_irql = newIrql;
  return old;
}

void LowerIrql(KIRQL newIrql, const char* routine, bool lockFaultReported) {
  if (newIrql > t_irql) {
    verifier::Report(verifier::Rule::IrqlNotRestored,
                     std::string(routine) + " lowered IRQL from " + std::to_string(t_irql) + " to the higher " +
                         std::to_string(newIrql));
  }
  // A thread that holds a spin lock below DISPATCH_LEVEL can be preempted
  // by one that spins on that lock forever.
  if (newIrql < DISPATCH_LEVEL && SpinLocksHeldByThisThread() != 0 && !lockFaultReported) {
    verifier::Report(verifier::Rule::SpinLockHeldBelowDispatch,
                     std::string(routine) + " lowered IRQL to " + std::to_string(newIrql) + " while holding " +
                         std::to_string(SpinLocksHeldByThisThread()) + " spin lock(s)");
  }
  t_irql = newIrql;
  if (newIrql < DISPATCH_LEVEL) RunQueuedDpcs();
}

}  // namespace sim::ke

#if defined(_X86_)
extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID) { return sim::ke::CurrentIrql(); }

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) { return sim::ke::RaiseIrql(NewIrql, "KfRaiseIrql"); }

VOID FASTCALL KfLowerIrql(KIRQL NewIrql) { sim::ke::LowerIrql(NewIrql, "KfLowerIrql"); }

KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID) { return sim::ke::RaiseIrql(DISPATCH_LEVEL, "KeRaiseIrqlToDpcLevel"); }

}  // extern "C"
#endif
