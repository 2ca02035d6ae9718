// Bulk transfers on the simulated bus, sent with the driver's own IRP as a
// reader or writer sends them: IN data in the device's chunks, short and
// overrunning transfers, a reader resubmitting from its completion routine,
// OUT acceptance, the loopback device; each answered inside IofCallDriver
// or later, as the device's timing says.
#include "support/usb_test.h"

#include "sim/ke/clock.h"
#include "sim/ke/ke.h"
#include "sim/usb/devices/loopback.h"
#include "sim/usb/devices/scripted.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace sim::usb;
using test::UsbTransfer;

namespace {

constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

// Bytes numbered from `from`: a stream whose every byte says where it was.
Bytes Stream(size_t from, size_t count) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>((from + i) * 7);
  return bytes;
}

const char* TimingName(Timing timing) { return timing == Timing::IdealisedInline ? "IdealisedInline" : "Realistic"; }

}  // namespace

class UsbBulkTest : public UsbTest, public ::testing::WithParamInterface<Timing> {
 protected:
  template <class Model = ScriptedDevice>
  Model& StartTimed() {
    Model& device = Start<Model>();
    if (GetParam() == Timing::Realistic) device.AnswerLater(1);
    if (GetParam() == Timing::IdealisedInline) device.AnswerInline();
    return device;
  }

  std::unique_ptr<UsbTransfer> Transfer(USBD_PIPE_HANDLE pipe, ULONG flags, ULONG length) {
    return std::make_unique<UsbTransfer>(function(), pipe, flags, length);
  }

  // Sends a transfer the device can answer at once; checks that the answer
  // comes inside IofCallDriver or only once virtual time has moved.
  NTSTATUS SendAnswerable(UsbTransfer& transfer) {
    int before = transfer.Completions();
    NTSTATUS returned = transfer.Send();
    if (GetParam() == Timing::IdealisedInline) {
      EXPECT_NE(returned, STATUS_PENDING) << "an answerable transfer completes inside IofCallDriver";
    } else {
      EXPECT_EQ(returned, STATUS_PENDING);
      EXPECT_EQ(transfer.Completions(), before) << "nothing before the device's latency";
      Settle();
    }
    EXPECT_EQ(transfer.Completions(), before + 1);
    EXPECT_EQ(transfer.CompletionIrql(), DISPATCH_LEVEL) << "USB completions run at DISPATCH_LEVEL";
    return returned;
  }

  // Lets a realistic device answer everything it can, one latency per
  // transfer (virtual time only).
  void Settle() {
    if (GetParam() != Timing::Realistic) return;
    sim::clock::AdvanceMs(1);
    for (int i = 0; i < 1000 && sim::clock::NextDue(); ++i) sim::clock::AdvanceMs(1);
  }
};

INSTANTIATE_TEST_SUITE_P(Usb, UsbBulkTest, ::testing::Values(Timing::IdealisedInline, Timing::Realistic),
                         [](const ::testing::TestParamInfo<Timing>& info) { return TimingName(info.param); });

TEST_P(UsbBulkTest, InDataArriveInTheDevicesChunksUpToEachTransfersLength) {
  struct Answer {
    ULONG moved;
    NTSTATUS status;
    USBD_STATUS usbd;
    size_t from;  // position in the stream of the first byte received
  };
  struct Case {
    const char* what;
    ULONG length;
    bool shortOk;
    std::vector<size_t> chunks;  // sent before the first transfer
    std::vector<Answer> answers;
  };
  const NTSTATUS ok = STATUS_SUCCESS;
  std::vector<Case> cases = {
      {"a short chunk ends the transfer", 256, true, {10}, {{10, ok, USBD_STATUS_SUCCESS, 0}}},
      {"a long chunk goes on in the next transfer",
       256,
       true,
       {300},
       {{256, ok, USBD_STATUS_SUCCESS, 0}, {44, ok, USBD_STATUS_SUCCESS, 256}}},
      {"chunks are not merged",
       256,
       true,
       {10, 20},
       {{10, ok, USBD_STATUS_SUCCESS, 0}, {20, ok, USBD_STATUS_SUCCESS, 10}}},
      {"an empty chunk is a zero-length packet", 256, true, {0}, {{0, ok, USBD_STATUS_SUCCESS, 0}}},
      {"a chunk that fills the transfer exactly", 128, true, {128}, {{128, ok, USBD_STATUS_SUCCESS, 0}}},
      {"a short transfer without USBD_SHORT_TRANSFER_OK fails",
       64,
       false,
       {10},
       {{10, STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER, 0}}},
      {"a full transfer without USBD_SHORT_TRANSFER_OK", 64, false, {64}, {{64, ok, USBD_STATUS_SUCCESS, 0}}},
      // Packets of 64: the second (bytes 64..127) straddles the end of a
      // 100-byte buffer and is lost; bytes 128..199 wait.
      {"a packet straddling the buffer's end overruns it",
       100,
       true,
       {200},
       {{100, STATUS_UNSUCCESSFUL, USBD_STATUS_BUFFER_OVERRUN, 0}, {72, ok, USBD_STATUS_SUCCESS, 128}}},
  };
  for (const Case& c : cases) {
    ScriptedDevice& device = StartTimed();
    size_t sent = 0;
    for (size_t chunk : c.chunks) {
      device.SendIn(Stream(sent, chunk));
      sent += chunk;
    }
    for (size_t i = 0; i < c.answers.size(); ++i) {
      const Answer& expected = c.answers[i];
      auto transfer = Transfer(in_, (c.shortOk ? USBD_SHORT_TRANSFER_OK : 0) | USBD_TRANSFER_DIRECTION_IN, c.length);
      SendAnswerable(*transfer);
      std::string where = std::string(c.what) + ", transfer " + std::to_string(i + 1);
      EXPECT_EQ(transfer->Status(), expected.status) << where;
      EXPECT_EQ(transfer->UrbStatus(), expected.usbd) << where;
      EXPECT_EQ(transfer->Moved(), expected.moved) << where;
      EXPECT_EQ(transfer->Received(), Stream(expected.from, expected.moved)) << where;
      if (expected.status != ok) {
        // The failure halted the pipe; the next transfer needs it reset.
        URB reset = test::ResetRequest(in_);
        EXPECT_EQ(function().SubmitSync(&reset).status, STATUS_SUCCESS) << where;
      }
    }
    EXPECT_EQ(device.InWaiting(), 0u) << c.what << ": every byte was taken or lost";
  }
}

