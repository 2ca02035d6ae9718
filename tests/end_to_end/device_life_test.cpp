// A whole device life, as an application and Windows drive it, against
// each build of the driver: the host build of the sources, and the shipped
// Windows XP and Windows 2000 images loaded into the simulated kernel
// (32-bit build only). Plug in, start, open COM5, write and read back
// through a loopback device, wait for an event, unplug with a read pending,
// close, remove: each step ends as Windows would end it, and the verifier
// stays silent with nothing left over.
#include "driver/frame/dispatch.h"
#include "sim/cm/registry.h"
#include "sim/io/driver.h"
#include "sim/ke/clock.h"
#include "sim/ke/ke.h"
#include "sim/ldr/loader.h"
#include "sim/pnp/manager.h"
#include "sim/pnp/pnp.h"
#include "sim/usb/bus.h"
#include "sim/usb/devices/loopback.h"
#include "sim/usb/devices/scripted.h"
#include "sim/win32/comm_port.h"
#include "support/kernel_test.h"

#include <memory>
#include <string>

namespace {

using sim::win32::Bytes;
using sim::win32::CommPort;

class DeviceLifeTest : public KernelTest, public ::testing::WithParamInterface<std::string> {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    if (GetParam() == "host") {
      entry_ = DriverEntry;
      return;
    }
#if defined(QUILLAN_SYS_DIR) && defined(__i386__)
    std::string refusal;
    image_ = sim::ldr::DriverImage::Load(std::string(QUILLAN_SYS_DIR) + "/" + GetParam() + "/quillan.sys", &refusal);
    ASSERT_NE(image_, nullptr) << refusal;
    entry_ = image_->Entry();
#else
    GTEST_SKIP() << "the shipped " << GetParam()
                 << " driver runs only in the 32-bit host build configured with QUILLAN_SYS_DIR";
#endif
  }

  PDRIVER_INITIALIZE entry_ = nullptr;
  std::unique_ptr<sim::ldr::DriverImage> image_;
};

