// The request queues: holding, cancellation by the platform, flushes, and
// the exchange on CancelRoutine that decides who completes a request.
#include "support/holding_dispatch.h"
#include "support/port_test.h"

#include "sim/io/request.h"
#include "sim/ke/ke.h"

#include <memory>
#include <vector>

using sim::io::Request;

class QueueTest : public PortTest {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    InstallHoldingDispatch(Driver());
  }

  std::unique_ptr<Request> Hold(Kind kind) {
    auto request = std::make_unique<Request>(device_, MajorOf(kind));
    if (kind == Kind::Waits) {
      request->Stack()->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
      request->Stack()->Parameters.DeviceIoControl.OutputBufferLength = sizeof(ULONG);
    }
    EXPECT_EQ(request->Send(), STATUS_PENDING);
    EXPECT_FALSE(request->Completed());
    return request;
  }

  // The platform's half of a cancellation that has taken the cancel routine
  // but not yet called it (the routine waits for the queue's lock). The
  // cancel spin lock stays held until FinishCancel calls the routine.
  PDRIVER_CANCEL BeginCancel(PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    irp->Cancel = TRUE;
    irp->CancelIrql = irql;
    return IoSetCancelRoutine(irp, nullptr);
  }

  void FinishCancel(PDRIVER_CANCEL routine, PIRP irp) { routine(device_, irp); }

  void FlushRequestsOf(Kind kind) {
    if (kind == Kind::Reads) CancelAllReads(device_);
    if (kind == Kind::Writes) CancelAllWrites(device_);
    if (kind == Kind::Waits) CancelAllWaits(device_);
  }
};

class QueueKindTest : public QueueTest, public ::testing::WithParamInterface<Kind> {
 protected:
  Kind kind() const { return GetParam(); }
  RequestQueue queue() { return QueueOf(port_, kind()); }
};

INSTANTIATE_TEST_SUITE_P(EachKind, QueueKindTest, ::testing::Values(Kind::Reads, Kind::Writes, Kind::Waits),
                         [](const ::testing::TestParamInfo<Kind>& info) { return std::string(KindName(info.param)); });

TEST_P(QueueKindTest, HeldRequestsKeepTheirReferenceUntilCompleted) {
  auto first = Hold(kind());
  auto second = Hold(kind());
  EXPECT_EQ(PendingIo(), 3);
  EXPECT_TRUE(IsRequestQueued(first->Irp(), queue().Queue));
  EXPECT_TRUE(IsRequestQueued(second->Irp(), queue().Queue));
  EXPECT_EQ(first->Irp()->CancelRoutine, CancelRoutineOf(kind()));

  CancelAllRequests(device_);
  EXPECT_EQ(PendingIo(), 1);
  EXPECT_EQ(first->Status(), STATUS_CANCELLED);
  EXPECT_EQ(second->Status(), STATUS_CANCELLED);
}

TEST_P(QueueKindTest, AFlushWithNothingHeldChangesNothing) {
  CancelAllReads(device_);
  CancelAllWrites(device_);
  CancelAllWaits(device_);
  EXPECT_EQ(CancelAllRequests(device_), STATUS_SUCCESS);
  EXPECT_EQ(PendingIo(), 1);
  EXPECT_TRUE(IsListEmpty(queue().Queue));
  EXPECT_EQ(*queue().Current, nullptr);
}

TEST_P(QueueKindTest, DequeueGivesTheOldestRequestWithItsCountReset) {
  EXPECT_EQ(MakeNextCurrent(port_, kind()), nullptr) << "an empty queue gives nothing";
  EXPECT_EQ(*queue().Current, nullptr);

  auto first = Hold(kind());
  auto second = Hold(kind());
  first->Irp()->IoStatus.Information = 1234;
  EXPECT_EQ(MakeNextCurrent(port_, kind()), first->Irp());
  EXPECT_EQ(first->Irp()->IoStatus.Information, 0u);
  EXPECT_FALSE(IsRequestQueued(first->Irp(), queue().Queue)) << "a request is in one place only";
  EXPECT_TRUE(IsRequestQueued(second->Irp(), queue().Queue));
  // Its links point at itself, so unlinking it again would change nothing.
  EXPECT_EQ(first->Irp()->Tail.Overlay.ListEntry.Flink, &first->Irp()->Tail.Overlay.ListEntry);

  CancelAllRequests(device_);
}

