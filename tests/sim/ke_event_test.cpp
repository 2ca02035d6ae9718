// Events and deterministic waits on virtual time: signal states, polling,
// time-outs, waits that timers satisfy, waits nothing can satisfy, and where
// a thread may wait at all (including PAGED_CODE).
#include "support/kernel_test.h"

#include "driver/platform/platform.h"
#include "sim/ke/clock.h"
#include "sim/ke/ke.h"

#include <optional>
#include <string>

#include "support/due_time.h"

using sim::verifier::Rule;

namespace {


NTSTATUS Wait(PKEVENT event, std::optional<LARGE_INTEGER> timeout = std::nullopt) {
  return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, timeout ? &*timeout : nullptr);
}

std::string Status(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS: return "STATUS_SUCCESS";
    case STATUS_TIMEOUT: return "STATUS_TIMEOUT";
    default: return "status " + std::to_string(status);
  }
}

struct EventKind {
  EVENT_TYPE type;
  const char* name;
};
constexpr EventKind kEventKinds[] = {{NotificationEvent, "notification event"},
                                     {SynchronizationEvent, "synchronization event"}};

// A timer whose DPC records when it ran and, if given an event, sets it.
struct Setter {
  KTIMER timer;
  KDPC dpc;
  PKEVENT event = nullptr;
  std::optional<int64_t> ranAt;
};

VOID NTAPI SetFromDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* setter = static_cast<Setter*>(context);
  setter->ranAt = sim::clock::Now();
  if (setter->event != nullptr) KeSetEvent(setter->event, IO_NO_INCREMENT, FALSE);
}

void Arm(Setter& setter, PKEVENT event, int64_t delay) {
  setter.event = event;
  KeInitializeTimer(&setter.timer);
  KeInitializeDpc(&setter.dpc, SetFromDpc, &setter);
  KeSetTimer(&setter.timer, Relative(delay), &setter.dpc);
}

}  // namespace

class KeEventTest : public KernelTest {};

TEST_F(KeEventTest, KeSetEventAndKeResetEventReturnThePreviousState) {
  for (const EventKind& kind : kEventKinds) {
    SCOPED_TRACE(kind.name);
    KEVENT event;
    KeInitializeEvent(&event, kind.type, FALSE);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "initialised not signalled";
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0) << "KeSetEvent of an event not signalled";
    EXPECT_NE(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0) << "KeSetEvent of a signalled event";
    EXPECT_NE(KeReadStateEvent(&event), 0);
    EXPECT_NE(KeResetEvent(&event), 0) << "KeResetEvent of a signalled event";
    EXPECT_EQ(KeResetEvent(&event), 0) << "KeResetEvent of an event not signalled";
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "after KeClearEvent";

    KeInitializeEvent(&event, kind.type, TRUE);
    EXPECT_NE(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0) << "KeSetEvent of an event initialised signalled";
  }
}

TEST_F(KeEventTest, ASatisfiedWaitResetsASynchronizationEventButNotANotificationEvent) {
  for (const EventKind& kind : kEventKinds) {
    SCOPED_TRACE(kind.name);
    bool staysSignalled = kind.type == NotificationEvent;
    KEVENT event;
    KeInitializeEvent(&event, kind.type, TRUE);
    EXPECT_EQ(Status(Wait(&event)), "STATUS_SUCCESS") << "wait on a signalled event";
    EXPECT_EQ(KeReadStateEvent(&event) != 0, staysSignalled) << "signalled after one satisfied wait";
    EXPECT_EQ(Status(Wait(&event, Relative(0))), staysSignalled ? "STATUS_SUCCESS" : "STATUS_TIMEOUT")
        << "a second wait (polling)";
    EXPECT_EQ(sim::verifier::Findings().size(), 0u) << sim::verifier::Describe(sim::verifier::Findings());
  }
}

class KeWaitTest : public KernelTest {
 protected:
  // Exact-time expiry: the waits here are checked to the 100-ns unit.
  void SetUp() override {
    KernelTest::SetUp();
    sim::ke::SetClockTick(0);
  }
};

