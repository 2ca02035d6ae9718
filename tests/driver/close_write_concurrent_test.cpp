// Close against a chunk on its way down. The writer decides to send a
// chunk while the port is open and hands it down with WriteQueueLock
// released; close, on another processor, flushes the write and aborts the
// write pipe before the chunk reaches the device. A device that holds OUT
// data would then keep the chunk for ever, and close, waiting for every
// transfer to end, with it. Close must end within one round trip whatever
// the writer is doing: the chunk's sender cancels it once it is down.
//
// A filter between the port and the bus holds the chunk at that exact
// point, on the writer's thread, until close has aborted the write pipe.
// Concurrent mode: close blocks for real. Run under ThreadSanitizer too.
#include "support/kernel_test.h"

#include "driver/frame/dispatch.h"
#include "driver/frame/port.h"
#include "sim/io/driver.h"
#include "sim/io/file.h"
#include "sim/io/transfer_request.h"
#include "sim/ke/ke.h"
#include "sim/usb/bus.h"
#include "sim/usb/devices/scripted.h"
#include "support/port_setup.h"
#include "support/test_driver.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace {

class CloseWriteConcurrentTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    model_ = std::make_unique<sim::usb::ScriptedDevice>();
    bus_ = std::make_unique<sim::usb::Bus>(*model_);
    filter_ = std::make_unique<test::TestDriver>();
    filterDevice_ = filter_->AddDevice(bus_->Pdo());
    ASSERT_NE(filterDevice_, nullptr);
    filter_->Serve(IRP_MJ_INTERNAL_DEVICE_CONTROL, [this](PDEVICE_OBJECT device, PIRP irp) {
      auto urb = static_cast<PURB>(URB_FROM_IRP(irp));
      if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
          urb->UrbBulkOrInterruptTransfer.PipeHandle == port_->WritePipe && holdNextChunk_.exchange(false)) {
        onChunk_();
      }
      return test::SkipDown()(device, irp);
    });
    driver_ = std::make_unique<sim::io::LoadedDriver>(DriverEntry);
    device_ = AddPort(driver_->Object(), filterDevice_);
    ASSERT_NE(device_, nullptr);
    port_ = PortOf(device_);
    ASSERT_EQ(ConfigureDevice(device_), STATUS_SUCCESS);
    ASSERT_EQ(sim::io::FileHandle::Open(device_, &handle_), STATUS_SUCCESS);
  }

  void TearDown() override {
    sim::ke::StopConcurrent();
    if (handle_ && handle_->IsOpen()) handle_->Close();
    handle_.reset();
    if (device_ != nullptr) {
      EXPECT_TRUE(RemovePort(device_, filterDevice_)) << "references left at removal";
    }
    if (filterDevice_ != nullptr) test::TestDriver::RemoveDevice(filterDevice_);
    filter_.reset();
    bus_.reset();
    driver_.reset();
    KernelTest::TearDown();
  }

  // Whether the bus has seen the write pipe aborted.
  bool WritePipeAborted() const {
    for (const sim::usb::UrbSeen& urb : bus_->Urbs(URB_FUNCTION_ABORT_PIPE)) {
      if (urb.pipe == port_->WritePipe) return true;
    }
    return false;
  }

  // Polls `done` (real time, bounded); true if it came true.
  static bool Within(std::chrono::seconds limit, const std::function<bool()>& done) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::yield();
    }
    return true;
  }

  std::unique_ptr<sim::usb::ScriptedDevice> model_;
  std::unique_ptr<sim::usb::Bus> bus_;
  std::unique_ptr<test::TestDriver> filter_;
  std::unique_ptr<sim::io::LoadedDriver> driver_;
  std::unique_ptr<sim::io::FileHandle> handle_;
  PDEVICE_OBJECT filterDevice_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  PortExtension* port_ = nullptr;
  std::atomic<bool> holdNextChunk_{false};
  std::function<void()> onChunk_;
};

TEST_F(CloseWriteConcurrentTest, CloseEndsAChunkHandedDownAfterItsAbort) {
  model_->HoldOut();
  sim::ke::StartConcurrent();

  std::atomic<bool> closed{false};
  std::thread closer;
  onChunk_ = [&] {
    closer = std::thread([&] {
      EXPECT_EQ(handle_->Close(), STATUS_SUCCESS);
      closed.store(true);
    });
    // The chunk goes on down only once close has aborted the write pipe.
    EXPECT_TRUE(Within(std::chrono::seconds(10), [&] { return WritePipeAborted(); })) << "close never aborted";
  };
  holdNextChunk_.store(true);
  auto write = sim::io::TransferRequest::Write(device_, {'a', 'b', 'c'});
  write->Send();

  bool prompt = Within(std::chrono::seconds(5), [&] { return closed.load(); });
  EXPECT_TRUE(prompt) << "close still blocked on a chunk sent after its abort";
  if (!prompt) model_->AcceptAllOut();  // let it end, to tear down
  if (closer.joinable()) closer.join();
  ASSERT_TRUE(write->Completed());
  EXPECT_EQ(write->Status(), STATUS_CANCELLED);
  EXPECT_EQ(bus_->Queued(sim::usb::layouts::kBulkOut), 0u);
  EXPECT_EQ(port_->PendingIoCount, 1);
}

}  // namespace
