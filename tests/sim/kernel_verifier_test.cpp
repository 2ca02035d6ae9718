// The verifier's rules outside the I/O manager: IRQL and spin locks, pool,
// MDLs and run-time library arguments. As for the I/O rules, each faulty
// routine must give exactly one finding of its rule, and the same routine
// written correctly none.
#include "support/kernel_test.h"

#include "sim/ex/pool.h"
#include "sim/ke/ke.h"
#include "sim/mm/mdl.h"

#include <string>
#include <vector>

using sim::verifier::Rule;

namespace {

// --- IRQL ----------------------------------------------------------------------

void RaiseToALowerIrql(bool faulty) {
  KIRQL old = sim::ke::RaiseIrql(DISPATCH_LEVEL, "test");
  sim::ke::RaiseIrql(faulty ? PASSIVE_LEVEL : DISPATCH_LEVEL, "driver");
  sim::ke::RaiseIrql(DISPATCH_LEVEL, "test");  // back where the test was
  sim::ke::LowerIrql(old, "test");
}

void LowerToAHigherIrql(bool faulty) {
  KIRQL old = sim::ke::RaiseIrql(APC_LEVEL, "test");
  sim::ke::LowerIrql(faulty ? DISPATCH_LEVEL : PASSIVE_LEVEL, "driver");
  sim::ke::LowerIrql(old, "test");
}

// --- Spin locks -------------------------------------------------------------------

void AcquireAboveDispatch(bool faulty) {
  KSPIN_LOCK lock = 0;
  KIRQL old = sim::ke::RaiseIrql(faulty ? HIGH_LEVEL : DISPATCH_LEVEL, "test");
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  KeReleaseSpinLock(&lock, irql);
  sim::ke::LowerIrql(old, "test");
}

void AcquireAtDpcLevelBelowDispatch(bool faulty) {
  KSPIN_LOCK lock = 0;
  KIRQL old = sim::ke::RaiseIrql(faulty ? APC_LEVEL : DISPATCH_LEVEL, "test");
  KeAcquireSpinLockAtDpcLevel(&lock);
  sim::ke::RaiseIrql(DISPATCH_LEVEL, "test");  // to release it where it may be released
  KeReleaseSpinLockFromDpcLevel(&lock);
  sim::ke::LowerIrql(old, "test");
}

// Two locks released in the wrong order: the first release drops the IRQL
// while the second lock is still held.
void ReleaseOuterLockFirst(bool faulty) {
  KSPIN_LOCK outer = 0, inner = 0;
  KIRQL irql;
  KeAcquireSpinLock(&outer, &irql);
  KeAcquireSpinLockAtDpcLevel(&inner);
  if (faulty) {
    KeReleaseSpinLock(&outer, irql);
    sim::ke::RaiseIrql(DISPATCH_LEVEL, "test");
    KeReleaseSpinLockFromDpcLevel(&inner);
    sim::ke::LowerIrql(irql, "test");
  } else {
    KeReleaseSpinLockFromDpcLevel(&inner);
    KeReleaseSpinLock(&outer, irql);
  }
}

// --- Pool --------------------------------------------------------------------------

void AllocateZeroBytes(bool faulty) {
  void* block = ExAllocatePoolWithTag(NonPagedPool, faulty ? 0 : 1, 0x74736554);
  ASSERT_NE(block, nullptr);
  ExFreePool(block);
}

void WritePastTheEnd(bool faulty) {
  auto block = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 10, 0x74736554));
  ASSERT_NE(block, nullptr);
  block[faulty ? 10 : 9] = 0;
  ExFreePool(block);
}

void WriteBeforeTheStart(bool faulty) {
  auto block = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 10, 0x74736554));
  ASSERT_NE(block, nullptr);
  unsigned char* at = faulty ? block - 1 : block;
  *at = 0;
  ExFreePool(block);
}

// --- MDLs ----------------------------------------------------------------------------

void MapAnMdlTheIoManagerNeverBuilt(bool faulty) {
  char buffer[16] = {};
  PMDL described = sim::mm::DescribeBuffer(buffer, sizeof buffer);
  MDL own{};
  PVOID mapped = MmMapLockedPagesSpecifyCache(faulty ? &own : described, KernelMode, MmCached, nullptr, FALSE,
                                              NormalPagePriority);
  EXPECT_EQ(mapped == nullptr, faulty);
  sim::mm::ReleaseMdl(described);
}

