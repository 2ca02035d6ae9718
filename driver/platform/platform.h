/*
 * The one header the driver includes: the platform's own kernel, USB and
 * serial headers (mingw-w64 DDK), with the few workarounds they need, in
 * every build. Nothing here declares a kernel routine of its own making.
 */
#pragma once

// Below Vista the headers test this name around SYSTEM_POWER_STATE_CONTEXT
// without defining it.
#ifndef NTDDI_WINVISTA
#define NTDDI_WINVISTA 0x06000000
#endif

// In C++ the headers would otherwise declare these intrinsics twice.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

#include <ntddk.h>
extern "C" {
#include <usb.h>
#include <usbioctl.h>
#include <usbdlib.h>
}
#include <ntddser.h>

#if defined(QUILLAN_HOST_BUILD)
// The kernel's C run-time exports that the string helpers below call. The
// mingw target declares them in its own stdio.h, which host builds replace
// with the C library's.
extern "C" {
int __cdecl _vsnprintf(char* buffer, size_t count, const char* format, va_list args);
int __cdecl _vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list args);
}
#endif
#include <ntstrsafe.h>

/*
 * PAGED_CODE() marks a routine that may wait. The platform's version reads
 * the IRQL in checked builds only; in the host builds it asks the simulated
 * kernel, which fails the test when the routine runs at DISPATCH_LEVEL or
 * under a spin lock. The shipped drivers compile it out.
 */
#undef PAGED_CODE
#if defined(QUILLAN_HOST_BUILD)
extern "C" void QuillanHostAssertMayWait(const char* routine);
#define PAGED_CODE() QuillanHostAssertMayWait(__func__)
#else
#define PAGED_CODE() ((void)0)
#endif
