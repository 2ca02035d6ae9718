/*
 * The processor control region (KPCR) kernel code finds through %fs on x86.
 * Every thread of the simulated kernel that runs driver code is one of its
 * processors: it gets its own region, and %fs is pointed at it the first
 * time the thread enters a driver (see stack.h). The region holds what
 * x86 kernel code reads from it: the TIB with the end of the exception
 * handler chain and the kernel stack's bounds, the self pointer and the
 * processor number. The current IRQL is kept by the simulated kernel, not
 * in the region's Irql field.
 *
 * Only the 32-bit x86 build has such a region; elsewhere the routines do
 * nothing and return null.
 */
#pragma once

#include "driver/platform/platform.h"

namespace sim::ke {

// Sets up this thread's region (once) with the given kernel stack bounds
// and points %fs at it. Returns the region, or null without x86.
PKPCR EnterProcessor(void* stackBase, void* stackLimit);

// The region %fs points at on this thread (read through %fs, as driver
// code would), or null when the thread has none.
PKPCR ProcessorRegionThroughFs();

}  // namespace sim::ke
