// IofCompleteRequest in the simulated I/O manager: which completion routines
// run (every combination of the invoke-on flags against success, error,
// warning and cancellation), what they are given, how
// STATUS_MORE_PROCESSING_REQUIRED hands the IRP back to its owner, and how
// the pending mark climbs the stack.
#include "support/kernel_test.h"
#include "support/test_driver.h"

#include "sim/io/request.h"
#include "sim/ke/ke.h"

#include <string>
#include <vector>

using test::DeviceStack;

namespace {

// What a completion routine saw, and what it does when it runs.
struct RoutineLog {
  int calls = 0;
  PDEVICE_OBJECT device = nullptr;
  PVOID context = nullptr;
  KIRQL irql = HIGH_LEVEL;
  BOOLEAN pendingReturned = FALSE;
  BOOLEAN cancel = FALSE;
  NTSTATUS status = 0;
  ULONG_PTR information = 0;
  // Behaviour.
  NTSTATUS result = STATUS_CONTINUE_COMPLETION;
  bool propagatePending = true;  // if (Irp->PendingReturned) IoMarkIrpPending(Irp)
  bool freeIrp = false;          // the IRP is the routine's driver's own
};

NTSTATUS NTAPI LogCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto log = static_cast<RoutineLog*>(context);
  log->calls++;
  log->device = device;
  log->context = context;
  log->irql = sim::ke::CurrentIrql();
  log->pendingReturned = irp->PendingReturned;
  log->cancel = irp->Cancel;
  log->status = irp->IoStatus.Status;
  log->information = irp->IoStatus.Information;
  if (log->propagatePending && irp->PendingReturned) IoMarkIrpPending(irp);
  NTSTATUS result = log->result;
  if (log->freeIrp) IoFreeIrp(irp);
  return result;
}

struct InvokeOn {
  bool success;
  bool error;
  bool cancel;
};

// Copies its location to the next, sets LogCompletion there and passes the
// IRP down; returns what the lower driver returned.
test::DispatchRoutine CopyDownWithRoutine(RoutineLog& log, InvokeOn on) {
  return [&log, on](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, LogCompletion, &log, on.success, on.error, on.cancel);
    return IofCallDriver(test::TestDriver::Lower(device), irp);
  };
}

constexpr InvokeOn kAlways{true, true, true};

// How the bottom driver finishes the request.
enum Outcome { kSuccess, kError, kWarning, kCancelled, kCancelledButSucceeded, kOutcomes };

const char* const kOutcomeNames[kOutcomes] = {"Success", "Error", "Warning", "Cancelled", "CancelledButSucceeded"};
const NTSTATUS kOutcomeStatus[kOutcomes] = {STATUS_SUCCESS, STATUS_IO_DEVICE_ERROR, STATUS_BUFFER_OVERFLOW,
                                            STATUS_CANCELLED, STATUS_SUCCESS};
const bool kOutcomeCancels[kOutcomes] = {false, false, false, true, true};

struct FlagsRow {
  const char* name;
  InvokeOn on;
  bool runs[kOutcomes];  // whether Windows calls the routine, per outcome
};

// STATUS_BUFFER_OVERFLOW is a warning: not NT_SUCCESS, so it counts as an
// error. Cancel set with a success status still counts as a success.
const FlagsRow kFlags[] = {
    {"None", {false, false, false}, {false, false, false, false, false}},
    {"OnSuccess", {true, false, false}, {true, false, false, false, true}},
    {"OnError", {false, true, false}, {false, true, true, true, false}},
    {"OnCancel", {false, false, true}, {false, false, false, true, true}},
    {"OnSuccessError", {true, true, false}, {true, true, true, true, true}},
    {"OnSuccessCancel", {true, false, true}, {true, false, false, true, true}},
    {"OnErrorCancel", {false, true, true}, {false, true, true, true, true}},
    {"OnAll", {true, true, true}, {true, true, true, true, true}},
};

void PrintTo(const FlagsRow& row, std::ostream* out) { *out << row.name; }

}  // namespace

class IoCompletionFlagsTest : public KernelTest,
                              public ::testing::WithParamInterface<std::tuple<FlagsRow, int>> {};

