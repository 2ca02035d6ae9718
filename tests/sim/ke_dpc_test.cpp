// Deferred procedure calls in deterministic mode: arguments and IRQL, queuing
// twice, running when the IRQL falls, removal, and the verifier's rules
// about what a DPC routine must leave as it found it.
#include "support/kernel_test.h"

#include "sim/ke/clock.h"
#include "sim/ke/ke.h"
#include "sim/kernel.h"

#include <cstring>
#include <string>
#include <vector>

using sim::verifier::Rule;

namespace {

// What a DPC routine saw, each time it ran.
struct DpcRun {
  PKDPC dpc;
  PVOID context;
  PVOID argument1;
  PVOID argument2;
  KIRQL irql;
  size_t locksHeld;
};

struct Recorded {
  KDPC dpc;
  std::vector<DpcRun> runs;
  std::vector<std::string>* log = nullptr;
  std::string name;
  PKDPC queueFromInside = nullptr;       // queued by this routine, if set
  size_t runsOfOtherWhenDone = 0;        // how often `other` had run when this returned
  const std::vector<DpcRun>* other = nullptr;
};

VOID NTAPI Record(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
  auto* recorded = static_cast<Recorded*>(context);
  recorded->runs.push_back(
      {dpc, context, argument1, argument2, sim::ke::CurrentIrql(), sim::ke::SpinLocksHeldByThisThread()});
  if (recorded->log != nullptr) recorded->log->push_back(recorded->name);
  if (recorded->queueFromInside != nullptr) KeInsertQueueDpc(recorded->queueFromInside, nullptr, nullptr);
  if (recorded->other != nullptr) recorded->runsOfOtherWhenDone = recorded->other->size();
}

PVOID Arg(ULONG_PTR value) { return reinterpret_cast<PVOID>(value); }

}  // namespace

class KeDpcTest : public KernelTest {
 protected:
  // One processor's delivery, at the IRQL drop: these tests check when a
  // DPC runs relative to the code that queued it; held-back delivery has
  // its own tests below.
  void SetUp() override {
    KernelTest::SetUp();
    sim::ke::SetDpcDelivery(sim::ke::DpcDelivery::AtIrqlDrop);
    KeInitializeDpc(&recorded_.dpc, Record, &recorded_);
  }

  Recorded recorded_;
};

TEST_F(KeDpcTest, KeInitializeDpcSetsTheRoutineAndContextAndAQueueableState) {
  KDPC dpc;
  std::memset(&dpc, 0x55, sizeof dpc);  // see which fields initialisation writes
  KeInitializeDpc(&dpc, Record, &recorded_);
  EXPECT_EQ(dpc.DeferredRoutine, Record);
  EXPECT_EQ(dpc.DeferredContext, &recorded_);
  EXPECT_EQ(dpc.Type, 19) << "Type: the kernel's DpcObject";
  EXPECT_EQ(dpc.Importance, MediumImportance);
  KIRQL old = sim::ke::RaiseIrql(DISPATCH_LEVEL, "test");
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr)) << "first KeInsertQueueDpc of a DPC initialised over garbage";
  EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
  sim::ke::LowerIrql(old, "test");
}

TEST_F(KeDpcTest, RunsAtDispatchLevelWithTheArgumentsItWasQueuedWith) {
  EXPECT_TRUE(KeInsertQueueDpc(&recorded_.dpc, Arg(0x1111), Arg(0x2222)));
  ASSERT_EQ(recorded_.runs.size(), 1u) << "a DPC queued at PASSIVE_LEVEL runs before KeInsertQueueDpc returns";
  const DpcRun& run = recorded_.runs[0];
  EXPECT_EQ(run.dpc, &recorded_.dpc) << "the DPC argument";
  EXPECT_EQ(run.context, &recorded_) << "the deferred context";
  EXPECT_EQ(run.argument1, Arg(0x1111)) << "SystemArgument1";
  EXPECT_EQ(run.argument2, Arg(0x2222)) << "SystemArgument2";
  EXPECT_EQ(run.irql, DISPATCH_LEVEL) << "IRQL inside the DPC";
  EXPECT_EQ(run.locksHeld, 0u) << "spin locks held inside the DPC";
  EXPECT_EQ(sim::ke::CurrentIrql(), PASSIVE_LEVEL) << "IRQL after the DPC";

  // Each queuing brings its own arguments.
  EXPECT_TRUE(KeInsertQueueDpc(&recorded_.dpc, Arg(3), nullptr));
  ASSERT_EQ(recorded_.runs.size(), 2u);
  EXPECT_EQ(recorded_.runs[1].argument1, Arg(3));
  EXPECT_EQ(recorded_.runs[1].argument2, nullptr);
}

