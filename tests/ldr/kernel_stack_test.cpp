// Driver routines run on a kernel stack of Windows' size: a routine that
// stays within it runs, one that goes beyond stops with a kernel-stack
// overflow report; the thread's processor control region is behind %fs.
#include "sim/io/driver.h"
#include "sim/ke/processor.h"
#include "sim/ke/stack.h"
#include "support/kernel_test.h"

namespace {

size_t g_depthBytes;  // how much stack DriverEntry uses
PKPCR g_region;

// Uses about `bytes` of stack, one kilobyte per frame.
__attribute__((noinline)) unsigned Descend(size_t bytes) {
  volatile unsigned char frame[1024];
  for (size_t i = 0; i < sizeof frame; i += 64) frame[i] = static_cast<unsigned char>(i);
  unsigned below = bytes > sizeof frame ? Descend(bytes - sizeof frame) : 0;
  return below + frame[64];
}

extern "C" NTSTATUS NTAPI DeepDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
  g_region = sim::ke::ProcessorRegionThroughFs();
  return Descend(g_depthBytes) == 12345 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

}  // namespace

class KernelStackTest : public KernelTest {};

TEST_F(KernelStackTest, ARoutineWithinTheStackRunsOnIt) {
  g_depthBytes = sim::ke::KernelStackBytes() * 3 / 4;
  sim::io::LoadedDriver driver(DeepDriverEntry);
  EXPECT_EQ(driver.Status(), STATUS_SUCCESS);
  EXPECT_GE(sim::ke::KernelStackHighWater(), g_depthBytes) << "the routine did not run on the kernel stack";
  EXPECT_LE(sim::ke::KernelStackHighWater(), sim::ke::KernelStackBytes());
  EXPECT_FALSE(sim::ke::OnKernelStack());
#if defined(__i386__)
  ASSERT_NE(g_region, nullptr) << "no processor control region behind %fs in a driver routine";
  EXPECT_EQ(g_region->SelfPcr, g_region);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(g_region->NtTib.StackBase) -
                reinterpret_cast<uintptr_t>(g_region->NtTib.StackLimit),
            sim::ke::KernelStackBytes());
#endif
}

TEST(KernelStackDeathTest, ARoutineBeyondTheStackStopsWithAnOverflowReport) {
  g_depthBytes = sim::ke::KernelStackBytes() * 2;
  EXPECT_DEATH(
      {
        sim::Reset();
        sim::io::LoadedDriver driver(DeepDriverEntry);
      },
      "kernel stack overflow: DriverEntry used more than the " + std::to_string(sim::ke::KernelStackBytes()) +
          "-byte kernel stack");
}
