// Whole lives of a port, end to end, as Windows and an application see
// them: plugged in, started, opened as "COM5", read and written; then
// closed and removed, surprise-removed with requests pending, or removed
// after a query-remove. Each ends with the device object gone and nothing
// of the port left.
#include "support/pnp_port_test.h"

#include "sim/io/control_request.h"
#include "sim/io/transfer_request.h"

#include <memory>
#include <vector>

class PortLifeTest : public PnpPortTest {
 protected:
  // Plugs the device in, opens it by its COM name, and moves bytes both ways.
  void PlugOpenAndExchange() {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    ASSERT_EQ(OpenByName(u"COM5"), STATUS_SUCCESS);
    ASSERT_EQ(handle_->Device(), Device());

    auto write = sim::io::TransferRequest::Write(Device(), {'h', 'e', 'l', 'l', 'o'});
    write->Send();
    ASSERT_TRUE(write->Await());
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), 5u);
    EXPECT_EQ(model_->OutBytes(), (sim::usb::Bytes{'h', 'e', 'l', 'l', 'o'}));

    auto read = sim::io::TransferRequest::Read(Device(), 3);
    read->Send();
    model_->SendIn({'a', 'b', 'c'});
    ASSERT_TRUE(read->Await());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Transferred(), (std::vector<uint8_t>{'a', 'b', 'c'}));
  }

  void ExpectPublished() {
    EXPECT_EQ(sim::ob::LinkTarget(u"\\DosDevices\\COM5"), NtName());
    EXPECT_EQ(SerialComm().size(), 1u);
    EXPECT_EQ(EnabledComPorts(), 1u);
  }
};

TEST_F(PortLifeTest, CloseThenRemove) {
  PlugOpenAndExchange();
  ExpectPublished();
  EXPECT_EQ(handle_->Close(), STATUS_SUCCESS);
  EXPECT_EQ(Pnp().Remove(), STATUS_SUCCESS);
  ExpectNothingLeft("after close and removal");
}

TEST_F(PortLifeTest, QueryRemoveThenRemove) {
  PlugOpenAndExchange();
  EXPECT_EQ(handle_->Close(), STATUS_SUCCESS);
  EXPECT_EQ(Pnp().QueryRemove(), STATUS_SUCCESS);
  ExpectPublished();
  EXPECT_EQ(Pnp().Remove(), STATUS_SUCCESS);
  ExpectNothingLeft("after query-remove and removal");
}

// Surprise removal with a read, a write and a wait pending: all three end as
// cancelled, new requests are refused, the names go at once. The handle
// is closed afterwards, and the removal that follows does not withdraw the
// names again: by then another port may hold the COM name.
TEST_F(PortLifeTest, SurpriseRemovalWithRequestsPendingThenCloseThenRemove) {
  PlugOpenAndExchange();
  model_->HoldOut();
  auto read = sim::io::TransferRequest::Read(Device(), 10);
  auto write = sim::io::TransferRequest::Write(Device(), {'x', 'y'});
  sim::io::ControlRequest setMask(Device(), IOCTL_SERIAL_SET_WAIT_MASK, sim::io::BytesOf(ULONG{SERIAL_EV_BREAK}), 0);
  sim::io::ControlRequest wait(Device(), IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
  EXPECT_EQ(read->Send(), STATUS_PENDING);
  EXPECT_EQ(write->Send(), STATUS_PENDING);
  ASSERT_EQ(setMask.Send(), STATUS_SUCCESS);
  EXPECT_EQ(wait.Send(), STATUS_PENDING);

  EXPECT_EQ(Pnp().SurpriseRemove(), STATUS_SUCCESS);
  const std::vector<const sim::io::Request*> pending = {read.get(), write.get(), &wait};
  for (const sim::io::Request* request : pending) {
    ASSERT_TRUE(request->Completed());
    EXPECT_EQ(request->Status(), STATUS_CANCELLED);
  }
  EXPECT_TRUE(sim::ob::Links().empty());
  EXPECT_TRUE(SerialComm().empty());
  EXPECT_EQ(EnabledComPorts(), 0u);

  auto refused = sim::io::TransferRequest::Read(Device(), 1);
  EXPECT_EQ(refused->Send(), STATUS_DELETE_PENDING);
  std::unique_ptr<sim::io::FileHandle> second;
  EXPECT_EQ(sim::io::FileHandle::OpenByName(u"COM5", &second), STATUS_OBJECT_NAME_NOT_FOUND);

  EXPECT_EQ(handle_->Close(), STATUS_SUCCESS);

  // Another port has taken COM5 in the meantime.
  UNICODE_STRING link, target;
  RtlInitUnicodeString(&link, L"\\DosDevices\\COM5");
  RtlInitUnicodeString(&target, L"\\Device\\Serial0");
  ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  EXPECT_EQ(Pnp().Remove(), STATUS_SUCCESS);
  EXPECT_EQ(sim::ob::LinkTarget(u"\\DosDevices\\COM5"), std::u16string(u"\\Device\\Serial0"))
      << "removal withdrew the names a second time";
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
  ExpectNothingLeft("after surprise removal, close and removal");
}
