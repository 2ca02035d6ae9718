// Reads and the serial read time-outs, on virtual time.
#include "support/usb_port_test.h"

#include "driver/receive/read.h"
#include "sim/ex/pool.h"
#include "sim/io/transfer_request.h"
#include "sim/ke/clock.h"
#include "sim/mm/mdl.h"
#include "sim/usb/devices/layouts.h"

#include <random>

using sim::io::TransferRequest;
using sim::usb::Bytes;

namespace {

constexpr ULONG kMax = MAXULONG;

// Bytes numbered from `first`, so that any loss, repeat or reordering shows.
Bytes Numbered(size_t length, size_t first) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>((first + i) * 7 + 3);
  return bytes;
}

}  // namespace

class ReadTest : public UsbPortTest {
 protected:
  void SetUp() override {
    UsbPortTest::SetUp();
    // Exact-time expiry: these tests check the serial time-outs to the
    // millisecond; the clock tick has the kernel's own tests.
    sim::ke::SetClockTick(0);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    start_ = sim::clock::Now();
  }

  void SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant) {
    port_->Timeouts.ReadIntervalTimeout = interval;
    port_->Timeouts.ReadTotalTimeoutMultiplier = multiplier;
    port_->Timeouts.ReadTotalTimeoutConstant = constant;
  }

  // Sends a read; `dispatched` gets what SerialRead returned.
  std::unique_ptr<TransferRequest> Read(ULONG length, NTSTATUS* dispatched = nullptr) {
    auto read = TransferRequest::Read(device_, length);
    NTSTATUS status = read->Send();
    if (dispatched != nullptr) *dispatched = status;
    return read;
  }

  // The device sends the next `length` bytes of the stream.
  void Arrive(size_t length) {
    Device().SendIn(Numbered(length, sent_));
    sent_ += length;
  }

  // Puts bytes into the receive buffer as the reader does, without the pass
  // that follows: what a pass on another processor would find.
  void BufferWithoutPass(size_t length) {
    Bytes bytes = Numbered(length, sent_);
    sent_ += length;
    KIRQL irql;
    KeAcquireSpinLock(&port_->RxBufferLock, &irql);
    RingBufferPut(&port_->RxBuffer, bytes.data(), static_cast<ULONG>(bytes.size()));
    KeReleaseSpinLock(&port_->RxBufferLock, irql);
  }

  void AdvanceTo(uint64_t ms) { sim::clock::Advance(start_ + static_cast<int64_t>(ms) * sim::clock::kUnitsPerMs - sim::clock::Now()); }
  uint64_t Ms() const { return static_cast<uint64_t>(sim::clock::Now() - start_) / sim::clock::kUnitsPerMs; }
  int64_t CompletedAtMs(const TransferRequest& read) const {
    return (read.CompletionTime() - start_) / sim::clock::kUnitsPerMs;
  }

  int64_t start_ = 0;
  size_t sent_ = 0;
};

// --- The time-out table, row by row -----------------------------------------------

struct Arrival {
  uint64_t atMs;
  size_t bytes;
};

struct TimeoutCase {
  const char* name;
  ULONG interval, multiplier, constant;
  ULONG length;
  size_t bufferedBefore;  // bytes in the receive buffer when the read is sent
  std::vector<Arrival> arrivals;
  NTSTATUS status;
  uint64_t completedAtMs;  // for STATUS_CANCELLED: when the test cancels the read
  ULONG_PTR information;
};

void PrintTo(const TimeoutCase& row, std::ostream* out) { *out << row.name; }

class ReadTimeoutTable : public ReadTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(ReadTimeoutTable, CompletesAtTheRightMomentWithTheRightBytes) {
  const TimeoutCase& row = GetParam();
  SetTimeouts(row.interval, row.multiplier, row.constant);
  Arrive(row.bufferedBefore);
  auto read = Read(row.length);

