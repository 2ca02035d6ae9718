// Kernel timers on virtual time: due times, re-arming, cancelling, the order
// of expiry, and the verifier's rules about timers.
#include "support/kernel_test.h"

#include "sim/ke/clock.h"
#include "sim/ke/ke.h"

#include <deque>
#include <string>
#include <vector>

#include "support/due_time.h"

using sim::verifier::Rule;

namespace {


// A timer and its DPC, which records each run: the virtual time, the IRQL,
// and its name in a log shared by several timers.
struct TimedDpc {
  KTIMER timer;
  KDPC dpc;
  std::string name;
  std::vector<std::string>* log = nullptr;
  std::vector<int64_t> ranAt;
  std::vector<KIRQL> irqls;
};

VOID NTAPI RecordExpiry(PKDPC, PVOID context, PVOID, PVOID) {
  auto* timed = static_cast<TimedDpc*>(context);
  timed->ranAt.push_back(sim::clock::Now());
  timed->irqls.push_back(sim::ke::CurrentIrql());
  if (timed->log != nullptr) timed->log->push_back(timed->name);
}

std::string Join(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ",") + name;
  return text;
}

}  // namespace

class KeTimerTest : public KernelTest {
 protected:
  // Exact-time expiry and one processor's DPC delivery: these tests check
  // the timer rules to the 100-ns unit and when a DPC runs; the clock tick
  // has tests of its own below, held-back DPCs theirs in ke_dpc_test.
  void SetUp() override {
    KernelTest::SetUp();
    sim::ke::SetClockTick(0);
    sim::ke::SetDpcDelivery(sim::ke::DpcDelivery::AtIrqlDrop);
  }

  TimedDpc& Make(const std::string& name, std::vector<std::string>* log = nullptr) {
    TimedDpc& timed = timers_.emplace_back();
    timed.name = name;
    timed.log = log;
    KeInitializeTimer(&timed.timer);
    KeInitializeDpc(&timed.dpc, RecordExpiry, &timed);
    return timed;
  }

  static int64_t Now() { return sim::clock::Now(); }

 private:
  std::deque<TimedDpc> timers_;  // stable addresses: the kernel keeps pointers
};

TEST_F(KeTimerTest, ARelativeDueTimeFiresExactlyWhenTimeReachesIt) {
  for (int64_t delay : {int64_t{1}, 10 * sim::clock::kUnitsPerMs, int64_t{1234567}}) {
    SCOPED_TRACE("relative due time " + std::to_string(delay));
    TimedDpc& timed = Make("timer");
    sim::clock::Advance(777);  // relative to when it is set, not to boot
    int64_t due = Now() + delay;
    EXPECT_FALSE(KeSetTimer(&timed.timer, Relative(delay), &timed.dpc)) << "KeSetTimer on a timer that was not set";

    sim::clock::Advance(delay - 1);
    EXPECT_TRUE(timed.ranAt.empty()) << "the DPC ran at " << timed.ranAt.front() << ", expected " << due;
    EXPECT_FALSE(KeReadStateTimer(&timed.timer)) << "signalled one unit before its due time " << due;

    sim::clock::Advance(1);
    ASSERT_EQ(timed.ranAt.size(), 1u) << "DPC runs by the due time " << due;
    EXPECT_EQ(timed.ranAt[0], due) << "virtual time seen by the DPC";
    EXPECT_EQ(timed.irqls[0], DISPATCH_LEVEL) << "IRQL of a timer's DPC";
    EXPECT_TRUE(KeReadStateTimer(&timed.timer)) << "an expired timer is signalled";

    sim::clock::Advance(3 * delay);
    EXPECT_EQ(timed.ranAt.size(), 1u) << "a timer set once fires once";
  }
}

