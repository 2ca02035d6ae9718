/*
 * Reads and the serial read time-outs.
 *
 * A pass holds ReadQueueLock and RxBufferLock from start to end, so the
 * bulk-in completion's put waits until the pass is over and the count the
 * pass takes at its start stays exact. It serves as many reads, in queue
 * order, as the buffered bytes allow, and leaves at most one read current.
 *
 * Two timers bound the current read. The total timer is armed once, in the
 * pass in which the read becomes current and is not filled, and counts from
 * then. The interval timer measures the silence since the last delivery: a
 * read's first pass starts it only if that pass delivered bytes, and every
 * later pass that leaves the read pending starts it again. Either expiry
 * sets ReadTimerFired and runs a pass, which completes the read with what it
 * has: STATUS_SUCCESS if that fills it, STATUS_TIMEOUT otherwise.
 *
 * Under ReadIntervalTimeout = MAXULONG two modes end a read as soon as it
 * has bytes. With both totals 0 a read returns at once with what is
 * buffered, even nothing. With the multiplier MAXULONG and a constant
 * between 0 and MAXULONG a read returns at once with what is buffered if
 * there is anything, otherwise with the first bytes that arrive, otherwise
 * when the constant runs out. What a read waits for is decided when it
 * becomes current and kept with the read, so that no read's time-outs
 * outlast it.
 *
 * An expiry whose DPC runs only after its read has ended (on another
 * processor, the pass that ended it held the lock the DPC waits for) must
 * not end the next read. Each read records in its first driver context slot
 * which timers were armed for it, and the DPC acts only for a timer armed
 * for the current read whose latest setting has expired (timer.h).
 */
#include "driver/receive/read.h"

#include "driver/frame/direct_io.h"
#include "driver/frame/dispatch.h"
#include "driver/frame/queue.h"
#include "driver/frame/timer.h"
#include "driver/receive/reader.h"

// Which timers were armed for a read, and whether its first bytes end it,
// in its first driver context slot, ours while the read is held.
static const ULONG_PTR kTotalArmed = 1;
static const ULONG_PTR kIntervalArmed = 2;
static const ULONG_PTR kEndsOnData = 4;

static ULONG_PTR ArmedTimers(PIRP read) { return reinterpret_cast<ULONG_PTR>(read->Tail.Overlay.DriverContext[0]); }

static VOID NoteArmed(PIRP read, ULONG_PTR timers) {
  read->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(ArmedTimers(read) | timers);
}

static ULONG ReadLength(PIRP read) { return IoGetCurrentIrpStackLocation(read)->Parameters.Read.Length; }

// The read's buffer in system space, mapped by SerialRead before the read
// was queued, so a pass at DISPATCH_LEVEL never has to map it.
static PUCHAR ReadBuffer(PIRP read) { return static_cast<PUCHAR>(read->MdlAddress->MappedSystemVa); }

static VOID StopReadTimers(PortExtension* port) {
  StopTimeout(port->Self, ReadTotalTimeout(port));
  StopTimeout(port->Self, ReadIntervalTimeout(port));
}

static SERIAL_TIMEOUTS CopyTimeouts(PortExtension* port) {
  KIRQL irql;
  KeAcquireSpinLock(&port->TimeoutsLock, &irql);
  SERIAL_TIMEOUTS timeouts = port->Timeouts;
  KeReleaseSpinLock(&port->TimeoutsLock, irql);
  return timeouts;
}

// How a read that cannot be filled at once ends, chosen by the read
// time-outs in force when it becomes current.
enum ReadEnding {
  ByTimers,      // when full, by its timers, or cancelled
  AtOnce,        // I = MAXULONG, M = K = 0: at once, with what is buffered
  OnFirstBytes,  // I = M = MAXULONG, 0 < K < MAXULONG: with the first bytes it gets, or after K
};

static ReadEnding EndingOf(const SERIAL_TIMEOUTS& timeouts) {
  if (timeouts.ReadIntervalTimeout != MAXULONG) return ByTimers;
  ULONG multiplier = timeouts.ReadTotalTimeoutMultiplier;
  ULONG constant = timeouts.ReadTotalTimeoutConstant;
  if (multiplier == 0 && constant == 0) return AtOnce;
  if (multiplier == MAXULONG && constant != 0 && constant != MAXULONG) return OnFirstBytes;
  return ByTimers;
}

