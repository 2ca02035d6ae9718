// The explorer on small programs of kernel calls whose faults are known:
// it finds a lost update with either strategy, replays a run exactly from
// its seed, reports deadlocks of spin locks and of waits with the
// processors' states, delivers DPCs, timer expiries and deferred work on
// its own processors, and never runs two processors at once.
#include "sim/explore/explorer.h"
#include "sim/explore/hook.h"

#include "sim/ke/clock.h"
#include "sim/ke/ke.h"
#include "support/kernel_test.h"

#include <atomic>
#include <functional>

using sim::explore::Explorer;
using sim::explore::RunResult;
using sim::explore::Schedule;
using sim::explore::Strategy;

namespace {

// Two processors add 1 to a counter by reading it, taking and releasing an
// unrelated lock (a switch point), and writing it back: a lost update, of
// depth 1 for the priority strategy (one processor must stop in its window).
struct LostUpdate {
  KSPIN_LOCK unrelated = 0;
  int counter = 0;

  void Increment() {
    int seen = counter;
    KIRQL irql;
    KeAcquireSpinLock(&unrelated, &irql);
    KeReleaseSpinLock(&unrelated, irql);
    counter = seen + 1;
  }

  RunResult Run(const Schedule& schedule) {
    Explorer explorer(schedule);
    explorer.AddActor("first", [this] { Increment(); });
    explorer.AddActor("second", [this] { Increment(); });
    return explorer.Run();
  }
};

// The first seed among 1..limit under which `lost` is seen, or 0.
uint64_t FirstSeedLosing(Strategy strategy, uint64_t limit) {
  for (uint64_t seed = 1; seed <= limit; ++seed) {
    LostUpdate program;
    RunResult result = program.Run({strategy, seed, 2, 20});
    EXPECT_TRUE(result.Ended()) << result.failure;
    if (program.counter != 2) return seed;
  }
  return 0;
}

}  // namespace

class ExplorerTest : public KernelTest {};

TEST_F(ExplorerTest, EachStrategyFindsALostUpdateAndAnotherSeedMissesIt) {
  for (Strategy strategy : {Strategy::RandomWalk, Strategy::Priority}) {
    SCOPED_TRACE(sim::explore::StrategyName(strategy));
    uint64_t losing = FirstSeedLosing(strategy, 50);
    ASSERT_NE(losing, 0u) << "no schedule in 50 interleaved the two updates";
    // And some schedule runs them one after the other: the explorer does
    // not merely always interleave.
    bool someKept = false;
    for (uint64_t seed = 1; seed <= 50 && !someKept; ++seed) {
      LostUpdate program;
      program.Run({strategy, seed, 2, 20});
      someKept = program.counter == 2;
    }
    EXPECT_TRUE(someKept);
  }
}

TEST_F(ExplorerTest, ARunReplaysExactlyFromItsSeed) {
  for (Strategy strategy : {Strategy::RandomWalk, Strategy::Priority}) {
    for (uint64_t seed = 1; seed <= 20; ++seed) {
      LostUpdate first, second;
      RunResult a = first.Run({strategy, seed, 3, 20});
      RunResult b = second.Run({strategy, seed, 3, 20});
      ASSERT_EQ(first.counter, second.counter) << Describe(Schedule{strategy, seed, 3, 20});
      ASSERT_EQ(a.steps, b.steps);
      ASSERT_EQ(sim::explore::DescribeSwitches(a.switches), sim::explore::DescribeSwitches(b.switches));
    }
  }
}