TEST_F(KeWaitTest, AZeroTimeOutPollsWithoutMovingTime) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  Setter setter;
  Arm(setter, &event, 100);  // would satisfy a wait that let time run

  EXPECT_EQ(Status(Wait(&event, Relative(0))), "STATUS_TIMEOUT") << "polling an event not signalled";
  EXPECT_EQ(sim::clock::Now(), 0) << "virtual time after polling";
  EXPECT_FALSE(setter.ranAt) << "polling let the timer expire";

  // Polling is allowed at DISPATCH_LEVEL.
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  KIRQL old = sim::ke::RaiseIrql(DISPATCH_LEVEL, "test");
  EXPECT_EQ(Status(Wait(&event, Relative(0))), "STATUS_SUCCESS") << "polling a signalled event at DISPATCH_LEVEL";
  sim::ke::LowerIrql(old, "test");
  EXPECT_TRUE(KeCancelTimer(&setter.timer));
}

TEST_F(KeWaitTest, AFiniteTimeOutMovesTimeToTheDeadline) {
  for (bool absolute : {false, true}) {
    SCOPED_TRACE(absolute ? "absolute time-out" : "relative time-out");
    sim::clock::Advance(1000);
    int64_t deadline = sim::clock::Now() + 5000;
    KEVENT event, other;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeInitializeEvent(&other, NotificationEvent, FALSE);
    Setter before, after;
    Arm(before, &other, 5000 - 1);  // fires on the way, sets another event
    Arm(after, &event, 5000 + 1);   // would set the event, one unit too late

    EXPECT_EQ(Status(Wait(&event, absolute ? Absolute(deadline) : Relative(5000))), "STATUS_TIMEOUT");
    EXPECT_EQ(sim::clock::Now(), deadline) << "virtual time when the wait returns";
    EXPECT_EQ(before.ranAt, deadline - 1) << "a timer due before the deadline expires on the way";
    EXPECT_FALSE(after.ranAt) << "a timer due after the deadline expired during the wait";
    EXPECT_TRUE(KeCancelTimer(&after.timer));
  }
}

TEST_F(KeWaitTest, AWaitForAnEventATimersDpcWillSetEndsWhenThatTimerExpires) {
  struct Case {
    const char* what;
    std::optional<int64_t> timeout;  // relative
    const char* status;
    int64_t returnsAfter;
  };
  const Case cases[] = {
      {"no time-out", std::nullopt, "STATUS_SUCCESS", 3000},
      {"a longer time-out", 10000, "STATUS_SUCCESS", 3000},
      {"a time-out just long enough", 3000, "STATUS_SUCCESS", 3000},
      {"a shorter time-out", 2999, "STATUS_TIMEOUT", 2999},
  };
  for (const EventKind& kind : kEventKinds) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(kind.name) + ", " + c.what);
      int64_t start = sim::clock::Now();
      KEVENT event;
      KeInitializeEvent(&event, kind.type, FALSE);
      Setter unrelated, setter;
      Arm(unrelated, nullptr, 1000);  // an earlier timer that sets nothing
      Arm(setter, &event, 3000);

      std::optional<LARGE_INTEGER> timeout;
      if (c.timeout) timeout = Relative(*c.timeout);
      EXPECT_EQ(Status(Wait(&event, timeout)), c.status);
      EXPECT_EQ(sim::clock::Now() - start, c.returnsAfter) << "virtual time spent in the wait";
      EXPECT_EQ(unrelated.ranAt, start + 1000) << "the earlier timer's DPC runs at its own time";
      if (c.returnsAfter == 3000) {
        EXPECT_EQ(setter.ranAt, start + 3000);
        EXPECT_EQ(KeReadStateEvent(&event) != 0, kind.type == NotificationEvent)
            << "the event after the wait it satisfied";
      } else {
        EXPECT_FALSE(setter.ranAt) << "the setting timer expired during a wait that timed out before it";
        EXPECT_TRUE(KeCancelTimer(&setter.timer));
      }
      EXPECT_TRUE(sim::verifier::Findings().empty()) << sim::verifier::Describe(sim::verifier::Findings());
    }
  }
}

// --- Waits the verifier reports ----------------------------------------------------