TEST_P(DeviceLifeTest, PlugOpenTransferWaitUnplugClose) {
  sim::usb::LoopbackDevice device;
  sim::usb::Bus bus(device);
  sim::io::LoadedDriver driver(entry_);
  ASSERT_EQ(driver.Status(), STATUS_SUCCESS);
  sim::cm::SetString(sim::pnp::ParametersKey(bus.Pdo()), u"PortName", u"COM5");
  sim::pnp::Manager pnp(bus.Pdo());
  ASSERT_EQ(pnp.Plug(driver.Object()), STATUS_SUCCESS);

  std::unique_ptr<CommPort> port;
  ASSERT_EQ(CommPort::Open(u"COM5", &port), STATUS_SUCCESS);
  SERIAL_TIMEOUTS timeouts = {};
  timeouts.ReadTotalTimeoutConstant = 500;
  ASSERT_EQ(port->SetTimeouts(timeouts), STATUS_SUCCESS);

  // A wait for received characters ends when the first echo arrives.
  ASSERT_EQ(port->SetWaitMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  std::unique_ptr<sim::win32::Overlapped> wait = port->WaitEventAsync();
  EXPECT_FALSE(wait->Done());
  EXPECT_EQ(port->Write({'!'}).status, STATUS_SUCCESS);
  sim::win32::IoResult waited = wait->Wait();
  EXPECT_EQ(waited.status, STATUS_SUCCESS);
  EXPECT_EQ(wait->Events() & SERIAL_EV_RXCHAR, static_cast<ULONG>(SERIAL_EV_RXCHAR));
  Bytes echo;
  EXPECT_EQ(port->Read(1, &echo).bytes, 1u);

  // Written bytes come back through the loopback device.
  Bytes sent = {'q', 'u', 'i', 'l', 'l', 'a', 'n', 0x00, 0xFF, 0x7E};
  sim::win32::IoResult written = port->Write(sent);
  EXPECT_EQ(written.status, STATUS_SUCCESS);
  EXPECT_EQ(written.bytes, sent.size());
  Bytes received;
  sim::win32::IoResult read = port->Read(static_cast<ULONG>(sent.size()), &received);
  EXPECT_EQ(read.status, STATUS_SUCCESS);
  EXPECT_EQ(received, sent);

  // Unplugged with a read waiting for data: the read ends, unsuccessfully.
  timeouts = {};
  ASSERT_EQ(port->SetTimeouts(timeouts), STATUS_SUCCESS);
  std::unique_ptr<sim::win32::Overlapped> pending = port->ReadAsync(4);
  EXPECT_FALSE(pending->Done());
  EXPECT_EQ(pnp.SurpriseRemove(), STATUS_SUCCESS);
  ASSERT_TRUE(pending->Done()) << "a read was still pending after surprise removal";
  EXPECT_FALSE(NT_SUCCESS(pending->Result().status));
  EXPECT_EQ(pending->Result().bytes, 0u);

  EXPECT_EQ(port->Close(), STATUS_SUCCESS);
  port.reset();
  EXPECT_EQ(pnp.Remove(), STATUS_SUCCESS);
  EXPECT_EQ(pnp.Pdo()->AttachedDevice, nullptr) << "the port device is still attached after removal";
}

// What an application relies on besides moving bytes: one handle at a
// time, time-outs measured on the clock, cancelling, purging, the status
// and properties queries, and a clean close of a port that stays plugged.
TEST_P(DeviceLifeTest, TimeoutsCancelPurgeAndQueriesAsAnApplicationSeesThem) {
  sim::ke::SetClockTick(0);  // exact-time expiry: it checks each time-out to the millisecond
  sim::usb::ScriptedDevice device;
  sim::usb::Bus bus(device);
  sim::io::LoadedDriver driver(entry_);
  sim::cm::SetString(sim::pnp::ParametersKey(bus.Pdo()), u"PortName", u"COM7");
  sim::pnp::Manager pnp(bus.Pdo());
  ASSERT_EQ(pnp.Plug(driver.Object()), STATUS_SUCCESS);

  std::unique_ptr<CommPort> port;
  ASSERT_EQ(CommPort::Open(u"\\\\.\\COM7", &port), STATUS_SUCCESS);
  std::unique_ptr<CommPort> second;
  EXPECT_EQ(CommPort::Open(u"COM7", &second), STATUS_ACCESS_DENIED) << "one handle at a time";

  // A read with a total time-out and nothing to read ends on time, empty.
  SERIAL_TIMEOUTS timeouts = {};
  timeouts.ReadTotalTimeoutMultiplier = 2;
  timeouts.ReadTotalTimeoutConstant = 30;
  ASSERT_EQ(port->SetTimeouts(timeouts), STATUS_SUCCESS);
  SERIAL_TIMEOUTS reported = {};
  ASSERT_EQ(port->GetTimeouts(&reported), STATUS_SUCCESS);
  EXPECT_EQ(reported.ReadTotalTimeoutConstant, 30u);
  std::unique_ptr<sim::win32::Overlapped> timed = port->ReadAsync(10);
  int64_t sent = sim::clock::Now();
  EXPECT_EQ(timed->Wait().status, STATUS_TIMEOUT);
  EXPECT_EQ(timed->Request().CompletionTime() - sent, 50 * sim::clock::kUnitsPerMs) << "2 x 10 + 30 ms";

  // Part of a read arrives, then the application gives up on it.
  timeouts = {};
  ASSERT_EQ(port->SetTimeouts(timeouts), STATUS_SUCCESS);
  std::unique_ptr<sim::win32::Overlapped> partial = port->ReadAsync(8);
  device.SendIn({1, 2, 3});
  EXPECT_FALSE(partial->Done());
  EXPECT_TRUE(partial->Cancel());
  EXPECT_EQ(partial->Result().status, STATUS_CANCELLED);
  EXPECT_EQ(partial->Data(), (Bytes{1, 2, 3})) << "the bytes it got are the application's";

  // Received bytes are counted, and purged.
  device.SendIn({4, 5, 6, 7});
  SERIAL_STATUS status = {};
  ASSERT_EQ(port->GetCommStatus(&status), STATUS_SUCCESS);
  EXPECT_EQ(status.AmountInInQueue, 4u);
  EXPECT_EQ(port->Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
  ASSERT_EQ(port->GetCommStatus(&status), STATUS_SUCCESS);
  EXPECT_EQ(status.AmountInInQueue, 0u);
  SERIAL_COMMPROP properties = {};
  ASSERT_EQ(port->GetProperties(&properties), STATUS_SUCCESS);
  EXPECT_EQ(properties.MaxRxQueue, 1023u);

  // A write the device holds back is still counted until it is taken.
  device.HoldOut();
  std::unique_ptr<sim::win32::Overlapped> write = port->WriteAsync(Bytes(300, 0x55));
  device.ReleaseOut();
  ASSERT_EQ(port->GetCommStatus(&status), STATUS_SUCCESS);
  EXPECT_EQ(status.AmountInOutQueue, 44u);
  device.ReleaseOut();
  EXPECT_EQ(write->Wait().status, STATUS_SUCCESS);
  EXPECT_EQ(device.OutBytes(), Bytes(300, 0x55));

  EXPECT_EQ(port->Close(), STATUS_SUCCESS);
  port.reset();
  EXPECT_EQ(pnp.Remove(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(EachDriverBuild, DeviceLifeTest, ::testing::Values("host", "xp", "w2k"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
