// The verifier's I/O rules. Each rule has a scenario run twice: once with a
// deliberately faulty driver routine, which must produce exactly one finding
// of that rule, and once with the routine written correctly, which must
// produce none. Leaks are checked by the end-of-test checks themselves.
#include "support/kernel_test.h"
#include "support/test_driver.h"

#include "sim/io/io.h"
#include "sim/io/request.h"
#include "sim/ke/ke.h"

#include <functional>
#include <string>
#include <vector>

using sim::verifier::Rule;
using test::DeviceStack;
using test::TestDriver;

namespace {

NTSTATUS NTAPI FreeOwnIrp(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  (void)device;
  (void)context;
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Takes the routine's own IRP back without freeing it.
NTSTATUS NTAPI KeepOwnIrp(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  (void)device;
  (void)irp;
  (void)context;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Frees the routine's own IRP; *context says whether to stop the walk.
NTSTATUS NTAPI FreeOwnIrpThenReturn(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  (void)device;
  IoFreeIrp(irp);
  return *static_cast<const bool*>(context) ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_CONTINUE_COMPLETION;
}

// Completes the IRP again from inside the routine; *context says whether
// the routine then returns STATUS_MORE_PROCESSING_REQUIRED (correct) or
// lets the walk go on over an IRP already completed (faulty).
NTSTATUS NTAPI CompleteAgainFromRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  (void)device;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return *static_cast<const bool*>(context) ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_CONTINUE_COMPLETION;
}

// Passes the pending mark up only when *context says so.
NTSTATUS NTAPI MaybePropagatePending(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  (void)device;
  if (*static_cast<const bool*>(context) && irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_CONTINUE_COMPLETION;
}

VOID NTAPI NeverCalledCancel(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  (void)irp;
  ADD_FAILURE() << "a cancel routine ran that nobody should have called";
}

bool g_releaseCancelLock = true;

VOID NTAPI CancelAndComplete(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  if (g_releaseCancelLock) IoReleaseCancelSpinLock(irp->CancelIrql);
  test::Complete(irp, STATUS_CANCELLED);
}

// --- Scenarios: each builds its own devices and leaves nothing behind -------

void CompleteTwice(bool faulty) {
  DeviceStack stack(1);
  stack.DriverAt(0).Serve(IRP_MJ_WRITE, [faulty](PDEVICE_OBJECT, PIRP irp) {
    test::Complete(irp, STATUS_SUCCESS);
    if (faulty) IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  });
  sim::io::Request request(stack.Top(), IRP_MJ_WRITE);
  EXPECT_EQ(request.Send(), STATUS_SUCCESS);
  EXPECT_EQ(request.CompletionOrder(), 1u) << "completions of the request seen by its sender";
}

void CompleteAgainFromARoutineThatDoesNotStopTheWalk(bool faulty) {
  DeviceStack stack(2);
  bool stopWalk = !faulty;
  stack.DriverAt(1).Serve(IRP_MJ_WRITE, [&stopWalk](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, CompleteAgainFromRoutine, &stopWalk, TRUE, TRUE, TRUE);
    return IofCallDriver(TestDriver::Lower(device), irp);
  });
  stack.DriverAt(0).Serve(IRP_MJ_WRITE, test::CompleteWith(STATUS_SUCCESS));
  sim::io::Request request(stack.Top(), IRP_MJ_WRITE);
  EXPECT_EQ(request.Send(), STATUS_SUCCESS);
  EXPECT_EQ(request.CompletionOrder(), 1u) << "completions of the request seen by its sender";
}

void CompleteWithCancelRoutineSet(bool faulty) {
  DeviceStack stack(1);
  std::vector<PIRP> held;
  stack.DriverAt(0).Serve(IRP_MJ_READ, [&held](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, NeverCalledCancel);
    held.push_back(irp);
    return STATUS_PENDING;
  });
  sim::io::Request request(stack.Top(), IRP_MJ_READ);
  EXPECT_EQ(request.Send(), STATUS_PENDING);
  ASSERT_EQ(held.size(), 1u);
  if (!faulty) {
    EXPECT_EQ(IoSetCancelRoutine(held[0], nullptr), NeverCalledCancel);
  }
  test::Complete(held[0], STATUS_SUCCESS);
  EXPECT_TRUE(request.Completed());
}

void CompleteWithStatusPending(bool faulty) {
  DeviceStack stack(1);
  std::vector<PIRP> held;
  stack.DriverAt(0).Serve(IRP_MJ_READ, test::HoldIn(held));
  sim::io::Request request(stack.Top(), IRP_MJ_READ);
  EXPECT_EQ(request.Send(), STATUS_PENDING);
  ASSERT_EQ(held.size(), 1u);
  test::Complete(held[0], faulty ? STATUS_PENDING : STATUS_SUCCESS);
  EXPECT_TRUE(request.Completed());
}

void ReturnPendingWithoutMarking(bool faulty) {
  DeviceStack stack(1);
  std::vector<PIRP> held;
  stack.DriverAt(0).Serve(IRP_MJ_READ, [&held, faulty](PDEVICE_OBJECT, PIRP irp) {
    if (!faulty) IoMarkIrpPending(irp);
    held.push_back(irp);
    return STATUS_PENDING;
  });
  sim::io::Request request(stack.Top(), IRP_MJ_READ);
  EXPECT_EQ(request.Send(), STATUS_PENDING);
  ASSERT_EQ(held.size(), 1u);
  test::Complete(held[0], STATUS_SUCCESS);
}

// The classic: a driver with a completion routine returns the lower
// driver's STATUS_PENDING, but its routine does not pass the pending mark
// up to the driver's own location.
void ReturnPendingFromARoutineThatDoesNotPropagateIt(bool faulty) {
  DeviceStack stack(2);
  std::vector<PIRP> held;
  bool propagate = !faulty;
  stack.DriverAt(1).Serve(IRP_MJ_READ, [&propagate](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, MaybePropagatePending, &propagate, TRUE, TRUE, TRUE);
    return IofCallDriver(TestDriver::Lower(device), irp);
  });
  stack.DriverAt(0).Serve(IRP_MJ_READ, test::HoldIn(held));
  sim::io::Request request(stack.Top(), IRP_MJ_READ);
  EXPECT_EQ(request.Send(), STATUS_PENDING);
  ASSERT_EQ(held.size(), 1u);
  test::Complete(held[0], STATUS_SUCCESS);
  EXPECT_TRUE(request.Completed());
}