TEST_F(ExplorerTest, ProcessorsTakingTwoLocksInOppositeOrdersDeadlockUnderSomeSchedule) {
  // On the heap and never freed: the deadlocked threads stay parked holding
  // them, and no later lock may share their addresses.
  KSPIN_LOCK& a = *new KSPIN_LOCK(0);
  KSPIN_LOCK& b = *new KSPIN_LOCK(0);
  sim::ke::NameSpinLock(&a, "lock A");
  sim::ke::NameSpinLock(&b, "lock B");
  auto both = [](PKSPIN_LOCK outer, PKSPIN_LOCK inner) {
    KIRQL irql;
    KeAcquireSpinLock(outer, &irql);
    KeAcquireSpinLockAtDpcLevel(inner);
    KeReleaseSpinLockFromDpcLevel(inner);
    KeReleaseSpinLock(outer, irql);
  };
  RunResult deadlock;
  for (uint64_t seed = 1; seed <= 50 && !deadlock.deadlocked; ++seed) {
    Explorer explorer({Strategy::RandomWalk, seed});
    explorer.AddActor("A then B", [&] { both(&a, &b); });
    explorer.AddActor("B then A", [&] { both(&b, &a); });
    deadlock = explorer.Run();
    if (deadlock.deadlocked) break;
    a = b = 0;
  }
  ASSERT_TRUE(deadlock.deadlocked) << "no schedule in 50 took both outer locks first";
  EXPECT_NE(deadlock.failure.find("A then B: blocked in KeAcquireSpinLockAtDpcLevel"), std::string::npos)
      << deadlock.failure;
  EXPECT_NE(deadlock.failure.find("B then A: blocked in KeAcquireSpinLockAtDpcLevel"), std::string::npos)
      << deadlock.failure;
  EXPECT_FALSE(deadlock.switches.empty());
  // The inversion itself is the verifier's finding, once for each order it
  // saw taken against the other (a schedule before the deadlocked one may
  // have run both bodies through already).
  std::vector<sim::verifier::Finding> findings = sim::verifier::Take();
  EXPECT_FALSE(findings.empty());
  for (const sim::verifier::Finding& finding : findings) {
    EXPECT_EQ(finding.rule, sim::verifier::Rule::LockOrderInversion) << sim::verifier::Describe(findings);
  }
}

TEST_F(ExplorerTest, AWaitNothingCanEndIsADeadlockNamingTheWait) {
  auto* never = new KEVENT;  // left to the parked thread
  KeInitializeEvent(never, NotificationEvent, FALSE);
  Explorer explorer({Strategy::RandomWalk, 1});
  explorer.AddActor("waiter", [never] { KeWaitForSingleObject(never, Executive, KernelMode, FALSE, nullptr); });
  RunResult result = explorer.Run();
  EXPECT_TRUE(result.deadlocked);
  EXPECT_NE(result.failure.find("waiter: blocked in KeWaitForSingleObject"), std::string::npos) << result.failure;
  EXPECT_NE(result.failure.find("DPC processor 1: idle"), std::string::npos) << result.failure;
}

namespace {

struct DeliveryShared {
  KEVENT dpcRan, timerRan;
  KDPC dpc, timerDpc;
  KTIMER timer;
  std::atomic<int> dpcIrql{-1};
};

VOID NTAPI SetDpcRan(PKDPC, PVOID context, PVOID, PVOID) {
  auto shared = static_cast<DeliveryShared*>(context);
  shared->dpcIrql = sim::ke::CurrentIrql();
  KeSetEvent(&shared->dpcRan, 0, FALSE);
}

VOID NTAPI SetTimerRan(PKDPC, PVOID context, PVOID, PVOID) {
  KeSetEvent(&static_cast<DeliveryShared*>(context)->timerRan, 0, FALSE);
}

}  // namespace

TEST_F(ExplorerTest, DpcsAndTimerExpiriesRunOnTheKernelsProcessors) {
  DeliveryShared shared;
  KeInitializeEvent(&shared.dpcRan, NotificationEvent, FALSE);
  KeInitializeEvent(&shared.timerRan, NotificationEvent, FALSE);
  KeInitializeDpc(&shared.dpc, SetDpcRan, &shared);
  KeInitializeDpc(&shared.timerDpc, SetTimerRan, &shared);
  KeInitializeTimer(&shared.timer);

  for (Strategy strategy : {Strategy::RandomWalk, Strategy::Priority}) {
    for (uint64_t seed = 1; seed <= 10; ++seed) {
      KeClearEvent(&shared.dpcRan);
      KeClearEvent(&shared.timerRan);
      Explorer explorer({strategy, seed, 2, 50});
      explorer.AddActor("queuer", [&] {
        EXPECT_TRUE(sim::explore::Exploring());
        EXPECT_TRUE(sim::ke::Concurrent()) << "DPCs wait for a DPC processor while exploring";
        KeInsertQueueDpc(&shared.dpc, nullptr, nullptr);
        LARGE_INTEGER due;
        due.QuadPart = -10 * 10000;  // 10 ms
        KeSetTimer(&shared.timer, due, &shared.timerDpc);
        KeWaitForSingleObject(&shared.dpcRan, Executive, KernelMode, FALSE, nullptr);
        KeWaitForSingleObject(&shared.timerRan, Executive, KernelMode, FALSE, nullptr);
      });
      RunResult result = explorer.Run();
      ASSERT_TRUE(result.Ended()) << Describe(Schedule{strategy, seed, 2, 50}) << ": " << result.failure;
      EXPECT_EQ(shared.dpcIrql, DISPATCH_LEVEL);
      EXPECT_GE(sim::clock::Now(), 10 * sim::clock::kUnitsPerMs) << "the clock ran to the timer's due time";
    }
  }
  EXPECT_FALSE(sim::explore::Exploring());
  EXPECT_FALSE(sim::ke::Concurrent());
}

