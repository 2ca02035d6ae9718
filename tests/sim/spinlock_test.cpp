// Spin locks, IRQL and lock order in the simulated kernel.
#include "support/kernel_test.h"

#include "sim/ke/ke.h"

using sim::verifier::Rule;

class SpinLockTest : public KernelTest {
 protected:
  KSPIN_LOCK first_{};
  KSPIN_LOCK second_{};
};

TEST_F(SpinLockTest, RaisesToDispatchAndRestoresTheCallersIrql) {
  KIRQL old;
  KeAcquireSpinLock(&first_, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(sim::ke::CurrentIrql(), DISPATCH_LEVEL);
  EXPECT_NE(first_, 0u) << "a held lock's word names its owner";
  KeReleaseSpinLock(&first_, old);
  EXPECT_EQ(sim::ke::CurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(first_, 0u);
}

TEST_F(SpinLockTest, ReleasingALockNotHeldIsReported) {
  KeReleaseSpinLock(&first_, PASSIVE_LEVEL);
  ExpectOnlyFinding(Rule::SpinLockNotHeld);
}

TEST_F(SpinLockTest, AcquiringALockTwiceOnOneThreadIsReported) {
  KIRQL outer, inner;
  KeAcquireSpinLock(&first_, &outer);
  KeAcquireSpinLock(&first_, &inner);
  ExpectOnlyFinding(Rule::SpinLockRecursion);
  KeReleaseSpinLock(&first_, outer);
}

TEST_F(SpinLockTest, NestingTwoLocksInBothOrdersIsReportedOnce) {
  KIRQL a, b;
  KeAcquireSpinLock(&first_, &a);
  KeAcquireSpinLock(&second_, &b);
  KeReleaseSpinLock(&second_, b);
  KeReleaseSpinLock(&first_, a);
  EXPECT_TRUE(sim::verifier::Findings().empty()) << "one order alone is fine";

  for (int round = 0; round < 2; ++round) {
    KeAcquireSpinLock(&second_, &b);
    KeAcquireSpinLock(&first_, &a);
    KeReleaseSpinLock(&first_, a);
    KeReleaseSpinLock(&second_, b);
  }
  ExpectOnlyFinding(Rule::LockOrderInversion);
}

TEST_F(SpinLockTest, InversionThroughAThirdLockIsReported) {
  KSPIN_LOCK third{};
  KIRQL a, b;
  KeAcquireSpinLock(&first_, &a);  // first -> second
  KeAcquireSpinLock(&second_, &b);
  KeReleaseSpinLock(&second_, b);
  KeReleaseSpinLock(&first_, a);
  KeAcquireSpinLock(&second_, &a);  // second -> third
  KeAcquireSpinLock(&third, &b);
  KeReleaseSpinLock(&third, b);
  KeReleaseSpinLock(&second_, a);
  KeAcquireSpinLock(&third, &a);  // third -> first closes the cycle
  KeAcquireSpinLock(&first_, &b);
  KeReleaseSpinLock(&first_, b);
  KeReleaseSpinLock(&third, a);
  ExpectOnlyFinding(Rule::LockOrderInversion);
}

TEST_F(SpinLockTest, TheCancelSpinLockTakesPartInTheOrder) {
  KIRQL cancelIrql, a;
  IoAcquireCancelSpinLock(&cancelIrql);
  KeAcquireSpinLock(&first_, &a);
  KeReleaseSpinLock(&first_, a);
  IoReleaseCancelSpinLock(cancelIrql);
  EXPECT_TRUE(sim::verifier::Findings().empty());

  KeAcquireSpinLock(&first_, &a);
  IoAcquireCancelSpinLock(&cancelIrql);
  IoReleaseCancelSpinLock(cancelIrql);
  KeReleaseSpinLock(&first_, a);
  ExpectOnlyFinding(Rule::LockOrderInversion);
}

TEST_F(SpinLockTest, ATestEndingWithALockHeldIsReported) {
  KIRQL old;
  KeAcquireSpinLock(&first_, &old);
  std::vector<sim::verifier::Finding> findings = sim::EndOfTest();
  ASSERT_EQ(findings.size(), 2u) << sim::verifier::Describe(findings);
  EXPECT_EQ(findings[0].rule, Rule::SpinLockHeldOnReturn);
  EXPECT_EQ(findings[1].rule, Rule::IrqlNotRestored);
}
