// The kernel core in concurrent mode: DPCs on the DPC thread, waits that
// block for real, spin locks between real threads, and the watchdog. Run in
// the ThreadSanitizer build too: these tests must be free of data races.
#include "support/kernel_test.h"

#include "sim/ke/clock.h"
#include "sim/ke/ke.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/due_time.h"

using sim::verifier::Rule;

namespace {

NTSTATUS Wait(PKEVENT event, PLARGE_INTEGER timeout = nullptr) {
  return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, timeout);
}

// Lets the other threads run until `done` holds; fails the test rather than
// hanging if it never does.
template <typename Condition>
bool Eventually(Condition done) {
  auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::yield();
  }
  return true;
}

// What a DPC saw on the thread that ran it.
struct Seen {
  KDPC dpc;
  KEVENT ran;
  std::thread::id thread;
  KIRQL irql = PASSIVE_LEVEL;
  PVOID argument1 = nullptr;
  PVOID argument2 = nullptr;
};

VOID NTAPI RecordThread(PKDPC, PVOID context, PVOID argument1, PVOID argument2) {
  auto* seen = static_cast<Seen*>(context);
  seen->thread = std::this_thread::get_id();
  seen->irql = sim::ke::CurrentIrql();
  seen->argument1 = argument1;
  seen->argument2 = argument2;
  KeSetEvent(&seen->ran, IO_NO_INCREMENT, FALSE);
}

}  // namespace

class KeConcurrentTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    sim::ke::SetClockTick(0);  // exact-time expiry: the timer tests here count in 100-ns units
    sim::ke::StartConcurrent();
  }
};

TEST_F(KeConcurrentTest, DpcsRunOnTheDpcThreadAtDispatchLevel) {
  ASSERT_TRUE(sim::ke::Concurrent());
  Seen seen;
  KeInitializeDpc(&seen.dpc, RecordThread, &seen);
  KeInitializeEvent(&seen.ran, NotificationEvent, FALSE);

  EXPECT_TRUE(KeInsertQueueDpc(&seen.dpc, reinterpret_cast<PVOID>(0x11), reinterpret_cast<PVOID>(0x22)));
  ASSERT_EQ(Wait(&seen.ran), STATUS_SUCCESS) << "waiting for the DPC";
  EXPECT_NE(seen.thread, std::this_thread::get_id()) << "a concurrent DPC ran on the queuing thread";
  EXPECT_EQ(seen.irql, DISPATCH_LEVEL) << "IRQL on the DPC thread";
  EXPECT_EQ(seen.argument1, reinterpret_cast<PVOID>(0x11));
  EXPECT_EQ(seen.argument2, reinterpret_cast<PVOID>(0x22));
  EXPECT_EQ(sim::ke::CurrentIrql(), PASSIVE_LEVEL) << "the queuing thread's IRQL";
}

TEST_F(KeConcurrentTest, AnExpiringTimerQueuesItsDpcForTheDpcThread) {
  Seen seen;
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&seen.dpc, RecordThread, &seen);
  KeInitializeEvent(&seen.ran, NotificationEvent, FALSE);
  LARGE_INTEGER due;
  due.QuadPart = -500;
  KeSetTimer(&timer, due, &seen.dpc);

  sim::clock::Advance(500);  // time is still the test's to move
  ASSERT_EQ(Wait(&seen.ran), STATUS_SUCCESS);
  EXPECT_NE(seen.thread, std::this_thread::get_id());
  EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
  EXPECT_TRUE(KeReadStateTimer(&timer));
}