TEST_F(KeDpcTest, QueuingAQueuedDpcReturnsFalseAndItRunsOnceWithTheFirstArguments) {
  KIRQL old = sim::ke::RaiseIrql(DISPATCH_LEVEL, "test");
  EXPECT_TRUE(KeInsertQueueDpc(&recorded_.dpc, Arg(1), Arg(2))) << "first KeInsertQueueDpc";
  EXPECT_FALSE(KeInsertQueueDpc(&recorded_.dpc, Arg(7), Arg(8))) << "KeInsertQueueDpc of a queued DPC";
  EXPECT_TRUE(recorded_.runs.empty()) << "ran at DISPATCH_LEVEL before the IRQL fell";
  EXPECT_EQ(sim::ke::QueuedDpcCount(), 1u);
  sim::ke::LowerIrql(old, "test");

  ASSERT_EQ(recorded_.runs.size(), 1u) << "runs of a DPC queued twice";
  EXPECT_EQ(recorded_.runs[0].argument1, Arg(1)) << "the second KeInsertQueueDpc must not change the arguments";
  EXPECT_EQ(recorded_.runs[0].argument2, Arg(2));
  EXPECT_TRUE(KeInsertQueueDpc(&recorded_.dpc, nullptr, nullptr)) << "KeInsertQueueDpc once the DPC has run";
  EXPECT_EQ(recorded_.runs.size(), 2u);
}

TEST_F(KeDpcTest, ADpcQueuedUnderASpinLockRunsWhenTheLockIsReleased) {
  KSPIN_LOCK outer = 0, inner = 0;
  KIRQL outerIrql, innerIrql;
  KeAcquireSpinLock(&outer, &outerIrql);
  KeAcquireSpinLock(&inner, &innerIrql);
  KeInsertQueueDpc(&recorded_.dpc, nullptr, nullptr);
  EXPECT_TRUE(recorded_.runs.empty()) << "ran while two spin locks were held";
  KeReleaseSpinLock(&inner, innerIrql);  // back to DISPATCH_LEVEL only
  EXPECT_TRUE(recorded_.runs.empty()) << "ran while the outer spin lock was still held";
  KeReleaseSpinLock(&outer, outerIrql);

  ASSERT_EQ(recorded_.runs.size(), 1u) << "runs once the IRQL falls below DISPATCH_LEVEL";
  EXPECT_EQ(recorded_.runs[0].irql, DISPATCH_LEVEL);
  EXPECT_EQ(recorded_.runs[0].locksHeld, 0u) << "the DPC ran with the releasing thread's locks still held";
}

TEST_F(KeDpcTest, DpcsRunInTheOrderQueuedAndOneQueuedInsideADpcRunsAfterIt) {
  std::vector<std::string> log;
  Recorded second, third;
  KeInitializeDpc(&second.dpc, Record, &second);
  KeInitializeDpc(&third.dpc, Record, &third);
  recorded_.log = second.log = third.log = &log;
  recorded_.name = "first";
  second.name = "second";
  third.name = "third";
  recorded_.queueFromInside = &third.dpc;  // not nested: it waits for its turn
  recorded_.other = &third.runs;

  KIRQL old = sim::ke::RaiseIrql(DISPATCH_LEVEL, "test");
  KeInsertQueueDpc(&recorded_.dpc, nullptr, nullptr);
  KeInsertQueueDpc(&second.dpc, nullptr, nullptr);
  sim::ke::LowerIrql(old, "test");

  EXPECT_EQ(log, (std::vector<std::string>{"first", "second", "third"})) << "order the DPCs ran in";
  EXPECT_EQ(recorded_.runsOfOtherWhenDone, 0u) << "a DPC queued by a DPC ran inside it";
  ASSERT_EQ(third.runs.size(), 1u);
  EXPECT_EQ(third.runs[0].irql, DISPATCH_LEVEL);
}

