// Failure injection over plugging a port in (add-device, start,
// capabilities): each allocation, and each call of each registry, name and
// interface service the add makes, fails in turn. Whatever the plug then
// returns, a port that came up is removed cleanly and one that did not
// leaves nothing behind.
#include "support/pnp_port_test.h"

#include <functional>
#include <string>

class PnpFailureSweep : public PnpPortTest {
 protected:
  // Plugs the device in with a failure arranged, removes a port that came
  // up, checks that nothing is left and starts over. Returns whether the
  // plug failed.
  bool PlugRemoveAndCheck(const std::string& what) {
    NTSTATUS status = Plug();
    sim::pool::StopFailing();
    if (NT_SUCCESS(status)) {
      EXPECT_NE(Device(), nullptr) << what << ": the plug succeeded without a port device";
      EXPECT_EQ(Pnp().Remove(), STATUS_SUCCESS) << what;
    }
    ExpectNothingLeft(what);
    Rebuild(what);
    return !NT_SUCCESS(status);
  }
};

TEST_F(PnpFailureSweep, EachAllocationFailingInTurnFailsCleanly) {
  const uint64_t before = sim::pool::Attempts();
  ASSERT_EQ(Plug(), STATUS_SUCCESS);
  const uint64_t allocations = sim::pool::Attempts() - before;
  ASSERT_EQ(Pnp().Remove(), STATUS_SUCCESS);
  Rebuild("the plug without failures");
  ASSERT_GT(allocations, 5u);

  uint64_t failed = 0;
  for (uint64_t n = 1; n <= allocations; ++n) {
    sim::pool::FailNth(n);
    failed += PlugRemoveAndCheck("allocation " + std::to_string(n) + " of " + std::to_string(allocations) + " failing");
  }
  // Only the optional SerialSkipExternalNaming read survives a failure.
  EXPECT_EQ(failed, allocations - 1);
}

TEST_F(PnpFailureSweep, EachServiceCallOfTheAddFailingInTurnFailsCleanly) {
  using sim::cm::Routine;
  using PnpRoutine = sim::pnp::Routine;
  const NTSTATUS kFailure = STATUS_ACCESS_DENIED;
  const struct {
    const char* service;
    unsigned calls;  // how often the add calls it
    std::function<void(unsigned after)> fail;
  } services[] = {
      {"IoOpenDeviceRegistryKey", 2,
       [=](unsigned after) { sim::pnp::FailNext(PnpRoutine::OpenDeviceRegistryKey, 1, kFailure, after); }},
      {"ZwQueryKey", 1, [=](unsigned after) { sim::cm::FailNext(Routine::QueryKey, 1, kFailure, after); }},
      {"ZwQueryValueKey", 2, [=](unsigned after) { sim::cm::FailNext(Routine::QueryValueKey, 1, kFailure, after); }},
      {"IoCreateSymbolicLink", 1, [=](unsigned after) { sim::ob::FailLinkCreations(1, kFailure, after); }},
      {"RtlWriteRegistryValue", 1,
       [=](unsigned after) { sim::cm::FailNext(Routine::WriteRegistryValue, 1, kFailure, after); }},
      {"IoRegisterDeviceInterface", 1,
       [=](unsigned after) { sim::pnp::FailNext(PnpRoutine::RegisterDeviceInterface, 1, kFailure, after); }},
      {"IoSetDeviceInterfaceState", 1,
       [=](unsigned after) { sim::pnp::FailNext(PnpRoutine::SetDeviceInterfaceState, 1, kFailure, after); }},
  };
  for (const auto& service : services) {
    for (unsigned after = 0; after < service.calls; ++after) {
      std::string what = std::string(service.service) + " call " + std::to_string(after + 1) + " failing";
      service.fail(after);
      // The first ZwQueryValueKey reads the optional SerialSkipExternalNaming.
      bool optional = std::string(service.service) == "ZwQueryValueKey" && after == 0;
      EXPECT_NE(PlugRemoveAndCheck(what), optional) << what;
    }
  }
}