TEST_P(UsbBulkTest, DataForAWaitingTransferCompleteItWithTheCountInTheUrb) {
  ScriptedDevice& device = StartTimed();
  auto reader = Transfer(in_, kIn, 256);
  EXPECT_EQ(reader->Send(), STATUS_PENDING) << "nothing to receive yet";
  Settle();
  EXPECT_EQ(bus().Queued(layouts::kBulkIn), 1u);
  EXPECT_EQ(reader->Completions(), 0);

  device.SendIn(Stream(0, 5));
  if (GetParam() == Timing::Realistic) {
    EXPECT_EQ(reader->Completions(), 0) << "a deferred device answers after its latency";
    Settle();
  }
  EXPECT_EQ(reader->Completions(), 1);
  EXPECT_EQ(reader->Status(), STATUS_SUCCESS);
  EXPECT_EQ(reader->Moved(), 5u);
  EXPECT_EQ(reader->Received(), Stream(0, 5));
  EXPECT_EQ(reader->CompletionIrql(), DISPATCH_LEVEL);
  EXPECT_EQ(bus().Queued(layouts::kBulkIn), 0u);

  std::vector<UrbSeen> seen = bus().Urbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].pipe, in_);
  EXPECT_EQ(seen[0].endpoint, layouts::kBulkIn);
  EXPECT_EQ(seen[0].length, 256u);
  EXPECT_EQ(seen[0].flags, kIn);
}

TEST_P(UsbBulkTest, AReaderResubmittingFromItsCompletionGetsEveryChunkInOrder) {
  ScriptedDevice& device = StartTimed();
  Bytes received;
  auto reader = Transfer(in_, kIn, 64);
  reader->onComplete = [&received](UsbTransfer& transfer) {
    Bytes chunk = transfer.Received();
    received.insert(received.end(), chunk.begin(), chunk.end());
    if (transfer.Status() == STATUS_SUCCESS) transfer.Send();
  };
  // Forty chunks before the reader starts, some longer than a transfer,
  // then more while it runs.
  size_t sent = 0;
  for (int i = 0; i < 40; ++i) {
    size_t length = 1 + (i * 37) % 150;
    device.SendIn(Stream(sent, length));
    sent += length;
  }
  reader->Send();
  Settle();
  for (int i = 0; i < 10; ++i) {
    device.SendIn(Stream(sent, 30));
    sent += 30;
    Settle();
  }
  EXPECT_EQ(received, Stream(0, sent));
  EXPECT_EQ(device.InWaiting(), 0u);
  EXPECT_TRUE(reader->Outstanding()) << "the last resubmission waits for data";
  for (NTSTATUS resubmitted : reader->Resubmissions()) {
    ASSERT_EQ(resubmitted, STATUS_PENDING)
        << "a transfer sent from a completion the bus is running is answered after that completion returns";
  }
  EXPECT_TRUE(reader->Cancel());
  Settle();
  EXPECT_EQ(reader->Status(), STATUS_CANCELLED);
  EXPECT_FALSE(reader->Outstanding());
}

