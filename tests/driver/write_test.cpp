// Writes: chunking, the write total time-out, cancel, flush and failures,
// on a port opened above the simulated bus.
#include "support/usb_port_test.h"

#include "driver/frame/queue.h"
#include "sim/ex/pool.h"
#include "sim/io/control_request.h"
#include "sim/io/transfer_request.h"
#include "sim/ke/clock.h"
#include "sim/ke/ke.h"
#include "sim/mm/mdl.h"
#include "sim/rtl/debug.h"
#include "sim/usb/devices/layouts.h"

#include <functional>
#include <random>

using namespace sim::usb;
using sim::io::TransferRequest;
using Sent = std::unique_ptr<TransferRequest>;

class WriteTest : public UsbPortTest {
 protected:
  void SetUp() override {
    UsbPortTest::SetUp();
    // Exact-time expiry: these tests check the serial time-outs to the
    // millisecond; the clock tick has the kernel's own tests.
    sim::ke::SetClockTick(0);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    bus_->ClearUrbs();
    sim::debug::Clear();
  }

  Sent Write(const Bytes& data, NTSTATUS dispatch = STATUS_PENDING) {
    Sent write = TransferRequest::Write(device_, data);
    EXPECT_EQ(write->Send(), dispatch) << "write of " << data.size();
    return write;
  }

  // The lengths of the bulk-out transfers sent since the last ClearUrbs.
  std::vector<ULONG> OutLengths() {
    std::vector<ULONG> lengths;
    for (const UrbSeen& urb : bus_->Urbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)) {
      if (urb.pipe == port_->WritePipe) lengths.push_back(urb.length);
    }
    return lengths;
  }

  void WriteTimeouts(ULONG multiplier, ULONG constant) {
    port_->Timeouts.WriteTotalTimeoutMultiplier = multiplier;
    port_->Timeouts.WriteTotalTimeoutConstant = constant;
  }

  static Bytes Pattern(size_t length, uint8_t first = 0) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(first + i * 7);
    return bytes;
  }
};

// Whatever the device's timing (answering inside IofCallDriver or later),
// the data leave in order, in transfers of at most 256 bytes starting at
// the first byte not yet accepted, through one transfer request: the first
// write allocates it, the writes after it use it again.
TEST_F(WriteTest, DataLeaveInChunksFromTheFirstUnacceptedByte) {
  struct Case {
    size_t length;
    uint32_t acceptUpTo;  // 0: all
    std::vector<ULONG> transfers;
  } cases[] = {{1, 0, {1}},
               {256, 0, {256}},
               {257, 0, {256, 1}},
               {1000, 0, {256, 256, 256, 232}},
               {256, 100, {256, 156, 56}}};
  for (bool later : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << c.length << " bytes, " << (later ? "answered later" : "answered at once"));
      if (later) Device().AnswerLater(1);
      if (c.acceptUpTo != 0) Device().AcceptOutUpTo(c.acceptUpTo);
      bus_->ClearUrbs();
      port_->EventHistory = 0;
      uint64_t allocations = sim::pool::Attempts();
      Bytes data = Pattern(c.length, static_cast<uint8_t>(c.length));
      Bytes before = Device().OutBytes();
      Sent write = Write(data);
      sim::clock::AdvanceMs(10);
      ASSERT_TRUE(write->Completed());
      EXPECT_EQ(write->Status(), STATUS_SUCCESS);
      EXPECT_EQ(write->Information(), c.length);
      EXPECT_EQ(OutLengths(), c.transfers);
      Bytes after = Device().OutBytes();
      EXPECT_EQ(Bytes(after.begin() + before.size(), after.end()), data);
      EXPECT_EQ(port_->EventHistory, static_cast<ULONG>(SERIAL_EV_TXEMPTY));
      bool first = !later && &c == &cases[0];
      EXPECT_EQ(sim::pool::Attempts() - allocations, first ? 1u : 0u)
          << (first ? "one transfer request, nothing else" : "the kept transfer request, nothing allocated");
      EXPECT_EQ(port_->WriteUrbIrp, nullptr);
      EXPECT_NE(port_->SpareWriteIrp, nullptr) << "the transfer request is kept for the next write";
      EXPECT_EQ(PendingIo(), 2) << "only the reader's reference is left";
      Device().AcceptAllOut();
      Device().AnswerInline();
    }
  }
  for (const UrbSeen& urb : bus_->Urbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)) EXPECT_EQ(urb.flags, 0u);
}

