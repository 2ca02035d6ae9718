#include "sim/mm/mdl.h"

#include "sim/ke/ke.h"
#include "sim/verifier/verifier.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace sim::mm {
namespace {

struct DescribedBuffer {
  MDL mdl{};
  uint8_t* caller = nullptr;
  std::unique_ptr<uint8_t[]> systemView;  // the mapping, once made
};

std::mutex g_lock;  // guards everything below
std::unordered_map<PMDL, std::unique_ptr<DescribedBuffer>> g_mdls;
uint64_t g_failMappings = 0;

}  // namespace

PMDL DescribeBuffer(void* buffer, ULONG length) {
  auto described = std::make_unique<DescribedBuffer>();
  described->caller = static_cast<uint8_t*>(buffer);
  PMDL mdl = &described->mdl;
  mdl->Size = sizeof(MDL);
  mdl->MdlFlags = MDL_PAGES_LOCKED;
  mdl->StartVa = PAGE_ALIGN(buffer);
  mdl->ByteOffset = BYTE_OFFSET(buffer);
  mdl->ByteCount = length;
  std::lock_guard<std::mutex> hold(g_lock);
  g_mdls.emplace(mdl, std::move(described));
  return mdl;
}

void ReleaseMdl(PMDL mdl) {
  std::unique_ptr<DescribedBuffer> described;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    auto found = g_mdls.find(mdl);
    if (found == g_mdls.end()) return;
    described = std::move(found->second);
    g_mdls.erase(found);
  }
  if (described->systemView) std::memcpy(described->caller, described->systemView.get(), mdl->ByteCount);
}

void FailMappings(uint64_t count) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_failMappings = count;
}

size_t LiveMdls() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_mdls.size();
}

void Reset() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_mdls.clear();
  g_failMappings = 0;
}

}  // namespace sim::mm

extern "C" PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDLX MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                                    MEMORY_CACHING_TYPE CacheType, PVOID BaseAddress,
                                                    ULONG BugCheckOnFailure, MM_PAGE_PRIORITY Priority) {
  using namespace sim;
  (void)CacheType;
  (void)BaseAddress;
  (void)BugCheckOnFailure;
  (void)Priority;
  if (ke::CurrentIrql() > DISPATCH_LEVEL) {
    verifier::Report(verifier::Rule::IrqlTooHigh, "MmMapLockedPagesSpecifyCache called at IRQL " +
                                                      std::to_string(ke::CurrentIrql()) +
                                                      "; it must be called at or below DISPATCH_LEVEL");
  }
  if (AccessMode != KernelMode) {
    verifier::Report(verifier::Rule::UnsupportedCall,
                     "MmMapLockedPagesSpecifyCache for user mode: a driver maps a caller's buffer for kernel mode");
    return nullptr;
  }
  std::lock_guard<std::mutex> hold(mm::g_lock);
  auto found = mm::g_mdls.find(MemoryDescriptorList);
  if (found == mm::g_mdls.end()) {
    verifier::Report(verifier::Rule::MdlMisuse, "MmMapLockedPagesSpecifyCache for an MDL the I/O manager never built");
    return nullptr;
  }
  mm::DescribedBuffer& described = *found->second;
  PMDL mdl = &described.mdl;
  if ((mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) != 0) {
    verifier::Report(verifier::Rule::MdlMisuse,
                     "MmMapLockedPagesSpecifyCache for an MDL already mapped to system space "
                     "(use MappedSystemVa, as MmGetSystemAddressForMdlSafe does)");
    return mdl->MappedSystemVa;
  }
  if (mm::g_failMappings != 0) {
    --mm::g_failMappings;
    return nullptr;
  }
  described.systemView = std::make_unique<uint8_t[]>(mdl->ByteCount);
  std::memcpy(described.systemView.get(), described.caller, mdl->ByteCount);
  mdl->MappedSystemVa = described.systemView.get();
  mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return mdl->MappedSystemVa;
}