TEST_P(IoCompletionFlagsTest, RoutineRunsExactlyWhenItsFlagsMatchTheOutcome) {
  const FlagsRow& flags = std::get<0>(GetParam());
  const int outcome = std::get<1>(GetParam());
  DeviceStack stack(2);
  std::vector<PIRP> held;
  RoutineLog log;
  stack.DriverAt(1).Serve(IRP_MJ_READ, CopyDownWithRoutine(log, flags.on));
  stack.DriverAt(0).Serve(IRP_MJ_READ, test::HoldIn(held));

  sim::io::Request request(stack.Top(), IRP_MJ_READ);
  EXPECT_EQ(request.Send(), STATUS_PENDING);
  ASSERT_EQ(held.size(), 1u);
  if (kOutcomeCancels[outcome]) {
    EXPECT_FALSE(request.Cancel()) << "IoCancelIrp with no cancel routine set";
  }
  test::Complete(held[0], kOutcomeStatus[outcome], 3);

  bool expected = flags.runs[outcome];
  EXPECT_EQ(log.calls, expected ? 1 : 0) << "routine with " << flags.name << " after " << kOutcomeNames[outcome]
                                         << ": ran " << log.calls << " times, expected " << (expected ? 1 : 0);
  EXPECT_TRUE(request.Completed());
  EXPECT_EQ(request.Status(), kOutcomeStatus[outcome]);
  EXPECT_EQ(request.Information(), 3u);
  if (log.calls == 1) {
    EXPECT_EQ(log.device, stack.Top()) << "device argument, expected the device that set the routine";
    EXPECT_EQ(log.context, &log) << "context argument, expected the one given to IoSetCompletionRoutine";
    EXPECT_EQ(log.status, kOutcomeStatus[outcome]);
    EXPECT_EQ(log.cancel, kOutcomeCancels[outcome] ? TRUE : FALSE) << "Irp->Cancel";
    EXPECT_TRUE(log.pendingReturned) << "Irp->PendingReturned after the lower driver returned STATUS_PENDING";
  }
}

INSTANTIATE_TEST_SUITE_P(
    AllFlagsAllOutcomes, IoCompletionFlagsTest,
    ::testing::Combine(::testing::ValuesIn(kFlags), ::testing::Range(0, static_cast<int>(kOutcomes))),
    [](const ::testing::TestParamInfo<std::tuple<FlagsRow, int>>& info) {
      return std::string(std::get<0>(info.param).name) + "_" + kOutcomeNames[std::get<1>(info.param)];
    });

class IoCompletionTest : public KernelTest {};

// A routine runs at the IRQL of whoever completes the request.
TEST_F(IoCompletionTest, RoutineRunsAtTheCompletersIrql) {
  for (KIRQL completer : {KIRQL{PASSIVE_LEVEL}, KIRQL{DISPATCH_LEVEL}}) {
    SCOPED_TRACE("completed at IRQL " + std::to_string(completer));
    DeviceStack stack(2);
    std::vector<PIRP> held;
    RoutineLog log;
    stack.DriverAt(1).Serve(IRP_MJ_WRITE, CopyDownWithRoutine(log, kAlways));
    stack.DriverAt(0).Serve(IRP_MJ_WRITE, test::HoldIn(held));
    sim::io::Request request(stack.Top(), IRP_MJ_WRITE);
    request.Send();
    ASSERT_EQ(held.size(), 1u);
    KIRQL old = sim::ke::RaiseIrql(completer, "test");
    test::Complete(held[0], STATUS_SUCCESS);
    sim::ke::LowerIrql(old, "test");
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.irql, completer) << "IRQL in the completion routine";
  }
}

// The routine set by the sender of its own IRP sits in the top device's
// location; there is no device above it, so it is given none.
TEST_F(IoCompletionTest, TheSendersRoutineOnItsOwnIrpIsGivenNoDevice) {
  DeviceStack stack(2);
  stack.DriverAt(1).Serve(IRP_MJ_READ, test::CopyDown());
  stack.DriverAt(0).Serve(IRP_MJ_READ, test::CompleteWith(STATUS_SUCCESS, 11));
  RoutineLog log;
  log.result = STATUS_MORE_PROCESSING_REQUIRED;
  log.freeIrp = true;

  PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoSetCompletionRoutine(irp, LogCompletion, &log, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(stack.Top(), irp), STATUS_SUCCESS);
  EXPECT_EQ(log.calls, 1);
  EXPECT_EQ(log.device, nullptr) << "device argument of the sender's routine";
  EXPECT_EQ(log.information, 11u);
  EXPECT_FALSE(log.pendingReturned) << "nobody returned STATUS_PENDING";
}

