/*
 * The port record: the whole state of one port, kept as the device
 * extension of its port device object. Every field names what guards it.
 * Dispatch routines reach the record through DeviceExtension; timer DPCs and
 * USB completion routines get the record itself as context and reach the
 * device object back through Self.
 *
 * Lock order, outermost first: the platform's cancel spin lock; then
 * ReadQueueLock -> RxBufferLock -> TimeoutsLock on the read side, or
 * WriteQueueLock -> EventLock on the write side; IoCountLock is innermost of
 * all. EventLock is never held together with the read locks.
 */
#pragma once

#include "driver/frame/timer.h"
#include "driver/platform/platform.h"
#include "driver/receive/ring_buffer.h"

// Size of the bulk-in landing area and of the bulk-out staging area.
#define PORT_TRANSFER_SIZE 256

struct PortExtension {
  PDEVICE_OBJECT LowerDevice;                  // written once at add-device, before any open
  PDEVICE_OBJECT PhysicalDevice;               // written once at add-device
  ULONG BaudRate;                              // TimeoutsLock, which the control requests hold for every setting
  SERIAL_LINE_CONTROL LineControl;             // TimeoutsLock
  SERIAL_CHARS Chars;                          // TimeoutsLock
  SERIAL_HANDFLOW HandFlow;                    // TimeoutsLock
  SERIAL_TIMEOUTS Timeouts;                    // TimeoutsLock (the write path reads its two fields without it)
  ULONG BreakCount;                            // TimeoutsLock; nothing counts into it
  SERIALPERF_STATS PerfStats;                  // TimeoutsLock; nothing counts into it
  ULONG WaitMask;                              // EventLock
  RingBuffer RxBuffer;                         // RxBufferLock
  KSPIN_LOCK RxBufferLock;
  BOOLEAN ReaderRunning;                       // RxBufferLock: the reader holds its request and reference
  BOOLEAN ReaderParked;                        // RxBufferLock: the reader's request waits in the driver for room
  BOOLEAN ReaderSending;                       // RxBufferLock: the reader's request is being handed down
  BOOLEAN ReaderReturned;                      // RxBufferLock: it came back during the hand-down
  BOOLEAN ReaderStopWanted;                    // RxBufferLock: the reader is being stopped; nothing more is sent
  KEVENT ReaderSendDone;                       // RxBufferLock: signalled while no hand-down is in progress
  LIST_ENTRY ReadQueue;                        // ReadQueueLock
  KSPIN_LOCK ReadQueueLock;                    // guards ReadQueue and CurrentReadIrp
  struct _URB_BULK_OR_INTERRUPT_TRANSFER* ReadUrb;  // owned by the bulk-in reader
  PIRP ReadUrbIrp;                             // owned by the bulk-in reader
  PIRP CurrentReadIrp;                         // ReadQueueLock
  USBD_PIPE_HANDLE ReadPipe;                   // written at start
  KTIMER ReadTotalTimer;
  KDPC ReadTotalDpc;
  TimeoutState ReadTotalState;                 // ReadQueueLock
  UCHAR ReadTransferBuffer[PORT_TRANSFER_SIZE];  // owned by the bulk-in reader
  KTIMER ReadIntervalTimer;
  KDPC ReadIntervalDpc;
  TimeoutState ReadIntervalState;              // ReadQueueLock
  BOOLEAN ReadTimerFired;                      // set without a lock; read and cleared under ReadQueueLock
  BOOLEAN PortOpen;                            // no lock: single-byte flag
  LIST_ENTRY WriteQueue;                       // WriteQueueLock
  KSPIN_LOCK WriteQueueLock;                   // guards WriteQueue, CurrentWriteIrp, WriteUrbIrp and SpareWriteIrp
  struct _URB_BULK_OR_INTERRUPT_TRANSFER* WriteUrb;  // WriteQueueLock while a transfer is built
  PIRP WriteUrbIrp;                            // WriteQueueLock
  PIRP SpareWriteIrp;                          // WriteQueueLock; kept for the next write, freed at close
  KDPC WriteTimerDpc;
  KTIMER WriteTimer;
  TimeoutState WriteTimerState;                // WriteQueueLock
  PIRP CurrentWriteIrp;                        // WriteQueueLock
  USBD_PIPE_HANDLE WritePipe;                  // written at start
  UCHAR WriteBuffer[PORT_TRANSFER_SIZE];       // WriteQueueLock
  PIRP CurrentWaitIrp;                         // EventLock
  ULONG EventHistory;                          // EventLock
  LIST_ENTRY WaitQueue;                        // EventLock
  KSPIN_LOCK EventLock;                        // guards EventHistory, WaitQueue and CurrentWaitIrp
  KSPIN_LOCK TimeoutsLock;                     // guards Timeouts and the other serial settings
  LONG PendingIoCount;                         // IoCountLock, changed only by interlocked operations
  KEVENT RemoveEvent;                          // IoCountLock: signalled when the count falls to 0
  KEVENT NoPendingIoEvent;                     // IoCountLock: signalled when the count falls to 1
  BOOLEAN DeviceFailed;                        // no lock: single-byte flag
  BOOLEAN Removed;                             // no lock: single-byte flag
  BOOLEAN RemovePending;                       // no lock: single-byte flag
  UNICODE_STRING InterfaceName;                // buffer owned by the record
  UNICODE_STRING DosLinkName;                  // buffer owned by the record
  UNICODE_STRING DeviceName;                   // set at creation; buffer owned by the record
  UNICODE_STRING PortName;                     // buffer owned by the record
  ULONG SkipExternalNaming;                    // written once at add-device
  PDEVICE_OBJECT Self;                         // written once at creation
  BOOLEAN Started;                             // no lock: single-byte flag, never cleared
  KSPIN_LOCK IoCountLock;                      // guards PendingIoCount with its two events
  PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptor;  // written at start
  PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;     // written at start
  BOOLEAN SerialCommWritten;                   // no lock
  BOOLEAN DosLinkCreated;                      // no lock
};