// Many writes, several queued at a time, random lengths and acceptance:
// the device receives exactly the bytes written, in order.
TEST_F(WriteTest, TheDeviceReceivesExactlyTheWrittenStream) {
  std::mt19937 random(2010);
  Bytes model;
  Device().AnswerLater(1);
  for (int round = 0; round < 40; ++round) {
    Device().AcceptOutUpTo(16 + random() % 300);
    std::vector<Sent> writes;
    for (int n = 1 + random() % 4; n > 0; --n) {
      Bytes data(1 + random() % 700);
      for (uint8_t& byte : data) byte = static_cast<uint8_t>(random());
      model.insert(model.end(), data.begin(), data.end());
      writes.push_back(Write(data));
    }
    sim::clock::AdvanceMs(1000);
    for (const Sent& write : writes) ASSERT_EQ(write->Status(), STATUS_SUCCESS) << "round " << round;
  }
  EXPECT_EQ(Device().OutBytes(), model);
}

TEST_F(WriteTest, ASecondWriteStartsWhenTheFirstEndsAndOnlyItReportsTheQueueEmpty) {
  Device().HoldOut();
  Sent first = Write(Pattern(10));
  Sent second = Write(Pattern(20));
  EXPECT_EQ(OutLengths(), std::vector<ULONG>{10}) << "the second waits for the first";
  Device().ReleaseOut();
  EXPECT_EQ(first->Status(), STATUS_SUCCESS);
  EXPECT_FALSE(second->Completed());
  EXPECT_EQ(OutLengths(), (std::vector<ULONG>{10, 20}));
  EXPECT_EQ(port_->EventHistory, 0u) << "the queue was not empty when the first ended";
  Device().ReleaseOut();
  EXPECT_EQ(second->Status(), STATUS_SUCCESS);
  EXPECT_EQ(port_->EventHistory, static_cast<ULONG>(SERIAL_EV_TXEMPTY));
}

// Multiplier 1, constant 100, 600 bytes: 1200 ms counted from the start of
// the write, not of each transfer. The time-out stops the second of three
// transfers and the next write goes out.
TEST_F(WriteTest, TheTotalTimeOutCoversTheWholeWriteAndStopsItsTransfer) {
  WriteTimeouts(1, 100);
  Device().HoldOut();
  Sent write = Write(Pattern(600));
  Sent next = Write(Pattern(5));
  sim::clock::AdvanceMs(1000);
  Device().ReleaseOut();  // the first 256 bytes; the second transfer goes down
  sim::clock::AdvanceMs(199);
  ASSERT_FALSE(write->Completed());
  sim::clock::AdvanceMs(1);
  ASSERT_TRUE(write->Completed());
  EXPECT_EQ(write->Status(), STATUS_TIMEOUT);
  EXPECT_EQ(write->Information(), 256u);
  EXPECT_EQ(sim::debug::Messages(), std::vector<std::string>{"WriteUrbIrp Error c0000120\n"});
  EXPECT_EQ(OutLengths(), (std::vector<ULONG>{256, 256, 5})) << "the next write went out";
  Device().ReleaseOut();
  EXPECT_EQ(next->Status(), STATUS_SUCCESS);
}

// Period arithmetic: 10 x 50 + 100 + 500 = 1100 ms; no time-outs, no
// timer; a period whose due time does not fit 64 bits is bounded, not
// wrapped into one that has passed.
TEST_F(WriteTest, TheTimeOutPeriodIsMultiplierTimesLengthPlusConstantPlus500) {
  struct Case {
    ULONG multiplier, constant;
    size_t length;
    uint64_t pendingAfterMs;  // still pending after this long
    bool endsOneMsLater;
  } cases[] = {{10, 100, 50, 1099, true}, {0, 0, 50, 1000000, false}, {MAXULONG, 1, 1 << 18, 100000, false}};
  Device().HoldOut();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.multiplier << " x " << c.length << " + " << c.constant);
    WriteTimeouts(c.multiplier, c.constant);
    Sent write = Write(Pattern(c.length));
    sim::clock::AdvanceMs(c.pendingAfterMs);
    EXPECT_FALSE(write->Completed());
    sim::clock::AdvanceMs(1);
    EXPECT_EQ(write->Completed(), c.endsOneMsLater);
    if (!c.endsOneMsLater) write->Cancel();
    EXPECT_EQ(write->Status(), c.endsOneMsLater ? STATUS_TIMEOUT : STATUS_CANCELLED);
    EXPECT_EQ(bus_->Queued(layouts::kBulkOut), 0u) << "its transfer was stopped";
  }
}