void ReturnAStatusOtherThanTheCompletionStatus(bool faulty) {
  DeviceStack stack(1);
  stack.DriverAt(0).Serve(IRP_MJ_FLUSH_BUFFERS, [faulty](PDEVICE_OBJECT, PIRP irp) {
    test::Complete(irp, STATUS_SUCCESS);
    return faulty ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
  });
  sim::io::Request request(stack.Top(), IRP_MJ_FLUSH_BUFFERS);
  request.Send();
  EXPECT_EQ(request.Status(), STATUS_SUCCESS);
}

void ReturnWithoutCompletingOrPending(bool faulty) {
  DeviceStack stack(1);
  std::vector<PIRP> kept;
  stack.DriverAt(0).Serve(IRP_MJ_FLUSH_BUFFERS, [&kept, faulty](PDEVICE_OBJECT, PIRP irp) {
    if (faulty) {
      kept.push_back(irp);  // neither completed nor marked pending
    } else {
      test::Complete(irp, STATUS_SUCCESS);
    }
    return STATUS_SUCCESS;
  });
  sim::io::Request request(stack.Top(), IRP_MJ_FLUSH_BUFFERS);
  EXPECT_EQ(request.Send(), STATUS_SUCCESS);
  for (PIRP irp : kept) test::Complete(irp, STATUS_SUCCESS);  // so that the test leaves nothing behind
  EXPECT_TRUE(request.Completed());
}

// A driver's own IRP, sent, completed and taken back by its completion
// routine, then sent again: the second time the lower driver returns
// without completing it, which the earlier completion must not hide.
void ReturnWithoutCompletingAnIrpSentAgain(bool faulty) {
  DeviceStack stack(1);
  int arrivals = 0;
  std::vector<PIRP> kept;
  stack.DriverAt(0).Serve(IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) {
    if (++arrivals == 2 && faulty) {
      kept.push_back(irp);
    } else {
      test::Complete(irp, STATUS_SUCCESS);
    }
    return STATUS_SUCCESS;
  });
  PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  for (int round = 0; round < 2; ++round) {
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, KeepOwnIrp, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IofCallDriver(stack.Top(), irp), STATUS_SUCCESS);
  }
  for (PIRP late : kept) test::Complete(late, STATUS_SUCCESS);
  IoFreeIrp(irp);
}

// A driver forwards requests to a device of another stack. Its own device
// must count that stack's locations; the faulty one does not, so the request
// reaches it with no location left for the next driver. Known difference:
// Windows bug-checks (NO_MORE_IRP_STACK_LOCATIONS); the simulated kernel
// reports it and returns STATUS_INVALID_PARAMETER without calling the next
// driver, so the faulty driver completes the request with that status.
void ForwardWithNoStackLocationLeft(bool faulty) {
  DeviceStack forwarder(1), target(1);
  target.DriverAt(0).Serve(IRP_MJ_WRITE, test::CompleteWith(STATUS_SUCCESS));
  PDEVICE_OBJECT next = target.Top();
  if (!faulty) forwarder.Top()->StackSize = static_cast<CCHAR>(next->StackSize + 1);
  forwarder.DriverAt(0).Serve(IRP_MJ_WRITE, [next](PDEVICE_OBJECT, PIRP irp) {
    if (irp->CurrentLocation > 1) IoCopyCurrentIrpStackLocationToNext(irp);
    NTSTATUS status = IofCallDriver(next, irp);
    if (status == STATUS_INVALID_PARAMETER) test::Complete(irp, status);
    return status;
  });
  sim::io::Request request(forwarder.Top(), IRP_MJ_WRITE);
  EXPECT_EQ(request.Send(), faulty ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS);
  EXPECT_TRUE(request.Completed());
}

void CompleteADriversOwnIrpPastItsTop(bool faulty) {
  DeviceStack stack(1);
  stack.DriverAt(0).Serve(IRP_MJ_READ, test::CompleteWith(STATUS_SUCCESS));
  PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  if (!faulty) IoSetCompletionRoutine(irp, FreeOwnIrp, nullptr, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(stack.Top(), irp), STATUS_SUCCESS);
  if (faulty) IoFreeIrp(irp);  // the simulated kernel keeps it alive after the report
}

void FreeWhileALowerDriverHoldsIt(bool faulty) {
  DeviceStack stack(1);
  std::vector<PIRP> held;
  stack.DriverAt(0).Serve(IRP_MJ_READ, test::HoldIn(held));
  PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoSetCompletionRoutine(irp, FreeOwnIrp, nullptr, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(stack.Top(), irp), STATUS_PENDING);
  if (faulty) IoFreeIrp(irp);  // refused: the lower driver still has it
  ASSERT_EQ(held.size(), 1u);
  test::Complete(held[0], STATUS_SUCCESS);  // the completion routine frees it
}

void FreeInARoutineThatDoesNotStopTheWalk(bool faulty) {
  DeviceStack stack(1);
  stack.DriverAt(0).Serve(IRP_MJ_READ, test::CompleteWith(STATUS_SUCCESS));
  bool stopWalk = !faulty;
  PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoSetCompletionRoutine(irp, FreeOwnIrpThenReturn, &stopWalk, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(stack.Top(), irp), STATUS_SUCCESS);
}

// Only IRPs from IoAllocateIrp are the driver's to free.
void FreeAnIrpTheIoManagerOwns(bool faulty) {
  DeviceStack stack(1);
  stack.DriverAt(0).Serve(IRP_MJ_CLOSE, [faulty](PDEVICE_OBJECT, PIRP irp) {
    test::Complete(irp, STATUS_SUCCESS);
    if (faulty) IoFreeIrp(irp);  // refused: the I/O manager frees its own requests
    return STATUS_SUCCESS;
  });
  sim::io::Request request(stack.Top(), IRP_MJ_CLOSE);
  EXPECT_EQ(request.Send(), STATUS_SUCCESS);
}

