/*
 * Forced include of every host build: the predefined macros that the mingw-w64
 * i686 compiler supplies and the platform headers test, so that the very same
 * DDK headers compile with the Linux compiler. On 64-bit the calling-convention
 * keywords are empty (there is one convention); on 32-bit they become the GCC
 * attributes, so a routine defined with the wrong convention does not link.
 */
#pragma once

#define _WIN32 1
#define __MINGW32__ 1
#define __MSVCRT__ 1
#define __declspec(x) __attribute__((x))

#if defined(__x86_64__)
#define _WIN64 1
#define _AMD64_ 1
#define __stdcall
#define __cdecl
#define __fastcall
#define _stdcall
#define _cdecl
#define _fastcall
#elif defined(__i386__)
#define _X86_ 1
#define __stdcall __attribute__((__stdcall__))
#define __cdecl __attribute__((__cdecl__))
#define __fastcall __attribute__((__fastcall__))
#define _stdcall __attribute__((__stdcall__))
#define _cdecl __attribute__((__cdecl__))
#define _fastcall __attribute__((__fastcall__))
#else
#error "host builds are x86 (-m32) or x86-64"
#endif

#define QUILLAN_HOST_BUILD 1

// The C library's own sizes and pointer-sized integers come first, so that
// the platform headers take them as defined instead of declaring their own
// (which differ in spelling, though not in size, on 64-bit Linux).
#include <stddef.h>
#include <stdint.h>
#include <wctype.h>
#ifndef _SIZE_T_DEFINED
#define _SIZE_T_DEFINED 1
#endif
#ifndef _SSIZE_T_DEFINED
#define _SSIZE_T_DEFINED 1
#endif
#ifndef _PTRDIFF_T_DEFINED
#define _PTRDIFF_T_DEFINED 1
#endif
#ifndef _INTPTR_T_DEFINED
#define _INTPTR_T_DEFINED 1
#endif
#ifndef _UINTPTR_T_DEFINED
#define _UINTPTR_T_DEFINED 1
#endif
#ifndef _TIME_T_DEFINED
#define _TIME_T_DEFINED 1
#endif
#ifndef _WCTYPE_T_DEFINED
#define _WCTYPE_T_DEFINED 1
#endif
#ifndef NOMINMAX
#define NOMINMAX 1
#endif
