/*
 * Serial events and the wait-on-mask requests that wait for them.
 *
 * EventHistory is a set of sticky SERIAL_EV_ bits: the bulk-in reader
 * records SERIAL_EV_RXCHAR and, when it stops, SERIAL_EV_ERR; the write
 * completion records SERIAL_EV_TXEMPTY, or SERIAL_EV_ERR once the port has
 * failed. A wait completes with the recorded events its mask watches, and
 * exactly those bits leave the history. One wait at a time is current; the
 * others queue behind it.
 */
#pragma once

#include "driver/frame/port.h"

// The bits a wait mask may hold: SERIAL_EV_RXCHAR up to SERIAL_EV_EVENT2.
#define SERIAL_EV_ALL 0x1FFF

// Adds the event to EventHistory and completes the current wait if the
// history now holds a watched event. Any IRQL up to DISPATCH_LEVEL; no
// read-side lock held (EventLock never nests with them); WriteQueueLock may
// be held.
VOID RecordEvent(PortExtension* port, ULONG event);

// Completes the current wait with `events`, written to its buffer, and makes
// the next queued wait current. The caller holds EventLock and has seen a
// current wait. STATUS_SUCCESS; STATUS_CANCELLED if the wait had been
// cancelled; STATUS_PENDING if its cancel routine is about to complete it.
NTSTATUS CompleteWaitRequest(PortExtension* port, ULONG events);

// IOCTL_SERIAL_SET_WAIT_MASK, with at least 4 input bytes: a new mask ends
// the current wait with no events. STATUS_INVALID_PARAMETER for a mask with
// bits above SERIAL_EV_ALL, which changes nothing. PASSIVE_LEVEL.
NTSTATUS ApplyWaitMask(PIRP irp);

// IOCTL_SERIAL_WAIT_ON_MASK, with room for the 4-byte result: completes the
// request at once if a watched event is already recorded, else holds it
// (marked pending; STATUS_PENDING). The caller has taken the request's
// pending-I/O reference, which whoever completes it drops. A port found
// unusable under EventLock refuses it with STATUS_DELETE_PENDING (the
// reference dropped). PASSIVE_LEVEL.
NTSTATUS QueueWaitOnMask(PIRP irp, PortExtension* port);

// IOCTL_SERIAL_PURGE, with at least 4 input bytes of SERIAL_PURGE_ flags:
// writes, then reads, are cancelled, then unread received bytes are
// discarded, each as its flag asks. Always STATUS_SUCCESS. PASSIVE_LEVEL.
NTSTATUS PurgePort(PortExtension* port, PIRP irp);