  for (const Arrival& arrival : row.arrivals) {
    AdvanceTo(arrival.atMs);
    ASSERT_FALSE(read->Completed()) << "completed at " << CompletedAtMs(*read) << " ms, before the arrival at "
                                    << arrival.atMs << " ms";
    Arrive(arrival.bytes);
  }
  AdvanceTo(row.completedAtMs);
  if (row.status == STATUS_CANCELLED) {
    ASSERT_FALSE(read->Completed()) << "completed at " << CompletedAtMs(*read) << " ms";
    read->Cancel();
  }

  ASSERT_TRUE(read->Completed()) << "still pending at " << row.completedAtMs << " ms";
  EXPECT_EQ(CompletedAtMs(*read), static_cast<int64_t>(row.completedAtMs));
  // Checked at the moment of completion, before a stray timer could expire.
  EXPECT_EQ(sim::ke::SetTimerCount(), 0u) << "a read timer is still set after its read ended";
  EXPECT_EQ(read->Status(), row.status);
  EXPECT_EQ(read->Information(), row.information);
  EXPECT_EQ(read->Transferred(), Numbered(row.information, 0));
  EXPECT_EQ(port_->CurrentReadIrp, nullptr);
}

// Arrivals every 15 ms from 10 ms to 985 ms, 1 byte each.
std::vector<Arrival> Steady() {
  std::vector<Arrival> arrivals;
  for (uint64_t at = 10; at < 1000; at += 15) arrivals.push_back({at, 1});
  return arrivals;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ReadTimeoutTable,
    ::testing::Values(
        // I = 0: no interval timer; a total timer if M or K is set.
        TimeoutCase{"NoTimeoutsWaitUntilFull", 0, 0, 0, 10, 4, {{30, 3}, {5000, 3}}, STATUS_SUCCESS, 5000, 10},
        TimeoutCase{"NoTimeoutsWaitUntilCancelled", 0, 0, 0, 10, 4, {}, STATUS_CANCELLED, 60'000, 4},
        TimeoutCase{"ConstantAlone", 0, 0, 100, 10, 0, {}, STATUS_TIMEOUT, 100, 0},
        TimeoutCase{"TotalNotMovedByArrivals", 0, 10, 50, 20, 0, {{100, 5}, {200, 5}}, STATUS_TIMEOUT, 250, 10},
        TimeoutCase{"TotalFilledInTime", 0, 10, 50, 20, 0, {{100, 5}, {249, 15}}, STATUS_SUCCESS, 249, 20},
        TimeoutCase{"MaxMultiplierCountsAsANumber", 0, kMax, 0, 10, 3, {}, STATUS_CANCELLED, 3'600'000, 3},
        // I in force: silence after the last delivery, started only by a delivery.
        TimeoutCase{"IntervalStartsAtTheFirstDelivery", 20, 0, 0, 100, 0, {{500, 3}, {510, 3}, {525, 3}},
                    STATUS_TIMEOUT, 545, 9},
        TimeoutCase{"IntervalNotStartedByAnEmptyFirstPass", 20, 0, 0, 100, 0, {}, STATUS_CANCELLED, 10'000, 0},
        TimeoutCase{"IntervalStartedByBytesFoundAtOnce", 20, 0, 0, 100, 5, {{15, 1}}, STATUS_TIMEOUT, 35, 6},
        TimeoutCase{"IntervalAndTotalTheTotalFirst", 20, 0, 1000, 1000, 0, Steady(), STATUS_TIMEOUT, 1000, 66},
        TimeoutCase{"IntervalAndTotalTheIntervalFirst", 20, 10, 100, 50, 0, {{10, 1}, {25, 1}}, STATUS_TIMEOUT, 45, 2},
        TimeoutCase{"IntervalWithDataFillingTheRead", 20, 0, 0, 4, 0, {{5, 2}, {20, 2}}, STATUS_SUCCESS, 20, 4},
        // I = MAXULONG, both totals 0: at once, with what is buffered, even nothing.
        TimeoutCase{"ReturnAtOnceWithNothingBuffered", kMax, 0, 0, 100, 0, {}, STATUS_TIMEOUT, 0, 0},
        TimeoutCase{"ReturnAtOnceWithWhatIsBuffered", kMax, 0, 0, 100, 5, {}, STATUS_TIMEOUT, 0, 5},
        TimeoutCase{"ReturnAtOnceFilledByWhatIsBuffered", kMax, 0, 0, 5, 8, {}, STATUS_SUCCESS, 0, 5},
        // I = M = MAXULONG, 0 < K < MAXULONG: what is buffered at once, else the first bytes, else K.
        TimeoutCase{"FirstBytesFoundAtOnce", kMax, kMax, 200, 10, 3, {}, STATUS_TIMEOUT, 0, 3},
        TimeoutCase{"FirstBytesArrivingLater", kMax, kMax, 200, 10, 0, {{50, 2}}, STATUS_TIMEOUT, 50, 2},
        TimeoutCase{"FirstBytesFillingTheRead", kMax, kMax, 200, 4, 0, {{50, 6}}, STATUS_SUCCESS, 50, 4},
        TimeoutCase{"FirstBytesNeverArriving", kMax, kMax, 200, 10, 0, {}, STATUS_TIMEOUT, 200, 0},
        // I = MAXULONG otherwise.
        TimeoutCase{"MaxConstantWaitsUntilFull", kMax, 7, kMax, 10, 0, {{100, 5}, {9000, 5}}, STATUS_SUCCESS, 9000, 10},
        TimeoutCase{"MaxMultiplierAndZeroConstantIsImmediate", kMax, kMax, 0, 10, 3, {}, STATUS_TIMEOUT, 0, 3},
        TimeoutCase{"MaxIntervalWithATotal", kMax, 3, 50, 10, 0, {{20, 2}}, STATUS_TIMEOUT, 80, 2}),
    [](const ::testing::TestParamInfo<TimeoutCase>& info) { return std::string(info.param.name); });

// --- Queue order, synchronous completion, cancellation --------------------------------

TEST_F(ReadTest, OneArrivalCompletesThreeQueuedReadsInOrderInOnePass) {
  NTSTATUS first, second, third;
  auto a = Read(10, &first);
  auto b = Read(10, &second);
  auto c = Read(10, &third);
  EXPECT_EQ(first, STATUS_PENDING);
  EXPECT_EQ(second, STATUS_PENDING);
  EXPECT_EQ(third, STATUS_PENDING);

  Arrive(30);
  for (auto* read : {a.get(), b.get(), c.get()}) {
    ASSERT_TRUE(read->Completed());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
  }
  EXPECT_LT(a->CompletionOrder(), b->CompletionOrder());
  EXPECT_LT(b->CompletionOrder(), c->CompletionOrder());
  EXPECT_EQ(a->Transferred(), Numbered(10, 0));
  EXPECT_EQ(b->Transferred(), Numbered(10, 10));
  EXPECT_EQ(c->Transferred(), Numbered(10, 20));
  EXPECT_EQ(port_->RxBuffer.Count, 0u);
  EXPECT_EQ(PendingIo(), 2) << "only the reader's reference is left";
}

TEST_F(ReadTest, AReadFindingItsBytesCompletesInItsDispatchAndIsNeverMarkedPending) {
  SetTimeouts(0, 0, 100);
  Arrive(12);
  NTSTATUS dispatched;
  auto read = Read(10, &dispatched);
  EXPECT_EQ(dispatched, STATUS_SUCCESS);
  ASSERT_TRUE(read->Completed());
  EXPECT_FALSE(read->Irp()->PendingReturned);
  EXPECT_EQ(read->Transferred(), Numbered(10, 0));
  EXPECT_EQ(port_->RxBuffer.Count, 2u);
  EXPECT_EQ(sim::ke::SetTimerCount(), 0u) << "no timer armed for a read that never waited";
}

TEST_F(ReadTest, CancellingTheCurrentReadKeepsItsBytesAndTheNextStartsItsTotalThen) {
  SetTimeouts(0, 0, 100);
  auto current = Read(10);
  auto next = Read(10);
  AdvanceTo(40);
  Arrive(3);
  AdvanceTo(70);
  EXPECT_TRUE(current->Cancel());
  ASSERT_TRUE(current->Completed());
  EXPECT_EQ(current->Status(), STATUS_CANCELLED);
  EXPECT_EQ(current->Transferred(), Numbered(3, 0));
  EXPECT_EQ(port_->CurrentReadIrp, next->Irp()) << "the next read became current in the same step";

  AdvanceTo(169);
  EXPECT_FALSE(next->Completed());
  AdvanceTo(170);
  ASSERT_TRUE(next->Completed());
  EXPECT_EQ(next->Status(), STATUS_TIMEOUT);
  EXPECT_EQ(next->Information(), 0u);
}

TEST_F(ReadTest, CancellingAQueuedReadLeavesTheCurrentOneAlone) {
  auto current = Read(10);
  auto queued = Read(10);
  EXPECT_TRUE(queued->Cancel());
  EXPECT_EQ(queued->Status(), STATUS_CANCELLED);
  EXPECT_EQ(queued->Information(), 0u);
  Arrive(10);
  EXPECT_EQ(current->Status(), STATUS_SUCCESS);
  EXPECT_EQ(current->Transferred(), Numbered(10, 0));
}

TEST_F(ReadTest, ATimerExpiringInThePassThatFillsAReadDoesNotShortenTheNext) {
  SetTimeouts(0, 0, 100);
  auto first = Read(10);
  auto second = Read(10);
  Arrive(4);
  BufferWithoutPass(6);  // on the way, its pass not yet run, when the timer expires
  AdvanceTo(100);
  ASSERT_TRUE(first->Completed());
  EXPECT_EQ(first->Status(), STATUS_SUCCESS) << "the expiry's pass found the read's last bytes";
  EXPECT_EQ(first->Transferred(), Numbered(10, 0));
  EXPECT_FALSE(second->Completed()) << "the next read starts with no expiry of its own";
  EXPECT_FALSE(port_->ReadTimerFired);
  AdvanceTo(199);
  EXPECT_FALSE(second->Completed());
  AdvanceTo(200);
  EXPECT_EQ(second->Status(), STATUS_TIMEOUT);
}

// The expiry's DPC runs late, after the pass that ended its read (as when
// that pass held the lock on another processor): it must not end the next.
TEST_F(ReadTest, ALateExpiryOfAnEndedReadLeavesTheNextAlone) {
  // Idealised: the test holds back every DPC of this thread to make the
  // expiry late, and the realistic bus completes transfers from a DPC too.
  Device().AnswerInline();
  SetTimeouts(0, 0, 100);
  auto first = Read(10);
  auto second = Read(10);
  Arrive(4);
  sim::ke::DeferDpcs();
  AdvanceTo(100);  // the first read's total expires; its DPC waits
  Arrive(6);       // the first read fills, the second becomes current
  EXPECT_EQ(first->Status(), STATUS_SUCCESS);
  sim::ke::ResumeDpcs();
  EXPECT_FALSE(second->Completed()) << "ended by the expiry of the read before it";
  AdvanceTo(199);
  EXPECT_FALSE(second->Completed());
  AdvanceTo(200);
  EXPECT_EQ(second->Status(), STATUS_TIMEOUT);
}

// What a read waits for goes with it: the read after one that ended on its
// first bytes, or at once, keeps its own time-outs.
TEST_F(ReadTest, AReadThatEndsOnItsFirstBytesLeavesNothingBehindForTheNext) {
  SetTimeouts(kMax, kMax, 500);
  auto first = Read(5);
  Arrive(5);
  EXPECT_EQ(first->Status(), STATUS_SUCCESS);

  SetTimeouts(0, 0, 0);
  auto second = Read(10);
  Arrive(3);
  EXPECT_FALSE(second->Completed()) << "a read with no time-outs ended by a partial delivery";
  Arrive(7);
  ASSERT_TRUE(second->Completed());
  EXPECT_EQ(second->Status(), STATUS_SUCCESS);
  EXPECT_EQ(second->Transferred(), Numbered(10, 5));
}

TEST_F(ReadTest, AReadAfterAReturnAtOnceReadKeepsItsOwnTimeouts) {
  SetTimeouts(kMax, 0, 0);
  NTSTATUS dispatched;
  auto quick = Read(100, &dispatched);
  EXPECT_EQ(dispatched, STATUS_TIMEOUT);
  EXPECT_EQ(quick->Information(), 0u);

  SetTimeouts(0, 0, 1000);
  Arrive(5);
  auto waiting = Read(10, &dispatched);
  EXPECT_EQ(dispatched, STATUS_PENDING) << "ended at once with " << waiting->Information() << " bytes";
  AdvanceTo(300);
  Arrive(1);
  EXPECT_FALSE(waiting->Completed());
  AdvanceTo(1000);
  ASSERT_TRUE(waiting->Completed());
  EXPECT_EQ(CompletedAtMs(*waiting), 1000);
  EXPECT_EQ(waiting->Status(), STATUS_TIMEOUT);
  EXPECT_EQ(waiting->Transferred(), Numbered(6, 0));
}

// A read filled while its interval timer runs stops that timer: nothing of
// it may expire after it, nor be left set when the port goes away.
TEST_F(ReadTest, AReadFilledWhileItsIntervalTimerRunsLeavesNoTimerSet) {
  SetTimeouts(20, 0, 0);
  auto read = Read(4);
  Arrive(2);
  ASSERT_EQ(sim::ke::SetTimerCount(), 1u) << "the interval timer runs";
  Arrive(2);
  ASSERT_TRUE(read->Completed());
  EXPECT_EQ(read->Status(), STATUS_SUCCESS);
  EXPECT_EQ(sim::ke::SetTimerCount(), 0u) << "the interval timer outlived its read";
  EXPECT_EQ(Close(), STATUS_SUCCESS);  // the port goes away with no time having passed
}

TEST_F(ReadTest, ATotalBeyondWhatADueTimeCanHoldIsBounded) {
  SetTimeouts(0, kMax, kMax);
  auto read = Read(300'000);  // 4294967295 * 300000 ms does not fit a due time in 100-ns units
  ASSERT_FALSE(read->Completed());
  EXPECT_EQ(static_cast<int64_t>(port_->ReadTotalTimer.DueTime.QuadPart) - sim::clock::Now(),
            static_cast<int64_t>(MAXLONGLONG / 10000) * 10000);
  read->Cancel();
  EXPECT_EQ(read->Status(), STATUS_CANCELLED);
}

// --- Refusals ------------------------------------------------------------------------

TEST_F(ReadTest, ReadsThatCannotBeServedAreRefusedWithNothingQueued) {
  auto empty = Read(0);
  EXPECT_EQ(empty->Status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(empty->Information(), 0u);

  // A buffer that cannot be mapped: refused, and the bytes stay for the next read.
  Arrive(4);
  sim::mm::FailMappings(1);
  NTSTATUS dispatched;
  auto unmapped = Read(4, &dispatched);
  EXPECT_EQ(dispatched, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(unmapped->Information(), 0u);
  auto next = Read(4);
  EXPECT_EQ(next->Status(), STATUS_SUCCESS);
  EXPECT_EQ(next->Transferred(), Numbered(4, 0));

  // A port whose reader has failed.
  Device().FailNextTransfer(sim::usb::layouts::kBulkIn, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  ASSERT_TRUE(port_->DeviceFailed);
  auto refused = Read(4);
  EXPECT_EQ(refused->Status(), STATUS_DELETE_PENDING);
  EXPECT_EQ(refused->Information(), 0u);
  EXPECT_EQ(port_->CurrentReadIrp, nullptr);
  EXPECT_EQ(PendingIo(), 1);
}

TEST_F(ReadTest, HeldReadsEndByTheirTimeoutsOrAtCloseWhenTheReaderStops) {
  SetTimeouts(0, 0, 50);
  auto timed = Read(10);
  // Idealised: the pipe stays usable, so the reader the next read starts
  // again keeps running instead of failing on a halted pipe.
  Device().FailNextTransfer(sim::usb::layouts::kBulkIn, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID,
                            sim::usb::ScriptedDevice::Halt::Never);
  AdvanceTo(50);
  EXPECT_EQ(timed->Status(), STATUS_TIMEOUT);

  // With no time-out a held read waits for the close's flush.
  port_->DeviceFailed = FALSE;  // let one more read in, as if it came just before the failure
  SetTimeouts(0, 0, 0);
  auto untimed = Read(10);
  port_->DeviceFailed = TRUE;
  EXPECT_FALSE(untimed->Completed());
  EXPECT_EQ(Close(), STATUS_SUCCESS);
  EXPECT_EQ(untimed->Status(), STATUS_CANCELLED);
}

// --- The byte stream --------------------------------------------------------------------

// Whatever the chunking of transfers and reads and whatever the time-outs,
// the reads together deliver exactly the bytes the device sent, in order.
TEST_F(ReadTest, ReadsDeliverTheDevicesByteStreamExactly) {
  std::mt19937 random(43);
  const ULONG settings[][3] = {{0, 0, 0}, {0, 0, 30}, {5, 0, 0}, {kMax, 0, 0}, {kMax, kMax, 0}, {10, 1, 20}};
  Bytes delivered;
  std::vector<std::unique_ptr<TransferRequest>> reads;
  for (int round = 0; round < 400; ++round) {
    const ULONG* timeouts = settings[random() % 6];
    SetTimeouts(timeouts[0], timeouts[1], timeouts[2]);
    if (random() % 3 != 0) reads.push_back(Read(1 + random() % 300));
    if (random() % 2 == 0 && port_->RxBuffer.Count < 600) Arrive(random() % 257);
    sim::clock::AdvanceMs(random() % 40);
    if (random() % 17 == 0 && !reads.empty()) reads[random() % reads.size()]->Cancel();
  }
  SetTimeouts(kMax, kMax, 0);
  reads.push_back(Read(1));  // a last read that ends at once, taking its byte if there is one
  sim::clock::AdvanceMs(1);
  for (auto& read : reads) {
    if (!read->Completed()) read->Cancel();
    ASSERT_TRUE(read->Completed());
    Bytes got = read->Transferred();
    delivered.insert(delivered.end(), got.begin(), got.end());
  }
  // Reads complete in queue order, so their bytes concatenate in order;
  // what no read took is still buffered, or still with the device.
  EXPECT_EQ(delivered.size() + port_->RxBuffer.Count + Device().InWaiting(), sent_);
  EXPECT_EQ(delivered, Numbered(delivered.size(), 0));
}

TEST_F(ReadTest, TheReadPathAllocatesNothing) {
  SetTimeouts(5, 1, 10);
  Arrive(1);
  auto warmup = Read(1);  // the reader is running
  uint64_t before = sim::pool::Attempts();
  for (int i = 0; i < 500; ++i) {
    auto read = Read(1 + i % 50);
    Arrive(i % 70);
    sim::clock::AdvanceMs(i % 30);
    if (!read->Completed()) read->Cancel();
  }
  EXPECT_EQ(sim::pool::Attempts(), before);
}
