/*
 * Per-thread processor control regions, reached through a thread-local
 * segment: set_thread_area gives the thread a descriptor whose base is its
 * region, and %fs is loaded with its selector. Linux on 32-bit x86 keeps
 * %fs free (the C library's thread-local data is behind %gs), and saves
 * the selector with each thread.
 */
#include "sim/ke/processor.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__i386__)
#include <asm/ldt.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace sim::ke {

#if defined(__i386__)
namespace {

std::atomic<int> g_entry{-1};             // the descriptor slot every thread uses
std::atomic<unsigned char> g_processors{0};
thread_local KPCR t_region;
thread_local bool t_entered = false;

bool LoadDescriptor(PKPCR region) {
  user_desc descriptor;
  std::memset(&descriptor, 0, sizeof descriptor);
  descriptor.entry_number = static_cast<unsigned>(g_entry.load());
  descriptor.base_addr = reinterpret_cast<uintptr_t>(region);
  descriptor.limit = sizeof(KPCR) - 1;
  descriptor.seg_32bit = 1;
  descriptor.useable = 1;
  if (syscall(SYS_set_thread_area, &descriptor) != 0) return false;
  int expected = -1;
  g_entry.compare_exchange_strong(expected, static_cast<int>(descriptor.entry_number));
  unsigned short selector = static_cast<unsigned short>(descriptor.entry_number * 8 + 3);
  __asm__ __volatile__("movw %w0, %%fs" : : "q"(selector));
  return true;
}

}  // namespace

PKPCR EnterProcessor(void* stackBase, void* stackLimit) {
  if (t_entered) return &t_region;
  std::memset(&t_region, 0, sizeof t_region);
  t_region.NtTib.ExceptionList = reinterpret_cast<struct _EXCEPTION_REGISTRATION_RECORD*>(~uintptr_t{0});  // end of the handler chain
  t_region.NtTib.StackBase = stackBase;
  t_region.NtTib.StackLimit = stackLimit;
  t_region.NtTib.Self = &t_region.NtTib;
  t_region.SelfPcr = &t_region;
  t_region.Irql = PASSIVE_LEVEL;
  t_region.MajorVersion = PCR_MAJOR_VERSION;
  t_region.MinorVersion = PCR_MINOR_VERSION;
  t_region.Number = g_processors.fetch_add(1);
  t_region.SetMember = KAFFINITY{1} << (t_region.Number % 32);
  if (!LoadDescriptor(&t_region)) {
    std::fprintf(stderr, "*** cannot point %%fs at a processor control region: %s\n", std::strerror(errno));
    std::abort();
  }
  t_entered = true;
  return &t_region;
}

PKPCR ProcessorRegionThroughFs() {
  if (!t_entered) return nullptr;
  PKPCR region;
  __asm__ __volatile__("movl %%fs:%c1, %0" : "=r"(region) : "i"(FIELD_OFFSET(KPCR, SelfPcr)));
  return region;
}

#else

PKPCR EnterProcessor(void*, void*) { return nullptr; }
PKPCR ProcessorRegionThroughFs() { return nullptr; }

#endif

}  // namespace sim::ke