// STATUS_MORE_PROCESSING_REQUIRED stops the walk at the routine's driver,
// which owns the IRP again and completes it later; that second completion
// continues the walk above it and is not a double completion.
TEST_F(IoCompletionTest, MoreProcessingRequiredStopsTheWalkUntilTheOwnerCompletesAgain) {
  DeviceStack stack(3);
  std::vector<PIRP> held;
  RoutineLog top, middle;
  middle.result = STATUS_MORE_PROCESSING_REQUIRED;
  middle.propagatePending = false;  // the middle driver marked its own location
  stack.DriverAt(2).Serve(IRP_MJ_READ, CopyDownWithRoutine(top, kAlways));
  stack.DriverAt(1).Serve(IRP_MJ_READ, [&middle](PDEVICE_OBJECT device, PIRP irp) {
    IoMarkIrpPending(irp);
    CopyDownWithRoutine(middle, kAlways)(device, irp);
    return STATUS_PENDING;
  });
  stack.DriverAt(0).Serve(IRP_MJ_READ, test::HoldIn(held));

  sim::io::Request request(stack.Top(), IRP_MJ_READ);
  EXPECT_EQ(request.Send(), STATUS_PENDING);
  ASSERT_EQ(held.size(), 1u);
  PIRP irp = held[0];
  test::Complete(irp, STATUS_SUCCESS, 5);
  EXPECT_EQ(middle.calls, 1) << "the middle driver's routine";
  EXPECT_EQ(middle.information, 5u);
  EXPECT_EQ(top.calls, 0) << "the top driver's routine ran although the walk should have stopped below it";
  EXPECT_FALSE(request.Completed()) << "the request completed although the walk should have stopped";
  EXPECT_EQ(irp->CurrentLocation, 2) << "CurrentLocation, expected the middle driver's location";

  // The middle driver finishes its work and completes the IRP again.
  test::Complete(irp, STATUS_SUCCESS, 9);
  EXPECT_EQ(middle.calls, 1);
  EXPECT_EQ(top.calls, 1) << "the top driver's routine after the owner completed again";
  EXPECT_EQ(top.information, 9u);
  EXPECT_TRUE(top.pendingReturned) << "the middle driver marked its location pending";
  EXPECT_TRUE(request.Completed());
  EXPECT_EQ(request.Information(), 9u);
}

// The same, synchronously: the lower driver completes at once, the routine
// stops the walk, and the dispatch routine completes the IRP itself.
TEST_F(IoCompletionTest, ADispatchRoutineCompletesAgainAfterItsRoutineStoppedTheWalk) {
  DeviceStack stack(2);
  RoutineLog log;
  log.result = STATUS_MORE_PROCESSING_REQUIRED;
  bool completedBeforeOwner = true;
  sim::io::Request* sent = nullptr;
  stack.DriverAt(1).Serve(IRP_MJ_CLEANUP, [&](PDEVICE_OBJECT device, PIRP irp) {
    NTSTATUS status = CopyDownWithRoutine(log, kAlways)(device, irp);
    completedBeforeOwner = sent->Completed();
    irp->IoStatus.Information = 4;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  });
  stack.DriverAt(0).Serve(IRP_MJ_CLEANUP, test::CompleteWith(STATUS_SUCCESS));

  sim::io::Request request(stack.Top(), IRP_MJ_CLEANUP);
  sent = &request;
  EXPECT_EQ(request.Send(), STATUS_SUCCESS);
  EXPECT_EQ(log.calls, 1);
  EXPECT_FALSE(completedBeforeOwner) << "the request completed before the routine's driver completed it again";
  EXPECT_TRUE(request.Completed());
  EXPECT_EQ(request.Information(), 4u);
}