TEST_F(KeTimerTest, AnAbsoluteDueTimeFiresAtThatTimeOrAtOnceIfAlreadyReached) {
  TimedDpc& later = Make("later");
  sim::clock::Advance(1000);
  KeSetTimer(&later.timer, Absolute(5000), &later.dpc);
  sim::clock::Advance(3999);
  EXPECT_TRUE(later.ranAt.empty()) << "ran at " << later.ranAt.front() << ", expected 5000";
  sim::clock::Advance(1);
  ASSERT_EQ(later.ranAt.size(), 1u);
  EXPECT_EQ(later.ranAt[0], 5000);

  // A due time already reached (the past, or this very instant) expires the
  // timer while it is set: its DPC runs as soon as the IRQL allows, with no
  // need for time to move.
  for (int64_t at : {int64_t{0}, int64_t{4000}, Now()}) {
    SCOPED_TRACE("absolute due time " + std::to_string(at) + " at time " + std::to_string(Now()));
    TimedDpc& past = Make("past");
    EXPECT_FALSE(KeSetTimer(&past.timer, Absolute(at), &past.dpc));
    ASSERT_EQ(past.ranAt.size(), 1u) << "DPC runs on return from KeSetTimer at PASSIVE_LEVEL";
    EXPECT_EQ(past.ranAt[0], Now());
    EXPECT_EQ(past.irqls[0], DISPATCH_LEVEL);
    EXPECT_TRUE(KeReadStateTimer(&past.timer));
    EXPECT_FALSE(KeCancelTimer(&past.timer)) << "a timer that expired at once is not set";
  }
  EXPECT_EQ(sim::ke::SetTimerCount(), 0u);
}

TEST_F(KeTimerTest, SettingASetTimerReplacesItsDueTime) {
  struct Case {
    const char* what;
    int64_t first, second;
  };
  for (const Case& c : {Case{"later", 1000, 3000}, Case{"earlier", 3000, 1000}, Case{"the same", 2000, 2000}}) {
    SCOPED_TRACE(std::string("re-set to ") + c.what + " due time");
    TimedDpc& timed = Make("timer");
    int64_t start = Now();
    EXPECT_FALSE(KeSetTimer(&timed.timer, Relative(c.first), &timed.dpc)) << "first KeSetTimer";
    sim::clock::Advance(500);
    EXPECT_TRUE(KeSetTimer(&timed.timer, Relative(c.second), &timed.dpc)) << "KeSetTimer on a set timer";
    sim::clock::Advance(5000);
    ASSERT_EQ(timed.ranAt.size(), 1u) << "the first due time is forgotten, the timer fires once";
    EXPECT_EQ(timed.ranAt[0], start + 500 + c.second) << "fires at the second due time";
  }

  // Once expired the timer is no longer set, and setting it again makes it
  // not signalled until it expires again.
  TimedDpc& timed = Make("expired");
  KeSetTimer(&timed.timer, Relative(10), &timed.dpc);
  sim::clock::Advance(10);
  ASSERT_TRUE(KeReadStateTimer(&timed.timer));
  EXPECT_FALSE(KeSetTimer(&timed.timer, Relative(10), &timed.dpc)) << "KeSetTimer after the timer expired";
  EXPECT_FALSE(KeReadStateTimer(&timed.timer)) << "KeSetTimer resets the signal state";
  sim::clock::Advance(10);
  EXPECT_EQ(timed.ranAt.size(), 2u);
}

TEST_F(KeTimerTest, SettingAgainWithAnotherDpcRunsOnlyTheNewDpc) {
  std::vector<std::string> log;
  TimedDpc& timed = Make("old", &log);
  TimedDpc& other = Make("new", &log);
  KeSetTimer(&timed.timer, Relative(100), &timed.dpc);
  EXPECT_TRUE(KeSetTimer(&timed.timer, Relative(100), &other.dpc));
  sim::clock::Advance(1000);
  EXPECT_EQ(Join(log), "new") << "DPCs run";
}

