/*
 * The port's time-out timers: a small state kept beside each kernel timer
 * under its guarding lock, so that the reference a timer holds is dropped
 * exactly once, by whoever learns that the timer's DPC will not run.
 */
#include "driver/frame/timer.h"

#include "driver/frame/port.h"

// The longest period whose due time, in 100-ns units, fits in the signed 64
// bits of a relative due time.
static const ULONGLONG kLongestPeriodMs = MAXLONGLONG / 10000;

static VOID SetKernelTimer(const PortTimeout& timeout, ULONGLONG milliseconds) {
  if (milliseconds > kLongestPeriodMs) milliseconds = kLongestPeriodMs;
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(milliseconds * 10000);
  KeSetTimer(timeout.Timer, due, timeout.Dpc);
}

VOID ArmTimeout(PDEVICE_OBJECT device, const PortTimeout& timeout, ULONGLONG milliseconds) {
  TimeoutState* state = timeout.State;
  switch (state->Phase) {
    case TimeoutIdle:
      IncrementIoCount(device);  // held until the DPC has run or a cancel took the timer off
      state->Phase = TimeoutSet;
      SetKernelTimer(timeout, milliseconds);
      return;
    case TimeoutSet:
      if (KeCancelTimer(timeout.Timer)) {
        SetKernelTimer(timeout, milliseconds);  // not expired: the new setting replaces it
        return;
      }
      // Expired: its DPC is queued or waiting for the lock. Setting the
      // timer now could expire it again while the DPC is still queued, and
      // that expiry would be lost.
      state->Phase = TimeoutStale;
      break;
    case TimeoutStale:
      break;
  }
  state->RearmWanted = TRUE;
  state->RearmMs = milliseconds;
}

VOID StopTimeout(PDEVICE_OBJECT device, const PortTimeout& timeout) {
  TimeoutState* state = timeout.State;
  state->RearmWanted = FALSE;
  if (state->Phase != TimeoutSet) return;
  if (KeCancelTimer(timeout.Timer)) {
    state->Phase = TimeoutIdle;
    DecrementIoCount(device);
  } else {
    state->Phase = TimeoutStale;  // its DPC comes, finds it stale and drops the reference
  }
}

BOOLEAN TakeExpiry(const PortTimeout& timeout, BOOLEAN* dropReference) {
  TimeoutState* state = timeout.State;
  if (state->Phase == TimeoutSet) {
    state->Phase = TimeoutIdle;
    *dropReference = TRUE;
    return TRUE;
  }
  if (state->Phase == TimeoutStale && state->RearmWanted) {
    // The setting wanted while this DPC was on its way; the reference stays
    // with the timer.
    state->Phase = TimeoutSet;
    state->RearmWanted = FALSE;
    SetKernelTimer(timeout, state->RearmMs);
    *dropReference = FALSE;
    return FALSE;
  }
  // Stale, or idle, which no DPC should find: a timer's DPC runs only for a
  // setting that was not taken off.
  *dropReference = state->Phase == TimeoutStale;
  state->Phase = TimeoutIdle;
  return FALSE;
}