// Arms the timers of the current read, which a pass has left pending after
// copying `copied` bytes into it. ReadQueueLock and RxBufferLock held.
static VOID ArmReadTimers(PortExtension* port, PIRP read, const SERIAL_TIMEOUTS& timeouts, ULONG copied,
                          BOOLEAN becameCurrent) {
  if (!becameCurrent) StopTimeout(port->Self, ReadIntervalTimeout(port));

  ULONG interval = timeouts.ReadIntervalTimeout;
  ULONG multiplier = timeouts.ReadTotalTimeoutMultiplier;
  ULONG constant = timeouts.ReadTotalTimeoutConstant;

  BOOLEAN intervalInForce = interval != 0 && interval != MAXULONG;
  BOOLEAN totalInForce;
  if (interval != MAXULONG) {
    totalInForce = multiplier != 0 || constant != 0;
  } else if (constant == MAXULONG) {
    totalInForce = FALSE;  // wait until full
  } else {
    totalInForce = TRUE;
    if (multiplier == MAXULONG) multiplier = 0;  // a total of the constant alone, possibly 0: at once
  }

  if (intervalInForce && (!becameCurrent || copied > 0)) {
    ArmTimeout(port->Self, ReadIntervalTimeout(port), interval);
    NoteArmed(read, kIntervalArmed);
  }
  if (totalInForce && becameCurrent) {
    ULONGLONG total = static_cast<ULONGLONG>(multiplier) * ReadLength(read) + constant;
    ArmTimeout(port->Self, ReadTotalTimeout(port), total);
    NoteArmed(read, kTotalArmed);
  }
}

// The oldest queued read becomes current, with no timer armed for it and
// no expiry left over from the read before. TRUE if there was one.
static BOOLEAN BecomeCurrent(PortExtension* port) {
  port->ReadTimerFired = FALSE;
  if (!DequeueRequest(&port->CurrentReadIrp, &port->ReadQueue)) return FALSE;
  port->CurrentReadIrp->Tail.Overlay.DriverContext[0] = nullptr;
  return TRUE;
}

// The pass itself; the caller holds ReadQueueLock. `arriving` is the read
// whose dispatch runs the pass, or null. With a read arriving the result is
// that read's own status: its completion status if the pass completed it,
// or STATUS_PENDING with the read marked pending if it is still held, which
// the lock guarantees no one else can have completed meanwhile.
static NTSTATUS ServeReads(PortExtension* port, PIRP arriving) {
  KIRQL irql;
  KeAcquireSpinLock(&port->RxBufferLock, &irql);
  ULONG available = RingBufferCount(&port->RxBuffer);
  NTSTATUS first = STATUS_PENDING;
  NTSTATUS arrivingStatus = STATUS_PENDING;

  BOOLEAN becameCurrent = FALSE;
  if (port->CurrentReadIrp == nullptr) {
    becameCurrent = BecomeCurrent(port);
  }

  for (PIRP read; (read = port->CurrentReadIrp) != nullptr;) {
    NTSTATUS completion;
    if (IsCancelled(read)) {
      // Cancelled before its cancel routine was installed, or the routine
      // has been taken and is about to run.
      if (!ClaimRequest(read)) break;
      completion = STATUS_CANCELLED;
    } else {
      ULONG length = ReadLength(read);
      ULONG copied = length - static_cast<ULONG>(read->IoStatus.Information);
      if (copied > available) copied = available;
      if (copied != 0) {
        RingBufferGet(&port->RxBuffer, ReadBuffer(read) + read->IoStatus.Information, copied);
        read->IoStatus.Information += copied;
        available -= copied;
      }

      if (read->IoStatus.Information == length) {
        if (!ClaimRequest(read)) break;  // its cancel routine reports the bytes just copied
        completion = STATUS_SUCCESS;
      } else {
        SERIAL_TIMEOUTS timeouts = CopyTimeouts(port);
        ReadEnding ending = becameCurrent ? EndingOf(timeouts) : ByTimers;
        if (ending == OnFirstBytes) NoteArmed(read, kEndsOnData);
        BOOLEAN endsOnData = (ArmedTimers(read) & kEndsOnData) != 0;
        if (ending != AtOnce && !(endsOnData && copied > 0) && !port->ReadTimerFired) {
          ArmReadTimers(port, read, timeouts, copied, becameCurrent);
          break;
        }
        if (!ClaimRequest(read)) break;
        completion = STATUS_TIMEOUT;
        port->ReadTimerFired = FALSE;
      }
    }

    StopReadTimers(port);
    port->CurrentReadIrp = nullptr;
    CompleteHeldRequest(port->Self, read, completion);
    if (first == STATUS_PENDING) first = completion;
    if (read == arriving) arrivingStatus = completion;  // compares the address only: the read is gone

    becameCurrent = BecomeCurrent(port);
  }
  KeReleaseSpinLock(&port->RxBufferLock, irql);

  if (arriving == nullptr) return first;
  if (arrivingStatus == STATUS_PENDING) {
    IoMarkIrpPending(arriving);
    arriving->IoStatus.Status = STATUS_PENDING;
  }
  return arrivingStatus;
}