TEST_F(KeTimerTest, KeCancelTimerReturnsWhetherTheTimerWasSet) {
  TimedDpc& timed = Make("timer");
  EXPECT_FALSE(KeCancelTimer(&timed.timer)) << "a timer never set";

  KeSetTimer(&timed.timer, Relative(100), &timed.dpc);
  EXPECT_TRUE(KeCancelTimer(&timed.timer)) << "a set timer";
  EXPECT_FALSE(KeCancelTimer(&timed.timer)) << "the same timer cancelled twice";
  sim::clock::Advance(1000);
  EXPECT_TRUE(timed.ranAt.empty()) << "a cancelled timer's DPC ran at " << timed.ranAt.front();
  EXPECT_FALSE(KeReadStateTimer(&timed.timer)) << "a cancelled timer never expired";

  KeSetTimer(&timed.timer, Relative(100), &timed.dpc);
  sim::clock::Advance(100);
  ASSERT_EQ(timed.ranAt.size(), 1u);
  EXPECT_FALSE(KeCancelTimer(&timed.timer)) << "a timer that has expired";
  EXPECT_TRUE(KeReadStateTimer(&timed.timer)) << "KeCancelTimer leaves the signal state alone";
}

TEST_F(KeTimerTest, ADpcAlreadyQueuedStillRunsAfterKeCancelTimer) {
  TimedDpc& timed = Make("timer");
  KSPIN_LOCK lock = 0;
  KeSetTimer(&timed.timer, Relative(100), &timed.dpc);

  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  sim::clock::Advance(100);  // expires at DISPATCH_LEVEL: the DPC can only be queued
  EXPECT_TRUE(timed.ranAt.empty()) << "the DPC ran while its processor was at DISPATCH_LEVEL";
  EXPECT_EQ(sim::ke::QueuedDpcCount(), 1u) << "DPCs queued";
  EXPECT_TRUE(KeReadStateTimer(&timed.timer));
  EXPECT_FALSE(KeCancelTimer(&timed.timer)) << "KeCancelTimer once the DPC is queued";
  KeReleaseSpinLock(&lock, old);

  ASSERT_EQ(timed.ranAt.size(), 1u) << "the queued DPC runs when the lock is released";
  EXPECT_EQ(timed.ranAt[0], 100);
}

TEST_F(KeTimerTest, TimersDueAtTheSameTimeFireInTheOrderTheyWereSet) {
  {
    SCOPED_TRACE("three timers set for the same relative due time");
    std::vector<std::string> log;
    TimedDpc& a = Make("a", &log);
    TimedDpc& b = Make("b", &log);
    TimedDpc& c = Make("c", &log);
    KeSetTimer(&c.timer, Relative(500), &c.dpc);
    KeSetTimer(&a.timer, Relative(500), &a.dpc);
    KeSetTimer(&b.timer, Relative(500), &b.dpc);
    sim::clock::Advance(500);
    EXPECT_EQ(Join(log), "c,a,b") << "DPCs in the order they ran";
  }
  {
    SCOPED_TRACE("the same absolute due time reached through different relative times");
    std::vector<std::string> log;
    TimedDpc& early = Make("set-first", &log);
    TimedDpc& late = Make("set-second", &log);
    KeSetTimer(&early.timer, Relative(300), &early.dpc);
    sim::clock::Advance(100);
    KeSetTimer(&late.timer, Relative(200), &late.dpc);
    sim::clock::Advance(200);
    EXPECT_EQ(Join(log), "set-first,set-second");
  }
  {
    SCOPED_TRACE("setting a timer again puts it after the others due with it");
    std::vector<std::string> log;
    TimedDpc& a = Make("a", &log);
    TimedDpc& b = Make("b", &log);
    KeSetTimer(&a.timer, Relative(50), &a.dpc);
    KeSetTimer(&b.timer, Relative(50), &b.dpc);
    KeSetTimer(&a.timer, Relative(50), &a.dpc);
    sim::clock::Advance(50);
    EXPECT_EQ(Join(log), "b,a");
  }
}