inline PortExtension* PortOf(PDEVICE_OBJECT device) { return static_cast<PortExtension*>(device->DeviceExtension); }

// The three time-out timers with their DPCs and states (see timer.h).
inline PortTimeout ReadTotalTimeout(PortExtension* port) {
  return {&port->ReadTotalTimer, &port->ReadTotalDpc, &port->ReadTotalState};
}
inline PortTimeout ReadIntervalTimeout(PortExtension* port) {
  return {&port->ReadIntervalTimer, &port->ReadIntervalDpc, &port->ReadIntervalState};
}
inline PortTimeout WriteTimeout(PortExtension* port) {
  return {&port->WriteTimer, &port->WriteTimerDpc, &port->WriteTimerState};
}

// The state flags without a lock (PortOpen, DeviceFailed, Removed,
// RemovePending, Started) are set on one processor and read on others with
// no ordering between them: every reader tolerates the old or the new value.
// Each access is still a single atomic byte load or store, so that the
// compiler neither keeps a flag in a register nor splits its access.
inline BOOLEAN FlagIsSet(const BOOLEAN& flag) { return __atomic_load_n(&flag, __ATOMIC_ACQUIRE); }
inline VOID SetFlag(BOOLEAN& flag, BOOLEAN value) { __atomic_store_n(&flag, value, __ATOMIC_RELEASE); }

// Brings a freshly created, zero-filled record to its creation state: the
// serial defaults, the locks, timers, events and list heads, Self.
// Any IRQL up to DISPATCH_LEVEL; no lock held.
VOID InitializePortRecord(PortExtension* port, PDEVICE_OBJECT self);

// Pending-I/O references (see io_count.cpp). Any IRQL up to DISPATCH_LEVEL.
LONG IncrementIoCount(PDEVICE_OBJECT device);
LONG DecrementIoCount(PDEVICE_OBJECT device);

// TRUE if read, write and control requests may be served. Takes no lock.
BOOLEAN IsPortUsable(PDEVICE_OBJECT device);