// A transfer that returns at the same instant as the time-out of its write
// completes it; the expiry, handled after, must not end the next write.
TEST_F(WriteTest, AnExpiryThatLostToItsWritesCompletionLeavesTheNextWriteAlone) {
  // Idealised: the transfer must complete inside the release at the
  // expiry's instant, before the timer's DPC; the realistic bus completes
  // it from its own DPC, queued behind the timer's.
  Device().AnswerInline();
  WriteTimeouts(0, 100);  // 600 ms
  Device().HoldOut();
  Sent first = Write(Pattern(1));
  Sent second = Write(Pattern(2));
  sim::clock::Schedule(sim::clock::Now() + 600 * sim::clock::kUnitsPerMs, [this] { Device().ReleaseOut(); });
  sim::clock::AdvanceMs(600);
  EXPECT_EQ(first->Status(), STATUS_SUCCESS);
  EXPECT_FALSE(second->Completed());
  Device().ReleaseOut();
  EXPECT_EQ(second->Status(), STATUS_SUCCESS);
}

// After two full transfers: a cancel reports 0 bytes, a flush (as purge
// with TX abort does it) the 512 bytes accepted; both stop the transfer, so
// the next write goes out at once.
TEST_F(WriteTest, CancelReportsNothingAndFlushReportsTheBytesAccepted) {
  for (bool flush : {false, true}) {
    SCOPED_TRACE(flush ? "flush" : "cancel");
    Device().HoldOut();
    Sent write = Write(Pattern(1000));
    Device().ReleaseOut();
    Device().ReleaseOut();
    if (flush) {
      CancelAllWrites(device_);
    } else {
      write->Cancel();
    }
    EXPECT_EQ(write->Status(), STATUS_CANCELLED);
    EXPECT_EQ(write->Information(), flush ? 512u : 0u);
    EXPECT_EQ(bus_->Queued(layouts::kBulkOut), 0u) << "the ended write's transfer is stopped";
    Sent next = Write(Pattern(3));
    EXPECT_EQ(bus_->Queued(layouts::kBulkOut), 1u) << "one transfer outstanding at a time";
    Device().AcceptAllOut();
    EXPECT_EQ(next->Status(), STATUS_SUCCESS);
    EXPECT_EQ(sim::debug::Messages(), std::vector<std::string>{"WriteUrbIrp Error c0000120\n"});
    EXPECT_EQ(PendingIo(), 2);
    sim::debug::Clear();
  }
}