namespace {

// The first of two timers due together looks at the second from its DPC.
struct Observer {
  KTIMER timer;
  KDPC dpc;
  PKTIMER other;
  PKTIMER later;
  bool ran = false;
  BOOLEAN otherSignalled = FALSE;
  BOOLEAN otherCancelled = TRUE;
  BOOLEAN laterCancelled = FALSE;
};

VOID NTAPI ObserveOthers(PKDPC, PVOID context, PVOID, PVOID) {
  auto* observer = static_cast<Observer*>(context);
  observer->ran = true;
  observer->otherSignalled = KeReadStateTimer(observer->other);
  observer->otherCancelled = KeCancelTimer(observer->other);
  observer->laterCancelled = KeCancelTimer(observer->later);
}

}  // namespace

// On one clock tick the kernel expires every timer due, then runs their DPCs:
// from the first DPC, a timer due at the same time has already expired (its
// DPC is queued and KeCancelTimer cannot stop it), one due later has not.
TEST_F(KeTimerTest, TimersDueTogetherHaveAllExpiredWhenTheFirstDpcRuns) {
  TimedDpc& other = Make("other");
  TimedDpc& later = Make("later");
  Observer observer;
  observer.other = &other.timer;
  observer.later = &later.timer;
  KeInitializeTimer(&observer.timer);
  KeInitializeDpc(&observer.dpc, ObserveOthers, &observer);

  KeSetTimer(&observer.timer, Relative(100), &observer.dpc);
  KeSetTimer(&other.timer, Relative(100), &other.dpc);
  KeSetTimer(&later.timer, Relative(101), &later.dpc);
  sim::clock::Advance(1000);

  ASSERT_TRUE(observer.ran);
  EXPECT_TRUE(observer.otherSignalled) << "KeReadStateTimer of the timer due at the same time";
  EXPECT_FALSE(observer.otherCancelled) << "KeCancelTimer of the timer due at the same time";
  EXPECT_EQ(other.ranAt.size(), 1u) << "its DPC still runs";
  EXPECT_TRUE(observer.laterCancelled) << "KeCancelTimer of the timer due one unit later";
  EXPECT_TRUE(later.ranAt.empty()) << "the cancelled later timer's DPC ran";
}

namespace {

struct Ticker {
  KTIMER timer;
  KDPC dpc;
  int remaining;
  std::vector<int64_t> ranAt;
  std::vector<BOOLEAN> setResults;
};

VOID NTAPI TickAndReArm(PKDPC dpc, PVOID context, PVOID, PVOID) {
  auto* ticker = static_cast<Ticker*>(context);
  ticker->ranAt.push_back(sim::clock::Now());
  if (ticker->remaining-- > 0) ticker->setResults.push_back(KeSetTimer(&ticker->timer, Relative(250), dpc));
}

}  // namespace

TEST_F(KeTimerTest, ADpcCanReArmItsOwnTimer) {
  Ticker ticker;
  ticker.remaining = 3;
  KeInitializeTimer(&ticker.timer);
  KeInitializeDpc(&ticker.dpc, TickAndReArm, &ticker);
  KeSetTimer(&ticker.timer, Relative(250), &ticker.dpc);

  sim::clock::Advance(10000);
  EXPECT_EQ(ticker.ranAt, (std::vector<int64_t>{250, 500, 750, 1000})) << "times the DPC ran";
  EXPECT_EQ(ticker.setResults, (std::vector<BOOLEAN>{FALSE, FALSE, FALSE}))
      << "KeSetTimer from the timer's own DPC: the timer has expired, so it was not set";
  EXPECT_EQ(sim::ke::SetTimerCount(), 0u);
}

