/*
 * The receive ring buffer's operations. Puts come from the bulk-in
 * completion and gets from the read-queue pass, both at up to DISPATCH_LEVEL
 * with the port's RxBufferLock held; so do count, clear and resize. Init runs
 * at open before the bulk-in reader starts and free at close after it has
 * stopped, without the lock. Storage is non-paged pool, since every operation
 * but init and free may run at DISPATCH_LEVEL.
 *
 * Bytes are put by their position against ReadIndex, and taken by Count; each
 * operation moves both views together, so Count always equals
 * (WriteIndex + Capacity - ReadIndex) mod Capacity. Puts and gets move their
 * bytes with at most two block copies each (the second when the stored
 * stretch wraps past the end of the storage) and touch the indices once,
 * so a byte costs what a copy of it costs.
 */
#include "driver/receive/ring_buffer.h"

// Allocates the storage. On failure Data is null and every other field keeps
// its value. Expects a buffer without storage (never initialised, or freed).
NTSTATUS RingBufferInit(RingBuffer* ring, ULONG capacity) {
  ring->Data = static_cast<PUCHAR>(ExAllocatePool(NonPagedPool, capacity));
  if (ring->Data == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ring->WriteIndex = 0;
  ring->ReadIndex = 0;
  ring->Count = 0;
  ring->Capacity = capacity;
  return STATUS_SUCCESS;
}

// Discards the stored bytes; storage and Capacity stay. RxBufferLock held.
VOID RingBufferClear(RingBuffer* ring) {
  ring->WriteIndex = 0;
  ring->ReadIndex = 0;
  ring->Count = 0;
}

// Releases the storage, if any. The buffer is left empty as well as without
// storage, so that a get or put on it afterwards finds nothing to take and no
// room, instead of reaching through the null pointer. Capacity keeps its value.
NTSTATUS RingBufferFree(RingBuffer* ring) {
  if (ring->Data != NULL) {
    ExFreePool(ring->Data);
    ring->Data = NULL;
  }
  ring->WriteIndex = 0;
  ring->ReadIndex = 0;
  ring->Count = 0;
  return STATUS_SUCCESS;
}

// RxBufferLock held.
ULONG RingBufferCount(const RingBuffer* ring) { return ring->Count; }

// One slot is always kept free. RxBufferLock held.
ULONG RingBufferRoom(const RingBuffer* ring) {
  if (ring->Data == NULL || ring->Capacity == 0) {
    return 0;
  }
  return ring->Capacity - 1 - ring->Count;
}

// Block copies across the end of the storage: `toEnd` bytes at `index` up to
// the end, the rest from the start. Out of line, so that the usual one-copy
// put or get keeps nothing in registers across its copy.
static DECLSPEC_NOINLINE VOID CopyIntoRingWrapped(PUCHAR data, ULONG index, ULONG toEnd, const UCHAR* source,
                                                  ULONG length) {
  RtlCopyMemory(data + index, source, toEnd);
  RtlCopyMemory(data, source + toEnd, length - toEnd);
}

static DECLSPEC_NOINLINE VOID CopyOutOfRingWrapped(PUCHAR destination, const UCHAR* data, ULONG index, ULONG toEnd,
                                                   ULONG length) {
  RtlCopyMemory(destination, data + index, toEnd);
  RtlCopyMemory(destination + toEnd, data, length - toEnd);
}

// Stores the bytes in order until the buffer is full; the bytes that fit stay
// stored even when the rest do not (STATUS_BUFFER_TOO_SMALL). A buffer without
// storage has no room. The room is found once, from the indices; the indices
// move first, then the bytes go in with one block copy, or two when they wrap
// past the end of the storage. RxBufferLock held.
NTSTATUS RingBufferPut(RingBuffer* ring, const UCHAR* source, ULONG length) {
  if (source == NULL) {
    return STATUS_INVALID_PARAMETER;
  }
  PUCHAR data = ring->Data;
  ULONG capacity = ring->Capacity;
  if (data == NULL || capacity == 0) {
    return length == 0 ? STATUS_INVALID_PARAMETER : STATUS_BUFFER_TOO_SMALL;
  }
  ULONG write = ring->WriteIndex;
  ULONG read = ring->ReadIndex;
  // Free slots from WriteIndex round to ReadIndex, less the one kept free.
  ULONG room = (read > write ? 0 : capacity) + read - write - 1;
  // One unsigned test for both a length of 0 and one beyond the room.
  if (length - 1 >= room) {
    if (length == 0) {
      return STATUS_INVALID_PARAMETER;
    }
    // What fits goes in as a put of its own, which succeeds; the rest is dropped.
    if (room != 0) {
      RingBufferPut(ring, source, room);
    }
    return STATUS_BUFFER_TOO_SMALL;
  }
  ULONG toEnd = capacity - write;
  ring->WriteIndex = length < toEnd ? write + length : length - toEnd;
  ring->Count += length;
  if (length <= toEnd) {
    RtlCopyMemory(data + write, source, length);
  } else {
    CopyIntoRingWrapped(data, write, toEnd, source, length);
  }
  return STATUS_SUCCESS;
}

// Takes exactly length bytes, oldest first, or nothing: a get of 0 bytes or
// of more than are stored is refused (STATUS_ARRAY_BOUNDS_EXCEEDED), as is a
// null destination (STATUS_INVALID_PARAMETER). The indices move first, then
// the bytes come out with one block copy, or two when they wrap past the end
// of the storage. RxBufferLock held.
NTSTATUS RingBufferGet(RingBuffer* ring, PUCHAR destination, ULONG length) {
  // One unsigned test for both a length of 0 and one beyond Count.
  if (length - 1 >= ring->Count) {
    return STATUS_ARRAY_BOUNDS_EXCEEDED;
  }
  if (destination == NULL) {
    return STATUS_INVALID_PARAMETER;
  }
  const UCHAR* data = ring->Data;
  ULONG read = ring->ReadIndex;
  ULONG toEnd = ring->Capacity - read;
  ring->ReadIndex = length < toEnd ? read + length : length - toEnd;
  ring->Count -= length;
  if (length <= toEnd) {
    RtlCopyMemory(destination, data + read, length);
  } else {
    CopyOutOfRingWrapped(destination, data, read, toEnd, length);
  }
  return STATUS_SUCCESS;
}

// Enlarges the storage, keeping the stored bytes in order at the start of the
// new storage (ReadIndex 0, WriteIndex = Count). Never shrinks. On allocation
// failure the buffer is left exactly as it was. Allocates non-paged pool, so
// it may run at DISPATCH_LEVEL; RxBufferLock held.
NTSTATUS RingBufferResize(RingBuffer* ring, ULONG newCapacity) {
  if (newCapacity < ring->Capacity) {
    return STATUS_INVALID_PARAMETER;
  }
  if (newCapacity == ring->Capacity) {
    return STATUS_SUCCESS;
  }
  PUCHAR storage = static_cast<PUCHAR>(ExAllocatePool(NonPagedPool, newCapacity));
  if (storage == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ULONG stored = ring->Count;
  if (stored != 0) {
    // Cannot fail: exactly Count bytes are asked for, into room for more.
    RingBufferGet(ring, storage, stored);
  }
  if (ring->Data != NULL) {
    ExFreePool(ring->Data);
  }
  ring->Data = storage;
  ring->Capacity = newCapacity;
  ring->ReadIndex = 0;
  ring->WriteIndex = stored;
  ring->Count = stored;
  return STATUS_SUCCESS;
}