void MapAnMdlTwice(bool faulty) {
  char buffer[16] = {};
  PMDL mdl = sim::mm::DescribeBuffer(buffer, sizeof buffer);
  EXPECT_NE(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
  if (faulty) MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority);
  sim::mm::ReleaseMdl(mdl);
}

void MapAboveDispatch(bool faulty) {
  char buffer[16] = {};
  PMDL mdl = sim::mm::DescribeBuffer(buffer, sizeof buffer);
  KIRQL old = sim::ke::RaiseIrql(faulty ? HIGH_LEVEL : DISPATCH_LEVEL, "test");
  EXPECT_NE(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority), nullptr);
  sim::ke::LowerIrql(old, "test");
  sim::mm::ReleaseMdl(mdl);
}

// --- Run-time library arguments ---------------------------------------------------------

void AppendToAMalformedString(bool faulty) {
  WCHAR text[8];
  UNICODE_STRING destination{0, sizeof text, text};
  if (faulty) destination.Length = sizeof text + 2;  // longer than its buffer
  NTSTATUS status = RtlAppendUnicodeToString(&destination, L"ab");
  EXPECT_EQ(status, faulty ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS);
}

struct RuleCase {
  const char* name;
  Rule rule;
  void (*run)(bool faulty);
};

const RuleCase kRuleCases[] = {
    {"RaiseToALowerIrql", Rule::IrqlNotRestored, RaiseToALowerIrql},
    {"LowerToAHigherIrql", Rule::IrqlNotRestored, LowerToAHigherIrql},
    {"AcquireAboveDispatch", Rule::IrqlTooHigh, AcquireAboveDispatch},
    {"AcquireAtDpcLevelBelowDispatch", Rule::IrqlTooHigh, AcquireAtDpcLevelBelowDispatch},
    {"ReleaseOuterLockFirst", Rule::SpinLockHeldBelowDispatch, ReleaseOuterLockFirst},
    {"AllocateZeroBytes", Rule::PoolZeroBytes, AllocateZeroBytes},
    {"WritePastTheEnd", Rule::PoolCorrupted, WritePastTheEnd},
    {"WriteBeforeTheStart", Rule::PoolCorrupted, WriteBeforeTheStart},
    {"MapAnMdlTheIoManagerNeverBuilt", Rule::MdlMisuse, MapAnMdlTheIoManagerNeverBuilt},
    {"MapAnMdlTwice", Rule::MdlMisuse, MapAnMdlTwice},
    {"MapAboveDispatch", Rule::IrqlTooHigh, MapAboveDispatch},
    {"AppendToAMalformedString", Rule::InvalidArgument, AppendToAMalformedString},
};

void PrintTo(const RuleCase& row, std::ostream* out) { *out << row.name; }

}  // namespace

class KernelVerifierRuleTest : public KernelTest, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(KernelVerifierRuleTest, TheFaultyRoutineIsReported) {
  GetParam().run(true);
  ExpectOnlyFinding(GetParam().rule);
}

TEST_P(KernelVerifierRuleTest, TheCorrectRoutineIsNot) {
  GetParam().run(false);
  std::vector<sim::verifier::Finding> findings = sim::verifier::Findings();
  EXPECT_TRUE(findings.empty()) << "findings, expected none:\n" << sim::verifier::Describe(findings);
}

INSTANTIATE_TEST_SUITE_P(KernelRules, KernelVerifierRuleTest, ::testing::ValuesIn(kRuleCases),
                         [](const ::testing::TestParamInfo<RuleCase>& info) { return std::string(info.param.name); });

// KeReleaseSpinLockFromDpcLevel below DISPATCH_LEVEL: reaching that IRQL
// with the lock held is a fault of its own, taken away before the release.
TEST_F(KernelTest, ReleasingFromDpcLevelBelowDispatchIsReported) {
  KSPIN_LOCK lock = 0;
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  sim::ke::LowerIrql(PASSIVE_LEVEL, "driver");
  ExpectOnlyFinding(Rule::SpinLockHeldBelowDispatch);
  KeReleaseSpinLockFromDpcLevel(&lock);
  ExpectOnlyFinding(Rule::IrqlTooLow);
}