void CancelRoutineKeepsTheCancelLock(bool faulty) {
  g_releaseCancelLock = !faulty;
  DeviceStack stack(1);
  stack.DriverAt(0).Serve(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelAndComplete);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
  });
  sim::io::Request request(stack.Top(), IRP_MJ_READ);
  EXPECT_EQ(request.Send(), STATUS_PENDING);
  EXPECT_TRUE(request.Cancel());
  EXPECT_TRUE(request.Completed());
  EXPECT_EQ(request.Status(), STATUS_CANCELLED);
  g_releaseCancelLock = true;
}

void DeleteWhileAttachedToTheDeviceBelow(bool faulty) {
  TestDriver bus, function;
  PDEVICE_OBJECT lower = bus.AddDevice();
  PDEVICE_OBJECT upper = function.AddDevice(lower);
  if (faulty) IoDeleteDevice(upper);  // reported, and the device is kept
  IoDetachDevice(lower);
  IoDeleteDevice(upper);
  IoDeleteDevice(lower);
}

void DeleteWhileAnotherIsAttachedAbove(bool faulty) {
  TestDriver bus, function;
  PDEVICE_OBJECT lower = bus.AddDevice();
  PDEVICE_OBJECT upper = function.AddDevice(lower);
  if (faulty) IoDeleteDevice(lower);  // reported, and the device is kept
  IoDetachDevice(lower);
  IoDeleteDevice(upper);
  IoDeleteDevice(lower);
}

// --- Objects the I/O manager does not know -----------------------------------

void FreeSomethingThatIsNotAnIrp(bool faulty) {
  alignas(16) unsigned char notAnIrp[sizeof(IRP)] = {};
  PIRP irp = faulty ? reinterpret_cast<PIRP>(notAnIrp) : IoAllocateIrp(1, FALSE);
  ASSERT_NE(irp, nullptr);
  IoFreeIrp(irp);  // refused when it is not an IRP
}

void DeleteSomethingThatIsNotADevice(bool faulty) {
  TestDriver driver;
  PDEVICE_OBJECT device = driver.AddDevice();
  DEVICE_OBJECT notADevice{};
  IoDeleteDevice(faulty ? &notADevice : device);  // refused when it is not a live device
  if (faulty) IoDeleteDevice(device);
}

// A device that an open handle still references: the reference must be gone
// before the device is deleted.
void DeleteWhileReferenced(bool faulty) {
  TestDriver driver;
  PDEVICE_OBJECT device = driver.AddDevice();
  if (faulty) {
    device->ReferenceCount = 1;
    IoDeleteDevice(device);  // reported, and the device is kept
    device->ReferenceCount = 0;
  }
  IoDeleteDevice(device);
}

// --- IRQL and locks around dispatch and completion routines -------------------

void DispatchReturnsAtAnotherIrql(bool faulty) {
  DeviceStack stack(1);
  KIRQL entered = PASSIVE_LEVEL;
  stack.DriverAt(0).Serve(IRP_MJ_WRITE, [&entered, faulty](PDEVICE_OBJECT, PIRP irp) {
    entered = sim::ke::RaiseIrql(DISPATCH_LEVEL, "dispatch routine");
    test::Complete(irp, STATUS_SUCCESS);
    if (!faulty) sim::ke::LowerIrql(entered, "dispatch routine");
    return STATUS_SUCCESS;
  });
  sim::io::Request request(stack.Top(), IRP_MJ_WRITE);
  EXPECT_EQ(request.Send(), STATUS_SUCCESS);
  if (faulty) sim::ke::LowerIrql(entered, "test");  // put right what the routine left
}

// Sent at DISPATCH_LEVEL (allowed for a write), so that a lock kept is the
// only thing wrong.
void DispatchReturnsHoldingASpinLock(bool faulty) {
  DeviceStack stack(1);
  KSPIN_LOCK lock = 0;
  stack.DriverAt(0).Serve(IRP_MJ_WRITE, [&lock, faulty](PDEVICE_OBJECT, PIRP irp) {
    KeAcquireSpinLockAtDpcLevel(&lock);
    test::Complete(irp, STATUS_SUCCESS);
    if (!faulty) KeReleaseSpinLockFromDpcLevel(&lock);
    return STATUS_SUCCESS;
  });
  KIRQL old = sim::ke::RaiseIrql(DISPATCH_LEVEL, "test");
  sim::io::Request request(stack.Top(), IRP_MJ_WRITE);
  EXPECT_EQ(request.Send(), STATUS_SUCCESS);
  if (faulty) KeReleaseSpinLockFromDpcLevel(&lock);
  sim::ke::LowerIrql(old, "test");
}

// Completion routines: the lower driver completes at DISPATCH_LEVEL, as a bus
// driver does, and the caller lowers the IRQL afterwards itself; the
// routine's fault must be seen all the same.
KSPIN_LOCK g_routineLock;
bool g_routineFaulty;

NTSTATUS NTAPI RaiseAndReturn(PDEVICE_OBJECT, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  if (g_routineFaulty) sim::ke::RaiseIrql(HIGH_LEVEL, "completion routine");
  return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS NTAPI LockAndReturn(PDEVICE_OBJECT, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  KeAcquireSpinLockAtDpcLevel(&g_routineLock);
  if (!g_routineFaulty) KeReleaseSpinLockFromDpcLevel(&g_routineLock);
  return STATUS_CONTINUE_COMPLETION;
}

void CompleteThroughRoutineAtDispatch(PIO_COMPLETION_ROUTINE routine, bool faulty) {
  g_routineFaulty = faulty;
  g_routineLock = 0;
  DeviceStack stack(2);
  std::vector<PIRP> held;
  stack.DriverAt(1).Serve(IRP_MJ_READ, [routine](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, routine, nullptr, TRUE, TRUE, TRUE);
    return IofCallDriver(TestDriver::Lower(device), irp);
  });
  stack.DriverAt(0).Serve(IRP_MJ_READ, test::HoldIn(held));
  sim::io::Request request(stack.Top(), IRP_MJ_READ);
  EXPECT_EQ(request.Send(), STATUS_PENDING);
  ASSERT_EQ(held.size(), 1u);
  KIRQL old = sim::ke::RaiseIrql(DISPATCH_LEVEL, "bus");
  test::Complete(held[0], STATUS_SUCCESS);
  if (faulty && routine == LockAndReturn) KeReleaseSpinLockFromDpcLevel(&g_routineLock);
  sim::ke::LowerIrql(old, "bus");
  EXPECT_TRUE(request.Completed());
}

