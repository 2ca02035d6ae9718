// A request that arrives as the device is unplugged: its dispatch finds the
// port usable, and the surprise removal marks the port removed and cancels
// everything held before the request reaches its queue. The request must
// still end at the unplug, refused or cancelled, never held until close.
// The unplug is placed at that exact point: just before the dispatch takes
// its queue's lock.
#include "support/pnp_port_test.h"

#include "sim/io/control_request.h"
#include "sim/io/request.h"
#include "sim/io/transfer_request.h"
#include "sim/ke/ke.h"

#include <functional>
#include <memory>

namespace {

struct ArrivalCase {
  const char* name;
  PKSPIN_LOCK (*lock)(PortExtension* port);  // the lock the dispatch queues the request under
  std::function<std::unique_ptr<sim::io::Request>(PDEVICE_OBJECT)> make;
};

std::ostream& operator<<(std::ostream& out, const ArrivalCase& c) { return out << c.name; }

class UnplugAdmissionTest : public PnpPortTest, public ::testing::WithParamInterface<ArrivalCase> {};

TEST_P(UnplugAdmissionTest, ARequestArrivingAsTheDeviceIsUnpluggedEndsAtTheUnplug) {
  const ArrivalCase& c = GetParam();
  ASSERT_EQ(Plug(), STATUS_SUCCESS);
  ASSERT_EQ(OpenByName(u"COM5"), STATUS_SUCCESS);
  model_->HoldOut();
  // A wait watches an event that never comes; a flush waits behind a write
  // the device holds.
  sim::io::ControlRequest mask(Device(), IOCTL_SERIAL_SET_WAIT_MASK, sim::io::BytesOf(ULONG{SERIAL_EV_BREAK}), 0);
  ASSERT_EQ(mask.Send(), STATUS_SUCCESS);
  auto before = sim::io::TransferRequest::Write(Device(), {'a'});
  ASSERT_EQ(before->Send(), STATUS_PENDING);

  std::unique_ptr<sim::io::Request> request = c.make(Device());
  NTSTATUS unplugged = STATUS_PENDING;
  sim::ke::RunBeforeNextAcquire(c.lock(Port()), [&] { unplugged = Pnp().SurpriseRemove(); });
  NTSTATUS dispatched = request->Send();

  ASSERT_EQ(unplugged, STATUS_SUCCESS) << "the unplug did not run inside the dispatch";
  EXPECT_EQ(before->Status(), STATUS_CANCELLED);
  ASSERT_TRUE(request->Completed()) << "admitted just before the unplug and left pending";
  EXPECT_TRUE(request->Status() == STATUS_DELETE_PENDING || request->Status() == STATUS_CANCELLED)
      << std::hex << request->Status();
  EXPECT_EQ(dispatched, request->Status());
  EXPECT_EQ(request->Information(), 0u);
}

PKSPIN_LOCK ReadLock(PortExtension* port) { return &port->ReadQueueLock; }
PKSPIN_LOCK WriteLock(PortExtension* port) { return &port->WriteQueueLock; }
PKSPIN_LOCK WaitLock(PortExtension* port) { return &port->EventLock; }

INSTANTIATE_TEST_SUITE_P(
    EachHeldKind, UnplugAdmissionTest,
    ::testing::Values(
        ArrivalCase{"read", ReadLock,
                    [](PDEVICE_OBJECT device) -> std::unique_ptr<sim::io::Request> {
                      return sim::io::TransferRequest::Read(device, 10);
                    }},
        ArrivalCase{"write", WriteLock,
                    [](PDEVICE_OBJECT device) -> std::unique_ptr<sim::io::Request> {
                      return sim::io::TransferRequest::Write(device, {'x', 'y'});
                    }},
        ArrivalCase{"wait", WaitLock,
                    [](PDEVICE_OBJECT device) -> std::unique_ptr<sim::io::Request> {
                      return std::make_unique<sim::io::ControlRequest>(device, IOCTL_SERIAL_WAIT_ON_MASK,
                                                                       std::vector<uint8_t>{}, sizeof(ULONG));
                    }},
        ArrivalCase{"flush", WriteLock,
                    [](PDEVICE_OBJECT device) {
                      return std::make_unique<sim::io::Request>(device, IRP_MJ_FLUSH_BUFFERS);
                    }}),
    [](const ::testing::TestParamInfo<ArrivalCase>& info) { return std::string(info.param.name); });

}  // namespace