TEST_F(KeWaitTest, AWaitNothingCanSatisfyIsReportedInsteadOfHanging) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  Wait(&event);
  ExpectOnlyFinding(Rule::WaitNeverEnds);
  EXPECT_EQ(sim::clock::Now(), 0) << "nothing was scheduled, so time stays";

  // Timers that do not set the event expire first; then the wait is hopeless.
  Setter unrelated;
  Arm(unrelated, nullptr, 700);
  Wait(&event);
  ExpectOnlyFinding(Rule::WaitNeverEnds);
  EXPECT_EQ(unrelated.ranAt, 700);
}

TEST_F(KeWaitTest, AWaitAtDispatchLevelOrUnderASpinLockIsReported) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);  // signalled: only where it waits is wrong

  for (KIRQL irql : {KIRQL{PASSIVE_LEVEL}, KIRQL{APC_LEVEL}}) {
    KIRQL old = sim::ke::RaiseIrql(irql, "test");
    EXPECT_EQ(Status(Wait(&event)), "STATUS_SUCCESS");
    EXPECT_EQ(Status(Wait(&event, Relative(100))), "STATUS_SUCCESS");
    sim::ke::LowerIrql(old, "test");
    EXPECT_TRUE(sim::verifier::Findings().empty()) << "a wait at IRQL " << int(irql) << ":\n"
                                                   << sim::verifier::Describe(sim::verifier::Findings());
  }

  for (bool finite : {false, true}) {
    SCOPED_TRACE(finite ? "finite time-out" : "no time-out");
    std::optional<LARGE_INTEGER> timeout;
    if (finite) timeout = Relative(100);

    KIRQL old = sim::ke::RaiseIrql(DISPATCH_LEVEL, "test");
    Wait(&event, timeout);
    ExpectOnlyFinding(Rule::WaitAtRaisedIrql);
    sim::ke::LowerIrql(old, "test");

    KSPIN_LOCK lock = 0;
    KeAcquireSpinLock(&lock, &old);
    Wait(&event, timeout);
    ExpectOnlyFinding(Rule::WaitAtRaisedIrql);
    KeReleaseSpinLock(&lock, old);
  }
}

namespace {

// A routine that may wait, marked the way the driver marks them.
void PageableRoutine() { PAGED_CODE(); }

}  // namespace

TEST_F(KeWaitTest, PagedCodeIsReportedAtDispatchLevelAndSilentBelow) {
  for (KIRQL irql : {KIRQL{PASSIVE_LEVEL}, KIRQL{APC_LEVEL}}) {
    KIRQL old = sim::ke::RaiseIrql(irql, "test");
    PageableRoutine();
    sim::ke::LowerIrql(old, "test");
    EXPECT_TRUE(sim::verifier::Findings().empty()) << "PAGED_CODE() at IRQL " << int(irql) << ":\n"
                                                   << sim::verifier::Describe(sim::verifier::Findings());
  }

  KIRQL old = sim::ke::RaiseIrql(DISPATCH_LEVEL, "test");
  PageableRoutine();
  sim::ke::LowerIrql(old, "test");
  std::vector<sim::verifier::Finding> findings = sim::verifier::Findings();
  ExpectOnlyFinding(Rule::MayWaitAtRaisedIrql);
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_NE(findings[0].message.find("PageableRoutine"), std::string::npos)
      << "the finding names the routine; got: " << findings[0].message;

  KSPIN_LOCK lock = 0;
  KeAcquireSpinLock(&lock, &old);
  PageableRoutine();
  KeReleaseSpinLock(&lock, old);
  ExpectOnlyFinding(Rule::MayWaitAtRaisedIrql);
}

TEST_F(KeEventTest, KeSetEventAboveDispatchLevelIsReported) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KIRQL old = sim::ke::RaiseIrql(DISPATCH_LEVEL, "test");
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  EXPECT_TRUE(sim::verifier::Findings().empty()) << "KeSetEvent at DISPATCH_LEVEL:\n"
                                                 << sim::verifier::Describe(sim::verifier::Findings());
  sim::ke::RaiseIrql(HIGH_LEVEL, "test");
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  ExpectOnlyFinding(Rule::IrqlTooHigh);
  sim::ke::LowerIrql(old, "test");
}
