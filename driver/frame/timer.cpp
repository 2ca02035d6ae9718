#include "driver/frame/timer.h"

// The longest period whose due time, in 100-ns units, fits in the signed 64
// bits of a relative due time.
static const ULONGLONG kLongestPeriodMs = MAXLONGLONG / 10000;

VOID ArmTimerMs(PKTIMER timer, ULONGLONG milliseconds, PKDPC dpc) {
  if (milliseconds > kLongestPeriodMs) milliseconds = kLongestPeriodMs;
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(milliseconds * 10000);
  KeSetTimer(timer, due, dpc);
}
