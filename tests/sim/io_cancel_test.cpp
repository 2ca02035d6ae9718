// IoCancelIrp in the simulated I/O manager: Cancel set under the cancel spin
// lock, the cancel routine taken with the interlocked exchange and called at
// DISPATCH_LEVEL holding the lock, TRUE only when a routine was called, and
// what happens when a request is cancelled twice or after it completed.
#include "support/kernel_test.h"
#include "support/test_driver.h"

#include "sim/io/request.h"
#include "sim/ke/ke.h"

#include <string>
#include <vector>

using sim::verifier::Rule;
using test::DeviceStack;

namespace {

// What the cancel routine saw on entry.
struct CancelLog {
  int calls = 0;
  PDEVICE_OBJECT device = nullptr;
  PIRP irp = nullptr;
  KIRQL irql = PASSIVE_LEVEL;
  bool holdsCancelLock = false;
  KIRQL cancelIrql = HIGH_LEVEL;
  BOOLEAN cancel = FALSE;
  PDRIVER_CANCEL routineField = nullptr;
  bool complete = true;  // complete the IRP with STATUS_CANCELLED after releasing the lock
};

CancelLog* g_log = nullptr;

VOID NTAPI LogCancel(PDEVICE_OBJECT device, PIRP irp) {
  CancelLog& log = *g_log;
  log.calls++;
  log.device = device;
  log.irp = irp;
  log.irql = sim::ke::CurrentIrql();
  log.holdsCancelLock = sim::ke::ThisThreadHolds(sim::ke::CancelSpinLock());
  log.cancelIrql = irp->CancelIrql;
  log.cancel = irp->Cancel;
  log.routineField = irp->CancelRoutine;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  if (log.complete) test::Complete(irp, STATUS_CANCELLED);
}

// Holds the IRP with LogCancel set, under the cancel spin lock, as a driver
// queues a cancellable request.
test::DispatchRoutine HoldCancellable(std::vector<PIRP>& held) {
  return [&held](PDEVICE_OBJECT, PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, LogCancel);
    held.push_back(irp);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
  };
}

// What the sender's completion routine saw of its own IRP, which it frees.
struct OwnIrpSeen {
  int calls = 0;
  BOOLEAN cancel = FALSE;
  NTSTATUS status = 0;
};

NTSTATUS NTAPI FinishOwnIrp(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  (void)device;
  auto seen = static_cast<OwnIrpSeen*>(context);
  seen->calls++;
  seen->cancel = irp->Cancel;
  seen->status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

class IoCancelTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    g_log = &log_;
    stack_ = std::make_unique<DeviceStack>(2);
    stack_->DriverAt(1).Serve(IRP_MJ_READ, test::CopyDown());
    stack_->DriverAt(0).Serve(IRP_MJ_READ, HoldCancellable(held_));
  }

  void TearDown() override {
    stack_.reset();
    g_log = nullptr;
    KernelTest::TearDown();
  }

  // Takes a held IRP back from its cancel routine and completes it, as the
  // driver does when the data arrive.
  void CompleteHeld(NTSTATUS status) {
    ASSERT_EQ(held_.size(), 1u);
    EXPECT_EQ(IoSetCancelRoutine(held_[0], nullptr), LogCancel) << "cancel routine taken back by the driver";
    test::Complete(held_[0], status);
    held_.clear();
  }

  CancelLog log_;
  std::vector<PIRP> held_;
  std::unique_ptr<DeviceStack> stack_;
};

class IoCancelAtIrqlTest : public IoCancelTest, public ::testing::WithParamInterface<KIRQL> {};

TEST_P(IoCancelAtIrqlTest, CallsTheRoutineAtDispatchLevelHoldingTheCancelLock) {
  const KIRQL caller = GetParam();
  sim::io::Request request(stack_->Top(), IRP_MJ_READ);
  EXPECT_EQ(request.Send(), STATUS_PENDING);
  ASSERT_EQ(held_.size(), 1u);

  KIRQL old = sim::ke::RaiseIrql(caller, "test");
  BOOLEAN cancelled = IoCancelIrp(request.Irp());
  EXPECT_EQ(sim::ke::CurrentIrql(), caller) << "IRQL after IoCancelIrp, expected the caller's";
  EXPECT_FALSE(sim::ke::ThisThreadHolds(sim::ke::CancelSpinLock())) << "cancel spin lock after IoCancelIrp";
  sim::ke::LowerIrql(old, "test");

  EXPECT_TRUE(cancelled) << "IoCancelIrp's result when it called a cancel routine";
  EXPECT_EQ(log_.calls, 1);
  EXPECT_EQ(log_.irql, DISPATCH_LEVEL) << "IRQL in the cancel routine";
  EXPECT_TRUE(log_.holdsCancelLock) << "the cancel routine is entered holding the cancel spin lock";
  EXPECT_EQ(log_.cancelIrql, caller) << "Irp->CancelIrql, expected the IRQL IoCancelIrp was called at";
  EXPECT_TRUE(log_.cancel) << "Irp->Cancel in the cancel routine";
  EXPECT_EQ(log_.routineField, nullptr) << "Irp->CancelRoutine in the cancel routine, expected it taken";
  EXPECT_EQ(log_.device, stack_->At(0)) << "device argument, expected the device holding the IRP";
  EXPECT_EQ(log_.irp, request.Irp());
  EXPECT_TRUE(request.Completed());
  EXPECT_EQ(request.Status(), STATUS_CANCELLED);
}

