// The USB timing model as the simulated bus's completion policy: transfers
// move in packets frame by frame and complete at the end of the frame that
// moved their last packet; transfers share the frames' room; a transfer
// sent after a frame's schedule was made waits for the next one;
// completions reach the driver after the DPC latency; a device that NAKs
// holds its transfer and takes no frame; a paced device sets the rate.
// Plus the bound of the URB log.
#include "support/usb_test.h"

#include "sim/ke/clock.h"
#include "sim/usb/devices/layouts.h"
#include "sim/usb/devices/paced.h"
#include "sim/usb/devices/scripted.h"
#include "sim/usb/timing.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

using namespace sim::usb;
using test::UsbTransfer;

namespace {

constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
constexpr int64_t kMs = sim::clock::kUnitsPerMs;
constexpr int64_t kMicroframe = kMs / 8;

std::string Ms(int64_t units) { return std::to_string(static_cast<double>(units) / kMs) + " ms"; }

}  // namespace

class UsbTimingTest : public UsbTest {
 protected:
  ScriptedDevice& StartTimed(BusSpeed speed, int64_t dpcLatency = 0) {
    ScriptedDevice& device = Start<ScriptedDevice>();
    timing_ = std::make_shared<FrameTiming>(TimingSettings{speed, dpcLatency});
    device.AnswerWith(timing_);
    return device;
  }

  std::shared_ptr<FrameTiming> timing_;

  // A transfer that notes the virtual time of each completion.
  std::unique_ptr<UsbTransfer> Timed(USBD_PIPE_HANDLE pipe, ULONG flags, ULONG length, std::vector<int64_t>* times) {
    auto transfer = std::make_unique<UsbTransfer>(function(), pipe, flags, length);
    transfer->onComplete = [times](UsbTransfer&) { times->push_back(sim::clock::Now()); };
    return transfer;
  }
};

TEST_F(UsbTimingTest, ATransferCompletesAtTheEndOfTheFrameThatMovedItsLastPacket) {
  struct Case {
    const char* name;
    BusSpeed speed;
    bool in;
    size_t deviceHas;  // IN bytes the device holds
    ULONG length;
    ULONG moved;
    int64_t completes;  // sent at time 0, at the start of the first frame
  };
  const Case cases[] = {
      {"full speed, 256 bytes in (4 packets)", BusSpeed::Full, true, 256, 256, 256, kMs},
      {"full speed, a short packet", BusSpeed::Full, true, 100, 256, 100, kMs},
      {"full speed, a zero-length packet", BusSpeed::Full, true, 0, 256, 0, kMs},
      {"full speed, 19 packets fill one frame", BusSpeed::Full, false, 0, 19 * 64, 19 * 64, kMs},
      {"full speed, 20 packets need a second frame", BusSpeed::Full, false, 0, 20 * 64, 20 * 64, 2 * kMs},
      {"full speed, 4096 bytes out: 64 packets, 4 frames", BusSpeed::Full, false, 0, 4096, 4096, 4 * kMs},
      {"high speed, 256 bytes in one microframe", BusSpeed::High, true, 256, 256, 256, kMicroframe},
      {"high speed, 13 packets fill a microframe", BusSpeed::High, false, 0, 13 * 512, 13 * 512, kMicroframe},
      {"high speed, 14 packets need a second one", BusSpeed::High, false, 0, 14 * 512, 14 * 512, 2 * kMicroframe},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Reset();
    ScriptedDevice& device = StartTimed(c.speed);
    if (c.in) device.SendIn(Bytes(c.deviceHas, 0x5A));
    std::vector<int64_t> times;
    auto transfer = Timed(c.in ? in_ : out_, c.in ? kIn : 0, c.length, &times);
    EXPECT_EQ(transfer->Send(), STATUS_PENDING) << "nothing completes inside IofCallDriver";
    sim::clock::Advance(c.completes - 1);
    EXPECT_TRUE(times.empty()) << "completed at " << Ms(times.empty() ? 0 : times[0]) << ", before "
                               << Ms(c.completes);
    sim::clock::Advance(1);
    ASSERT_EQ(times.size(), 1u) << "not completed at " << Ms(c.completes);
    EXPECT_EQ(times[0], c.completes);
    EXPECT_EQ(transfer->Status(), STATUS_SUCCESS);
    EXPECT_EQ(transfer->Moved(), c.moved);
    transfer.reset();
    Unplug();
  }
}

// 64 packets in and 64 out at full speed: the first transfer takes four
// frames (19, 19, 19, 7), the second the room left in the fourth and three
// more; 128 packets in seven frames, never more than 19 in one.
TEST_F(UsbTimingTest, TwoPipesShareTheFramesRoom) {
  ScriptedDevice& device = StartTimed(BusSpeed::Full);
  device.SendIn(Bytes(4096, 1));
  std::vector<int64_t> inTimes, outTimes;
  auto in = Timed(in_, kIn, 4096, &inTimes);
  auto out = Timed(out_, 0, 4096, &outTimes);
  in->Send();
  out->Send();
  sim::clock::AdvanceMs(10);
  ASSERT_EQ(inTimes.size(), 1u);
  ASSERT_EQ(outTimes.size(), 1u);
  EXPECT_EQ(std::min(inTimes[0], outTimes[0]), 4 * kMs);
  EXPECT_EQ(std::max(inTimes[0], outTimes[0]), 7 * kMs);
  EXPECT_EQ(timing_->FramesUsed(), 7u);
  EXPECT_EQ(in->Moved(), 4096u);
  EXPECT_EQ(out->Moved(), 4096u);
}

