// Receiving as applications written for Windows receive, through the
// Win32-style COM port over the simulated kernel, against a loopback device:
// non-blocking reads (ReadIntervalTimeout MAXDWORD with both totals 0),
// WaitCommEvent followed by ReadFile, the "first bytes" mode (MAXDWORD,
// MAXDWORD, K), reads that keep their own time-outs after such reads and
// across close and reopen, and a device that sends faster than the
// application reads: nothing is lost, nothing hangs, the verifier stays
// silent and the pool flat. None of these tests relies on a transfer
// completing inside the call that starts it: virtual time is let run
// wherever the device's bytes must reach the port.
#include "driver/frame/dispatch.h"
#include "sim/ke/ke.h"
#include "sim/cm/registry.h"
#include "sim/ex/pool.h"
#include "sim/io/driver.h"
#include "sim/ke/clock.h"
#include "sim/pnp/manager.h"
#include "sim/pnp/pnp.h"
#include "sim/usb/bus.h"
#include "sim/usb/devices/loopback.h"
#include "sim/win32/comm_port.h"
#include "support/kernel_test.h"

#include <memory>

namespace {

using sim::win32::Bytes;
using sim::win32::CommPort;
using sim::win32::IoResult;
using sim::win32::Overlapped;

constexpr ULONG kMaxDword = MAXULONG;

// Bytes numbered from `first`, so that any loss, repeat or reordering shows.
Bytes Numbered(size_t length, size_t first = 0) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>((first + i) * 13 + 5);
  return bytes;
}

class ApplicationReadsTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    sim::ke::SetClockTick(0);  // exact-time expiry: the reads' time-outs are checked to the millisecond
    bus_ = std::make_unique<sim::usb::Bus>(device_);
    driver_ = std::make_unique<sim::io::LoadedDriver>(DriverEntry);
    ASSERT_EQ(driver_->Status(), STATUS_SUCCESS);
    sim::cm::SetString(sim::pnp::ParametersKey(bus_->Pdo()), u"PortName", u"COM5");
    pnp_ = std::make_unique<sim::pnp::Manager>(bus_->Pdo());
    ASSERT_EQ(pnp_->Plug(driver_->Object()), STATUS_SUCCESS);
    ASSERT_EQ(CommPort::Open(u"COM5", &port_), STATUS_SUCCESS);
  }

  void TearDown() override {
    port_.reset();  // CloseHandle, if the test has not closed it
    if (pnp_) {
      EXPECT_EQ(pnp_->Remove(), STATUS_SUCCESS);
    }
    pnp_.reset();
    driver_.reset();
    bus_.reset();
    KernelTest::TearDown();
  }

  void SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant) {
    SERIAL_TIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = interval;
    timeouts.ReadTotalTimeoutMultiplier = multiplier;
    timeouts.ReadTotalTimeoutConstant = constant;
    ASSERT_EQ(port_->SetTimeouts(timeouts), STATUS_SUCCESS);
  }

  // The device sends; a millisecond later its bytes have reached the port.
  void DeviceSends(const Bytes& bytes) {
    device_.SendIn(bytes);
    sim::clock::AdvanceMs(1);
  }

  SERIAL_STATUS CommStatus() {
    SERIAL_STATUS status = {};
    EXPECT_EQ(port_->GetCommStatus(&status), STATUS_SUCCESS);
    return status;
  }

  static int64_t Ms(int64_t units) { return units / sim::clock::kUnitsPerMs; }

  sim::usb::LoopbackDevice device_;
  std::unique_ptr<sim::usb::Bus> bus_;
  std::unique_ptr<sim::io::LoadedDriver> driver_;
  std::unique_ptr<sim::pnp::Manager> pnp_;
  std::unique_ptr<CommPort> port_;
};

