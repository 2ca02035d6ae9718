// Event waits and purge: which events complete a wait, with what value,
// and what a purge cancels or discards.
#include "support/open_port_test.h"

#include "driver/control/events.h"
#include "sim/usb/devices/layouts.h"

using sim::io::ControlRequest;

class EventWaitTest : public OpenPortTest {
 protected:
  void ExpectReported(const ControlRequest& wait, ULONG events) {
    ASSERT_TRUE(wait.Completed());
    EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait.Information(), sizeof(ULONG));
    EXPECT_EQ(ReturnedUlong(wait), events);
  }
};

TEST_F(EventWaitTest, AHeldWaitCompletesAtTheFirstDataAndTheBitLeavesTheHistory) {
  SetWaitMask(SERIAL_EV_RXCHAR);
  NTSTATUS dispatched;
  auto wait = WaitOnMask(&dispatched);
  EXPECT_EQ(dispatched, STATUS_PENDING);
  EXPECT_FALSE(wait->Completed());
  Device().SendIn({1});
  ExpectReported(*wait, SERIAL_EV_RXCHAR);
  EXPECT_EQ(port_->EventHistory & SERIAL_EV_RXCHAR, 0u);
  EXPECT_EQ(port_->CurrentWaitIrp, nullptr);
}

TEST_F(EventWaitTest, EventsRecordedBeforeTheWaitCompleteItInsideTheRequest) {
  SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);
  Device().SendIn({1});
  RecordEvent(port_, SERIAL_EV_TXEMPTY);  // as a finished write records it
  NTSTATUS dispatched;
  auto wait = WaitOnMask(&dispatched);
  EXPECT_EQ(dispatched, STATUS_SUCCESS);
  EXPECT_FALSE(wait->Irp()->PendingReturned);
  ExpectReported(*wait, SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);
  EXPECT_EQ(port_->EventHistory, 0u);
}

TEST_F(EventWaitTest, BitsOutsideTheMaskStayUntilAMaskBringsThemIn) {
  SetWaitMask(SERIAL_EV_RXCHAR);
  RecordEvent(port_, SERIAL_EV_TXEMPTY);
  auto held = WaitOnMask();
  EXPECT_FALSE(held->Completed()) << "TXEMPTY is not watched";
  SetWaitMask(SERIAL_EV_TXEMPTY);
  ExpectReported(*held, 0);  // a mask change ends the held wait with nothing
  EXPECT_NE(port_->EventHistory & SERIAL_EV_TXEMPTY, 0u) << "a mask change reports nothing";
  auto wait = WaitOnMask();
  ExpectReported(*wait, SERIAL_EV_TXEMPTY);
}

