// Flow control of the receive side: the bulk-in reader asks the device for
// data only while the receive buffer can take a whole transfer, and asks
// again as soon as something makes room; bytes the buffer cannot take are
// never lost silently.
#include "support/open_port_test.h"

#include "sim/usb/devices/layouts.h"

using sim::usb::Bytes;
using sim::usb::layouts::kBulkIn;

namespace {

Bytes Numbered(size_t length, size_t first = 0) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>((first + i) * 11 + 7);
  return bytes;
}

}  // namespace

class ReceiveFlowTest : public OpenPortTest {
 protected:
  // The device has more than the buffer takes: the reader waits for room.
  void FillUntilTheReaderWaits() {
    Device().SendIn(Numbered(1000));
    ASSERT_EQ(port_->RxBuffer.Count, 768u);
    ASSERT_EQ(Device().InWaiting(), 232u);
    ASSERT_EQ(bus_->Queued(kBulkIn), 0u);
  }

  SERIAL_STATUS CommStatus() {
    auto request = Control(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
    EXPECT_EQ(request->Status(), STATUS_SUCCESS);
    SERIAL_STATUS status = {};
    std::vector<uint8_t> output = request->Output();
    if (output.size() == sizeof status) std::memcpy(&status, output.data(), sizeof status);
    return status;
  }
};

// Each way of making room sends the waiting reader's transfer down again.
TEST_F(ReceiveFlowTest, ThePurgeOfTheReceiveBufferLetsTheReaderAskAgain) {
  FillUntilTheReaderWaits();
  EXPECT_EQ(Purge(SERIAL_PURGE_RXCLEAR)->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Device().InWaiting(), 0u);
  EXPECT_EQ(port_->RxBuffer.Count, 232u);
  EXPECT_EQ(bus_->Queued(kBulkIn), 1u);
  auto read = Read(232);
  EXPECT_EQ(read->Transferred(), Numbered(232, 768));
}

TEST_F(ReceiveFlowTest, ALargerReceiveBufferLetsTheReaderAskAgain) {
  FillUntilTheReaderWaits();
  SERIAL_QUEUE_SIZE size = {4096, 512};
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_QUEUE_SIZE, sim::io::BytesOf(size))->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Device().InWaiting(), 0u);
  EXPECT_EQ(port_->RxBuffer.Count, 1000u);
  auto read = Read(1000);
  EXPECT_EQ(read->Transferred(), Numbered(1000));
}

TEST_F(ReceiveFlowTest, AReadThatMakesRoomLetsTheReaderAskAgainAndNothingIsLost) {
  FillUntilTheReaderWaits();
  auto small = Read(10);
  EXPECT_EQ(small->Status(), STATUS_SUCCESS);
  EXPECT_EQ(bus_->Queued(kBulkIn), 0u) << "10 bytes of room are not room for a transfer";
  auto rest = Read(990);
  EXPECT_EQ(rest->Status(), STATUS_SUCCESS);
  Bytes all = small->Transferred();
  Bytes more = rest->Transferred();
  all.insert(all.end(), more.begin(), more.end());
  EXPECT_EQ(all, Numbered(1000));
  EXPECT_EQ(CommStatus().Errors, 0u);
}

// Whatever the driver receives and cannot store is counted and reported:
// SERIAL_ERROR_QUEUEOVERRUN in the communication status, the count in the
// statistics, SERIAL_EV_ERR to a waiter.
TEST_F(ReceiveFlowTest, BytesTheBufferCannotTakeAreReportedNotDroppedSilently) {
  SetWaitMask(SERIAL_EV_ERR);
  auto wait = WaitOnMask();
  // Bytes put into the buffer behind the reader's back, while its transfer
  // is outstanding: the buffer no longer has room for what that brings.
  Bytes behind = Numbered(900);
  KIRQL irql;
  KeAcquireSpinLock(&port_->RxBufferLock, &irql);
  RingBufferPut(&port_->RxBuffer, behind.data(), static_cast<ULONG>(behind.size()));
  KeReleaseSpinLock(&port_->RxBufferLock, irql);

  Device().SendIn(Numbered(256, 900));
  ASSERT_TRUE(wait->Completed());
  EXPECT_EQ(ReturnedUlong(*wait), static_cast<ULONG>(SERIAL_EV_ERR));
  SERIAL_STATUS status = CommStatus();
  EXPECT_EQ(status.Errors, static_cast<ULONG>(SERIAL_ERROR_QUEUEOVERRUN));
  EXPECT_EQ(status.AmountInInQueue, 1023u);
  auto stats = Control(IOCTL_SERIAL_GET_STATS, {}, sizeof(SERIALPERF_STATS));
  SERIALPERF_STATS counted = {};
  std::memcpy(&counted, stats->Output().data(), sizeof counted);
  EXPECT_EQ(counted.BufferOverrunErrorCount, 133u) << "256 bytes came, 123 fitted";
  EXPECT_FALSE(port_->DeviceFailed) << "an overrun does not fail the port";
}

// Close ends a reader that waits for room as it ends one whose transfer is
// outstanding.
TEST_F(ReceiveFlowTest, CloseEndsAReaderWaitingForRoom) {
  FillUntilTheReaderWaits();
  EXPECT_EQ(Close(), STATUS_SUCCESS);
  EXPECT_FALSE(port_->ReaderRunning);
  EXPECT_EQ(port_->ReadUrbIrp, nullptr);
  EXPECT_EQ(PendingIo(), 1);
  EXPECT_EQ(Device().InWaiting(), 232u) << "nothing asked the device for more";
  EXPECT_EQ(bus_->Queued(kBulkIn), 0u);
}

// An open whose reader filled the buffer before the open emptied it (the
// device had much to send while the port was closed) still receives: the
// reader asks again once the buffer is empty.
TEST_F(ReceiveFlowTest, AnOpenFindingTheDeviceFullOfDataGoesOnReceiving) {
  // Idealised, as OpenCloseTest.BytesFromBeforeAnOpenAreNotReadAfterIt: the
  // reader fills the buffer before the open empties it only when its
  // transfers complete inside IofCallDriver; completed later, as on
  // Windows, the data stay for the new open.
  Device().AnswerInline();
  EXPECT_EQ(Close(), STATUS_SUCCESS);
  Device().SendIn(Numbered(1000));
  ASSERT_EQ(Open(), STATUS_SUCCESS);
  EXPECT_EQ(bus_->Queued(kBulkIn), 1u) << "the reader still waits for room in an empty buffer";
  Device().SendIn(Numbered(5, 5000));
  EXPECT_EQ(Device().InWaiting(), 0u);
}
