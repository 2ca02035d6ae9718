// A time-out DPC against close and removal. A timer that has expired has
// queued its DPC, and cancelling the timer no longer stops it; on a
// multiprocessor the DPC may wait on one processor while another ends the
// request, closes the handle and removes the device. The DPC runs with the
// port record as its context, so the record must outlive it: close and
// removal wait for it. Here the DPC is held back on the test's thread (as
// a busy processor holds it) and let go only once virtual time moves on,
// which a blocked close or removal makes it do.
#include "support/pnp_port_test.h"

#include "sim/io/control_request.h"
#include "sim/io/transfer_request.h"
#include "sim/ke/clock.h"
#include "sim/ke/ke.h"

#include <functional>
#include <memory>

namespace {

struct ExpiryCase {
  const char* name;
  SERIAL_TIMEOUTS timeouts;
  uint64_t expiresAfterMs;
  // Leaves a request pending whose timer expires expiresAfterMs later.
  std::function<std::unique_ptr<sim::io::TransferRequest>(PDEVICE_OBJECT, sim::usb::ScriptedDevice&)> start;
};

std::ostream& operator<<(std::ostream& out, const ExpiryCase& c) { return out << c.name; }

class TimeoutDpcRemovalTest : public PnpPortTest, public ::testing::WithParamInterface<ExpiryCase> {
 protected:
  // Exact-time expiry and one processor's DPC delivery: the test holds the
  // time-out's DPC back itself, at its due millisecond.
  void SetUp() override {
    PnpPortTest::SetUp();
    sim::ke::SetClockTick(0);
    sim::ke::SetDpcDelivery(sim::ke::DpcDelivery::AtIrqlDrop);
  }
};

TEST_P(TimeoutDpcRemovalTest, CloseAndRemovalWaitForATimeOutDpcAlreadyQueued) {
  const ExpiryCase& c = GetParam();
  ASSERT_EQ(Plug(), STATUS_SUCCESS);
  ASSERT_EQ(OpenByName(u"COM5"), STATUS_SUCCESS);
  sim::io::ControlRequest timeouts(Device(), IOCTL_SERIAL_SET_TIMEOUTS, sim::io::BytesOf(c.timeouts), 0);
  ASSERT_EQ(timeouts.Send(), STATUS_SUCCESS);
  std::unique_ptr<sim::io::TransferRequest> request = c.start(Device(), *model_);
  ASSERT_FALSE(request->Completed());

  // The timer expires; its DPC is queued and held back.
  sim::ke::DeferDpcs();
  sim::clock::AdvanceMs(c.expiresAfterMs);
  ASSERT_EQ(sim::ke::QueuedDpcCount(), 1u) << "the time-out DPC is not queued";
  ASSERT_FALSE(request->Completed());
  // It runs as soon as anything lets virtual time move on.
  uint64_t letGo = sim::clock::Schedule(sim::clock::Now() + sim::clock::kUnitsPerMs, [] { sim::ke::ResumeDpcs(); });

  EXPECT_EQ(handle_->Close(), STATUS_SUCCESS);
  EXPECT_EQ(request->Status(), STATUS_CANCELLED) << "cleanup ends the request";
  EXPECT_EQ(sim::ke::QueuedDpcCount(), 0u) << "close returned with the time-out DPC still to run";
  EXPECT_EQ(Pnp().Remove(), STATUS_SUCCESS);
  if (sim::clock::Cancel(letGo)) sim::ke::ResumeDpcs();  // nothing let it go: balance DeferDpcs
  ExpectNothingLeft(c.name);
}

SERIAL_TIMEOUTS Timeouts(ULONG interval, ULONG readConstant, ULONG writeConstant) {
  SERIAL_TIMEOUTS timeouts = {};
  timeouts.ReadIntervalTimeout = interval;
  timeouts.ReadTotalTimeoutConstant = readConstant;
  timeouts.WriteTotalTimeoutConstant = writeConstant;
  return timeouts;
}

INSTANTIATE_TEST_SUITE_P(
    EachTimer, TimeoutDpcRemovalTest,
    ::testing::Values(
        ExpiryCase{"ReadTotal", Timeouts(0, 100, 0), 100,
                   [](PDEVICE_OBJECT device, sim::usb::ScriptedDevice&) {
                     auto read = sim::io::TransferRequest::Read(device, 10);
                     read->Send();
                     return read;
                   }},
        ExpiryCase{"ReadInterval", Timeouts(50, 0, 0), 50,
                   [](PDEVICE_OBJECT device, sim::usb::ScriptedDevice& model) {
                     auto read = sim::io::TransferRequest::Read(device, 10);
                     read->Send();
                     model.SendIn({'a', 'b'});  // the interval counts from here
                     return read;
                   }},
        ExpiryCase{"Write", Timeouts(0, 0, 100), 600,
                   [](PDEVICE_OBJECT device, sim::usb::ScriptedDevice& model) {
                     model.HoldOut();
                     auto write = sim::io::TransferRequest::Write(device, {'x', 'y', 'z'});
                     write->Send();
                     return write;
                   }}),
    [](const ::testing::TestParamInfo<ExpiryCase>& info) { return std::string(info.param.name); });

}  // namespace
