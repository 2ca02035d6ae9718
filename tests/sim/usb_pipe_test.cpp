// What ends transfers other than the device: aborting a pipe, cancelling a
// queued transfer (IoCancelIrp and the cancel routine's exchange), the
// device leaving, requests the bus refuses, the bus going away with
// transfers still queued, and pipes halted by a failure until reset.
#include "support/usb_test.h"

#include "sim/io/io.h"
#include "sim/io/request.h"
#include "sim/ke/clock.h"
#include "sim/ke/ke.h"
#include "sim/usb/devices/scripted.h"

#include <memory>
#include <string>
#include <vector>

using namespace sim::usb;
using test::UsbTransfer;

namespace {

constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

// An abort (or another pipe request) sent the asynchronous way, with the
// driver's own IRP, from any IRQL up to DISPATCH_LEVEL; its completion is
// noted in `events`.
class AsyncAbort {
 public:
  AsyncAbort(PDEVICE_OBJECT lower, USBD_PIPE_HANDLE pipe, std::vector<std::string>& events,
             USHORT function = URB_FUNCTION_ABORT_PIPE)
      : lower_(lower),
        urb_(test::AbortRequest(pipe)),
        events_(events),
        irp_(IoAllocateIrp(static_cast<CCHAR>(lower->StackSize + 1), FALSE)) {
    urb_.UrbHeader.Function = function;
  }
  ~AsyncAbort() { IoFreeIrp(irp_); }

  NTSTATUS Send() {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = &urb_;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    IoSetCompletionRoutine(irp_, Completion, this, TRUE, TRUE, TRUE);
    return IofCallDriver(lower_, irp_);
  }
  NTSTATUS Status() const { return status_; }

 private:
  static NTSTATUS NTAPI Completion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto self = static_cast<AsyncAbort*>(context);
    self->status_ = irp->IoStatus.Status;
    self->events_.push_back("abort completed");
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  PDEVICE_OBJECT lower_;
  URB urb_;
  std::vector<std::string>& events_;
  PIRP irp_;
  NTSTATUS status_ = STATUS_PENDING;
};

}  // namespace

class UsbPipeTest : public UsbTest {
 protected:
  std::unique_ptr<UsbTransfer> Transfer(USBD_PIPE_HANDLE pipe, ULONG flags, ULONG length) {
    return std::make_unique<UsbTransfer>(function(), pipe, flags, length);
  }

  static void ExpectCancelled(const UsbTransfer& transfer, const std::string& what) {
    EXPECT_EQ(transfer.Completions(), 1) << what;
    EXPECT_EQ(transfer.Status(), STATUS_CANCELLED) << what;
    EXPECT_EQ(transfer.UrbStatus(), USBD_STATUS_CANCELED) << what;
    EXPECT_EQ(transfer.Moved(), 0u) << what;
  }
};