void CompletionRoutineReturnsAtAnotherIrql(bool faulty) { CompleteThroughRoutineAtDispatch(RaiseAndReturn, faulty); }

void CompletionRoutineReturnsHoldingASpinLock(bool faulty) {
  CompleteThroughRoutineAtDispatch(LockAndReturn, faulty);
}

bool g_lowerInCancel;

VOID NTAPI CancelAtTheWrongIrql(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(g_lowerInCancel ? irp->CancelIrql : DISPATCH_LEVEL);
  test::Complete(irp, STATUS_CANCELLED);
}

// A cancel routine must return at the CancelIrql it was given; the faulty one
// releases the cancel spin lock to DISPATCH_LEVEL and stays there.
void CancelRoutineReturnsAtAnotherIrql(bool faulty) {
  g_lowerInCancel = !faulty;
  DeviceStack stack(1);
  stack.DriverAt(0).Serve(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelAtTheWrongIrql);
    return STATUS_PENDING;
  });
  sim::io::Request request(stack.Top(), IRP_MJ_READ);
  EXPECT_EQ(request.Send(), STATUS_PENDING);
  EXPECT_TRUE(request.Cancel());
  EXPECT_TRUE(request.Completed());
  if (faulty) sim::ke::LowerIrql(PASSIVE_LEVEL, "test");
}

// --- Calls at an IRQL the routine does not allow --------------------------------

void CallDriverAboveDispatch(bool faulty) {
  DeviceStack stack(1);
  std::vector<PIRP> held;
  stack.DriverAt(0).Serve(IRP_MJ_WRITE, test::HoldIn(held));
  sim::io::Request request(stack.Top(), IRP_MJ_WRITE);
  KIRQL old = sim::ke::RaiseIrql(faulty ? HIGH_LEVEL : DISPATCH_LEVEL, "test");
  EXPECT_EQ(request.Send(), STATUS_PENDING);
  sim::ke::LowerIrql(old, "test");
  ASSERT_EQ(held.size(), 1u);
  test::Complete(held[0], STATUS_SUCCESS);
}

void CompleteAboveDispatch(bool faulty) {
  DeviceStack stack(1);
  std::vector<PIRP> held;
  stack.DriverAt(0).Serve(IRP_MJ_READ, test::HoldIn(held));
  sim::io::Request request(stack.Top(), IRP_MJ_READ);
  EXPECT_EQ(request.Send(), STATUS_PENDING);
  ASSERT_EQ(held.size(), 1u);
  KIRQL old = sim::ke::RaiseIrql(faulty ? HIGH_LEVEL : DISPATCH_LEVEL, "test");
  test::Complete(held[0], STATUS_SUCCESS);
  sim::ke::LowerIrql(old, "test");
  EXPECT_TRUE(request.Completed());
}

void AllocateIrpAboveDispatch(bool faulty) {
  KIRQL old = sim::ke::RaiseIrql(faulty ? HIGH_LEVEL : DISPATCH_LEVEL, "test");
  PIRP irp = IoAllocateIrp(1, FALSE);
  sim::ke::LowerIrql(old, "test");
  ASSERT_NE(irp, nullptr);
  IoFreeIrp(irp);
}

// A Plug and Play request goes down the stack at PASSIVE_LEVEL only.
void ForwardPnpAtRaisedIrql(bool faulty) {
  DeviceStack stack(2);
  stack.DriverAt(1).Serve(IRP_MJ_PNP, [faulty](PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    KIRQL old = sim::ke::RaiseIrql(faulty ? APC_LEVEL : PASSIVE_LEVEL, "dispatch routine");
    NTSTATUS status = IofCallDriver(TestDriver::Lower(device), irp);
    sim::ke::LowerIrql(old, "dispatch routine");
    return status;
  });
  stack.DriverAt(0).Serve(IRP_MJ_PNP, test::CompleteWith(STATUS_SUCCESS));
  sim::io::Request request(stack.Top(), IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES);
  EXPECT_EQ(request.Send(), STATUS_SUCCESS);
}

// --- An IRP at the wrong point of its life ----------------------------------------

void CompleteAnIrpNeverSent(bool faulty) {
  DeviceStack stack(1);
  stack.DriverAt(0).Serve(IRP_MJ_READ, test::CompleteWith(STATUS_SUCCESS));
  PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoSetCompletionRoutine(irp, FreeOwnIrp, nullptr, TRUE, TRUE, TRUE);
  if (faulty) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);  // refused: nobody holds it yet
  }
  EXPECT_EQ(IofCallDriver(stack.Top(), irp), STATUS_SUCCESS);
}

void SendAfterCompletion(bool faulty) {
  DeviceStack stack(1);
  stack.DriverAt(0).Serve(IRP_MJ_WRITE, test::CompleteWith(STATUS_SUCCESS));
  sim::io::Request request(stack.Top(), IRP_MJ_WRITE);
  EXPECT_EQ(request.Send(), STATUS_SUCCESS);
  if (faulty) {
    EXPECT_EQ(IofCallDriver(stack.Top(), request.Irp()), STATUS_INVALID_PARAMETER);
  }
}