INSTANTIATE_TEST_SUITE_P(CallerIrql, IoCancelAtIrqlTest,
                         ::testing::Values(KIRQL{PASSIVE_LEVEL}, KIRQL{APC_LEVEL}, KIRQL{DISPATCH_LEVEL}),
                         [](const ::testing::TestParamInfo<KIRQL>& info) {
                           return "Irql" + std::to_string(info.param);
                         });

TEST_F(IoCancelTest, WithNoRoutineSetCancelIsStillSetAndFalseReturned) {
  sim::io::Request request(stack_->Top(), IRP_MJ_READ);
  request.Send();
  ASSERT_EQ(held_.size(), 1u);
  EXPECT_EQ(IoSetCancelRoutine(held_[0], nullptr), LogCancel);  // the driver has started on it

  EXPECT_FALSE(request.Cancel()) << "IoCancelIrp's result with no cancel routine set";
  EXPECT_TRUE(request.Irp()->Cancel) << "Irp->Cancel after IoCancelIrp";
  EXPECT_EQ(log_.calls, 0);
  EXPECT_FALSE(sim::ke::ThisThreadHolds(sim::ke::CancelSpinLock())) << "cancel spin lock after IoCancelIrp";
  EXPECT_FALSE(request.Completed());

  test::Complete(held_[0], STATUS_SUCCESS);
  EXPECT_TRUE(request.Completed());
}

TEST_F(IoCancelTest, CancellingTwiceCallsTheRoutineOnce) {
  log_.complete = false;  // the routine leaves the IRP for the driver to complete later
  sim::io::Request request(stack_->Top(), IRP_MJ_READ);
  request.Send();
  ASSERT_EQ(held_.size(), 1u);

  EXPECT_TRUE(request.Cancel()) << "first IoCancelIrp";
  EXPECT_FALSE(request.Cancel()) << "second IoCancelIrp, after the routine was taken";
  EXPECT_EQ(log_.calls, 1) << "cancel routine calls";
  EXPECT_TRUE(request.Irp()->Cancel);
  EXPECT_FALSE(request.Completed());

  test::Complete(held_[0], STATUS_CANCELLED);
  EXPECT_EQ(request.Status(), STATUS_CANCELLED);
}

TEST_F(IoCancelTest, ARoutineTakenBackByTheDriverIsNotCalled) {
  sim::io::Request request(stack_->Top(), IRP_MJ_READ);
  request.Send();
  CompleteHeld(STATUS_SUCCESS);
  EXPECT_TRUE(request.Completed());
  EXPECT_EQ(log_.calls, 0);
  EXPECT_EQ(request.Status(), STATUS_SUCCESS);
}

// Once a request's completion reached its top the I/O manager may free it
// at any time: a driver that cancels it then is reported.
TEST_F(IoCancelTest, ADriverCancellingAfterCompletionIsReported) {
  sim::io::Request request(stack_->Top(), IRP_MJ_READ);
  request.Send();
  CompleteHeld(STATUS_SUCCESS);
  ASSERT_TRUE(request.Completed());

  EXPECT_FALSE(IoCancelIrp(request.Irp())) << "IoCancelIrp of a completed request";
  ExpectOnlyFinding(Rule::IrpUsedAfterCompletion);
  EXPECT_EQ(log_.calls, 0);
}

// A caller's cancel that arrives after completion (CancelIo racing the
// driver) is normal: the I/O manager no longer has the request to cancel.
TEST_F(IoCancelTest, ACallersCancelAfterCompletionDoesNothing) {
  sim::io::Request request(stack_->Top(), IRP_MJ_READ);
  request.Send();
  CompleteHeld(STATUS_SUCCESS);
  ASSERT_TRUE(request.Completed());

  EXPECT_FALSE(request.Cancel()) << "a caller's cancel of a completed request";
  EXPECT_FALSE(request.Irp()->Cancel) << "Irp->Cancel set on a request that had completed";
  EXPECT_EQ(log_.calls, 0);
}

// The sender of its own IRP may cancel it while a lower driver holds it; the
// lower driver's routine completes it and the sender's completion routine
// sees Cancel and STATUS_CANCELLED.
TEST_F(IoCancelTest, ADriverCancelsItsOwnIrpWhileALowerDriverHoldsIt) {
  OwnIrpSeen seen;
  PIRP irp = IoAllocateIrp(stack_->Top()->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoSetCompletionRoutine(irp, FinishOwnIrp, &seen, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(stack_->Top(), irp), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(log_.calls, 1);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_TRUE(seen.cancel);
  EXPECT_EQ(seen.status, STATUS_CANCELLED);
}