TEST_F(ExplorerTest, NeverRunsTwoProcessorsAtOnce) {
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  KSPIN_LOCK lock = 0;
  auto body = [&] {
    for (int i = 0; i < 20; ++i) {
      if (inside.fetch_add(1) != 0) overlaps++;
      // Real time passes here without a switch point: a second processor
      // running now would be seen.
      for (volatile int spin = 0; spin < 2000; spin = spin + 1) {
      }
      inside.fetch_sub(1);
      KIRQL irql;
      KeAcquireSpinLock(&lock, &irql);
      KeReleaseSpinLock(&lock, irql);
    }
  };
  for (uint64_t seed = 1; seed <= 5; ++seed) {
    Explorer explorer({Strategy::RandomWalk, seed});
    explorer.AddActor("one", body);
    explorer.AddActor("two", body);
    explorer.AddActor("three", body);
    RunResult result = explorer.Run();
    ASSERT_TRUE(result.Ended()) << result.failure;
    EXPECT_GT(result.switches.size(), 10u);
  }
  EXPECT_EQ(overlaps, 0);
}

TEST_F(ExplorerTest, ARunThatNeverEndsStopsAtTheStepLimit) {
  std::atomic<bool> stop{false};
  auto* lock = new KSPIN_LOCK(0);  // left to the parked thread
  sim::explore::Options options;
  options.stepLimit = 500;
  Explorer explorer({Strategy::RandomWalk, 3}, options);
  explorer.AddActor("spinner", [lock, &stop] {
    while (!stop) {
      KIRQL irql;
      KeAcquireSpinLock(lock, &irql);
      KeReleaseSpinLock(lock, irql);
    }
  });
  RunResult result = explorer.Run();
  EXPECT_TRUE(result.stepLimitHit);
  EXPECT_FALSE(result.Ended());
  EXPECT_NE(result.failure.find("did not end within 500 steps"), std::string::npos) << result.failure;
  sim::Reset();  // the spinner stays parked with the lock; the kernel starts afresh
}

namespace {

struct Overlap {
  KSPIN_LOCK unrelated = 0;
  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  std::atomic<int> ran{0};
};

VOID NTAPI OverlappingDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto overlap = static_cast<Overlap*>(context);
  int now = ++overlap->inside;
  if (now > overlap->most) overlap->most = now;
  KeAcquireSpinLockAtDpcLevel(&overlap->unrelated);  // a switch point inside the DPC
  KeReleaseSpinLockFromDpcLevel(&overlap->unrelated);
  --overlap->inside;
  ++overlap->ran;
}

}  // namespace

TEST_F(ExplorerTest, TwoDpcsRunAtOnceOnTheTwoDpcProcessorsUnderSomeSchedule) {
  Overlap overlap;
  KDPC first, second;
  KeInitializeDpc(&first, OverlappingDpc, &overlap);
  KeInitializeDpc(&second, OverlappingDpc, &overlap);
  for (uint64_t seed = 1; seed <= 30 && overlap.most < 2; ++seed) {
    Explorer explorer({Strategy::RandomWalk, seed});
    explorer.AddActor("queuer", [&] {
      KeInsertQueueDpc(&first, nullptr, nullptr);
      KeInsertQueueDpc(&second, nullptr, nullptr);
    });
    RunResult result = explorer.Run();
    ASSERT_TRUE(result.Ended()) << result.failure;
  }
  EXPECT_EQ(overlap.most, 2) << "no schedule ran the two DPCs at once";
  EXPECT_GE(overlap.ran, 2);
}