void DetachWithNothingAttached(bool faulty) {
  TestDriver bus, function;
  PDEVICE_OBJECT lower = bus.AddDevice();
  PDEVICE_OBJECT upper = function.AddDevice(lower);
  IoDetachDevice(lower);
  if (faulty) IoDetachDevice(lower);  // nothing is attached any more
  IoDeleteDevice(upper);
  IoDeleteDevice(lower);
}

// Completed, then STATUS_PENDING returned without the mark.
void CompleteThenReturnPendingWithoutMarking(bool faulty) {
  DeviceStack stack(1);
  stack.DriverAt(0).Serve(IRP_MJ_WRITE, [faulty](PDEVICE_OBJECT, PIRP irp) {
    if (!faulty) IoMarkIrpPending(irp);
    test::Complete(irp, STATUS_SUCCESS);
    return STATUS_PENDING;
  });
  sim::io::Request request(stack.Top(), IRP_MJ_WRITE);
  EXPECT_EQ(request.Send(), STATUS_PENDING);
  EXPECT_TRUE(request.Completed());
}

// --- Pending, cancellation and queues ---------------------------------------------

void MarkPendingButReturnAnotherStatus(bool faulty) {
  DeviceStack stack(1);
  stack.DriverAt(0).Serve(IRP_MJ_WRITE, [faulty](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    test::Complete(irp, STATUS_SUCCESS);
    return faulty ? STATUS_SUCCESS : STATUS_PENDING;
  });
  sim::io::Request request(stack.Top(), IRP_MJ_WRITE);
  request.Send();
  EXPECT_TRUE(request.Completed());
}

void NeverCalledCancelRoutine(PDEVICE_OBJECT, PIRP) { ADD_FAILURE() << "a cancel routine ran after the cancel"; }

// The request is cancelled before its driver sets a cancel routine: the
// driver must see Cancel set, or the request waits for ever.
void PendACancelledIrpWithoutCheckingCancel(bool faulty) {
  DeviceStack stack(1);
  std::vector<PIRP> held;
  stack.DriverAt(0).Serve(IRP_MJ_READ, [&held, faulty](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, NeverCalledCancelRoutine);
    if (!faulty && irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
      test::Complete(irp, STATUS_CANCELLED);
    } else {
      held.push_back(irp);
    }
    return STATUS_PENDING;
  });
  sim::io::Request request(stack.Top(), IRP_MJ_READ);
  EXPECT_FALSE(request.Cancel()) << "nothing to call yet";
  EXPECT_EQ(request.Send(), STATUS_PENDING);
  for (PIRP irp : held) {
    IoSetCancelRoutine(irp, nullptr);
    test::Complete(irp, STATUS_CANCELLED);
  }
  EXPECT_EQ(request.Status(), STATUS_CANCELLED);
}

PIRP g_queued;
KDPC g_serveDpc;

VOID NTAPI ServeQueuedIrp(PKDPC, PVOID, PVOID, PVOID) {
  PIRP irp = g_queued;
  g_queued = nullptr;
  if (irp != nullptr) test::Complete(irp, STATUS_SUCCESS);
}

// The dispatch routine queues the request where a DPC serves it, and the
// DPC runs as soon as the routine drops its lock: the mark must come first.
void QueueBeforeMarkingPending(bool faulty) {
  // One processor's delivery: the DPC runs at the lock's release, inside the
  // dispatch routine, as another processor could run it at that moment.
  sim::ke::SetDpcDelivery(sim::ke::DpcDelivery::AtIrqlDrop);
  DeviceStack stack(1);
  KSPIN_LOCK lock = 0;
  KeInitializeDpc(&g_serveDpc, ServeQueuedIrp, nullptr);
  stack.DriverAt(0).Serve(IRP_MJ_READ, [&lock, faulty](PDEVICE_OBJECT, PIRP irp) {
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    if (!faulty) IoMarkIrpPending(irp);
    g_queued = irp;
    KeInsertQueueDpc(&g_serveDpc, nullptr, nullptr);
    KeReleaseSpinLock(&lock, irql);
    if (faulty) IoMarkIrpPending(irp);  // too late: the DPC has completed it
    return STATUS_PENDING;
  });
  sim::io::Request request(stack.Top(), IRP_MJ_READ);
  EXPECT_EQ(request.Send(), STATUS_PENDING);
  EXPECT_TRUE(request.Completed());
}

VOID NTAPI CancelWhenAsked(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  test::Complete(irp, STATUS_CANCELLED);
}

// Sending a request on while it is cancellable lets its cancel routine
// complete it under the lower driver.
void ForwardWithCancelRoutineSet(bool faulty) {
  DeviceStack stack(2);
  std::vector<PIRP> held;
  stack.DriverAt(1).Serve(IRP_MJ_READ, [faulty](PDEVICE_OBJECT device, PIRP irp) {
    IoSetCancelRoutine(irp, CancelWhenAsked);
    if (!faulty) IoSetCancelRoutine(irp, nullptr);
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(TestDriver::Lower(device), irp);
  });
  stack.DriverAt(0).Serve(IRP_MJ_READ, test::HoldIn(held));
  sim::io::Request request(stack.Top(), IRP_MJ_READ);
  EXPECT_EQ(request.Send(), STATUS_PENDING);
  ASSERT_EQ(held.size(), 1u);
  IoSetCancelRoutine(held[0], nullptr);
  test::Complete(held[0], STATUS_SUCCESS);
}

// --- Stack locations ----------------------------------------------------------------

int g_topRoutineRuns;

NTSTATUS NTAPI CountTopRoutine(PDEVICE_OBJECT, PIRP irp, PVOID) {
  ++g_topRoutineRuns;
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS NTAPI MiddleRoutine(PDEVICE_OBJECT, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_CONTINUE_COMPLETION;
}

// Three drivers: the top one sets a completion routine for its request to the
// middle one, which passes it to the bottom one.
void PassDownThroughTheMiddle(const std::function<void(PIRP)>& middle, int expectedRuns) {
  g_topRoutineRuns = 0;
  DeviceStack stack(3);
  stack.DriverAt(2).Serve(IRP_MJ_WRITE, [](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, CountTopRoutine, nullptr, TRUE, TRUE, TRUE);
    return IofCallDriver(TestDriver::Lower(device), irp);
  });
  stack.DriverAt(1).Serve(IRP_MJ_WRITE, [&middle](PDEVICE_OBJECT device, PIRP irp) {
    middle(irp);
    return IofCallDriver(TestDriver::Lower(device), irp);
  });
  stack.DriverAt(0).Serve(IRP_MJ_WRITE, test::CompleteWith(STATUS_SUCCESS));
  sim::io::Request request(stack.Top(), IRP_MJ_WRITE);
  EXPECT_EQ(request.Send(), STATUS_SUCCESS);
  EXPECT_EQ(g_topRoutineRuns, expectedRuns) << "runs of the top driver's completion routine";
}