TEST_F(KeConcurrentTest, AWaitBlockedOnOneThreadIsReleasedFromAnother) {
  for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
    SCOPED_TRACE(type == NotificationEvent ? "notification event" : "synchronization event");
    KEVENT event;
    KeInitializeEvent(&event, type, FALSE);
    std::atomic<bool> waiting{false}, returned{false};
    NTSTATUS status = STATUS_PENDING;
    std::thread waiter([&] {
      waiting = true;
      status = Wait(&event);
      returned = true;
    });
    ASSERT_TRUE(Eventually([&] { return waiting.load(); }));
    for (int i = 0; i < 100; ++i) std::this_thread::yield();
    EXPECT_FALSE(returned) << "a wait on an event nobody set returned";
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    waiter.join();
    EXPECT_EQ(status, STATUS_SUCCESS) << "status of the released wait";
    EXPECT_EQ(KeReadStateEvent(&event) != 0, type == NotificationEvent) << "the event after the wait";
  }

  // One KeSetEvent of a notification event releases every waiter.
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::atomic<int> waiting{0}, released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      ++waiting;
      if (Wait(&event) == STATUS_SUCCESS) ++released;
    });
  }
  ASSERT_TRUE(Eventually([&] { return waiting.load() == 3; }));
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(released.load(), 3) << "waiters released by one KeSetEvent";
}

TEST_F(KeConcurrentTest, AWaitWithATimeOutEndsWhenTheTestMovesTimePastIt) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::atomic<bool> waiting{false};
  NTSTATUS status = STATUS_PENDING;
  std::thread waiter([&] {
    waiting = true;
    LARGE_INTEGER deadline = Absolute(2000);  // fixed, whenever the wait starts
    status = Wait(&event, &deadline);
  });
  ASSERT_TRUE(Eventually([&] { return waiting.load(); }));
  sim::clock::Advance(2000);
  waiter.join();
  EXPECT_EQ(status, STATUS_TIMEOUT) << "status of a wait whose deadline passed";
}

namespace {

// Several threads and a DPC add to one counter under one spin lock; the
// counter is a plain integer, so only the lock keeps it right.
struct Shared {
  KSPIN_LOCK lock = 0;
  long counter = 0;
  std::atomic<bool> inside{false};
  std::atomic<int> overlaps{0};
  std::atomic<int> wrongIrql{0};
  KDPC dpc;
  int dpcRounds = 0;  // written only by the DPC, read after StopConcurrent
  KEVENT dpcDone;
};

constexpr int kThreads = 4;
constexpr int kIncrementsPerThread = 20000;
constexpr int kDpcRounds = 2000;

void AddOne(Shared& shared) {
  if (shared.inside.exchange(true)) ++shared.overlaps;
  if (sim::ke::CurrentIrql() != DISPATCH_LEVEL) ++shared.wrongIrql;
  ++shared.counter;
  shared.inside = false;
}

VOID NTAPI AddFromDpc(PKDPC dpc, PVOID context, PVOID, PVOID) {
  auto* shared = static_cast<Shared*>(context);
  KeAcquireSpinLockAtDpcLevel(&shared->lock);
  AddOne(*shared);
  KeReleaseSpinLockFromDpcLevel(&shared->lock);
  if (++shared->dpcRounds < kDpcRounds) {
    KeInsertQueueDpc(dpc, nullptr, nullptr);
  } else {
    KeSetEvent(&shared->dpcDone, IO_NO_INCREMENT, FALSE);
  }
}

}  // namespace

TEST_F(KeConcurrentTest, ASpinLockExcludesOtherThreadsAndTheDpcThread) {
  Shared shared;
  KeInitializeDpc(&shared.dpc, AddFromDpc, &shared);
  KeInitializeEvent(&shared.dpcDone, NotificationEvent, FALSE);

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&shared] {
      for (int i = 0; i < kIncrementsPerThread; ++i) {
        KIRQL old;
        KeAcquireSpinLock(&shared.lock, &old);
        AddOne(shared);
        KeReleaseSpinLock(&shared.lock, old);
        if (old != PASSIVE_LEVEL || sim::ke::CurrentIrql() != PASSIVE_LEVEL) ++shared.wrongIrql;
      }
    });
  }
  KeInsertQueueDpc(&shared.dpc, nullptr, nullptr);
  for (std::thread& thread : threads) thread.join();
  ASSERT_EQ(Wait(&shared.dpcDone), STATUS_SUCCESS);

  KIRQL old;
  KeAcquireSpinLock(&shared.lock, &old);
  EXPECT_EQ(shared.counter, long{kThreads} * kIncrementsPerThread + kDpcRounds) << "the counter";
  KeReleaseSpinLock(&shared.lock, old);
  EXPECT_EQ(shared.overlaps.load(), 0) << "times two holders were inside the lock at once";
  EXPECT_EQ(shared.wrongIrql.load(), 0) << "times the IRQL was not DISPATCH_LEVEL inside, PASSIVE_LEVEL outside";
  EXPECT_EQ(shared.lock, 0u) << "the lock word once nobody holds it";
}