TEST_P(UsbBulkTest, OutTransfersTakeWhatTheDeviceAccepts) {
  struct Case {
    const char* what;
    std::function<void(ScriptedDevice&)> policy;
    ULONG length;
    ULONG accepted;
  };
  std::vector<Case> cases = {
      {"all", [](ScriptedDevice& d) { d.AcceptAllOut(); }, 25, 25},
      {"up to 10", [](ScriptedDevice& d) { d.AcceptOutUpTo(10); }, 25, 10},
      {"up to 40 of 25", [](ScriptedDevice& d) { d.AcceptOutUpTo(40); }, 25, 25},
      {"none", [](ScriptedDevice& d) { d.AcceptOutUpTo(0); }, 25, 0},
  };
  for (const Case& c : cases) {
    ScriptedDevice& device = StartTimed();
    c.policy(device);
    auto writer = Transfer(out_, 0, c.length);
    writer->Buffer() = Stream(0, c.length);
    SendAnswerable(*writer);
    EXPECT_EQ(writer->Status(), STATUS_SUCCESS) << c.what;
    EXPECT_EQ(writer->Moved(), c.accepted) << c.what;
    EXPECT_EQ(device.OutBytes(), Stream(0, c.accepted)) << c.what;
  }
}

TEST_P(UsbBulkTest, HeldOutTransfersWaitForTheirRelease) {
  ScriptedDevice& device = StartTimed();
  device.HoldOut();
  auto first = Transfer(out_, 0, 20);
  first->Buffer() = Stream(0, 20);
  EXPECT_EQ(first->Send(), STATUS_PENDING);
  Settle();
  EXPECT_EQ(bus().Queued(layouts::kBulkOut), 1u);
  EXPECT_EQ(first->Completions(), 0);

  device.ReleaseOut(7);
  Settle();
  EXPECT_EQ(first->Completions(), 1);
  EXPECT_EQ(first->Moved(), 7u);

  device.ReleaseOut();  // waits for the next transfer
  auto second = Transfer(out_, 0, 5);
  second->Buffer() = Stream(7, 5);
  SendAnswerable(*second);
  EXPECT_EQ(second->Moved(), 5u);
  EXPECT_EQ(device.OutBytes(), Stream(0, 12));
}

TEST_P(UsbBulkTest, TheDirectionIsThePipesWhateverTheFlagsSay) {
  ScriptedDevice& device = StartTimed();
  auto writer = Transfer(out_, USBD_TRANSFER_DIRECTION_IN, 4);
  SendAnswerable(*writer);
  EXPECT_EQ(writer->Moved(), 4u) << "sent out, as the pipe is an OUT pipe";
  EXPECT_EQ(writer->Flags() & USBD_TRANSFER_DIRECTION, static_cast<ULONG>(USBD_TRANSFER_DIRECTION_OUT));
  EXPECT_EQ(device.OutBytes().size(), 4u);
}

TEST_P(UsbBulkTest, AFailureScriptedForAPipeEndsItsNextTransfer) {
  ScriptedDevice& device = StartTimed();
  auto reader = Transfer(in_, kIn, 64);
  EXPECT_EQ(reader->Send(), STATUS_PENDING);
  device.FailNextTransfer(layouts::kBulkIn, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  Settle();
  EXPECT_EQ(reader->Completions(), 1) << "the waiting transfer fails";
  EXPECT_EQ(reader->Status(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(reader->UrbStatus(), USBD_STATUS_STALL_PID);
  EXPECT_EQ(reader->Moved(), 0u);

  device.FailNextTransfer(layouts::kBulkOut, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_XACT_ERROR);
  auto writer = Transfer(out_, 0, 8);
  SendAnswerable(*writer);
  EXPECT_EQ(writer->Status(), STATUS_DEVICE_DATA_ERROR) << "the next transfer to arrive fails";
  // The failure halted the pipe; once it is reset, the next transfer goes
  // through: only one failure was scripted.
  URB reset = test::ResetRequest(out_);
  EXPECT_EQ(function().SubmitSync(&reset).status, STATUS_SUCCESS);
  auto again = Transfer(out_, 0, 8);
  SendAnswerable(*again);
  EXPECT_EQ(again->Status(), STATUS_SUCCESS) << "only one";
}

TEST_P(UsbBulkTest, TheLoopbackDeviceSendsBackWhatItIsSent) {
  LoopbackDevice& device = StartTimed<LoopbackDevice>();
  auto reader = Transfer(in_, kIn, 256);
  EXPECT_EQ(reader->Send(), STATUS_PENDING);
  auto writer = Transfer(out_, 0, 11);
  writer->Buffer() = Stream(3, 11);
  SendAnswerable(*writer);
  EXPECT_EQ(writer->Moved(), 11u);
  EXPECT_EQ(reader->Completions(), 1) << "the echo reaches the waiting reader";
  EXPECT_EQ(reader->Received(), Stream(3, 11));
  EXPECT_EQ(device.OutBytes(), Stream(3, 11));
}