namespace {

// A reader's completion routine: sends its own IRP down again, from inside
// the completion that the lower driver's dispatch routine started, until it
// has gone down `rounds` times; then frees it.
struct Resubmitter {
  PDEVICE_OBJECT target = nullptr;
  int rounds = 0;
  int completions = 0;
  NTSTATUS lastResult = STATUS_PENDING;
};

void SendRead(PIRP irp, Resubmitter& reader);

NTSTATUS NTAPI Resubmit(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  (void)device;
  auto reader = static_cast<Resubmitter*>(context);
  reader->completions++;
  if (reader->completions < reader->rounds) {
    SendRead(irp, *reader);
  } else {
    IoFreeIrp(irp);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void SendRead(PIRP irp, Resubmitter& reader) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_READ;
  IoSetCompletionRoutine(irp, Resubmit, &reader, TRUE, TRUE, TRUE);
  reader.lastResult = IofCallDriver(reader.target, irp);
}

}  // namespace

// A driver may send its IRP down again from its completion routine while
// the lower driver's dispatch routine that completed it has not returned
// yet; each sending is judged on its own, and none of them is a fault.
TEST_F(IoCompletionTest, ARoutineMayResendItsIrpBeforeTheLowerDispatchReturns) {
  DeviceStack stack(1);
  int arrivals = 0;
  stack.DriverAt(0).Serve(IRP_MJ_READ, [&arrivals](PDEVICE_OBJECT, PIRP irp) {
    arrivals++;
    test::Complete(irp, STATUS_SUCCESS, 1);
    return STATUS_SUCCESS;
  });
  Resubmitter reader;
  reader.target = stack.Top();
  reader.rounds = 4;
  PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  SendRead(irp, reader);
  EXPECT_EQ(arrivals, 4) << "times the IRP reached the lower driver";
  EXPECT_EQ(reader.completions, 4);
  EXPECT_EQ(reader.lastResult, STATUS_SUCCESS);
}

namespace {

enum class Middle { Copy, Skip, RoutineThatPropagates };

struct PendingCase {
  const char* name;
  Middle middle;
  bool bottomPends;
};

void PrintTo(const PendingCase& row, std::ostream* out) { *out << row.name; }

}  // namespace

class IoPendingReturnedTest : public KernelTest, public ::testing::WithParamInterface<PendingCase> {};

// The bottom driver marks its location pending; drivers above it pass the
// IRP on without a routine (or with one that propagates the mark), and
// return STATUS_PENDING without marking their own location. Completion
// carries the mark up to the top location, where the sender's routine sees
// it as Irp->PendingReturned. None of this is a rule violation.
TEST_P(IoPendingReturnedTest, ThePendingMarkReachesTheTopLocation) {
  const PendingCase& row = GetParam();
  DeviceStack stack(3);
  std::vector<PIRP> held;
  RoutineLog middle, sender;
  stack.DriverAt(2).Serve(IRP_MJ_READ, test::CopyDown());
  switch (row.middle) {
    case Middle::Copy: stack.DriverAt(1).Serve(IRP_MJ_READ, test::CopyDown()); break;
    case Middle::Skip: stack.DriverAt(1).Serve(IRP_MJ_READ, test::SkipDown()); break;
    case Middle::RoutineThatPropagates:
      stack.DriverAt(1).Serve(IRP_MJ_READ, CopyDownWithRoutine(middle, kAlways));
      break;
  }
  stack.DriverAt(0).Serve(IRP_MJ_READ,
                          row.bottomPends ? test::HoldIn(held) : test::CompleteWith(STATUS_SUCCESS));

  sender.result = STATUS_MORE_PROCESSING_REQUIRED;
  sender.freeIrp = true;
  PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoSetCompletionRoutine(irp, LogCompletion, &sender, TRUE, TRUE, TRUE);
  NTSTATUS sent = IofCallDriver(stack.Top(), irp);
  EXPECT_EQ(sent, row.bottomPends ? STATUS_PENDING : STATUS_SUCCESS) << "IofCallDriver to the top";
  if (row.bottomPends) {
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(sender.calls, 0);
    test::Complete(held[0], STATUS_SUCCESS);
  }
  EXPECT_EQ(sender.calls, 1);
  EXPECT_EQ(sender.pendingReturned, row.bottomPends ? TRUE : FALSE) << "Irp->PendingReturned in the sender's routine";
  if (row.middle == Middle::RoutineThatPropagates) {
    EXPECT_EQ(middle.calls, 1);
    EXPECT_EQ(middle.pendingReturned, row.bottomPends ? TRUE : FALSE)
        << "Irp->PendingReturned in the middle driver's routine";
  }
}

INSTANTIATE_TEST_SUITE_P(
    MiddleDrivers, IoPendingReturnedTest,
    ::testing::Values(PendingCase{"CopyBottomPends", Middle::Copy, true},
                      PendingCase{"SkipBottomPends", Middle::Skip, true},
                      PendingCase{"RoutineBottomPends", Middle::RoutineThatPropagates, true},
                      PendingCase{"CopyBottomCompletesAtOnce", Middle::Copy, false},
                      PendingCase{"SkipBottomCompletesAtOnce", Middle::Skip, false},
                      PendingCase{"RoutineBottomCompletesAtOnce", Middle::RoutineThatPropagates, false}),
    [](const ::testing::TestParamInfo<PendingCase>& info) { return std::string(info.param.name); });

// A request from the I/O manager: after completion, Irp->PendingReturned is
// what the top location carried, which the I/O manager uses to decide how to
// finish the request.
TEST_F(IoCompletionTest, ARequestCompletedAfterPendingEndsWithPendingReturned) {
  DeviceStack stack(3);
  std::vector<PIRP> held;
  stack.DriverAt(2).Serve(IRP_MJ_WRITE, test::CopyDown());
  stack.DriverAt(1).Serve(IRP_MJ_WRITE, test::CopyDown());
  stack.DriverAt(0).Serve(IRP_MJ_WRITE, test::HoldIn(held));
  sim::io::Request request(stack.Top(), IRP_MJ_WRITE);
  EXPECT_EQ(request.Send(), STATUS_PENDING);
  ASSERT_EQ(held.size(), 1u);
  test::Complete(held[0], STATUS_SUCCESS, 1);
  EXPECT_TRUE(request.Completed());
  EXPECT_TRUE(request.Irp()->PendingReturned) << "Irp->PendingReturned at the top after the bottom pended";
}
