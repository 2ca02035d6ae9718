/*
 * Memory descriptor lists for direct I/O, as the I/O manager builds them for
 * a caller's buffer: pages probed and locked, not mapped to system space.
 * A driver reaches the bytes only through the system-space mapping
 * (MmMapLockedPagesSpecifyCache, usually by MmGetSystemAddressForMdlSafe).
 *
 * The simulated mapping is a separate view of the buffer: it is filled from
 * the caller's buffer when mapped and copied back when the MDL is released
 * at completion, so a driver that wrote through the caller's address instead
 * of the mapping loses its bytes, as it would fault on Windows.
 */
#pragma once

#include "driver/platform/platform.h"

#include <cstdint>

namespace sim::mm {

// An MDL describing `length` bytes at `buffer` (the caller's address).
PMDL DescribeBuffer(void* buffer, ULONG length);

// Copies the system view back into the caller's buffer, unmaps and frees.
void ReleaseMdl(PMDL mdl);

// The next `count` mappings fail (MmMapLockedPagesSpecifyCache returns null),
// as when system PTEs run out.
void FailMappings(uint64_t count);

// MDLs described and not released.
size_t LiveMdls();

// Frees every MDL without reporting (end of a test).
void Reset();

}  // namespace sim::mm
