// The simulated executive pool: tracking, the verifier's pool rules (each
// shown reported by a deliberately faulty use), and failure injection.
#include "support/kernel_test.h"

#include "sim/ex/pool.h"
#include "sim/ke/clock.h"
#include "sim/ke/ke.h"

#include <string>
#include <vector>

using sim::verifier::Rule;

namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A timer and its DPC, as a driver keeps them in its own pool block.
struct TimerBlock {
  KTIMER timer;
  KDPC dpc;
};

VOID NTAPI CountingDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
  (void)dpc;
  (void)argument1;
  (void)argument2;
  ++*static_cast<int*>(context);
}

}  // namespace

class PoolTest : public KernelTest {};

TEST_F(PoolTest, TracksEachBlockByTypeAndSize) {
  PVOID nonPaged = ExAllocatePool(NonPagedPool, 40);
  PVOID paged = ExAllocatePool(PagedPool, 24);
  ASSERT_NE(nonPaged, nullptr);
  ASSERT_NE(paged, nullptr);
  sim::pool::Usage usage = sim::pool::Outstanding();
  EXPECT_EQ(usage.blocks, 2u);
  EXPECT_EQ(usage.bytes, 64u);
  std::string described = sim::pool::DescribeOutstanding();
  EXPECT_TRUE(Contains(described, "NonPagedPool block of 40 bytes")) << described;
  EXPECT_TRUE(Contains(described, "PagedPool block of 24 bytes")) << described;

  ExFreePool(nonPaged);
  usage = sim::pool::Outstanding();
  EXPECT_EQ(usage.blocks, 1u);
  EXPECT_EQ(usage.bytes, 24u);
  ExFreePool(paged);
  EXPECT_EQ(sim::pool::Outstanding().blocks, 0u);
}

TEST_F(PoolTest, BlocksAreAlignedLikeTheRealPool) {
  std::vector<PVOID> blocks;
  for (SIZE_T size : {1, 3, 8, 13, 100}) {
    PVOID block = ExAllocatePool(NonPagedPool, size);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % (2 * sizeof(void*)), 0u) << "block of " << size << " bytes";
    blocks.push_back(block);
  }
  for (PVOID block : blocks) ExFreePool(block);
}

TEST_F(PoolTest, FreshBlocksAreNotZeroFilled) {
  // Code that relies on zeroed pool must show it: no byte of a fresh block
  // is zero, even in memory that was freed zeroed just before.
  for (int round = 0; round < 2; ++round) {
    auto* bytes = static_cast<unsigned char*>(ExAllocatePool(NonPagedPool, 256));
    ASSERT_NE(bytes, nullptr);
    for (int i = 0; i < 256; ++i) {
      ASSERT_NE(bytes[i], 0) << "round " << round << ": byte " << i << " of a fresh block is zero";
    }
    RtlZeroMemory(bytes, 256);
    ExFreePool(bytes);
  }
}

TEST_F(PoolTest, LeaksAreReportedAtTheEndOfTheTest) {
  ASSERT_NE(ExAllocatePool(NonPagedPool, 40), nullptr);
  ASSERT_NE(ExAllocatePool(PagedPool, 8), nullptr);
  PVOID freed = ExAllocatePool(NonPagedPool, 1000);
  ExFreePool(freed);

  std::vector<sim::verifier::Finding> findings = sim::EndOfTest();
  ASSERT_EQ(findings.size(), 1u) << sim::verifier::Describe(findings);
  EXPECT_EQ(findings[0].rule, Rule::PoolLeaked) << sim::verifier::Describe(findings);
  const std::string& message = findings[0].message;
  EXPECT_TRUE(Contains(message, "2 block(s), 48 bytes")) << "got: " << message;
  EXPECT_TRUE(Contains(message, "NonPagedPool block of 40 bytes")) << "got: " << message;
  EXPECT_TRUE(Contains(message, "PagedPool block of 8 bytes")) << "got: " << message;
  EXPECT_FALSE(Contains(message, "1000 bytes")) << "a freed block is not a leak; got: " << message;
  EXPECT_EQ(sim::pool::Outstanding().blocks, 0u) << "the end of a test releases what was left";
}

TEST_F(PoolTest, NothingIsReportedWhenEverythingIsFreed) {
  ExFreePool(ExAllocatePool(NonPagedPool, 40));
  std::vector<sim::verifier::Finding> findings = sim::EndOfTest();
  EXPECT_TRUE(findings.empty()) << sim::verifier::Describe(findings);
}