TEST_F(EventWaitTest, AMaskChangeEndsTheHeldWaitWithNothingAndABadMaskChangesNothing) {
  SetWaitMask(SERIAL_EV_RXCHAR);
  auto wait = WaitOnMask();
  auto bad = SetWaitMask(0x2000);
  EXPECT_EQ(bad->Status(), STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(wait->Completed());
  auto get = Control(IOCTL_SERIAL_GET_WAIT_MASK, {}, sizeof(ULONG));
  EXPECT_EQ(ReturnedUlong(*get), static_cast<ULONG>(SERIAL_EV_RXCHAR));

  auto change = SetWaitMask(0x1FFF);
  EXPECT_EQ(change->Status(), STATUS_SUCCESS);
  EXPECT_EQ(change->Information(), 0u);
  ExpectReported(*wait, 0);
  EXPECT_EQ(port_->WaitMask, 0x1FFFu);
}

TEST_F(EventWaitTest, WaitsQueueBehindEachOtherAndCancelMovesTheNextUp) {
  SetWaitMask(SERIAL_EV_RXCHAR);
  auto first = WaitOnMask();
  auto second = WaitOnMask();
  auto third = WaitOnMask();
  Device().SendIn({1});
  ExpectReported(*first, SERIAL_EV_RXCHAR);
  EXPECT_FALSE(second->Completed()) << "one event completes one wait";
  EXPECT_EQ(port_->CurrentWaitIrp, second->Irp());

  EXPECT_TRUE(second->Cancel());
  EXPECT_EQ(second->Status(), STATUS_CANCELLED);
  EXPECT_EQ(second->Information(), 0u);
  EXPECT_EQ(port_->CurrentWaitIrp, third->Irp());
  Device().SendIn({2});
  ExpectReported(*third, SERIAL_EV_RXCHAR);
}

TEST_F(EventWaitTest, TransmitEmptyIsReportedWhenTheLastQueuedWriteEnds) {
  SetWaitMask(SERIAL_EV_TXEMPTY);
  auto wait = WaitOnMask();
  Device().HoldOut();
  auto first = Write(std::vector<uint8_t>(10, 1));
  auto second = Write(std::vector<uint8_t>(10, 2));
  Device().ReleaseOut();
  EXPECT_EQ(first->Status(), STATUS_SUCCESS);
  EXPECT_FALSE(wait->Completed()) << "a write is still queued";
  Device().ReleaseOut();
  EXPECT_EQ(second->Status(), STATUS_SUCCESS);
  ExpectReported(*wait, SERIAL_EV_TXEMPTY);
}

TEST_F(EventWaitTest, AReaderFailureIsReportedAsAnError) {
  SetWaitMask(SERIAL_EV_ERR);
  auto wait = WaitOnMask();
  Device().FailNextTransfer(sim::usb::layouts::kBulkIn, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  ExpectReported(*wait, SERIAL_EV_ERR);
}

TEST_F(EventWaitTest, AWaitWithoutRoomForItsResultIsRefusedBeforeItIsHeld) {
  SetWaitMask(SERIAL_EV_RXCHAR);
  Device().SendIn({1});
  auto tooShort = Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 2);
  EXPECT_EQ(tooShort->Status(), STATUS_BUFFER_TOO_SMALL);
  auto none = Control(IOCTL_SERIAL_WAIT_ON_MASK);
  EXPECT_EQ(none->Status(), STATUS_BUFFER_TOO_SMALL);
  EXPECT_NE(port_->EventHistory & SERIAL_EV_RXCHAR, 0u) << "no event was consumed";
}

TEST_F(EventWaitTest, CloseFlushesHeldWaitsAndTheReadersStopIsRemembered) {
  SetWaitMask(SERIAL_EV_TXEMPTY);
  auto wait = WaitOnMask();
  ASSERT_EQ(Close(), STATUS_SUCCESS);
  EXPECT_EQ(wait->Status(), STATUS_CANCELLED);
  EXPECT_NE(port_->EventHistory & SERIAL_EV_ERR, 0u);
  ASSERT_EQ(Open(), STATUS_SUCCESS);
  EXPECT_EQ(port_->EventHistory, 0u);
  EXPECT_EQ(port_->WaitMask, 0u);
}

// --- Purge ------------------------------------------------------------------------------------

TEST_F(EventWaitTest, PurgeAbortsWritesThenReadsAndClearsTheReceiveBufferLeavingWaitsAlone) {
  SetWaitMask(SERIAL_EV_BREAK);  // an event this port never has
  auto wait = WaitOnMask();
  auto pending = Read(10);
  Device().SendIn({1, 2, 3});  // into the pending read

  auto nothing = Purge(0);
  auto txClear = Purge(SERIAL_PURGE_TXCLEAR);
  EXPECT_EQ(nothing->Status(), STATUS_SUCCESS);
  EXPECT_EQ(txClear->Status(), STATUS_SUCCESS);
  EXPECT_FALSE(pending->Completed()) << "neither touches reads";

  Device().HoldOut();
  auto written = Write(std::vector<uint8_t>(300, 5));
  auto queuedWrite = Write(std::vector<uint8_t>(10, 6));
  Device().ReleaseOut();  // the first 256 bytes are taken; the last 44 are on their way
  auto rxAbort = Purge(SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT);
  EXPECT_EQ(rxAbort->Status(), STATUS_SUCCESS);
  EXPECT_EQ(rxAbort->Information(), 0u);
  EXPECT_EQ(written->Status(), STATUS_CANCELLED);
  EXPECT_EQ(written->Information(), 256u) << "the bytes the device took";
  EXPECT_EQ(queuedWrite->Status(), STATUS_CANCELLED);
  EXPECT_EQ(queuedWrite->Information(), 0u);
  EXPECT_LT(written->CompletionOrder(), pending->CompletionOrder()) << "writes first, then reads";
  Device().ReleaseOut();  // the transfer already out is not stopped by the purge
  EXPECT_EQ(pending->Status(), STATUS_CANCELLED);
  EXPECT_EQ(pending->Information(), 3u) << "the bytes it had";
  EXPECT_FALSE(wait->Completed());

  Device().SendIn(std::vector<uint8_t>(100, 9));
  auto held = Read(200);
  EXPECT_FALSE(held->Completed());
  Device().SendIn(std::vector<uint8_t>(50, 8));  // buffered behind the held read's 150
  auto rxClear = Purge(SERIAL_PURGE_RXCLEAR);
  EXPECT_EQ(rxClear->Status(), STATUS_SUCCESS);
  EXPECT_FALSE(held->Completed()) << "pending reads stay pending";
  EXPECT_EQ(port_->RxBuffer.Count, 0u);
  EXPECT_TRUE(port_->ReaderRunning);
  EXPECT_FALSE(wait->Completed());
  EXPECT_EQ(Purge(SERIAL_PURGE_RXABORT)->Status(), STATUS_SUCCESS);
  EXPECT_EQ(held->Information(), 150u);

  auto tooShort = Control(IOCTL_SERIAL_PURGE, {SERIAL_PURGE_RXABORT});
  EXPECT_EQ(tooShort->Status(), STATUS_BUFFER_TOO_SMALL);
  EXPECT_TRUE(wait->Cancel());
}