TEST_P(QueueKindTest, FlushCompletesTheCurrentRequestFirstThenTheQueuedInArrivalOrder) {
  auto first = Hold(kind());
  auto second = Hold(kind());
  auto third = Hold(kind());
  MakeNextCurrent(port_, kind());
  // Byte counts the requests have gathered so far.
  first->Irp()->IoStatus.Information = 5;
  second->Irp()->IoStatus.Information = 6;
  third->Irp()->IoStatus.Information = 7;

  FlushRequestsOf(kind());

  EXPECT_EQ(first->CompletionOrder(), 1u);
  EXPECT_EQ(second->CompletionOrder(), 2u);
  EXPECT_EQ(third->CompletionOrder(), 3u);
  for (auto* request : {first.get(), second.get(), third.get()}) EXPECT_EQ(request->Status(), STATUS_CANCELLED);
  // Writes keep the current write's count and zero the queued ones; waits
  // return nothing for the current wait; reads keep what they have read.
  ULONG_PTR expected[3][3] = {{5, 6, 7}, {5, 0, 0}, {0, 6, 7}};
  const ULONG_PTR* row = expected[static_cast<int>(kind())];
  EXPECT_EQ(first->Information(), row[0]);
  EXPECT_EQ(second->Information(), row[1]);
  EXPECT_EQ(third->Information(), row[2]);
  EXPECT_EQ(*queue().Current, nullptr);
  EXPECT_TRUE(IsListEmpty(queue().Queue));
  EXPECT_EQ(PendingIo(), 1);
}

TEST_P(QueueKindTest, CancelOfAQueuedRequestCompletesItAlone) {
  auto first = Hold(kind());
  auto second = Hold(kind());
  second->Irp()->IoStatus.Information = 3;

  EXPECT_TRUE(second->Cancel());
  EXPECT_EQ(second->Status(), STATUS_CANCELLED);
  EXPECT_EQ(second->Information(), kind() == Kind::Reads ? 3u : 0u);
  EXPECT_FALSE(first->Completed());
  EXPECT_TRUE(IsRequestQueued(first->Irp(), queue().Queue));
  EXPECT_EQ(PendingIo(), 2);
  EXPECT_FALSE(sim::ke::ThisThreadHolds(sim::ke::CancelSpinLock()));

  CancelAllRequests(device_);
}

TEST_P(QueueKindTest, CancelOfTheCurrentRequestStopsItsTimersAndEmptiesTheSlot) {
  auto current = Hold(kind());
  MakeNextCurrent(port_, kind());
  current->Irp()->IoStatus.Information = 5;
  KIRQL irql;
  KeAcquireSpinLock(queue().Lock, &irql);
  for (const PortTimeout& timeout : queue().Timers) {
    if (timeout.Timer != nullptr) ArmTimeout(device_, timeout, 100);
  }
  KeReleaseSpinLock(queue().Lock, irql);

  EXPECT_TRUE(current->Cancel());
  EXPECT_EQ(current->Status(), STATUS_CANCELLED);
  EXPECT_EQ(current->Information(), kind() == Kind::Reads ? 5u : 0u) << "a cancelled read keeps the bytes it got";
  EXPECT_EQ(*queue().Current, nullptr);
  EXPECT_EQ(sim::ke::SetTimerCount(), 0u);
  EXPECT_EQ(PendingIo(), 1);
}

// The race a flush can meet: the platform has taken a request's cancel
// routine and is about to call it. The flush must leave the request for that
// routine, which completes it as soon as it gets the lock.
TEST_P(QueueKindTest, AFlushLeavesARequestWhoseCancelRoutineThePlatformHasTaken) {
  auto current = Hold(kind());
  auto queued = Hold(kind());
  auto taken = Hold(kind());
  MakeNextCurrent(port_, kind());

  PDRIVER_CANCEL currentRoutine = BeginCancel(current->Irp());
  FlushRequestsOf(kind());
  EXPECT_FALSE(current->Completed()) << "the flush must not complete a request its cancel routine owns";
  EXPECT_EQ(*queue().Current, current->Irp());
  EXPECT_EQ(queued->Status(), STATUS_CANCELLED);
  EXPECT_EQ(taken->Status(), STATUS_CANCELLED);
  FinishCancel(currentRoutine, current->Irp());
  EXPECT_EQ(current->Status(), STATUS_CANCELLED);
  EXPECT_EQ(*queue().Current, nullptr);
  EXPECT_EQ(PendingIo(), 1);

  // The same for a queued request.
  auto again = Hold(kind());
  PDRIVER_CANCEL queuedRoutine = BeginCancel(again->Irp());
  FlushRequestsOf(kind());
  EXPECT_FALSE(again->Completed());
  EXPECT_TRUE(IsRequestQueued(again->Irp(), queue().Queue));
  FinishCancel(queuedRoutine, again->Irp());
  EXPECT_EQ(again->Status(), STATUS_CANCELLED);
  EXPECT_EQ(PendingIo(), 1);
}

