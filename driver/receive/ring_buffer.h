/*
 * The receive ring buffer: bytes the device has sent and no read has taken
 * yet, in arrival order. One slot is always kept free, so a buffer of
 * Capacity bytes holds at most Capacity - 1. It has no lock of its own: the
 * port's RxBufferLock guards every operation but init and free, which run
 * while the bulk-in reader is stopped. A buffer without storage (zeroed, or
 * freed) is empty and has no room.
 */
#pragma once

#include "driver/platform/platform.h"

struct RingBuffer {
  PUCHAR Data;       // Capacity bytes of non-paged pool, owned here; null when none
  ULONG Count;       // bytes stored
  ULONG Capacity;    // size of Data
  ULONG ReadIndex;   // oldest stored byte
  ULONG WriteIndex;  // where the next byte goes
};

NTSTATUS RingBufferInit(RingBuffer* ring, ULONG capacity);
VOID RingBufferClear(RingBuffer* ring);
NTSTATUS RingBufferFree(RingBuffer* ring);
ULONG RingBufferCount(const RingBuffer* ring);
// Bytes a put can still store: none without storage.
ULONG RingBufferRoom(const RingBuffer* ring);
NTSTATUS RingBufferPut(RingBuffer* ring, const UCHAR* source, ULONG length);
NTSTATUS RingBufferGet(RingBuffer* ring, PUCHAR destination, ULONG length);
NTSTATUS RingBufferResize(RingBuffer* ring, ULONG newCapacity);
// Moves the stored bytes, oldest first, into `storage` of `capacity` bytes
// (more than the buffer's capacity) and makes it the buffer's storage;
// *previous receives the storage the buffer had (null if none), which the
// caller frees once it has released RxBufferLock. Allocates and frees
// nothing, so it may run under the lock.
VOID RingBufferAdopt(RingBuffer* ring, PUCHAR storage, ULONG capacity, PUCHAR* previous);