NTSTATUS ProcessReadQueue(PortExtension* port) {
  KIRQL irql;
  KeAcquireSpinLock(&port->ReadQueueLock, &irql);
  NTSTATUS status = ServeReads(port, nullptr);
  KeReleaseSpinLock(&port->ReadQueueLock, irql);
  return status;
}

VOID NTAPI ReadTimeoutDpc(PKDPC dpc, PVOID context, PVOID systemArgument1, PVOID systemArgument2) {
  UNREFERENCED_PARAMETER(systemArgument1);
  UNREFERENCED_PARAMETER(systemArgument2);
  auto port = static_cast<PortExtension*>(context);
  BOOLEAN total = dpc == &port->ReadTotalDpc;
  PDEVICE_OBJECT self = port->Self;
  // The flag is set under the lock of the pass it is meant for, so no pass
  // in between can see it half-written.
  KIRQL irql;
  KeAcquireSpinLock(&port->ReadQueueLock, &irql);
  BOOLEAN dropReference;
  BOOLEAN current = TakeExpiry(total ? ReadTotalTimeout(port) : ReadIntervalTimeout(port), &dropReference);
  PIRP read = port->CurrentReadIrp;
  BOOLEAN armedForRead = read != nullptr && (ArmedTimers(read) & (total ? kTotalArmed : kIntervalArmed)) != 0;
  if (current && armedForRead) {
    port->ReadTimerFired = TRUE;
    ServeReads(port, nullptr);
  }
  KeReleaseSpinLock(&port->ReadQueueLock, irql);
  ResumeBulkReader(port);  // the pass may have made room
  // The timer's reference kept the record alive until here.
  if (dropReference) DecrementIoCount(self);
}

NTSTATUS NTAPI SerialRead(PDEVICE_OBJECT device, PIRP irp) {
  PortExtension* port = PortOf(device);
  IncrementIoCount(device);  // the read's own reference, dropped by whoever completes it
  NTSTATUS admitted = AdmitTransfer(device, irp, ReadLength(irp));
  if (!NT_SUCCESS(admitted)) return admitted;

  // A reader that could not be started leaves the read to its time-outs.
  if (!FlagIsSet(port->DeviceFailed)) StartBulkReader(device);

  KIRQL irql;
  KeAcquireSpinLock(&port->ReadQueueLock, &irql);
  // Tested again under the lock that removal's flush takes after marking
  // the port removed: the read is refused here or flushed there.
  if (!IsPortUsable(device)) {
    KeReleaseSpinLock(&port->ReadQueueLock, irql);
    return RefuseTransfer(device, irp, STATUS_DELETE_PENDING);
  }
  NTSTATUS status;
  if (!EnqueueRequest(ReadRequests(port), irp, ReadCancelRoutine)) {
    status = STATUS_CANCELLED;  // cancelled already, and completed
  } else if (port->CurrentReadIrp == nullptr) {
    status = ServeReads(port, irp);
  } else {
    // Served when the reads ahead of it are done.
    IoMarkIrpPending(irp);
    irp->IoStatus.Status = STATUS_PENDING;
    status = STATUS_PENDING;
  }
  KeReleaseSpinLock(&port->ReadQueueLock, irql);
  ResumeBulkReader(port);  // the pass may have made room
  return status;
}