// The same race against a serving path that wants to complete the current
// request with success: exactly one of them completes it.
TEST_P(QueueKindTest, ServingCodeLeavesARequestWhoseCancelRoutineThePlatformHasTaken) {
  auto current = Hold(kind());
  MakeNextCurrent(port_, kind());
  PDRIVER_CANCEL routine = BeginCancel(current->Irp());
  EXPECT_FALSE(ServeCurrent(port_, kind(), STATUS_SUCCESS, 10));
  EXPECT_FALSE(current->Completed());
  FinishCancel(routine, current->Irp());
  EXPECT_EQ(current->Status(), STATUS_CANCELLED);

  auto served = Hold(kind());
  MakeNextCurrent(port_, kind());
  ULONG_PTR information = kind() == Kind::Waits ? sizeof(ULONG) : 10;  // a wait returns the events, one ULONG
  EXPECT_TRUE(ServeCurrent(port_, kind(), STATUS_SUCCESS, information));
  EXPECT_EQ(served->Status(), STATUS_SUCCESS);
  EXPECT_EQ(served->Information(), information);
  EXPECT_EQ(PendingIo(), 1);
}

// A request cancelled before its cancel routine was installed is not lost:
// nobody will call the routine, so queueing it completes it as cancelled at
// once, even behind a request that may stay current for ever.
TEST_P(QueueKindTest, ARequestCancelledBeforeItsRoutineWasInstalledIsCompletedWhenQueued) {
  auto current = Hold(kind());
  MakeNextCurrent(port_, kind());
  Request early(device_, MajorOf(kind()));
  EXPECT_FALSE(early.Cancel()) << "no cancel routine to call yet";
  EXPECT_EQ(early.Send(), STATUS_PENDING);
  EXPECT_TRUE(early.Completed());
  EXPECT_EQ(early.Status(), STATUS_CANCELLED);
  EXPECT_FALSE(IsRequestQueued(early.Irp(), queue().Queue));
  EXPECT_EQ(PendingIo(), 2) << "the completed request's reference is dropped; the current one keeps its own";

  FlushRequestsOf(kind());
  EXPECT_EQ(current->Status(), STATUS_CANCELLED);
  EXPECT_EQ(PendingIo(), 1);
}

TEST_P(QueueKindTest, ACancelRoutineForARequestNoLongerHeldOnlyReleasesTheLocks) {
  auto stranger = std::make_unique<Request>(device_, MajorOf(kind()));  // never sent, never held
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  stranger->Irp()->CancelIrql = irql;
  CancelRoutineOf(kind())(device_, stranger->Irp());
  EXPECT_FALSE(sim::ke::ThisThreadHolds(sim::ke::CancelSpinLock()));
  EXPECT_FALSE(sim::ke::ThisThreadHolds(queue().Lock));
  EXPECT_EQ(sim::ke::CurrentIrql(), PASSIVE_LEVEL);
  EXPECT_FALSE(stranger->Completed());
  EXPECT_EQ(PendingIo(), 1);
}

TEST_F(QueueTest, CancellingTheCurrentWaitMakesTheNextWaitCurrent) {
  auto first = Hold(Kind::Waits);
  auto second = Hold(Kind::Waits);
  auto third = Hold(Kind::Waits);
  MakeNextCurrent(port_, Kind::Waits);

  EXPECT_TRUE(first->Cancel());
  EXPECT_EQ(first->Status(), STATUS_CANCELLED);
  EXPECT_EQ(first->Information(), 0u);
  EXPECT_EQ(port_->CurrentWaitIrp, second->Irp());
  EXPECT_TRUE(IsRequestQueued(third->Irp(), &port_->WaitQueue));

  EXPECT_TRUE(third->Cancel()) << "cancelling a queued wait moves nothing";
  EXPECT_EQ(port_->CurrentWaitIrp, second->Irp());
  CancelAllWaits(device_);
  EXPECT_EQ(second->Status(), STATUS_CANCELLED);
}

TEST_F(QueueTest, CancelAllRequestsCompletesWritesThenReadsThenWaits) {
  auto wait = Hold(Kind::Waits);
  auto read = Hold(Kind::Reads);
  auto write = Hold(Kind::Writes);
  MakeNextCurrent(port_, Kind::Reads);

  EXPECT_EQ(CancelAllRequests(device_), STATUS_SUCCESS);
  EXPECT_EQ(write->CompletionOrder(), 1u);
  EXPECT_EQ(read->CompletionOrder(), 2u);
  EXPECT_EQ(wait->CompletionOrder(), 3u);
  for (auto* request : {wait.get(), read.get(), write.get()}) EXPECT_EQ(request->Status(), STATUS_CANCELLED);
  EXPECT_EQ(PendingIo(), 1);
}