// The polling reader of common serial libraries: a non-blocking read every
// so often. On a quiet device each returns at once with nothing; on a
// device sending 256 bytes a millisecond to a reader taking at most 100,
// each still returns at once, and together they carry every byte.
TEST_F(ApplicationReadsTest, NonBlockingReadsPollAQuietThenAChattyDevice) {
  SetTimeouts(kMaxDword, 0, 0);
  for (int poll = 0; poll < 10; ++poll) {
    std::unique_ptr<Overlapped> read = port_->ReadAsync(64);
    ASSERT_TRUE(read->Done()) << "poll " << poll << ": a non-blocking read is pending on a quiet device";
    EXPECT_TRUE(NT_SUCCESS(read->Result().status)) << std::hex << read->Result().status;
    EXPECT_EQ(read->Result().bytes, 0u);
    int64_t before = sim::clock::Now();
    IoResult sync = port_->Read(64, nullptr);
    EXPECT_EQ(sim::clock::Now(), before) << "a synchronous non-blocking read waited";
    EXPECT_TRUE(NT_SUCCESS(sync.status));
    EXPECT_EQ(sync.bytes, 0u);
    sim::clock::AdvanceMs(10);
  }

  const Bytes stream = Numbered(10240);
  Bytes got;
  size_t sent = 0;
  for (int poll = 0; got.size() < stream.size(); ++poll) {
    ASSERT_LT(poll, 1000) << "only " << got.size() << " of " << stream.size() << " bytes arrived";
    if (sent < stream.size()) {
      device_.SendIn(Bytes(stream.begin() + sent, stream.begin() + sent + 256));
      sent += 256;
    }
    sim::clock::AdvanceMs(1);
    Bytes data;
    if (poll % 2 == 0) {
      std::unique_ptr<Overlapped> read = port_->ReadAsync(100);
      ASSERT_TRUE(read->Done()) << "poll " << poll << ": a non-blocking read is pending";
      data = read->Data();
    } else {
      int64_t before = sim::clock::Now();
      port_->Read(100, &data);
      ASSERT_EQ(sim::clock::Now(), before) << "poll " << poll << ": a synchronous non-blocking read waited";
    }
    got.insert(got.end(), data.begin(), data.end());
  }
  EXPECT_EQ(got, stream);
  SERIAL_STATUS status = CommStatus();
  EXPECT_EQ(status.Errors, 0u);
  EXPECT_EQ(status.AmountInInQueue, 0u);
}