namespace {

// A DPC queued from several threads at once: each run must see the two
// arguments of one single KeInsertQueueDpc, never a mix of two.
struct Requeued {
  KDPC dpc;
  std::atomic<long> runs{0};
  std::atomic<long> mixed{0};
};

constexpr ULONG_PTR kPairMask = 0x5A5A5A5A;

VOID NTAPI CheckPair(PKDPC, PVOID context, PVOID argument1, PVOID argument2) {
  auto* requeued = static_cast<Requeued*>(context);
  ++requeued->runs;
  auto first = reinterpret_cast<ULONG_PTR>(argument1);
  auto second = reinterpret_cast<ULONG_PTR>(argument2);
  if ((first ^ kPairMask) != second) ++requeued->mixed;
}

}  // namespace

TEST_F(KeConcurrentTest, ADpcQueuedFromManyThreadsRunsOnceForEachSuccessfulQueuing) {
  // The threads keep queuing until the DPC has run often enough: each run is
  // a chance for a queuing to overlap the DPC thread's taking it off.
  constexpr long kRuns = 3000;
  Requeued requeued;
  KeInitializeDpc(&requeued.dpc, CheckPair, &requeued);
  std::atomic<long> inserted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      for (ULONG_PTR i = 0; requeued.runs < kRuns && std::chrono::steady_clock::now() < limit; ++i) {
        ULONG_PTR first = (static_cast<ULONG_PTR>(t) << 24) | (i & 0xFFFFFF);
        if (KeInsertQueueDpc(&requeued.dpc, reinterpret_cast<PVOID>(first),
                             reinterpret_cast<PVOID>(first ^ kPairMask))) {
          ++inserted;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  sim::ke::StopConcurrent();  // drains the queue
  EXPECT_GE(requeued.runs.load(), kRuns) << "DPC runs within 20 s";
  EXPECT_EQ(requeued.runs.load(), inserted.load()) << "runs against KeInsertQueueDpc calls that returned TRUE";
  EXPECT_EQ(requeued.mixed.load(), 0) << "runs that saw the arguments of two different queuings";
}

namespace {

struct Rearmed {
  KTIMER timer;
  KDPC dpc;
  std::atomic<long> runs{0};
};

VOID NTAPI CountRun(PKDPC, PVOID context, PVOID, PVOID) { ++static_cast<Rearmed*>(context)->runs; }

}  // namespace

// One thread sets and reads a timer while the test's thread expires it.
TEST_F(KeConcurrentTest, ATimerSetOnOneThreadWhileAnotherExpiresItFiresAtMostOncePerSetting) {
  Rearmed rearmed;
  KeInitializeTimer(&rearmed.timer);
  KeInitializeDpc(&rearmed.dpc, CountRun, &rearmed);
  constexpr long kSettings = 3000;
  std::atomic<bool> setterDone{false};
  std::thread setter([&] {
    LARGE_INTEGER due;
    due.QuadPart = -3;
    for (long i = 0; i < kSettings; ++i) {
      KeSetTimer(&rearmed.timer, due, &rearmed.dpc);
      (void)KeReadStateTimer(&rearmed.timer);
    }
    setterDone = true;
  });
  while (!setterDone) sim::clock::Advance(1);
  setter.join();
  sim::clock::Advance(3);  // the last setting expires for sure
  sim::ke::StopConcurrent();

  EXPECT_TRUE(KeReadStateTimer(&rearmed.timer)) << "the timer after its last setting expired";
  EXPECT_EQ(sim::ke::SetTimerCount(), 0u);
  EXPECT_GE(rearmed.runs.load(), 1) << "DPC runs: the last setting expired";
  EXPECT_LE(rearmed.runs.load(), kSettings) << "DPC runs against settings of the timer";
}

TEST_F(KeConcurrentTest, AWaitThatNeverEndsIsReportedByTheWatchdog) {
  unsigned saved = sim::ke::WatchdogSeconds();
  struct Restore {
    unsigned seconds;
    ~Restore() { sim::ke::SetWatchdogSeconds(seconds); }
  } restore{saved};
  sim::ke::SetWatchdogSeconds(1);

  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  auto start = std::chrono::steady_clock::now();
  Wait(&event);
  auto waited = std::chrono::steady_clock::now() - start;
  ExpectOnlyFinding(Rule::WaitNeverEnds);
  EXPECT_GE(waited, std::chrono::seconds(1)) << "the wait was given up before the watchdog's time";

  // A wait that something does satisfy within the watchdog's time is silent.
  std::thread setter([&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
  EXPECT_EQ(Wait(&event), STATUS_SUCCESS);
  setter.join();
  EXPECT_TRUE(sim::verifier::Findings().empty()) << sim::verifier::Describe(sim::verifier::Findings());
}

namespace {

// Two DPCs that each wait (in real time, bounded) for the other to start:
// both see the other running only if two processors run them at once.
struct Meeting {
  std::atomic<int> started{0};
  std::atomic<int> sawBoth{0};
};

VOID NTAPI MeetTheOther(PKDPC, PVOID context, PVOID, PVOID) {
  auto* meeting = static_cast<Meeting*>(context);
  meeting->started.fetch_add(1);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (meeting->started.load() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  if (meeting->started.load() == 2) meeting->sawBoth.fetch_add(1);
}

}  // namespace

TEST_F(KeConcurrentTest, TwoDpcsOfOneDriverRunAtOnceOnTwoDpcProcessors) {
  Meeting meeting;
  KDPC first, second;
  KeInitializeDpc(&first, MeetTheOther, &meeting);
  KeInitializeDpc(&second, MeetTheOther, &meeting);
  EXPECT_TRUE(KeInsertQueueDpc(&first, nullptr, nullptr));
  EXPECT_TRUE(KeInsertQueueDpc(&second, nullptr, nullptr));
  sim::ke::StopConcurrent();  // joins the DPC processors once both have run
  EXPECT_EQ(meeting.started.load(), 2);
  EXPECT_EQ(meeting.sawBoth.load(), 2) << "each DPC ran while the other was running";
}

// A thread held up by a spin lock is counted as spinning on it until it has
// the lock; a lock taken at once, or held, is not counted.
TEST_F(KeConcurrentTest, AThreadWaitingForASpinLockIsCountedUntilItHasIt) {
  KSPIN_LOCK lock = 0;
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(sim::ke::ThreadsSpinningOn(&lock), 0u) << "the holder";

  std::atomic<bool> acquired{false};
  std::thread waiter([&] {
    KIRQL waiterOld;
    KeAcquireSpinLock(&lock, &waiterOld);
    acquired = true;
    KeReleaseSpinLock(&lock, waiterOld);
  });
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (sim::ke::ThreadsSpinningOn(&lock) != 1 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  EXPECT_EQ(sim::ke::ThreadsSpinningOn(&lock), 1u) << "the waiter";
  EXPECT_FALSE(acquired.load());
  KeReleaseSpinLock(&lock, old);
  waiter.join();
  EXPECT_TRUE(acquired.load());
  EXPECT_EQ(sim::ke::ThreadsSpinningOn(&lock), 0u) << "once the waiter had the lock";
}
