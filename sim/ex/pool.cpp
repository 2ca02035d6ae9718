/*
 * ExAllocatePool and ExFreePool. Fresh blocks are filled with a pattern and
 * freed blocks are poisoned, so code that relies on zeroed pool or reads
 * freed pool shows it. Every block sits between two guard regions, as in
 * special pool, and a guard found changed when the block is freed is
 * reported as an overrun or underrun. Freeing memory that still holds a set
 * timer or a queued DPC is reported, as Windows' checks do.
 *
 * Allocations fail where a test plans it (FailNth, FailFrom) and, in the
 * low-resources mode, at random from a seed after a grace period, as Driver
 * Verifier's low-resources simulation fails them.
 */
#include "sim/ex/pool.h"
#include "sim/explore/hook.h"
#include "sim/ke/ke.h"
#include "sim/verifier/verifier.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace sim::pool {
namespace {

struct Block {
  POOL_TYPE type;
  size_t size;
  uint64_t number;
  KIRQL irql;  // the caller's IRQL when it was allocated
};

std::mutex g_lock;
std::map<void*, Block> g_blocks;
uint64_t g_attempts;
uint64_t g_failNth;   // 0: none
uint64_t g_failFrom;  // 0: none

// Low-resources mode: seed, allocations left in the grace period, and the
// chance of failure per allocation after it, in percent.
bool g_lowResources;
uint64_t g_lowSeed;
uint64_t g_lowGraceUntil;
unsigned g_lowPercent;
uint64_t g_lowFailures;

constexpr unsigned char kFreshPattern = 0xA5;
constexpr unsigned char kFreedPattern = 0xDF;
constexpr unsigned char kGuardPattern = 0xB7;
// Guard bytes before and after every block. The leading guard keeps the
// block at the real pool's alignment; the trailing one starts right at the
// block's last byte, so an overrun of one byte is seen.
constexpr size_t kGuard = 16;
// Larger requests fail, as they do on the target systems, whose whole
// non-paged pool is at most this size. Without the limit a request of
// nearly 4 GB would be rounded up past the end of a 32-bit size (and a tiny
// block filled with 4 GB of pattern), or would fill gigabytes of host memory.
constexpr size_t kLargestBlock = 256u * 1024 * 1024;

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }  // PagedPool and its variants are odd

const char* TypeName(POOL_TYPE type) { return IsPaged(type) ? "PagedPool" : "NonPagedPool"; }

// A well-mixed 64-bit value of (seed, n): the same seed fails the same
// allocations on every run.
uint64_t Mix(uint64_t seed, uint64_t n) {
  uint64_t z = seed + n * 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

bool ShouldFail(uint64_t number) {
  if ((g_failNth != 0 && number == g_failNth) || (g_failFrom != 0 && number >= g_failFrom)) return true;
  if (g_lowResources && number > g_lowGraceUntil && Mix(g_lowSeed, number) % 100 < g_lowPercent) {
    ++g_lowFailures;
    return true;
  }
  return false;
}

bool GuardIntact(const unsigned char* guard) {
  for (size_t i = 0; i < kGuard; ++i) {
    if (guard[i] != kGuardPattern) return false;
  }
  return true;
}

}  // namespace

Usage Outstanding() {
  std::lock_guard<std::mutex> hold(g_lock);
  Usage usage{g_blocks.size(), 0};
  for (const auto& block : g_blocks) usage.bytes += block.second.size;
  return usage;
}

std::optional<KIRQL> AllocationIrql(const void* block) {
  std::lock_guard<std::mutex> hold(g_lock);
  auto found = g_blocks.find(const_cast<void*>(block));
  if (found == g_blocks.end()) return std::nullopt;
  return found->second.irql;
}

std::string DescribeOutstanding() {
  std::lock_guard<std::mutex> hold(g_lock);
  std::string text;
  for (const auto& block : g_blocks) {
    char line[128];
    std::snprintf(line, sizeof line, "%s block of %zu bytes at %p (allocation #%llu)", TypeName(block.second.type),
                  block.second.size, block.first, static_cast<unsigned long long>(block.second.number));
    if (!text.empty()) text += "; ";
    text += line;
  }
  return text;
}

void FailNth(uint64_t n) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_failNth = g_attempts + n;
}

void FailFrom(uint64_t n) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_failFrom = g_attempts + n;
}

void StopFailing() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_failNth = g_failFrom = 0;
  g_lowResources = false;
}

void SimulateLowResources(uint64_t seed, uint64_t grace, unsigned percent) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_lowResources = true;
  g_lowSeed = seed;
  g_lowGraceUntil = g_attempts + grace;
  g_lowPercent = percent;
  g_lowFailures = 0;
}

uint64_t LowResourceFailures() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_lowFailures;
}