TEST_F(UsbPipeTest, AbortCompletesEveryTransferQueuedOnThePipeAndNothingElse) {
  ScriptedDevice& device = Start<ScriptedDevice>();
  device.AnswerInline();
  device.HoldOut();
  auto first = Transfer(in_, kIn, 64);
  auto second = Transfer(in_, kIn, 64);
  auto writer = Transfer(out_, 0, 8);
  EXPECT_EQ(first->Send(), STATUS_PENDING);
  EXPECT_EQ(second->Send(), STATUS_PENDING);
  EXPECT_EQ(writer->Send(), STATUS_PENDING);
  ASSERT_EQ(bus().Queued(layouts::kBulkIn), 2u);

  URB abort = test::AbortRequest(in_);
  test::UsbFunction::SyncResult result = function().SubmitSync(&abort);
  EXPECT_EQ(result.status, STATUS_SUCCESS) << "the abort itself succeeds";
  EXPECT_EQ(abort.UrbHeader.Status, USBD_STATUS_SUCCESS);
  ExpectCancelled(*first, "first IN transfer");
  ExpectCancelled(*second, "second IN transfer");
  EXPECT_EQ(first->CompletionIrql(), DISPATCH_LEVEL);
  EXPECT_EQ(bus().Queued(layouts::kBulkIn), 0u);
  EXPECT_EQ(writer->Completions(), 0) << "the OUT pipe is not aborted";

  device.SendIn({1, 2, 3});
  EXPECT_EQ(device.InWaiting(), 3u) << "the pipe still works, but no transfer waits";
  auto third = Transfer(in_, kIn, 64);
  EXPECT_EQ(third->Send(), STATUS_SUCCESS);
  EXPECT_EQ(third->Moved(), 3u);

  URB unknown = test::AbortRequest(reinterpret_cast<USBD_PIPE_HANDLE>(0x1234));
  EXPECT_EQ(function().SubmitSync(&unknown).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(unknown.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
  device.ReleaseOut();
  EXPECT_EQ(writer->Completions(), 1);
}

TEST_F(UsbPipeTest, AnAbortSentFromATransfersCompletionWaitsForThatCompletionToReturn) {
  ScriptedDevice& device = Start<ScriptedDevice>();
  device.AnswerInline();
  std::vector<std::string> events;
  AsyncAbort abort(function().Lower(), in_, events);
  auto first = Transfer(in_, kIn, 64);
  auto second = Transfer(in_, kIn, 64);
  NTSTATUS abortReturned = 0;
  first->onComplete = [&](UsbTransfer&) {
    abortReturned = abort.Send();
    events.push_back("first's completion returns");
  };
  second->onComplete = [&](UsbTransfer&) { events.push_back("second cancelled"); };
  first->Send();
  second->Send();

  device.SendIn({9});
  EXPECT_EQ(abortReturned, STATUS_PENDING) << "the first transfer's completion is still running";
  EXPECT_EQ(events, (std::vector<std::string>{"second cancelled", "first's completion returns", "abort completed"}));
  EXPECT_EQ(abort.Status(), STATUS_SUCCESS);
  EXPECT_EQ(first->Status(), STATUS_SUCCESS);
  ExpectCancelled(*second, "the transfer queued behind");
}

TEST_F(UsbPipeTest, CancellingAQueuedTransferCompletesItAloneAsCancelled) {
  for (Timing timing : {Timing::IdealisedInline, Timing::Realistic}) {
    ScriptedDevice& device = Start<ScriptedDevice>();
    if (timing == Timing::Realistic) device.AnswerLater(1);
    if (timing == Timing::IdealisedInline) device.AnswerInline();
    std::string when = timing == Timing::IdealisedInline ? "idealised inline" : "realistic";
    auto first = Transfer(in_, kIn, 64);
    auto second = Transfer(in_, kIn, 64);
    EXPECT_EQ(first->Send(), STATUS_PENDING);
    EXPECT_EQ(second->Send(), STATUS_PENDING);

    EXPECT_TRUE(first->Cancel()) << when << ": a queued transfer has a cancel routine";
    if (timing == Timing::Realistic) {
      EXPECT_EQ(first->Completions(), 0) << when << ": a cancel completes from the bus's DPC, after IoCancelIrp";
      sim::clock::Settle();
    }
    ExpectCancelled(*first, when);
    EXPECT_EQ(first->CompletionIrql(), DISPATCH_LEVEL) << when;
    EXPECT_FALSE(first->Cancel()) << when << ": a second cancel finds no cancel routine";
    EXPECT_EQ(second->Completions(), 0) << when;
    EXPECT_EQ(bus().Queued(layouts::kBulkIn), 1u) << when;

    device.SendIn({4, 5});
    sim::clock::AdvanceMs(1);
    EXPECT_EQ(second->Completions(), 1) << when << ": the data go to the transfer still queued";
    EXPECT_EQ(second->Received(), (Bytes{4, 5})) << when;
  }
}

TEST_F(UsbPipeTest, ATransferCancelledBeforeItArrivesIsCompletedAsCancelledAtOnce) {
  Start<ScriptedDevice>();
  auto transfer = Transfer(in_, kIn, 64);
  EXPECT_FALSE(transfer->Cancel()) << "not yet sent: no cancel routine to call";
  EXPECT_EQ(transfer->Send(), STATUS_PENDING);
  ExpectCancelled(*transfer, "a transfer whose Cancel flag was set");
  EXPECT_EQ(bus().Queued(layouts::kBulkIn), 0u);
}

TEST_F(UsbPipeTest, UnpluggingFailsWaitingTransfersAndEveryLaterOne) {
  ScriptedDevice& device = Start<ScriptedDevice>();
  auto reader = Transfer(in_, kIn, 64);
  EXPECT_EQ(reader->Send(), STATUS_PENDING);
  device.Unplug();
  EXPECT_EQ(reader->Completions(), 1);
  EXPECT_EQ(reader->Status(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(reader->UrbStatus(), USBD_STATUS_DEVICE_GONE);

  auto writer = Transfer(out_, 0, 8);
  EXPECT_EQ(writer->Send(), STATUS_DEVICE_NOT_CONNECTED) << "refused at once";
  EXPECT_EQ(writer->UrbStatus(), USBD_STATUS_DEVICE_GONE);
  UCHAR status[2];
  URB get = test::StatusRequest(status);
  test::UsbFunction::SyncResult result = function().SubmitSync(&get);
  EXPECT_EQ(result.status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(result.waited) << "a control request to a device that is gone fails inside IofCallDriver";
}

// A data transfer that fails halts its pipe: every transfer on it after that,
// queued or new, fails with USBD_STATUS_ENDPOINT_HALTED without reaching the
// device, and the other pipe goes on; the pipe works again once reset with
// URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL at PASSIVE_LEVEL. Aborts and
// cancels halt nothing.
TEST_F(UsbPipeTest, AFailedTransferHaltsItsPipeUntilThePipeIsReset) {
  ScriptedDevice& device = Start<ScriptedDevice>();
  device.AnswerInline();  // idealised: each step's completions come at once
  auto cancelled = Transfer(in_, kIn, 64);
  EXPECT_EQ(cancelled->Send(), STATUS_PENDING);
  EXPECT_TRUE(cancelled->Cancel());
  ExpectCancelled(*cancelled, "a cancelled transfer");
  auto aborted = Transfer(in_, kIn, 64);
  EXPECT_EQ(aborted->Send(), STATUS_PENDING);
  URB abort = test::AbortRequest(in_);
  EXPECT_EQ(function().SubmitSync(&abort).status, STATUS_SUCCESS);
  ExpectCancelled(*aborted, "an aborted transfer");

  auto failing = Transfer(in_, kIn, 64);
  auto queued = Transfer(in_, kIn, 64);
  EXPECT_EQ(failing->Send(), STATUS_PENDING) << "a cancel or an abort does not halt the pipe";
  EXPECT_EQ(queued->Send(), STATUS_PENDING);
  device.FailNextTransfer(layouts::kBulkIn, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  EXPECT_EQ(failing->UrbStatus(), USBD_STATUS_STALL_PID) << "the device's own failure";
  EXPECT_EQ(queued->Completions(), 1) << "the transfer queued behind it fails too";
  EXPECT_EQ(queued->Status(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(queued->UrbStatus(), USBD_STATUS_ENDPOINT_HALTED);

  device.SendIn({1, 2, 3});
  for (int i = 0; i < 3; ++i) {
    auto later = Transfer(in_, kIn, 64);
    EXPECT_EQ(later->Send(), STATUS_UNSUCCESSFUL) << "transfer " << i << " after the halt";
    EXPECT_EQ(later->UrbStatus(), USBD_STATUS_ENDPOINT_HALTED) << "transfer " << i;
    EXPECT_EQ(later->Moved(), 0u) << "transfer " << i;
  }
  EXPECT_EQ(device.InWaiting(), 3u) << "nothing reached the device";
  auto writer = Transfer(out_, 0, 8);
  EXPECT_EQ(writer->Send(), STATUS_SUCCESS) << "the other pipe is not halted";

  URB unknown = test::ResetRequest(reinterpret_cast<USBD_PIPE_HANDLE>(0x1234));
  EXPECT_EQ(function().SubmitSync(&unknown).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(unknown.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
  URB reset = test::ResetRequest(in_);
  EXPECT_EQ(function().SubmitSync(&reset).status, STATUS_SUCCESS);
  EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_SUCCESS);
  auto recovered = Transfer(in_, kIn, 64);
  EXPECT_EQ(recovered->Send(), STATUS_SUCCESS);
  EXPECT_EQ(recovered->Received(), Bytes({1, 2, 3}));
  EXPECT_EQ(bus().Urbs(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL).size(), 2u);
}

TEST_F(UsbPipeTest, APipeResetSentAtDispatchLevelIsReported) {
  Start<ScriptedDevice>();
  std::vector<std::string> events;
  AsyncAbort reset(function().Lower(), in_, events, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
  KIRQL irql = sim::ke::RaiseIrql(DISPATCH_LEVEL, "test");
  reset.Send();
  sim::ke::LowerIrql(irql, "test");
  ExpectOnlyFinding(sim::verifier::Rule::IrqlTooHigh);
}

TEST_F(UsbPipeTest, MalformedTransferRequestsAreRefused) {
  Start<ScriptedDevice>();
  UCHAR buffer[8];
  struct Case {
    const char* what;
    URB urb;
    NTSTATUS status;
    USBD_STATUS usbd;
  } cases[] = {
      {"no buffer for its length", test::BulkRequest(out_, 0, nullptr, 8), STATUS_INVALID_PARAMETER,
       USBD_STATUS_INVALID_PARAMETER},
      {"an unknown pipe handle", test::BulkRequest(reinterpret_cast<USBD_PIPE_HANDLE>(0x77), 0, buffer, 8),
       STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE},
      {"a null pipe handle", test::BulkRequest(nullptr, 0, buffer, 8), STATUS_INVALID_PARAMETER,
       USBD_STATUS_INVALID_PIPE_HANDLE},
  };
  for (Case& c : cases) {
    EXPECT_EQ(function().SubmitSync(&c.urb).status, c.status) << c.what;
    EXPECT_EQ(c.urb.UrbHeader.Status, c.usbd) << c.what;
  }
  URB wrongLength = test::BulkRequest(out_, 0, buffer, 8);
  wrongLength.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) - 4;
  EXPECT_EQ(function().SubmitSync(&wrongLength).status, STATUS_INVALID_PARAMETER) << "a URB of the wrong size";

  URB withMdl = test::BulkRequest(out_, 0, buffer, 8);
  withMdl.UrbBulkOrInterruptTransfer.TransferBufferMDL = reinterpret_cast<PMDL>(buffer);
  EXPECT_EQ(function().SubmitSync(&withMdl).status, STATUS_NOT_SUPPORTED);
  ExpectOnlyFinding(sim::verifier::Rule::UnsupportedCall);
}

TEST_F(UsbPipeTest, ABusRemovedWithTransfersQueuedReportsThem) {
  Start<ScriptedDevice>();
  auto reader = Transfer(in_, kIn, 64);
  EXPECT_EQ(reader->Send(), STATUS_PENDING);
  PIRP irp = reader->Irp();
  Unplug();
  ExpectOnlyFinding(sim::verifier::Rule::IrpLeaked);
  EXPECT_EQ(irp->CancelRoutine, nullptr) << "no cancel routine left pointing into the removed bus";
  sim::io::FreeIrp(irp);  // the leak was reported; release it for the end-of-test check
}

TEST_F(UsbPipeTest, ADeviceSwitchedToInlineAnswersWhatWaitsAtOnce) {
  ScriptedDevice& device = Start<ScriptedDevice>();
  device.AnswerLater(5);
  auto reader = Transfer(in_, kIn, 64);
  EXPECT_EQ(reader->Send(), STATUS_PENDING);
  device.SendIn({7});
  EXPECT_EQ(reader->Completions(), 0) << "deferred: nothing before 5 ms";
  device.AnswerInline();
  EXPECT_EQ(reader->Completions(), 1) << "inline: the waiting transfer is answered by the switch";
  EXPECT_EQ(reader->Received(), (Bytes{7}));
  sim::clock::AdvanceMs(5);  // the deferred run finds nothing left
  EXPECT_EQ(reader->Completions(), 1);
}

// --- The realistic stack: what Windows' USB stack does that a kinder bus would not

TEST_F(UsbPipeTest, RealisticTransfersPendAndCompleteFromTheBussDpcNeverInsideTheCall) {
  ScriptedDevice& device = Start<ScriptedDevice>();
  ASSERT_EQ(device.GetTiming(), Timing::Realistic) << "the realistic stack is the default";
  device.SendIn({1, 2, 3});
  auto reader = Transfer(in_, kIn, 64);
  auto writer = Transfer(out_, 0, 8);
  EXPECT_EQ(reader->Send(), STATUS_PENDING) << "data are waiting, yet the transfer pends";
  EXPECT_EQ(writer->Send(), STATUS_PENDING) << "the device takes OUT data at once, yet the transfer pends";
  EXPECT_EQ(reader->Completions() + writer->Completions(), 0) << "nothing completes inside IofCallDriver";
  sim::clock::Settle();
  EXPECT_EQ(reader->Completions(), 1);
  EXPECT_EQ(reader->Received(), (Bytes{1, 2, 3}));
  EXPECT_EQ(writer->Completions(), 1);
  EXPECT_EQ(reader->CompletionIrql(), DISPATCH_LEVEL) << "completed from a DPC";
}

TEST_F(UsbPipeTest, ACancelledTransferCompletesAfterIoCancelIrpReturnsWithTheBytesMovedSoFar) {
  ScriptedDevice& device = Start<ScriptedDevice>();
  device.HoldOut();
  auto writer = Transfer(out_, 0, 200);
  for (size_t i = 0; i < 200; ++i) writer->Buffer()[i] = static_cast<uint8_t>(i);
  auto behind = Transfer(out_, 0, 8);
  EXPECT_EQ(writer->Send(), STATUS_PENDING);
  EXPECT_EQ(behind->Send(), STATUS_PENDING);
  device.TakeOutPart(128);  // two packets of 64 have gone out

  EXPECT_TRUE(writer->Cancel());
  EXPECT_EQ(writer->Completions(), 0) << "IoCancelIrp returned with the transfer not yet completed";
  sim::clock::Settle();
  EXPECT_EQ(writer->Completions(), 1);
  EXPECT_EQ(writer->Status(), STATUS_CANCELLED);
  EXPECT_EQ(writer->UrbStatus(), USBD_STATUS_CANCELED);
  EXPECT_EQ(writer->Moved(), 128u) << "a partial count: the bytes the device took before the cancel";
  EXPECT_EQ(device.OutBytes(), Bytes(writer->Buffer().begin(), writer->Buffer().begin() + 128));
  EXPECT_EQ(writer->CompletionIrql(), DISPATCH_LEVEL);
  EXPECT_EQ(behind->Completions(), 0) << "the transfer behind it is not touched";
  device.ReleaseOut();
  EXPECT_EQ(behind->Completions(), 1);
  EXPECT_EQ(behind->Moved(), 8u);
}

TEST_F(UsbPipeTest, ARealisticAbortCompletesItsTransfersThenItselfFromTheBussDpc) {
  ScriptedDevice& device = Start<ScriptedDevice>();
  device.HoldOut();
  std::vector<std::string> events;
  auto first = Transfer(out_, 0, 64);
  auto second = Transfer(out_, 0, 64);
  first->onComplete = [&](UsbTransfer&) { events.push_back("first ended"); };
  second->onComplete = [&](UsbTransfer&) { events.push_back("second ended"); };
  first->Send();
  second->Send();
  device.TakeOutPart(64);

  AsyncAbort abort(function().Lower(), out_, events);
  EXPECT_EQ(abort.Send(), STATUS_PENDING) << "an abort pends, as its transfers do";
  EXPECT_TRUE(events.empty()) << "nothing completes inside the abort's IofCallDriver";
  sim::clock::Settle();
  EXPECT_EQ(events, (std::vector<std::string>{"first ended", "second ended", "abort completed"}));
  EXPECT_EQ(abort.Status(), STATUS_SUCCESS);
  EXPECT_EQ(first->Status(), STATUS_CANCELLED);
  EXPECT_EQ(first->Moved(), 64u) << "the head transfer had moved a packet";
  EXPECT_EQ(second->Status(), STATUS_CANCELLED);
  EXPECT_EQ(second->Moved(), 0u);

  // With nothing outstanding the abort still completes from the DPC.
  events.clear();
  AsyncAbort idle(function().Lower(), out_, events);
  EXPECT_EQ(idle.Send(), STATUS_PENDING);
  sim::clock::Settle();
  EXPECT_EQ(events, (std::vector<std::string>{"abort completed"}));
}

TEST_F(UsbPipeTest, SurpriseRemovalOfThePdoEndsOutstandingTransfersAndFailsLaterRequests) {
  Start<ScriptedDevice>();
  auto reader = Transfer(in_, kIn, 64);
  EXPECT_EQ(reader->Send(), STATUS_PENDING);
  sim::io::Request removal(bus().Pdo(), IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL);
  EXPECT_EQ(removal.Send(), STATUS_SUCCESS);
  EXPECT_EQ(reader->Completions(), 1) << "the outstanding transfer ended";
  EXPECT_EQ(reader->Status(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(reader->UrbStatus(), USBD_STATUS_DEVICE_GONE);

  auto writer = Transfer(out_, 0, 8);
  EXPECT_EQ(writer->Send(), STATUS_DEVICE_NOT_CONNECTED) << "refused at once";
  EXPECT_EQ(writer->UrbStatus(), USBD_STATUS_DEVICE_GONE);
  UCHAR status[2];
  URB get = test::StatusRequest(status);
  test::UsbFunction::SyncResult probe = function().SubmitSync(&get);
  EXPECT_EQ(probe.status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(probe.waited);
  URB abort = test::AbortRequest(in_);
  EXPECT_EQ(function().SubmitSync(&abort).status, STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(UsbPipeTest, ATransferLongerThanThePipesMaximumTransferSizeIsRefused) {
  ScriptedDevice& device = Plug<ScriptedDevice>();
  NTSTATUS status;
  PURB select = function().SelectFirstConfiguration(&status, 128);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ExFreePool(select);
  USBD_PIPE_HANDLE out = bus().PipeHandle(device.BulkOut());
  struct Case {
    ULONG length;
    NTSTATUS returned;
  } cases[] = {{128, STATUS_PENDING}, {129, STATUS_INVALID_PARAMETER}, {4096, STATUS_INVALID_PARAMETER}};
  for (const Case& c : cases) {
    auto writer = Transfer(out, 0, c.length);
    EXPECT_EQ(writer->Send(), c.returned) << c.length << " bytes";
    if (c.returned != STATUS_PENDING) {
      EXPECT_EQ(writer->Completions(), 1) << "refused inside IofCallDriver";
      EXPECT_EQ(writer->UrbStatus(), USBD_STATUS_INVALID_PARAMETER);
      EXPECT_EQ(writer->Moved(), 0u);
    }
    sim::clock::Settle();
  }
  EXPECT_EQ(device.OutBytes().size(), 128u) << "only the transfer within the limit reached the device";
}