void CopyTheWholeLocation(bool faulty) {
  PassDownThroughTheMiddle(
      [faulty](PIRP irp) {
        if (faulty) {
          *IoGetNextIrpStackLocation(irp) = *IoGetCurrentIrpStackLocation(irp);
        } else {
          IoCopyCurrentIrpStackLocationToNext(irp);
        }
      },
      faulty ? 2 : 1);
}

void SetARoutineAfterSkipping(bool faulty) {
  PassDownThroughTheMiddle(
      [faulty](PIRP irp) {
        if (faulty) {
          IoSkipCurrentIrpStackLocation(irp);
        } else {
          IoCopyCurrentIrpStackLocationToNext(irp);
        }
        IoSetCompletionRoutine(irp, MiddleRoutine, nullptr, TRUE, TRUE, TRUE);
      },
      faulty ? 0 : 1);
}

// --- Buffers, status blocks and events ------------------------------------------------

constexpr ULONG kBufferedControl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

void ReturnMoreThanTheOutputBuffer(bool faulty) {
  DeviceStack stack(1);
  stack.DriverAt(0).Serve(IRP_MJ_DEVICE_CONTROL, test::CompleteWith(STATUS_SUCCESS, faulty ? 8 : 4));
  sim::io::Request request(stack.Top(), IRP_MJ_DEVICE_CONTROL);
  request.Stack()->Parameters.DeviceIoControl.IoControlCode = kBufferedControl;
  request.Stack()->Parameters.DeviceIoControl.OutputBufferLength = 4;
  EXPECT_EQ(request.Send(), STATUS_SUCCESS);
}

IO_STATUS_BLOCK g_lastingStatus;
KEVENT g_lastingEvent;

// A dispatch routine builds a request for the device below with its status
// block and event as locals, and returns without waiting for it.
void BuildWithLocalsAndReturn(bool localStatus, bool localEvent) {
  DeviceStack stack(2);
  std::vector<PIRP> held;
  stack.DriverAt(1).Serve(IRP_MJ_WRITE, [localStatus, localEvent](PDEVICE_OBJECT device, PIRP irp) {
    IO_STATUS_BLOCK status;
    KEVENT event;
    PIO_STATUS_BLOCK useStatus = localStatus ? &status : &g_lastingStatus;
    PKEVENT useEvent = localEvent ? &event : &g_lastingEvent;
    KeInitializeEvent(useEvent, NotificationEvent, FALSE);
    PIRP built = IoBuildDeviceIoControlRequest(kBufferedControl, TestDriver::Lower(device), nullptr, 0, nullptr, 0,
                                               FALSE, useEvent, useStatus);
    EXPECT_NE(built, nullptr);
    if (built != nullptr) IofCallDriver(TestDriver::Lower(device), built);
    test::Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  });
  stack.DriverAt(0).Serve(IRP_MJ_DEVICE_CONTROL, test::HoldIn(held));
  sim::io::Request request(stack.Top(), IRP_MJ_WRITE);
  EXPECT_EQ(request.Send(), STATUS_SUCCESS);
  ASSERT_EQ(held.size(), 1u);
  test::Complete(held[0], STATUS_SUCCESS);  // the routine's frame is long gone
}

void BuildWithALocalStatusBlock(bool faulty) { BuildWithLocalsAndReturn(faulty, false); }
void BuildWithALocalEvent(bool faulty) { BuildWithLocalsAndReturn(false, faulty); }

NTSTATUS NTAPI SignalFromRoutine(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, g_routineFaulty ? TRUE : FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void SignalWithWaitFromACompletionRoutine(bool faulty) {
  g_routineFaulty = faulty;
  DeviceStack stack(2);
  stack.DriverAt(1).Serve(IRP_MJ_WRITE, [](PDEVICE_OBJECT device, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalFromRoutine, &done, TRUE, TRUE, TRUE);
    if (IofCallDriver(TestDriver::Lower(device), irp) == STATUS_PENDING) {
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  });
  stack.DriverAt(0).Serve(IRP_MJ_WRITE, test::CompleteWith(STATUS_SUCCESS));
  sim::io::Request request(stack.Top(), IRP_MJ_WRITE);
  EXPECT_EQ(request.Send(), STATUS_SUCCESS);
}

// --- Plug and Play -----------------------------------------------------------------------

void StartAndWait(bool faulty) {
  DeviceStack stack(1);
  stack.DriverAt(0).Serve(IRP_MJ_PNP, [faulty](PDEVICE_OBJECT, PIRP irp) {
    KEVENT ready;
    KeInitializeEvent(&ready, NotificationEvent, TRUE);
    KIRQL old = sim::ke::RaiseIrql(faulty ? DISPATCH_LEVEL : PASSIVE_LEVEL, "dispatch routine");
    LARGE_INTEGER now{};
    KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, &now);
    sim::ke::LowerIrql(old, "dispatch routine");
    test::Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  });
  sim::io::Request request(stack.Top(), IRP_MJ_PNP, IRP_MN_START_DEVICE);
  EXPECT_EQ(request.Send(), STATUS_SUCCESS);
}