TEST_F(KeDpcTest, KeRemoveQueueDpcTakesAQueuedDpcOffTheQueue) {
  EXPECT_FALSE(KeRemoveQueueDpc(&recorded_.dpc)) << "KeRemoveQueueDpc of a DPC never queued";

  KIRQL old = sim::ke::RaiseIrql(DISPATCH_LEVEL, "test");
  KeInsertQueueDpc(&recorded_.dpc, nullptr, nullptr);
  EXPECT_TRUE(KeRemoveQueueDpc(&recorded_.dpc)) << "KeRemoveQueueDpc of a queued DPC";
  EXPECT_FALSE(KeRemoveQueueDpc(&recorded_.dpc)) << "KeRemoveQueueDpc twice";
  EXPECT_EQ(sim::ke::QueuedDpcCount(), 0u);
  sim::ke::LowerIrql(old, "test");
  EXPECT_TRUE(recorded_.runs.empty()) << "a removed DPC ran";

  EXPECT_TRUE(KeInsertQueueDpc(&recorded_.dpc, nullptr, nullptr)) << "KeInsertQueueDpc after removal";
  EXPECT_EQ(recorded_.runs.size(), 1u);
  EXPECT_FALSE(KeRemoveQueueDpc(&recorded_.dpc)) << "KeRemoveQueueDpc of a DPC that has run";
}

// --- What a DPC routine must leave as it found it ----------------------------------

namespace {

KSPIN_LOCK g_lockForDpc;

VOID NTAPI LowerToPassive(PKDPC, PVOID, PVOID, PVOID) { sim::ke::LowerIrql(PASSIVE_LEVEL, "faulty DPC"); }

VOID NTAPI RaiseAndStay(PKDPC, PVOID, PVOID, PVOID) { sim::ke::RaiseIrql(HIGH_LEVEL, "faulty DPC"); }

VOID NTAPI RaiseAndRestore(PKDPC, PVOID, PVOID, PVOID) {
  KIRQL old = sim::ke::RaiseIrql(HIGH_LEVEL, "DPC");
  sim::ke::LowerIrql(old, "DPC");
}

VOID NTAPI TakeLockAndKeepIt(PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&g_lockForDpc); }

VOID NTAPI TakeLockAndReleaseIt(PKDPC, PVOID, PVOID, PVOID) {
  KeAcquireSpinLockAtDpcLevel(&g_lockForDpc);
  KeReleaseSpinLockFromDpcLevel(&g_lockForDpc);
}

}  // namespace

