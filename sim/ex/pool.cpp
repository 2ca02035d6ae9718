/*
 * ExAllocatePool and ExFreePool. Fresh blocks are filled with a pattern and
 * freed blocks are poisoned, so code that relies on zeroed pool or reads
 * freed pool shows it. Freeing memory that still holds a set timer or a
 * queued DPC is reported, as Windows' checks do.
 */
#include "sim/ex/pool.h"
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

constexpr unsigned char kFreshPattern = 0xA5;
constexpr unsigned char kFreedPattern = 0xDF;
// Larger requests fail, as they do on the target systems, whose whole
// non-paged pool is at most this size. Without the limit a request of
// nearly 4 GB would be rounded up past the end of a 32-bit size (and a tiny
// block filled with 4 GB of pattern), or would fill gigabytes of host memory.
constexpr size_t kLargestBlock = 256u * 1024 * 1024;

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }  // PagedPool and its variants are odd

const char* TypeName(POOL_TYPE type) { return IsPaged(type) ? "PagedPool" : "NonPagedPool"; }

bool ShouldFail(uint64_t number) {
  return (g_failNth != 0 && number == g_failNth) || (g_failFrom != 0 && number >= g_failFrom);
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
  for (const auto& block : g_blocks) std::free(block.first);
  g_blocks.clear();
  g_attempts = 0;
  g_failNth = g_failFrom = 0;
}

}  // namespace sim::pool

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  (void)Tag;
  using namespace sim;
  KIRQL irql = ke::CurrentIrql();
  if (pool::IsPaged(PoolType) ? irql > APC_LEVEL : irql > DISPATCH_LEVEL) {
    verifier::Report(pool::IsPaged(PoolType) ? verifier::Rule::PagedPoolAtRaisedIrql : verifier::Rule::IrqlTooHigh,
                     std::string("ExAllocatePool of ") + pool::TypeName(PoolType) + " at IRQL " + std::to_string(irql));
  }
  std::lock_guard<std::mutex> hold(pool::g_lock);
  uint64_t number = ++pool::g_attempts;
  if (pool::ShouldFail(number) || NumberOfBytes > pool::kLargestBlock) return nullptr;
  // Pool blocks are aligned like the real pool's: 8 bytes on x86, 16 on x64.
  size_t size = NumberOfBytes == 0 ? 1 : NumberOfBytes;
  void* block = std::aligned_alloc(2 * sizeof(void*), (size + 2 * sizeof(void*) - 1) & ~(2 * sizeof(void*) - 1));
  if (block == nullptr) return nullptr;
  std::memset(block, pool::kFreshPattern, size);
  pool::g_blocks[block] = {PoolType, NumberOfBytes, number, irql};
  return block;
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  (void)Tag;
  using namespace sim;
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
  ke::ForgetSpinLocksIn(P, block.size);
  std::memset(P, pool::kFreedPattern, block.size);
  std::free(P);
}

VOID NTAPI ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

}  // extern "C"
