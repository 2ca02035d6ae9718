// The verifier's I/O rules. Each rule has a scenario run twice: once with a
// deliberately faulty driver routine, which must produce exactly one finding
// of that rule, and once with the routine written correctly, which must
// produce none. Leaks are checked by the end-of-test checks themselves.
#include "support/kernel_test.h"
#include "support/test_driver.h"

#include "sim/io/io.h"
#include "sim/io/request.h"

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