bool NextAllocationSucceeds() {
  std::lock_guard<std::mutex> hold(g_lock);
  return !ShouldFail(++g_attempts);
}

uint64_t Attempts() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_attempts;
}

void Reset() {
  std::lock_guard<std::mutex> hold(g_lock);
  for (const auto& block : g_blocks) std::free(static_cast<unsigned char*>(block.first) - kGuard);
  g_blocks.clear();
  g_attempts = 0;
  g_failNth = g_failFrom = 0;
  g_lowResources = false;
  g_lowFailures = 0;
}

}  // namespace sim::pool

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  (void)Tag;
  using namespace sim;
  explore::Yield("ExAllocatePool");
  KIRQL irql = ke::CurrentIrql();
  if (pool::IsPaged(PoolType) ? irql > APC_LEVEL : irql > DISPATCH_LEVEL) {
    verifier::Report(pool::IsPaged(PoolType) ? verifier::Rule::PagedPoolAtRaisedIrql : verifier::Rule::IrqlTooHigh,
                     std::string("ExAllocatePool of ") + pool::TypeName(PoolType) + " at IRQL " + std::to_string(irql));
  }
  if (NumberOfBytes == 0) {
    verifier::Report(verifier::Rule::PoolZeroBytes, std::string("ExAllocatePool of 0 bytes of ") +
                                                        pool::TypeName(PoolType));
  }
  std::lock_guard<std::mutex> hold(pool::g_lock);
  uint64_t number = ++pool::g_attempts;
  if (pool::ShouldFail(number) || NumberOfBytes > pool::kLargestBlock) return nullptr;
  // Pool blocks are aligned like the real pool's: 8 bytes on x86, 16 on x64.
  size_t total = pool::kGuard + NumberOfBytes + pool::kGuard;
  auto base = static_cast<unsigned char*>(std::aligned_alloc(pool::kGuard, (total + pool::kGuard - 1) & ~(pool::kGuard - 1)));
  if (base == nullptr) return nullptr;
  unsigned char* block = base + pool::kGuard;
  std::memset(base, pool::kGuardPattern, pool::kGuard);
  std::memset(block, pool::kFreshPattern, NumberOfBytes);
  std::memset(block + NumberOfBytes, pool::kGuardPattern, pool::kGuard);
  pool::g_blocks[block] = {PoolType, NumberOfBytes, number, irql};
  return block;
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  (void)Tag;
  using namespace sim;
  explore::Yield("ExFreePool");
  char where[64];
  std::snprintf(where, sizeof where, "%p", P);
  pool::Block block;
  {
    std::lock_guard<std::mutex> hold(pool::g_lock);
    auto found = pool::g_blocks.find(P);
    if (found == pool::g_blocks.end()) {
      verifier::Report(verifier::Rule::PoolFreedTwice,
                       std::string("ExFreePool of ") + where + ", which is not an allocated pool block");
      return;
    }
    block = found->second;
    pool::g_blocks.erase(found);
  }
  KIRQL irql = ke::CurrentIrql();
  if (pool::IsPaged(block.type) ? irql > APC_LEVEL : irql > DISPATCH_LEVEL) {
    verifier::Report(pool::IsPaged(block.type) ? verifier::Rule::PagedPoolAtRaisedIrql : verifier::Rule::IrqlTooHigh,
                     std::string("ExFreePool of ") + pool::TypeName(block.type) + " at IRQL " + std::to_string(irql));
  }
  if (ke::CancelTimersIn(P, block.size)) {
    verifier::Report(verifier::Rule::TimerInFreedMemory,
                     std::string("pool block ") + where + " is freed while a timer in it is still set");
  }
  bool queued = ke::RemoveDpcsIn(P, block.size);
  if (ke::DetachTimerDpcsIn(P, block.size) || queued) {
    verifier::Report(verifier::Rule::DpcInFreedMemory,
                     std::string("pool block ") + where + " is freed while a DPC in it is still queued");
  }
  auto bytes = static_cast<unsigned char*>(P);
  bool under = !pool::GuardIntact(bytes - pool::kGuard);
  bool over = !pool::GuardIntact(bytes + block.size);
  if (under || over) {
    char text[192];
    std::snprintf(text, sizeof text, "ExFreePool of the %zu-byte block %s (allocation #%llu) finds the guard bytes %s it "
                  "overwritten: the block was %s", block.size, where, static_cast<unsigned long long>(block.number),
                  under && over ? "before and after" : under ? "before" : "after",
                  under && over ? "underrun and overrun" : under ? "underrun" : "overrun");
    verifier::Report(verifier::Rule::PoolCorrupted, text);
  }
  ke::ForgetSpinLocksIn(P, block.size);
  std::memset(P, pool::kFreedPattern, block.size);
  std::free(bytes - pool::kGuard);
}

VOID NTAPI ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

}  // extern "C"
