/*
 * The base of every test that runs code on the simulated kernel: a fresh
 * kernel before the test, and after it the end-of-test checks, which must
 * find nothing.
 */
#pragma once

#include "sim/kernel.h"

#include "support/gtest.h"

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::Reset(); }

  void TearDown() override {
    std::vector<sim::verifier::Finding> findings = sim::EndOfTest();
    EXPECT_TRUE(findings.empty()) << "the simulated kernel reported:\n" << sim::verifier::Describe(findings);
  }

  // For tests of the verifier itself: the findings so far must be exactly
  // one, of this rule; they are then forgotten.
  static void ExpectOnlyFinding(sim::verifier::Rule rule) {
    std::vector<sim::verifier::Finding> findings = sim::verifier::Take();
    ASSERT_EQ(findings.size(), 1u) << "expected one finding \"" << sim::verifier::RuleName(rule) << "\", got:\n"
                                   << sim::verifier::Describe(findings);
    EXPECT_EQ(findings[0].rule, rule) << "got: " << sim::verifier::Describe(findings);
  }
};