TEST_F(PoolTest, FreeingWhatIsNotAnAllocatedBlockIsReported) {
  struct Case {
    const char* name;
    PVOID (*pointer)(PVOID live, PVOID freed, PVOID local);
  } const cases[] = {
      {"a block freed twice", [](PVOID, PVOID freed, PVOID) { return freed; }},
      {"a pointer into the middle of a block", [](PVOID live, PVOID, PVOID) {
         return static_cast<PVOID>(static_cast<char*>(live) + 8);
       }},
      {"a pointer never allocated", [](PVOID, PVOID, PVOID local) { return local; }},
      {"a null pointer", [](PVOID, PVOID, PVOID) { return static_cast<PVOID>(nullptr); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PVOID live = ExAllocatePool(NonPagedPool, 32);
    PVOID freed = ExAllocatePool(NonPagedPool, 32);
    ASSERT_NE(live, nullptr);
    ASSERT_NE(freed, nullptr);
    ExFreePool(freed);
    int local = 0;
    ExFreePool(c.pointer(live, freed, &local));
    ExpectOnlyFinding(Rule::PoolFreedTwice);
    EXPECT_EQ(sim::pool::Outstanding().blocks, 1u) << "the live block is still allocated";
    ExFreePool(live);
    EXPECT_TRUE(sim::verifier::Findings().empty()) << sim::verifier::Describe(sim::verifier::Findings());
  }
}

// Pageable pool may be used up to APC_LEVEL, non-paged pool up to
// DISPATCH_LEVEL; both the allocation and the free are checked.
TEST_F(PoolTest, PoolUseAboveItsIrqlIsReported) {
  struct Case {
    const char* name;
    POOL_TYPE type;
    KIRQL irql;
    bool reported;
    Rule rule;
  } const cases[] = {
      {"PagedPool at PASSIVE_LEVEL", PagedPool, PASSIVE_LEVEL, false, Rule::PagedPoolAtRaisedIrql},
      {"PagedPool at APC_LEVEL", PagedPool, APC_LEVEL, false, Rule::PagedPoolAtRaisedIrql},
      {"PagedPool at DISPATCH_LEVEL", PagedPool, DISPATCH_LEVEL, true, Rule::PagedPoolAtRaisedIrql},
      {"PagedPoolCacheAligned at DISPATCH_LEVEL", PagedPoolCacheAligned, DISPATCH_LEVEL, true,
       Rule::PagedPoolAtRaisedIrql},
      {"NonPagedPool at DISPATCH_LEVEL", NonPagedPool, DISPATCH_LEVEL, false, Rule::IrqlTooHigh},
      {"NonPagedPoolCacheAligned at DISPATCH_LEVEL", NonPagedPoolCacheAligned, DISPATCH_LEVEL, false,
       Rule::IrqlTooHigh},
      {"NonPagedPool above DISPATCH_LEVEL", NonPagedPool, DISPATCH_LEVEL + 1, true, Rule::IrqlTooHigh},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Allocated at the IRQL under test, freed at PASSIVE_LEVEL.
    KIRQL old = sim::ke::RaiseIrql(c.irql, "test");
    PVOID block = ExAllocatePool(c.type, 16);
    sim::ke::LowerIrql(old, "test");
    ASSERT_NE(block, nullptr) << "the allocation itself succeeds";
    ExFreePool(block);
    if (c.reported) {
      ExpectOnlyFinding(c.rule);
    } else {
      EXPECT_TRUE(sim::verifier::Findings().empty()) << sim::verifier::Describe(sim::verifier::Findings());
    }

    // Allocated at PASSIVE_LEVEL, freed at the IRQL under test.
    block = ExAllocatePool(c.type, 16);
    ASSERT_NE(block, nullptr);
    old = sim::ke::RaiseIrql(c.irql, "test");
    ExFreePool(block);
    sim::ke::LowerIrql(old, "test");
    if (c.reported) {
      ExpectOnlyFinding(c.rule);
    } else {
      EXPECT_TRUE(sim::verifier::Findings().empty()) << sim::verifier::Describe(sim::verifier::Findings());
    }
  }
}

TEST_F(PoolTest, PagedPoolUnderASpinLockIsReported) {
  KSPIN_LOCK lock{};
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  PVOID paged = ExAllocatePool(PagedPool, 16);
  PVOID nonPaged = ExAllocatePool(NonPagedPool, 16);
  KeReleaseSpinLock(&lock, old);
  ExpectOnlyFinding(Rule::PagedPoolAtRaisedIrql);
  ExFreePool(paged);
  ExFreePool(nonPaged);
}

// Which allocations fail, counted from the call that sets the injection.
TEST_F(PoolTest, FailureInjectionPicksTheAllocationsCountedFromNow) {
  struct Case {
    const char* name;
    void (*inject)();
    std::vector<bool> succeeds;  // the next allocations, in order
  } const cases[] = {
      {"FailNth(1): the next one", [] { sim::pool::FailNth(1); }, {false, true, true, true}},
      {"FailNth(3): the third from now", [] { sim::pool::FailNth(3); }, {true, true, false, true, true}},
      {"FailFrom(1): all from the next", [] { sim::pool::FailFrom(1); }, {false, false, false, false}},
      {"FailFrom(3): all from the third", [] { sim::pool::FailFrom(3); }, {true, true, false, false, false}},
      {"FailNth then StopFailing", [] {
         sim::pool::FailNth(1);
         sim::pool::StopFailing();
       },
       {true, true, true}},
      {"FailFrom then StopFailing", [] {
         sim::pool::FailFrom(1);
         sim::pool::StopFailing();
       },
       {true, true, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Some allocations before the injection: it must count from its own call,
    // not from the start of the test.
    std::vector<PVOID> blocks;
    for (int i = 0; i < 5; ++i) blocks.push_back(ExAllocatePool(NonPagedPool, 8));
    uint64_t attemptsBefore = sim::pool::Attempts();
    c.inject();
    for (size_t i = 0; i < c.succeeds.size(); ++i) {
      PVOID block = ExAllocatePool(i % 2 ? PagedPool : NonPagedPool, 8);
      EXPECT_EQ(block != nullptr, c.succeeds[i]) << "allocation " << i + 1 << " after the injection: got "
                                                 << (block ? "success" : "failure") << ", expected "
                                                 << (c.succeeds[i] ? "success" : "failure");
      if (block != nullptr) blocks.push_back(block);
    }
    EXPECT_EQ(sim::pool::Attempts(), attemptsBefore + c.succeeds.size()) << "failed attempts count too";
    sim::pool::StopFailing();
    for (PVOID block : blocks) ExFreePool(block);
    EXPECT_TRUE(sim::verifier::Findings().empty()) << "a failed allocation is not a violation: "
                                                   << sim::verifier::Describe(sim::verifier::Findings());
  }
}

// Allocations the I/O manager makes for a driver (an IRP, a device object)
// share the count with the pool.
TEST_F(PoolTest, AllocationsOutsideThePoolShareTheCount) {
  sim::pool::FailNth(2);
  EXPECT_TRUE(sim::pool::NextAllocationSucceeds());
  EXPECT_FALSE(sim::pool::NextAllocationSucceeds()) << "the second counted allocation fails";
  PVOID block = ExAllocatePool(NonPagedPool, 8);
  EXPECT_NE(block, nullptr) << "the third succeeds";
  ExFreePool(block);

  sim::pool::FailNth(1);
  EXPECT_EQ(ExAllocatePool(NonPagedPool, 8), nullptr);
  EXPECT_TRUE(sim::pool::NextAllocationSucceeds());
}

TEST_F(PoolTest, AnAllocationTooLargeForThePoolFails) {
  // Windows fails a request the pool cannot hold; the simulation must not
  // try to hand out (or fill) gigabytes of host memory, nor wrap the size.
  const SIZE_T sizes[] = {static_cast<SIZE_T>(0xFFFFFFFFu), static_cast<SIZE_T>(0xFFFFFFF9u),
                          static_cast<SIZE_T>(0x80000000u)};
  for (SIZE_T size : sizes) {
    EXPECT_EQ(ExAllocatePool(NonPagedPool, size), nullptr) << "allocation of " << size << " bytes";
  }
  EXPECT_EQ(sim::pool::Outstanding().blocks, 0u);
  EXPECT_EQ(sim::pool::Attempts(), 3u);
}

TEST_F(PoolTest, FreeingASetTimerIsReportedAndTheTimerNeverFires) {
  int runs = 0;
  auto* block = static_cast<TimerBlock*>(ExAllocatePool(NonPagedPool, sizeof(TimerBlock)));
  ASSERT_NE(block, nullptr);
  KeInitializeTimer(&block->timer);
  KeInitializeDpc(&block->dpc, CountingDpc, &runs);
  LARGE_INTEGER due;
  due.QuadPart = -10 * 10000LL;  // 10 ms
  KeSetTimer(&block->timer, due, &block->dpc);

  ExFreePool(block);
  ExpectOnlyFinding(Rule::TimerInFreedMemory);
  EXPECT_EQ(sim::ke::SetTimerCount(), 0u) << "the timer is taken off the schedule";

  sim::clock::AdvanceMs(100);  // must not touch the freed memory
  EXPECT_EQ(runs, 0) << "the DPC of a freed timer ran";
  EXPECT_TRUE(sim::verifier::Findings().empty()) << sim::verifier::Describe(sim::verifier::Findings());
}

TEST_F(PoolTest, FreeingAQueuedDpcIsReportedAndTheDpcNeverRuns) {
  int runs = 0;
  auto* block = static_cast<TimerBlock*>(ExAllocatePool(NonPagedPool, sizeof(TimerBlock)));
  ASSERT_NE(block, nullptr);
  KeInitializeDpc(&block->dpc, CountingDpc, &runs);

  // At DISPATCH_LEVEL the DPC stays queued until the IRQL falls.
  KSPIN_LOCK lock{};
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_TRUE(KeInsertQueueDpc(&block->dpc, nullptr, nullptr));
  ExFreePool(block);
  KeReleaseSpinLock(&lock, old);  // runs whatever is still queued

  ExpectOnlyFinding(Rule::DpcInFreedMemory);
  EXPECT_EQ(runs, 0) << "a DPC in freed memory ran";
  EXPECT_EQ(sim::ke::QueuedDpcCount(), 0u);
  sim::clock::AdvanceMs(100);
  EXPECT_TRUE(sim::verifier::Findings().empty()) << sim::verifier::Describe(sim::verifier::Findings());
}

TEST_F(PoolTest, FreeingTheDpcOfAnExpiredTimerIsReported) {
  // The timer has fallen due while the processor was at DISPATCH_LEVEL: the
  // timer is no longer set but its DPC is queued.
  int runs = 0;
  auto* block = static_cast<TimerBlock*>(ExAllocatePool(NonPagedPool, sizeof(TimerBlock)));
  ASSERT_NE(block, nullptr);
  KeInitializeTimer(&block->timer);
  KeInitializeDpc(&block->dpc, CountingDpc, &runs);
  LARGE_INTEGER due;
  due.QuadPart = -10 * 10000LL;
  KeSetTimer(&block->timer, due, &block->dpc);

  KIRQL old = sim::ke::RaiseIrql(DISPATCH_LEVEL, "test");
  sim::clock::AdvanceMs(20);
  EXPECT_EQ(sim::ke::SetTimerCount(), 0u);
  EXPECT_EQ(sim::ke::QueuedDpcCount(), 1u);
  ExFreePool(block);
  sim::ke::LowerIrql(old, "test");

  ExpectOnlyFinding(Rule::DpcInFreedMemory);
  EXPECT_EQ(runs, 0);
}

// A timer that lives on while the DPC it would queue is freed: the free is
// reported and the timer's expiry later touches nothing freed.
TEST_F(PoolTest, FreeingTheDpcOfATimerStillSetIsReported) {
  int runs = 0;
  KTIMER timer;
  KeInitializeTimer(&timer);
  auto* dpc = static_cast<KDPC*>(ExAllocatePool(NonPagedPool, sizeof(KDPC)));
  ASSERT_NE(dpc, nullptr);
  KeInitializeDpc(dpc, CountingDpc, &runs);
  LARGE_INTEGER due;
  due.QuadPart = -10 * 10000LL;
  KeSetTimer(&timer, due, dpc);

  ExFreePool(dpc);
  ExpectOnlyFinding(Rule::DpcInFreedMemory);
  sim::clock::AdvanceMs(20);
  EXPECT_EQ(runs, 0);
  EXPECT_TRUE(KeReadStateTimer(&timer)) << "the timer itself still expires";
  EXPECT_TRUE(sim::verifier::Findings().empty()) << sim::verifier::Describe(sim::verifier::Findings());
}

TEST_F(PoolTest, FreeingACancelledTimerOrADpcThatRanIsFine) {
  sim::ke::SetClockTick(0);  // exact-time expiry: the test advances to the due time itself
  int runs = 0;
  auto* block = static_cast<TimerBlock*>(ExAllocatePool(NonPagedPool, sizeof(TimerBlock)));
  ASSERT_NE(block, nullptr);
  KeInitializeTimer(&block->timer);
  KeInitializeDpc(&block->dpc, CountingDpc, &runs);
  LARGE_INTEGER due;
  due.QuadPart = -10 * 10000LL;
  KeSetTimer(&block->timer, due, &block->dpc);
  EXPECT_TRUE(KeCancelTimer(&block->timer));
  KeSetTimer(&block->timer, due, &block->dpc);
  sim::clock::AdvanceMs(10);
  EXPECT_EQ(runs, 1) << "the timer set again fires once and its DPC runs";
  ExFreePool(block);
  EXPECT_TRUE(sim::verifier::Findings().empty()) << sim::verifier::Describe(sim::verifier::Findings());
}
