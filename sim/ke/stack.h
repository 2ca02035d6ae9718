/*
 * Kernel stacks. Every call the simulated kernel makes into a driver
 * (DriverEntry, AddDevice, dispatch, completion, cancel, DPC and unload
 * routines) runs on the calling thread's kernel stack: as small as a
 * Windows XP kernel stack, with an inaccessible guard region below it. A
 * driver that would overflow its kernel stack on Windows stops there with
 * a kernel-stack overflow report, as Windows stops with a bug check,
 * instead of running on a Linux thread's large stack. Calls nested inside
 * a driver call (a dispatch routine calling IoCallDriver, a completion
 * routine run from IoCompleteRequest) share the stack, as they do on
 * Windows.
 *
 * The first driver call on a thread also makes the thread a processor
 * (processor.h), and installs the fault report: a fault in the guard
 * region, or in code of a loaded driver image (see RegisterCodeRange), is
 * reported with what was running and where, and ends the process.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace sim::ke {

// The usable size of a kernel stack: 12 KB as on Windows XP (x86), twice
// that in the 64-bit build (as on 64-bit Windows: pointers are twice the
// size), and larger in the sanitizer builds, whose frames are larger.
size_t KernelStackBytes();

// True while this thread runs on its kernel stack.
bool OnKernelStack();

// True if `address` is on this thread's kernel stack in a frame that has
// returned (memory that the next call will reuse).
bool OnUnwoundKernelStack(const void* address);

// How much of this thread's kernel stack the deepest call so far has used,
// in bytes (0 before the thread's first driver call).
size_t KernelStackHighWater();

// Runs routine(context) on this thread's kernel stack; `what` names the
// driver routine for a fault report ("IRP_MJ_READ dispatch routine").
void RunOnKernelStack(const char* what, void (*routine)(void*), void* context);

// Calls a driver routine: the one way the simulated kernel enters a driver.
template <class Call>
void CallDriverRoutine(const char* what, Call&& call) {
  RunOnKernelStack(
      what, [](void* context) { (*static_cast<std::remove_reference_t<Call>*>(context))(); },
      const_cast<void*>(static_cast<const void*>(&call)));
}

// Code of a loaded driver image, for fault reports: describe(address,
// text, size) writes where address is ("quillan.sys+0x1234
// (_SerialRead@8+0x34)") and must be safe to call from a signal handler.
using DescribeCode = void (*)(const void* owner, uintptr_t address, char* text, size_t size);
void RegisterCodeRange(uintptr_t start, uintptr_t end, DescribeCode describe, const void* owner);
void UnregisterCodeRange(uintptr_t start);

}  // namespace sim::ke