TEST_F(KeDpcTest, ADpcReturningAtAnotherIrqlIsReported) {
  struct Case {
    const char* what;
    PKDEFERRED_ROUTINE routine;
    bool faulty;
  };
  for (const Case& c : {Case{"raises and restores", RaiseAndRestore, false},
                        Case{"returns at PASSIVE_LEVEL", LowerToPassive, true},
                        Case{"returns at HIGH_LEVEL", RaiseAndStay, true}}) {
    SCOPED_TRACE(std::string("a DPC that ") + c.what);
    KDPC dpc;
    KeInitializeDpc(&dpc, c.routine, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    if (c.faulty) {
      ExpectOnlyFinding(Rule::IrqlNotRestored);
    } else {
      EXPECT_TRUE(sim::verifier::Findings().empty()) << sim::verifier::Describe(sim::verifier::Findings());
    }
    EXPECT_EQ(sim::ke::CurrentIrql(), PASSIVE_LEVEL) << "the interrupted thread's IRQL after the DPC";
  }
}

TEST_F(KeDpcTest, ADpcReturningWithASpinLockHeldIsReported) {
  g_lockForDpc = 0;
  KDPC dpc;
  KeInitializeDpc(&dpc, TakeLockAndReleaseIt, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  EXPECT_TRUE(sim::verifier::Findings().empty()) << sim::verifier::Describe(sim::verifier::Findings());

  KeInitializeDpc(&dpc, TakeLockAndKeepIt, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  ExpectOnlyFinding(Rule::SpinLockHeldOnReturn);
  KIRQL old = sim::ke::RaiseIrql(DISPATCH_LEVEL, "test");
  KeReleaseSpinLockFromDpcLevel(&g_lockForDpc);  // clean up after the faulty DPC
  sim::ke::LowerIrql(old, "test");
}

TEST_F(KeDpcTest, FreeingMemoryThatHoldsAQueuedDpcIsReported) {
  for (bool removeFirst : {true, false}) {
    SCOPED_TRACE(removeFirst ? "removed before the free" : "freed while queued");
    auto* dpc = static_cast<PKDPC>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KDPC), 0x74736554));
    ASSERT_NE(dpc, nullptr);
    KeInitializeDpc(dpc, Record, &recorded_);
    KIRQL old = sim::ke::RaiseIrql(DISPATCH_LEVEL, "test");
    KeInsertQueueDpc(dpc, nullptr, nullptr);
    if (removeFirst) {
      EXPECT_TRUE(KeRemoveQueueDpc(dpc));
    }
    ExFreePool(dpc);
    if (removeFirst) {
      EXPECT_TRUE(sim::verifier::Findings().empty()) << sim::verifier::Describe(sim::verifier::Findings());
    } else {
      ExpectOnlyFinding(Rule::DpcInFreedMemory);
    }
    sim::ke::LowerIrql(old, "test");
    EXPECT_TRUE(recorded_.runs.empty()) << "a DPC in freed memory ran";
  }
}

// --- Held-back delivery: a DPC runs as if another processor took it later

class KeHeldDpcTest : public KeDpcTest {
 protected:
  void SetUp() override {
    KeDpcTest::SetUp();
    sim::ke::SetDpcDelivery(sim::ke::DpcDelivery::HeldBack);
  }
};

TEST_F(KeHeldDpcTest, TheKernelHoldsDpcsBackByDefault) {
  sim::Reset();
  EXPECT_EQ(sim::ke::GetDpcDelivery(), sim::ke::DpcDelivery::HeldBack);
}

TEST_F(KeHeldDpcTest, AQueuedDpcWaitsWhileTheCodeThatQueuedItGoesOnAndRunsWhenTheMachineHasControl) {
  struct Case {
    const char* where;
    KIRQL irql;
  } cases[] = {{"queued at PASSIVE_LEVEL", PASSIVE_LEVEL}, {"queued at DISPATCH_LEVEL", DISPATCH_LEVEL}};
  for (const Case& c : cases) {
    recorded_.runs.clear();
    KIRQL old = sim::ke::RaiseIrql(c.irql, "test");
    EXPECT_TRUE(KeInsertQueueDpc(&recorded_.dpc, Arg(1), Arg(2))) << c.where;
    sim::ke::LowerIrql(old, "test");
    EXPECT_TRUE(recorded_.runs.empty()) << c.where << ": the queuing code went on past its IRQL drop without it";
    EXPECT_EQ(sim::ke::QueuedDpcCount(), 1u) << c.where;
    sim::clock::Settle();
    ASSERT_EQ(recorded_.runs.size(), 1u) << c.where << ": it ran once the machine had control";
    EXPECT_EQ(recorded_.runs[0].irql, DISPATCH_LEVEL) << c.where;
    EXPECT_EQ(recorded_.runs[0].argument1, Arg(1)) << c.where;
  }
}

namespace {
VOID NTAPI SetEventDpc(PKDPC, PVOID context, PVOID, PVOID) { KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE); }
}  // namespace

TEST_F(KeHeldDpcTest, AWaitForAnEventAHeldDpcSetsEndsAndIsNotReportedAsNeverEnding) {
  KEVENT event;
  KDPC dpc;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KeInitializeDpc(&dpc, SetEventDpc, &event);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  EXPECT_EQ(KeReadStateEvent(&event), 0) << "held back";
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
}