TEST_F(KeTimerTest, KeReadStateTimerFollowsSettingAndExpiry) {
  TimedDpc& timed = Make("timer");
  std::vector<BOOLEAN> states;
  states.push_back(KeReadStateTimer(&timed.timer));  // initialised
  KeSetTimer(&timed.timer, Relative(10), nullptr);  // a timer without a DPC
  states.push_back(KeReadStateTimer(&timed.timer));  // set
  sim::clock::Advance(10);
  states.push_back(KeReadStateTimer(&timed.timer));  // expired
  KeCancelTimer(&timed.timer);
  states.push_back(KeReadStateTimer(&timed.timer));  // cancelled after expiry
  KeSetTimer(&timed.timer, Relative(10), nullptr);
  states.push_back(KeReadStateTimer(&timed.timer));  // set again
  KeInitializeTimer(&timed.timer);
  states.push_back(KeReadStateTimer(&timed.timer));  // initialised again
  EXPECT_EQ(states, (std::vector<BOOLEAN>{FALSE, FALSE, TRUE, TRUE, FALSE, FALSE}))
      << "state after: initialise, set, expire, cancel, set, initialise";
}

// --- The verifier's rules about timers ----------------------------------------

TEST_F(KeTimerTest, SettingOrCancellingATimerAboveDispatchLevelIsReported) {
  TimedDpc& timed = Make("timer");
  KIRQL old = sim::ke::RaiseIrql(DISPATCH_LEVEL, "test");
  KeSetTimer(&timed.timer, Relative(10), &timed.dpc);
  KeCancelTimer(&timed.timer);
  EXPECT_TRUE(sim::verifier::Findings().empty()) << "at DISPATCH_LEVEL:\n"
                                                 << sim::verifier::Describe(sim::verifier::Findings());

  sim::ke::RaiseIrql(HIGH_LEVEL, "test");
  KeSetTimer(&timed.timer, Relative(10), &timed.dpc);
  ExpectOnlyFinding(Rule::IrqlTooHigh);
  KeCancelTimer(&timed.timer);
  ExpectOnlyFinding(Rule::IrqlTooHigh);
  sim::ke::LowerIrql(old, "test");
}

TEST_F(KeTimerTest, APeriodicTimerIsReportedAsNotSimulated) {
  TimedDpc& timed = Make("timer");
  KeSetTimerEx(&timed.timer, Relative(10), 0, &timed.dpc);
  EXPECT_TRUE(sim::verifier::Findings().empty()) << "KeSetTimerEx without a period";
  KeSetTimerEx(&timed.timer, Relative(10), 5, &timed.dpc);
  ExpectOnlyFinding(Rule::UnsupportedCall);
  KeCancelTimer(&timed.timer);
}

TEST_F(KeTimerTest, FreeingMemoryThatHoldsASetTimerIsReported) {
  for (bool cancelFirst : {true, false}) {
    SCOPED_TRACE(cancelFirst ? "cancelled before the free" : "freed while set");
    auto* timed = static_cast<TimedDpc*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(TimedDpc), 0x74736554));
    ASSERT_NE(timed, nullptr);
    KeInitializeTimer(&timed->timer);
    KeInitializeDpc(&timed->dpc, RecordExpiry, nullptr);  // must never run
    KeSetTimer(&timed->timer, Relative(100), &timed->dpc);
    if (cancelFirst) {
      EXPECT_TRUE(KeCancelTimer(&timed->timer));
    }
    ExFreePool(timed);
    if (cancelFirst) {
      EXPECT_TRUE(sim::verifier::Findings().empty()) << sim::verifier::Describe(sim::verifier::Findings());
    } else {
      ExpectOnlyFinding(Rule::TimerInFreedMemory);
    }
    EXPECT_EQ(sim::ke::SetTimerCount(), 0u) << "timers set after the free";
    sim::clock::Advance(1000);  // nothing left to expire in the freed block
  }
}