// A reader that sends its transfer again from the completion routine: with
// no DPC latency the completion comes before the next frame's schedule is
// made, so one transfer moves per frame; with any latency the resubmission
// misses that schedule and waits a frame more.
TEST_F(UsbTimingTest, AResubmissionJoinsTheNextFrameOnlyIfItCameBeforeItsSchedule) {
  struct Case {
    int64_t dpcLatency;
    std::vector<int64_t> completions;  // of the first three transfers
  } const cases[] = {
      {0, {kMs, 2 * kMs, 3 * kMs}},
      {kMs / 10, {kMs + kMs / 10, 3 * kMs + kMs / 10, 5 * kMs + kMs / 10}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("DPC latency " + Ms(c.dpcLatency));
    sim::Reset();
    ScriptedDevice& device = StartTimed(BusSpeed::Full, c.dpcLatency);
    device.SendIn(Bytes(256 * 3, 2));
    std::vector<int64_t> times;
    auto reader = Timed(in_, kIn, 256, &times);
    reader->onComplete = [&times](UsbTransfer& transfer) {
      times.push_back(sim::clock::Now());
      if (times.size() < 3) transfer.Send();
    };
    reader->Send();
    sim::clock::AdvanceMs(10);
    EXPECT_EQ(times, c.completions);
    reader.reset();
    Unplug();
  }
}

TEST_F(UsbTimingTest, ATransferSentDuringAFrameWaitsForTheNext) {
  ScriptedDevice& device = StartTimed(BusSpeed::Full);
  device.SendIn(Bytes(10, 3));
  sim::clock::Advance(kMs / 2);
  std::vector<int64_t> times;
  auto transfer = Timed(in_, kIn, 256, &times);
  transfer->Send();
  sim::clock::AdvanceMs(5);
  ASSERT_EQ(times.size(), 1u);
  EXPECT_EQ(times[0], 2 * kMs) << "sent at 0.5 ms: moves in the frame from 1 ms, completes at its end";
}

// A device with nothing to send NAKs: its transfer stays and takes no
// frame, and data arriving later move in the next frame.
TEST_F(UsbTimingTest, ANakingDeviceHoldsItsTransferUntilItHasData) {
  ScriptedDevice& device = StartTimed(BusSpeed::Full);
  std::vector<int64_t> times;
  auto transfer = Timed(in_, kIn, 256, &times);
  transfer->Send();
  sim::clock::AdvanceMs(100);
  EXPECT_TRUE(times.empty());
  EXPECT_EQ(timing_->FramesUsed(), 0u);
  sim::clock::Advance(kMs / 4);
  device.SendIn(Bytes(7, 4));
  sim::clock::AdvanceMs(5);
  ASSERT_EQ(times.size(), 1u);
  EXPECT_EQ(times[0], 102 * kMs);
  EXPECT_EQ(transfer->Moved(), 7u);
}

// A paced device: 64,000 bytes/s in is one 64-byte packet a millisecond,
// however large the transfers; an OUT buffer drained at 25,600 bytes/s
// takes a 256-byte transfer every 10 ms once it is full.
TEST_F(UsbTimingTest, APacedDeviceSetsTheRate) {
  struct Case {
    const char* name;
    Pace pace;
    bool in;
    uint64_t atLeast, atMost;  // bytes moved in the first second
  } const cases[] = {
      {"in at 64,000 bytes/s", {64000, 0, 4096}, true, 63000, 64100},
      {"out at 25,600 bytes/s", {0, 25600, 512}, false, 25000, 26400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Reset();
    Plug<PacedDevice>(c.pace, [](uint64_t offset) { return static_cast<uint8_t>(offset); });
    auto& device = static_cast<PacedDevice&>(*model_);
    device.AnswerWith(std::make_shared<FrameTiming>(TimingSettings{BusSpeed::Full, 0}));
    NTSTATUS status;
    ExFreePool(function().SelectFirstConfiguration(&status));
    if (c.in) device.Produce(1 << 20);
    uint64_t moved = 0;
    bool wrong = false;
    auto transfer = std::make_unique<UsbTransfer>(function(), bus().PipeHandle(c.in ? layouts::kBulkIn : layouts::kBulkOut), c.in ? kIn : 0, 256);
    transfer->onComplete = [&](UsbTransfer& t) {
      if (c.in) {
        for (ULONG i = 0; i < t.Moved(); ++i) wrong |= t.Buffer()[i] != static_cast<uint8_t>(moved + i);
      }
      moved += t.Moved();
      if (sim::clock::Now() < 1000 * kMs) t.Send();
    };
    transfer->Send();
    sim::clock::AdvanceMs(1000);
    uint64_t inOneSecond = moved;
    for (int ms = 0; ms < 100 && transfer->Outstanding(); ++ms) sim::clock::AdvanceMs(1);
    EXPECT_FALSE(wrong) << "the device's stream came out of order";
    EXPECT_GE(inOneSecond, c.atLeast);
    EXPECT_LE(inOneSecond, c.atMost);
    EXPECT_EQ(c.in ? device.Sent() : device.Taken(), moved);
    transfer.reset();
    Unplug();
  }
}

// However many URBs a long run sends, the bus keeps only the latest.
TEST_F(UsbTimingTest, TheUrbLogKeepsOnlyTheLatestOfALongRun) {
  Start<ScriptedDevice>().AnswerInline();  // each transfer done inside IofCallDriver
  auto transfer = std::make_unique<UsbTransfer>(function(), out_, 0, 1);
  for (int i = 0; i < 5000; ++i) transfer->Send();
  std::vector<UrbSeen> urbs = bus().Urbs();
  EXPECT_EQ(urbs.size(), 4096u);
  EXPECT_EQ(urbs.back().function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
}