// A purge of the writes while the device holds their data back: the purged
// write's transfer is ended too, so the transmit side works on. The next
// write goes out at once and times out on time (100 + 500 ms), and nothing
// is left outstanding.
TEST_F(WriteTest, AfterAPurgeOfAHeldWriteTheNextWriteIsSentAndTimesOutOnTime) {
  WriteTimeouts(0, 100);
  Device().HoldOut();
  Sent purged = Write(Pattern(10));
  sim::io::ControlRequest purge(device_, IOCTL_SERIAL_PURGE, sim::io::BytesOf(ULONG{SERIAL_PURGE_TXABORT}), 0);
  ASSERT_EQ(purge.Send(), STATUS_SUCCESS);
  EXPECT_EQ(purged->Status(), STATUS_CANCELLED);
  EXPECT_EQ(bus_->Queued(layouts::kBulkOut), 0u) << "the purged write's transfer is still with the device";

  int64_t sent = sim::clock::Now();
  Sent next = Write(Pattern(5));
  EXPECT_EQ(bus_->Queued(layouts::kBulkOut), 1u) << "the next write was not sent";
  sim::clock::AdvanceMs(60'000);
  ASSERT_TRUE(next->Completed()) << "the next write neither went out nor timed out";
  EXPECT_EQ(next->Status(), STATUS_TIMEOUT);
  EXPECT_EQ(next->CompletionTime() - sent, 600 * 10'000);
  EXPECT_EQ(bus_->Queued(layouts::kBulkOut), 0u);
  EXPECT_EQ(PendingIo(), 2);
}

// While a transfer's completion still works with the port record (here:
// records the transmit event), the transfer's reference is still counted:
// dropped earlier, it could let close go on, or removal delete the record,
// under the completion's feet. Open and idle, the port rests at 2 (the
// baseline and the reader), so the count must be 3 at that moment, however
// the transfer ended.
TEST_F(WriteTest, ATransferKeepsItsReferenceUntilItsCompletionIsDoneWithThePort) {
  const struct {
    const char* how;
    std::function<void(ScriptedDevice&, TransferRequest&)> end;
    NTSTATUS status;
  } cases[] = {
      {"accepted", [](ScriptedDevice& device, TransferRequest&) { device.ReleaseOut(); }, STATUS_SUCCESS},
      {"failed",
       [](ScriptedDevice& device, TransferRequest&) {
         // Idealised: the pipe stays usable for the case after this one.
         device.FailNextTransfer(layouts::kBulkOut, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC,
                                 ScriptedDevice::Halt::Never);
       },
       STATUS_DEVICE_DATA_ERROR},
      {"cancelled", [](ScriptedDevice&, TransferRequest& write) { write.Cancel(); }, STATUS_CANCELLED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    Device().HoldOut();
    Sent write = Write(Pattern(10));
    LONG whileRecording = -1;
    sim::ke::RunBeforeNextAcquire(&port_->EventLock, [&] { whileRecording = PendingIo(); });
    c.end(Device(), *write);
    EXPECT_EQ(write->Status(), c.status);
    EXPECT_EQ(whileRecording, 3) << "the count when the completion records the transmit event";
    EXPECT_EQ(PendingIo(), 2);
    Device().AcceptAllOut();
  }
}

// A failing transfer ends its write at once with its own status and the
// bytes accepted before it, whether it fails inside IofCallDriver or later.
// STATUS_UNSUCCESSFUL alone marks the port failed: the next write becomes
// current unsent and new writes are refused.
struct FailureCase {
  const char* name;
  std::function<void(ScriptedDevice&)> before;  // before the writes are sent
  std::function<void(ScriptedDevice&)> after;   // with the first write's first transfer held
  NTSTATUS status;
  ULONG_PTR information;
};

class WriteFailureTest : public WriteTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(WriteFailureTest, AFailedTransferEndsItsWriteWithItsStatus) {
  const FailureCase& c = GetParam();
  Device().HoldOut();
  if (c.before) c.before(Device());
  if (c.status == STATUS_DEVICE_NOT_CONNECTED) port_->DeviceFailed = FALSE;  // the reader's stop; writes still arrive
  Sent write = Write(Pattern(600));
  bool refused = port_->DeviceFailed;  // it failed inside SerialWrite's own IofCallDriver
  Sent next = Write(Pattern(5), refused ? STATUS_DELETE_PENDING : STATUS_PENDING);
  if (c.after) c.after(Device());
  ASSERT_TRUE(write->Completed());
  EXPECT_EQ(write->Status(), c.status);
  EXPECT_EQ(write->Information(), c.information);
  char message[40];
  snprintf(message, sizeof message, "WriteUrbIrp Error %x\n", static_cast<unsigned>(c.status));
  EXPECT_EQ(sim::debug::Messages().at(0), message);
  bool failed = c.status == STATUS_UNSUCCESSFUL;
  EXPECT_EQ(port_->DeviceFailed, failed);
  bool gone = c.status == STATUS_DEVICE_NOT_CONNECTED;  // the reader's stop records SERIAL_EV_ERR as well
  EXPECT_EQ(port_->EventHistory & SERIAL_EV_ERR, failed || gone ? static_cast<ULONG>(SERIAL_EV_ERR) : 0u);
  if (failed && !refused) {
    EXPECT_EQ(port_->CurrentWriteIrp, next->Irp()) << "the next write is current";
    EXPECT_EQ(OutLengths().size(), c.information / 256 + 1) << "and not sent";
    Write(Pattern(1), STATUS_DELETE_PENDING);
    next->Cancel();
  }
  Device().AcceptAllOut();
  NTSTATUS nextStatus = refused  ? STATUS_DELETE_PENDING
                        : failed ? STATUS_CANCELLED
                        : gone ? c.status : STATUS_SUCCESS;
  EXPECT_EQ(next->Status(), nextStatus);
  EXPECT_EQ(PendingIo(), gone ? 1 : 2) << "nothing held but a running reader";
}

INSTANTIATE_TEST_SUITE_P(
    Failures, WriteFailureTest,
    testing::Values(
        FailureCase{"UnsuccessfulInsideIofCallDriver",
                    [](ScriptedDevice& d) { d.FailNextTransfer(layouts::kBulkOut, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID); },
                    nullptr, STATUS_UNSUCCESSFUL, 0},
        FailureCase{"UnsuccessfulAtTheSecondTransfer", nullptr,
                    [](ScriptedDevice& d) {
                      d.ReleaseOut();
                      d.FailNextTransfer(layouts::kBulkOut, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
                    },
                    STATUS_UNSUCCESSFUL, 256},
        // Idealised: the pipe stays usable (a real stack halts it), so that the
        // next write shows what a failure other than STATUS_UNSUCCESSFUL leaves.
        FailureCase{"DataError", nullptr,
                    [](ScriptedDevice& d) {
                      d.FailNextTransfer(layouts::kBulkOut, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC,
                                         ScriptedDevice::Halt::Never);
                    },
                    STATUS_DEVICE_DATA_ERROR, 0},
        FailureCase{"DeviceGoneInsideIofCallDriver", [](ScriptedDevice& d) { d.Unplug(); }, nullptr,
                    STATUS_DEVICE_NOT_CONNECTED, 0}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// Requests refused before anything is queued or sent: no events, nothing on
// the pipe, the reference dropped.
TEST_F(WriteTest, WritesThatCannotBeServedAreRefusedUnsent) {
  Write({}, STATUS_INVALID_PARAMETER);
  sim::mm::FailMappings(1);
  Write(Pattern(10), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(OutLengths().empty());
  EXPECT_EQ(port_->EventHistory, 0u);
  EXPECT_EQ(PendingIo(), 2);
}

// A queued write cancelled before its cancel routine was installed, and one
// for which no transfer request can be had, end unsent; the writes behind
// them still go out. The first write's transfer fails, so its request is
// not kept and the next write must allocate one.
TEST_F(WriteTest, WritesEndingUnsentMakeWayForTheNext) {
  Device().HoldOut();
  Sent first = Write(Pattern(1));
  Sent cancelled = TransferRequest::Write(device_, Pattern(2));
  Sent starved = TransferRequest::Write(device_, Pattern(3));
  Sent last = TransferRequest::Write(device_, Pattern(4));
  cancelled->Cancel();
  EXPECT_EQ(cancelled->Send(), STATUS_PENDING);
  EXPECT_EQ(starved->Send(), STATUS_PENDING);
  EXPECT_EQ(last->Send(), STATUS_PENDING);
  sim::pool::FailNth(1);  // the next allocation: the starved write's transfer request
  // A failure that leaves the pipe usable, so that the last write can go out.
  Device().FailNextTransfer(layouts::kBulkOut, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC,
                            ScriptedDevice::Halt::Never);
  sim::pool::StopFailing();
  EXPECT_EQ(first->Status(), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(cancelled->Status(), STATUS_CANCELLED);
  EXPECT_EQ(starved->Status(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(starved->Information(), 0u);
  Device().ReleaseOut();
  EXPECT_EQ(last->Status(), STATUS_SUCCESS);
  EXPECT_EQ(OutLengths(), (std::vector<ULONG>{1, 4}));
}

// The transfer request is kept for the next write only when it comes back
// in good order: one cancelled with its write is released, and the next
// write allocates its own, which it then keeps. Close frees the one kept
// (the end-of-test check finds no request left).
TEST_F(WriteTest, OnlyARequestBackInGoodOrderIsKeptForTheNextWrite) {
  Device().HoldOut();
  Sent cancelled = Write(Pattern(10));
  cancelled->Cancel();
  sim::clock::AdvanceMs(1);
  ASSERT_TRUE(cancelled->Completed());
  EXPECT_EQ(cancelled->Status(), STATUS_CANCELLED);
  EXPECT_EQ(port_->SpareWriteIrp, nullptr) << "a request that came back cancelled is released";

  Device().AcceptAllOut();
  for (int i = 0; i < 3; ++i) {
    uint64_t allocations = sim::pool::Attempts();
    Sent write = Write(Pattern(300));
    sim::clock::AdvanceMs(1);
    ASSERT_TRUE(write->Completed());
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(sim::pool::Attempts() - allocations, i == 0 ? 1u : 0u) << "write " << i;
    EXPECT_NE(port_->SpareWriteIrp, nullptr) << "write " << i;
  }
}
