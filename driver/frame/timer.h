/*
 * Time-outs in milliseconds on kernel timers, shared by the read and write
 * time-outs.
 */
#pragma once

#include "driver/platform/platform.h"

// Arms `timer` to expire `milliseconds` from now and queue `dpc`, replacing
// any earlier setting. A period whose due time in 100-ns units would not fit
// a signed 64-bit relative due time is bounded to the longest that does
// (about 29 000 years). Any IRQL up to DISPATCH_LEVEL.
VOID ArmTimerMs(PKTIMER timer, ULONGLONG milliseconds, PKDPC dpc);