void SurpriseRemoval(bool faulty, bool detach) {
  DeviceStack stack(detach ? 2 : 1);  // a device deleted on its own, or one detached from the one below
  stack.DriverAt(stack.Depth() - 1).Serve(IRP_MJ_PNP, [faulty, detach](PDEVICE_OBJECT device, PIRP irp) {
    if (faulty && detach) IoDetachDevice(TestDriver::Lower(device));  // refused: the device stays attached
    if (faulty && !detach) IoDeleteDevice(device);                     // refused: the device is kept
    test::Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  });
  sim::io::Request request(stack.Top(), IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL);
  EXPECT_EQ(request.Send(), STATUS_SUCCESS);
}

void DetachInSurpriseRemoval(bool faulty) { SurpriseRemoval(faulty, true); }
void DeleteInSurpriseRemoval(bool faulty) { SurpriseRemoval(faulty, false); }

struct RuleCase {
  const char* name;
  Rule rule;
  void (*run)(bool faulty);
};

const RuleCase kRuleCases[] = {
    {"CompleteTwice", Rule::IrpCompletedTwice, CompleteTwice},
    {"CompleteAgainFromARoutineThatDoesNotStopTheWalk", Rule::IrpCompletedTwice,
     CompleteAgainFromARoutineThatDoesNotStopTheWalk},
    {"CompleteWithCancelRoutineSet", Rule::IrpCompletedWithCancelRoutine, CompleteWithCancelRoutineSet},
    {"CompleteWithStatusPending", Rule::IrpCompletedWithPendingStatus, CompleteWithStatusPending},
    {"ReturnPendingWithoutMarking", Rule::PendingNotMarked, ReturnPendingWithoutMarking},
    {"ReturnPendingFromARoutineThatDoesNotPropagateIt", Rule::PendingNotMarked,
     ReturnPendingFromARoutineThatDoesNotPropagateIt},
    {"ReturnAStatusOtherThanTheCompletionStatus", Rule::DispatchStatusMismatch,
     ReturnAStatusOtherThanTheCompletionStatus},
    {"ReturnWithoutCompletingOrPending", Rule::DispatchReturnedWithoutCompleting, ReturnWithoutCompletingOrPending},
    {"ReturnWithoutCompletingAnIrpSentAgain", Rule::DispatchReturnedWithoutCompleting,
     ReturnWithoutCompletingAnIrpSentAgain},
    {"ForwardWithNoStackLocationLeft", Rule::NoMoreStackLocations, ForwardWithNoStackLocationLeft},
    {"CompleteADriversOwnIrpPastItsTop", Rule::DriverIrpCompletedToTop, CompleteADriversOwnIrpPastItsTop},
    {"FreeWhileALowerDriverHoldsIt", Rule::IrpFreedWhileInUse, FreeWhileALowerDriverHoldsIt},
    {"FreeInARoutineThatDoesNotStopTheWalk", Rule::IrpFreedWhileInUse, FreeInARoutineThatDoesNotStopTheWalk},
    {"FreeAnIrpTheIoManagerOwns", Rule::IrpFreedWhileInUse, FreeAnIrpTheIoManagerOwns},
    {"CancelRoutineKeepsTheCancelLock", Rule::CancelSpinLockNotReleased, CancelRoutineKeepsTheCancelLock},
    {"DeleteWhileAttachedToTheDeviceBelow", Rule::DeviceDeletedWhileAttached, DeleteWhileAttachedToTheDeviceBelow},
    {"DeleteWhileAnotherIsAttachedAbove", Rule::DeviceDeletedWhileAttached, DeleteWhileAnotherIsAttachedAbove},
    {"FreeSomethingThatIsNotAnIrp", Rule::UnknownIrp, FreeSomethingThatIsNotAnIrp},
    {"DeleteSomethingThatIsNotADevice", Rule::UnknownDevice, DeleteSomethingThatIsNotADevice},
    {"DeleteWhileReferenced", Rule::DeviceDeletedWhileReferenced, DeleteWhileReferenced},
    {"DispatchReturnsAtAnotherIrql", Rule::IrqlNotRestored, DispatchReturnsAtAnotherIrql},
    {"DispatchReturnsHoldingASpinLock", Rule::SpinLockHeldOnReturn, DispatchReturnsHoldingASpinLock},
    {"CompletionRoutineReturnsAtAnotherIrql", Rule::IrqlNotRestored, CompletionRoutineReturnsAtAnotherIrql},
    {"CompletionRoutineReturnsHoldingASpinLock", Rule::SpinLockHeldOnReturn, CompletionRoutineReturnsHoldingASpinLock},
    {"CancelRoutineReturnsAtAnotherIrql", Rule::IrqlNotRestored, CancelRoutineReturnsAtAnotherIrql},
    {"CallDriverAboveDispatch", Rule::IrqlTooHigh, CallDriverAboveDispatch},
    {"CompleteAboveDispatch", Rule::IrqlTooHigh, CompleteAboveDispatch},
    {"AllocateIrpAboveDispatch", Rule::IrqlTooHigh, AllocateIrpAboveDispatch},
    {"ForwardPnpAtRaisedIrql", Rule::ForwardedAtBadIrql, ForwardPnpAtRaisedIrql},
    {"CompleteAnIrpNeverSent", Rule::IrpUsedAfterCompletion, CompleteAnIrpNeverSent},
    {"SendAfterCompletion", Rule::IrpUsedAfterCompletion, SendAfterCompletion},
    {"DetachWithNothingAttached", Rule::UnsupportedCall, DetachWithNothingAttached},
    {"CompleteThenReturnPendingWithoutMarking", Rule::PendingNotMarked, CompleteThenReturnPendingWithoutMarking},
    {"MarkPendingButReturnAnotherStatus", Rule::PendingMarkedButNotReturned, MarkPendingButReturnAnotherStatus},
    {"PendACancelledIrpWithoutCheckingCancel", Rule::CancelFieldNotChecked, PendACancelledIrpWithoutCheckingCancel},
    {"QueueBeforeMarkingPending", Rule::QueuedIrpNotMarkedPending, QueueBeforeMarkingPending},
    {"ForwardWithCancelRoutineSet", Rule::CalledWithCancelRoutine, ForwardWithCancelRoutineSet},
    {"CopyTheWholeLocation", Rule::CompletionRoutineNotOwn, CopyTheWholeLocation},
    {"SetARoutineAfterSkipping", Rule::CompletionRoutineNotOwn, SetARoutineAfterSkipping},
    {"ReturnMoreThanTheOutputBuffer", Rule::InformationExceedsBuffer, ReturnMoreThanTheOutputBuffer},
    {"BuildWithALocalStatusBlock", Rule::StatusBlockOnUnwoundStack, BuildWithALocalStatusBlock},
    {"BuildWithALocalEvent", Rule::StatusBlockOnUnwoundStack, BuildWithALocalEvent},
    {"SignalWithWaitFromACompletionRoutine", Rule::SignalEventInCompletion, SignalWithWaitFromACompletionRoutine},
    {"StartAndWait", Rule::StartDeviceWait, StartAndWait},
    {"DetachInSurpriseRemoval", Rule::RemovedInSurpriseRemoval, DetachInSurpriseRemoval},
    {"DeleteInSurpriseRemoval", Rule::RemovedInSurpriseRemoval, DeleteInSurpriseRemoval},
};