// WaitCommEvent(EV_RXCHAR), then ReadFile(4096) under MAXDWORD/0/0: each
// read returns at once with what has arrived, and the pairs together
// carry the stream, whatever its chunking and however much of it the
// receive buffer can hold at a time.
TEST_F(ApplicationReadsTest, WaitCommEventThenReadFileTakesWhatHasArrived) {
  SetTimeouts(kMaxDword, 0, 0);
  ASSERT_EQ(port_->SetWaitMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  const Bytes stream = Numbered(6000);
  const size_t chunks[] = {1, 17, 256, 700, 3000, 2026};
  Bytes got;
  size_t sent = 0;
  for (size_t chunk : chunks) {
    device_.SendIn(Bytes(stream.begin() + sent, stream.begin() + sent + chunk));
    sent += chunk;
    for (int pair = 0; got.size() < sent; ++pair) {
      ASSERT_LT(pair, 50) << got.size() << " of " << sent << " bytes";
      ULONG events = 0;
      IoResult waited = port_->WaitEvent(&events);
      ASSERT_EQ(waited.status, STATUS_SUCCESS);
      EXPECT_EQ(events, static_cast<ULONG>(SERIAL_EV_RXCHAR));
      std::unique_ptr<Overlapped> read = port_->ReadAsync(4096);
      ASSERT_TRUE(read->Done()) << "ReadFile after EV_RXCHAR is pending";
      Bytes data = read->Data();
      got.insert(got.end(), data.begin(), data.end());
    }
  }
  EXPECT_EQ(got, stream);
}

// MAXDWORD / MAXDWORD / 1000: bytes already buffered come back at once; with
// none, the read returns with the first bytes that arrive; with none in
// 1000 ms, it times out empty.
TEST_F(ApplicationReadsTest, FirstBytesModeReturnsBufferedArrivingOrNoBytes) {
  SetTimeouts(kMaxDword, kMaxDword, 1000);

  DeviceSends(Numbered(5));
  std::unique_ptr<Overlapped> buffered = port_->ReadAsync(100);
  ASSERT_TRUE(buffered->Done()) << "bytes were buffered, yet the read waits";
  EXPECT_TRUE(NT_SUCCESS(buffered->Result().status));
  EXPECT_EQ(buffered->Data(), Numbered(5));

  int64_t sentAt = sim::clock::Now();
  std::unique_ptr<Overlapped> arriving = port_->ReadAsync(100);
  EXPECT_FALSE(arriving->Done());
  sim::clock::AdvanceMs(300);
  EXPECT_FALSE(arriving->Done());
  DeviceSends(Numbered(3, 5));
  ASSERT_TRUE(arriving->Done()) << "the first bytes arrived, yet the read waits";
  EXPECT_TRUE(NT_SUCCESS(arriving->Result().status));
  EXPECT_EQ(arriving->Data(), Numbered(3, 5));
  EXPECT_LE(Ms(arriving->Request().CompletionTime() - sentAt), 301);

  sentAt = sim::clock::Now();
  Bytes nothing = {0xEE};
  IoResult none = port_->Read(100, &nothing);
  EXPECT_EQ(none.status, STATUS_TIMEOUT);
  EXPECT_EQ(none.bytes, 0u);
  EXPECT_TRUE(nothing.empty());
  EXPECT_EQ(Ms(sim::clock::Now() - sentAt), 1000);
}

// A read after one that returned at once, or on its first bytes, and a
// read on the next open of the port, each waits as its own time-outs say
// (0 / 0 / 1000: all ten bytes, or 1000 ms).
TEST_F(ApplicationReadsTest, EachReadKeepsItsOwnTimeoutsAfterQuickReadsAndAcrossReopen) {
  auto expectFullWait = [&](const char* after) {
    SetTimeouts(0, 0, 1000);
    DeviceSends(Numbered(6));
    int64_t sentAt = sim::clock::Now();
    std::unique_ptr<Overlapped> read = port_->ReadAsync(10);
    IoResult result = read->Wait();
    EXPECT_EQ(Ms(read->Request().CompletionTime() - sentAt), 1000) << after;
    EXPECT_EQ(result.status, STATUS_TIMEOUT) << after;
    EXPECT_EQ(read->Data(), Numbered(6)) << after;
  };

  SetTimeouts(kMaxDword, 0, 0);
  EXPECT_TRUE(port_->ReadAsync(10)->Done());
  expectFullWait("after a read that returned at once");

  SetTimeouts(kMaxDword, kMaxDword, 500);
  std::unique_ptr<Overlapped> first = port_->ReadAsync(10);
  DeviceSends(Numbered(4, 100));
  ASSERT_TRUE(first->Done());
  expectFullWait("after a read that returned on its first bytes");

  // A non-blocking read on an empty port, the handle closed, the port
  // opened again: nothing of the old handle's reads is left.
  SetTimeouts(kMaxDword, 0, 0);
  std::unique_ptr<Overlapped> quick = port_->ReadAsync(10);
  ASSERT_EQ(port_->Close(), STATUS_SUCCESS);
  EXPECT_TRUE(quick->Done());
  port_.reset();
  ASSERT_EQ(CommPort::Open(u"COM5", &port_), STATUS_SUCCESS);
  expectFullWait("after close and reopen");
}

// One megabyte written through the loopback device, without SetupComm,
// read back in small reads with time passing between them: the device
// sends far faster than the application reads, and every byte arrives in
// order, with no error reported and the pool as it was.
TEST_F(ApplicationReadsTest, AMegabyteThroughLoopbackComesBackIntactThroughSmallSlowReads) {
  const Bytes stream = Numbered(1 << 20);
  sim::pool::Usage before = sim::pool::Outstanding();
  std::unique_ptr<Overlapped> write = port_->WriteAsync(stream);

  Bytes got;
  got.reserve(stream.size());
  while (got.size() < stream.size()) {
    Bytes data;
    IoResult read = port_->Read(128, &data);
    ASSERT_EQ(read.status, STATUS_SUCCESS) << "after " << got.size() << " bytes";
    ASSERT_EQ(data.size(), 128u);
    got.insert(got.end(), data.begin(), data.end());
    sim::clock::AdvanceMs(1);
  }
  IoResult written = write->Wait();
  EXPECT_EQ(written.status, STATUS_SUCCESS);
  EXPECT_EQ(written.bytes, stream.size());
  write.reset();
  EXPECT_TRUE(got == stream) << "the bytes read back differ from those written";
  SERIAL_STATUS status = CommStatus();
  EXPECT_EQ(status.Errors, 0u);
  EXPECT_EQ(status.AmountInInQueue, 0u);
  sim::pool::Usage after = sim::pool::Outstanding();
  EXPECT_EQ(after.blocks, before.blocks) << sim::pool::DescribeOutstanding();
  EXPECT_EQ(after.bytes, before.bytes);
}

// A device that has more to send than the receive buffer holds, unplugged
// while the reader waits for room: close and removal end as usual.
TEST_F(ApplicationReadsTest, UnplugAndCloseWhileTheDeviceHoldsBackData) {
  DeviceSends(Numbered(3000));
  SERIAL_STATUS status = CommStatus();
  EXPECT_GT(status.AmountInInQueue, 0u);
  EXPECT_LT(status.AmountInInQueue, 3000u);
  EXPECT_EQ(status.Errors, 0u);
  EXPECT_EQ(pnp_->SurpriseRemove(), STATUS_SUCCESS);
  EXPECT_EQ(port_->Close(), STATUS_SUCCESS);
  port_.reset();
}

}  // namespace
