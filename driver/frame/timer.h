/*
 * The port's time-out timers (the two read timers and the write timer).
 *
 * A kernel timer that has expired has queued its DPC, and cancelling the
 * timer then no longer stops that DPC, which runs with the port record as
 * its context. So that removal never deletes the record under a queued or
 * running time-out DPC, a timer holds one pending-I/O reference from the
 * moment it is armed until it is known that its DPC will not run: dropped
 * by a cancel that takes the timer off before it expires, or by the DPC
 * itself as its last touch of the record. Windows 2000 has no way to wait
 * for queued DPCs (KeFlushQueuedDpcs), so this is the only kind of wait
 * that works on both systems.
 *
 * The same state tells the DPC whether its expiry is that of the timer's
 * latest setting or a stale one: a timer whose DPC may still be queued is
 * never set again before that DPC has run (a second expiry would find the
 * DPC queued and be lost with its reference); a setting wanted meanwhile is
 * made by the DPC. All of it is kept under the lock of the queue whose
 * current request the timer bounds, which the DPC takes first.
 */
#pragma once

#include "driver/platform/platform.h"

enum TimeoutPhase : UCHAR {
  TimeoutIdle = 0,  // not set, no DPC to come; holds no reference
  TimeoutSet,       // set, or expired with its DPC still to take the lock
  TimeoutStale,     // expired, and its DPC, still to come, must not act
};

// Zero (idle) in a zero-filled port record.
struct TimeoutState {
  UCHAR Phase;           // a TimeoutPhase
  BOOLEAN RearmWanted;   // stale: the DPC sets the timer again, for RearmMs
  ULONGLONG RearmMs;
};

// One time-out timer of the port: the kernel timer, its DPC and its state.
struct PortTimeout {
  PKTIMER Timer;
  PKDPC Dpc;
  TimeoutState* State;
};

// Arms the timer to expire `milliseconds` from now, replacing an earlier
// setting. A period whose due time in 100-ns units would not fit a signed
// 64-bit relative due time is bounded to the longest that does (about
// 29 000 years). If the timer's DPC is about to run for an earlier
// setting, the DPC sets it instead, a DPC's latency later. The guarding
// lock held (so DISPATCH_LEVEL).
VOID ArmTimeout(PDEVICE_OBJECT device, const PortTimeout& timeout, ULONGLONG milliseconds);

// Stops the timer: no expiry of a setting made so far counts. Drops the
// timer's reference if the timer was taken off before expiring; the caller
// holds another (that of the request the timer bounded). The guarding lock
// held.
VOID StopTimeout(PDEVICE_OBJECT device, const PortTimeout& timeout);

// The first step of the timer's DPC, with the guarding lock held: TRUE if
// this expiry is that of the timer's latest setting, which the DPC then
// acts on. *dropReference tells whether the DPC must drop the timer's
// reference (DecrementIoCount) once it has released the lock, as the last
// thing it does with the record.
BOOLEAN TakeExpiry(const PortTimeout& timeout, BOOLEAN* dropReference);