void PrintTo(const RuleCase& row, std::ostream* out) { *out << row.name; }

}  // namespace

class IoVerifierRuleTest : public KernelTest, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(IoVerifierRuleTest, TheFaultyRoutineIsReported) {
  GetParam().run(true);
  ExpectOnlyFinding(GetParam().rule);
}

TEST_P(IoVerifierRuleTest, TheCorrectRoutineIsNot) {
  GetParam().run(false);
  std::vector<sim::verifier::Finding> findings = sim::verifier::Findings();
  EXPECT_TRUE(findings.empty()) << "findings, expected none:\n" << sim::verifier::Describe(findings);
}

INSTANTIATE_TEST_SUITE_P(IoRules, IoVerifierRuleTest, ::testing::ValuesIn(kRuleCases),
                         [](const ::testing::TestParamInfo<RuleCase>& info) { return std::string(info.param.name); });

// Leaks are found by the end-of-test checks, which the test runs itself here.
// A completion routine run by a DPC sends its request again, and the driver
// below fails it at once (the device is gone): the dispatch routine was
// entered from that DPC and completes its own request, which queues nothing.
sim::io::Request* g_resent;
NTSTATUS g_resentStatus;
KDPC g_resendDpc;

VOID NTAPI ResendFromDpc(PKDPC, PVOID, PVOID, PVOID) { g_resentStatus = g_resent->Send(); }

class IoDispatchFromDpcTest : public KernelTest {};

TEST_F(IoDispatchFromDpcTest, ARequestSentFromADpcAndCompletedAtOnceIsNotReportedAsQueued) {
  sim::ke::SetDpcDelivery(sim::ke::DpcDelivery::AtIrqlDrop);
  DeviceStack stack(1);
  stack.DriverAt(0).Serve(IRP_MJ_READ, test::CompleteWith(STATUS_DEVICE_NOT_CONNECTED));
  sim::io::Request request(stack.Top(), IRP_MJ_READ);
  g_resent = &request;
  g_resentStatus = STATUS_PENDING;
  KeInitializeDpc(&g_resendDpc, ResendFromDpc, nullptr);
  KeInsertQueueDpc(&g_resendDpc, nullptr, nullptr);
  sim::ke::RunQueuedDpcs();
  EXPECT_EQ(g_resentStatus, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(request.Status(), STATUS_DEVICE_NOT_CONNECTED);
  std::vector<sim::verifier::Finding> findings = sim::verifier::Findings();
  EXPECT_TRUE(findings.empty()) << "findings, expected none:\n" << sim::verifier::Describe(findings);
}

class IoLeakTest : public KernelTest {
 protected:
  static void ExpectEndOfTestFinds(Rule rule, const std::string& mentioning) {
    std::vector<sim::verifier::Finding> findings = sim::EndOfTest();
    ASSERT_EQ(findings.size(), 1u) << "end-of-test findings, expected one \"" << sim::verifier::RuleName(rule)
                                   << "\", got:\n"
                                   << sim::verifier::Describe(findings);
    EXPECT_EQ(findings[0].rule, rule) << sim::verifier::Describe(findings);
    EXPECT_NE(findings[0].message.find(mentioning), std::string::npos)
        << "message \"" << findings[0].message << "\", expected it to mention \"" << mentioning << "\"";
  }
};

TEST_F(IoLeakTest, ADriversIrpNeverFreedIsReportedAtTheEnd) {
  PIRP irp = IoAllocateIrp(2, FALSE);
  ASSERT_NE(irp, nullptr);
  ExpectEndOfTestFinds(Rule::IrpLeaked, "allocated by a driver");
  EXPECT_EQ(sim::io::LiveIrpCount(), 0u) << "IRPs after the end-of-test checks released them";
}

TEST_F(IoLeakTest, ARequestADriverNeverCompletesIsReportedAtTheEnd) {
  {
    DeviceStack stack(1);
    std::vector<PIRP> held;
    stack.DriverAt(0).Serve(IRP_MJ_READ, test::HoldIn(held));
    sim::io::Request request(stack.Top(), IRP_MJ_READ);
    EXPECT_EQ(request.Send(), STATUS_PENDING);
  }
  ExpectEndOfTestFinds(Rule::IrpLeaked, "held by a driver");
}

TEST_F(IoLeakTest, ADeviceNeverDeletedIsReportedAtTheEnd) {
  TestDriver driver;
  PDEVICE_OBJECT device = driver.AddDevice();
  ASSERT_NE(device, nullptr);
  ExpectEndOfTestFinds(Rule::DeviceLeaked, "never deleted");
  EXPECT_EQ(driver.Object()->DeviceObject, nullptr) << "the released device is still in its driver's list";
}

TEST_F(IoLeakTest, ADeviceLeftWhenItsDriverUnloadsIsReportedOnce) {
  {
    TestDriver driver;
    ASSERT_NE(driver.AddDevice(), nullptr);
  }
  ExpectEndOfTestFinds(Rule::DeviceLeaked, "unloaded");
}