TEST_F(KeTimerTest, ATimerStillSetWhenTheTestEndsIsReported) {
  TimedDpc& timed = Make("timer");
  KeSetTimer(&timed.timer, Relative(100), &timed.dpc);
  std::vector<sim::verifier::Finding> findings = sim::EndOfTest();
  ASSERT_EQ(findings.size(), 1u) << sim::verifier::Describe(findings);
  EXPECT_EQ(findings[0].rule, Rule::TimerInFreedMemory) << sim::verifier::Describe(findings);
  EXPECT_EQ(sim::ke::SetTimerCount(), 0u) << "the end of a test forgets its timers";
}

// --- Timers on the clock tick

class KeTickTest : public KeTimerTest, public ::testing::WithParamInterface<int64_t> {
 protected:
  void SetUp() override {
    KeTimerTest::SetUp();
    sim::ke::SetClockTick(GetParam());
  }
  static int64_t Tick() { return GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(WindowsClockRates, KeTickTest,
                         ::testing::Values(sim::ke::kTick10Ms, sim::ke::kTick15_625Ms),
                         [](const ::testing::TestParamInfo<int64_t>& info) {
                           return info.param == sim::ke::kTick10Ms ? std::string("Tick10ms") : std::string("Tick15_625ms");
                         });

TEST_F(KeTimerTest, TheKernelStartsWithWindowsDefaultClockTick) {
  sim::Reset();
  EXPECT_EQ(sim::ke::ClockTick(), sim::ke::kTick15_625Ms);
}

TEST_P(KeTickTest, ATimerExpiresOnTheFirstTickAtOrAfterItsDueTimeNeverEarlierNorATickLater) {
  // Due times around tick boundaries, from a start that is itself off the tick.
  sim::clock::Advance(12345);
  for (int64_t due : {int64_t{1}, Tick() / 2, Tick() - 12345, Tick() - 12346, Tick(), 3 * Tick() + 7, int64_t{30000}}) {
    TimedDpc& timed = Make("timer");
    int64_t set = Now();
    KeSetTimer(&timed.timer, Relative(due), &timed.dpc);
    sim::clock::Advance(5 * Tick());
    ASSERT_EQ(timed.ranAt.size(), 1u) << "due " << due;
    int64_t expired = timed.ranAt[0];
    EXPECT_GE(expired, set + due) << "never before its due time (due " << due << ")";
    EXPECT_LT(expired, set + due + Tick()) << "less than one tick after its due time (due " << due << ")";
    EXPECT_EQ(expired % Tick(), 0) << "on a tick (due " << due << ")";
    EXPECT_EQ(expired, (set + due + Tick() - 1) / Tick() * Tick()) << "the first tick at or after it (due " << due << ")";
  }
}

TEST_P(KeTickTest, TwoTimersDueThreeMillisecondsApartInOneTickFireInOneBatch) {
  TimedDpc& other = Make("second");
  TimedDpc& unset = Make("never set");
  Observer observer;
  observer.other = &other.timer;
  observer.later = &unset.timer;
  KeInitializeTimer(&observer.timer);
  KeInitializeDpc(&observer.dpc, ObserveOthers, &observer);

  // Both due inside the first tick: 2 ms and 5 ms after the start.
  KeSetTimer(&observer.timer, Relative(2 * sim::clock::kUnitsPerMs), &observer.dpc);
  KeSetTimer(&other.timer, Relative(5 * sim::clock::kUnitsPerMs), &other.dpc);
  sim::clock::Advance(Tick() - 1);
  EXPECT_FALSE(observer.ran) << "nothing expires before the tick, though both are due";
  EXPECT_TRUE(other.ranAt.empty());
  sim::clock::Advance(1);
  ASSERT_TRUE(observer.ran);
  EXPECT_TRUE(observer.otherSignalled) << "the timer due 3 ms later had expired when the first DPC ran";
  EXPECT_FALSE(observer.otherCancelled) << "it was no longer set: the two expired as one batch";
  ASSERT_EQ(other.ranAt.size(), 1u);
  EXPECT_EQ(other.ranAt[0], Tick()) << "its DPC ran on the same tick";
}
