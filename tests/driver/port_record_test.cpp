// The port record's creation state, the pending-I/O accounting and the
// usability test.
#include "support/port_test.h"

#include "sim/io/request.h"

class PortRecordTest : public PortTest {
 protected:
  static bool Signalled(KEVENT& event) { return KeReadStateEvent(&event) != 0; }
};

TEST_F(PortRecordTest, StartsWithTheSerialDefaultsAndNothingHeld) {
  EXPECT_EQ(port_->BaudRate, 9600u);
  EXPECT_EQ(port_->LineControl.StopBits, STOP_BIT_1);
  EXPECT_EQ(port_->LineControl.Parity, NO_PARITY);
  EXPECT_EQ(port_->LineControl.WordLength, 8);
  EXPECT_EQ(port_->Chars.XonChar, 0x11);
  EXPECT_EQ(port_->Chars.XoffChar, 0x13);
  EXPECT_EQ(port_->Chars.EofChar | port_->Chars.ErrorChar | port_->Chars.BreakChar | port_->Chars.EventChar, 0);
  EXPECT_EQ(port_->HandFlow.ControlHandShake, 1u);
  EXPECT_EQ(port_->HandFlow.FlowReplace, 0x40u);
  EXPECT_EQ(port_->HandFlow.XonLimit, 100);
  EXPECT_EQ(port_->HandFlow.XoffLimit, 300);
  EXPECT_EQ(port_->Timeouts.ReadIntervalTimeout | port_->Timeouts.ReadTotalTimeoutMultiplier |
                port_->Timeouts.ReadTotalTimeoutConstant | port_->Timeouts.WriteTotalTimeoutMultiplier |
                port_->Timeouts.WriteTotalTimeoutConstant,
            0u);
  EXPECT_TRUE(IsListEmpty(&port_->ReadQueue));
  EXPECT_TRUE(IsListEmpty(&port_->WriteQueue));
  EXPECT_TRUE(IsListEmpty(&port_->WaitQueue));
  EXPECT_EQ(port_->Self, device_);
  EXPECT_EQ(port_->RxBuffer.Data, nullptr);
}

TEST_F(PortRecordTest, BaselineReferenceLeavesNoPendingIoEventClearUntilARequestHasComeAndGone) {
  EXPECT_EQ(PendingIo(), 1);
  EXPECT_FALSE(Signalled(port_->NoPendingIoEvent)) << "taking the count from 0 to 1 signals nothing";

  EXPECT_EQ(IncrementIoCount(device_), 2);
  EXPECT_FALSE(Signalled(port_->NoPendingIoEvent));
  EXPECT_EQ(DecrementIoCount(device_), 1);
  EXPECT_TRUE(Signalled(port_->NoPendingIoEvent)) << "falling back to 1 signals";
  EXPECT_FALSE(Signalled(port_->RemoveEvent));
}

TEST_F(PortRecordTest, RisingAboveOneClearsNoPendingIoAgainAndOnlyTheLastDropSignalsIt) {
  IncrementIoCount(device_);
  DecrementIoCount(device_);
  ASSERT_TRUE(Signalled(port_->NoPendingIoEvent));

  EXPECT_EQ(IncrementIoCount(device_), 2);
  EXPECT_FALSE(Signalled(port_->NoPendingIoEvent)) << "a new request in flight clears it";
  EXPECT_EQ(IncrementIoCount(device_), 3);
  EXPECT_EQ(DecrementIoCount(device_), 2);
  EXPECT_FALSE(Signalled(port_->NoPendingIoEvent)) << "one request is still in flight";
  EXPECT_EQ(DecrementIoCount(device_), 1);
  EXPECT_TRUE(Signalled(port_->NoPendingIoEvent));
}

TEST_F(PortRecordTest, FallingToZeroSignalsRemoveEventOnlyAndRisingFromZeroSignalsNothing) {
  EXPECT_EQ(DecrementIoCount(device_), 0);
  EXPECT_TRUE(Signalled(port_->RemoveEvent));
  EXPECT_FALSE(Signalled(port_->NoPendingIoEvent)) << "NoPendingIoEvent keeps its state at 1 -> 0";

  KeClearEvent(&port_->RemoveEvent);
  EXPECT_EQ(IncrementIoCount(device_), 1);  // back to the baseline for tear-down
  EXPECT_FALSE(Signalled(port_->NoPendingIoEvent));
  EXPECT_FALSE(Signalled(port_->RemoveEvent));
}

TEST_F(PortRecordTest, CloseCanWaitForTheCountToReturnToTheBaseline) {
  IncrementIoCount(device_);
  DecrementIoCount(device_);
  // What close does once its own reference is dropped: nothing in flight, so
  // the wait returns at once.
  EXPECT_EQ(KeWaitForSingleObject(&port_->NoPendingIoEvent, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);

  IncrementIoCount(device_);  // a request that never ends: the wait cannot return
  EXPECT_EQ(KeWaitForSingleObject(&port_->NoPendingIoEvent, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
  ExpectOnlyFinding(sim::verifier::Rule::WaitNeverEnds);
  DecrementIoCount(device_);
}

struct UsabilityCase {
  const char* name;
  BOOLEAN removed, started, removePending, deviceFailed;
  BOOLEAN usable;
};

class PortUsabilityTest : public PortTest, public ::testing::WithParamInterface<UsabilityCase> {};

TEST_P(PortUsabilityTest, EachFlagDecides) {
  const UsabilityCase& row = GetParam();
  port_->Removed = row.removed;
  port_->Started = row.started;
  port_->RemovePending = row.removePending;
  port_->DeviceFailed = row.deviceFailed;
  EXPECT_EQ(IsPortUsable(device_), row.usable) << row.name;
}

INSTANTIATE_TEST_SUITE_P(
    Flags, PortUsabilityTest,
    ::testing::Values(UsabilityCase{"started and nothing else", FALSE, TRUE, FALSE, FALSE, TRUE},
                      UsabilityCase{"removed", TRUE, TRUE, FALSE, FALSE, FALSE},
                      UsabilityCase{"not started", FALSE, FALSE, FALSE, FALSE, FALSE},
                      UsabilityCase{"remove pending", FALSE, TRUE, TRUE, FALSE, FALSE},
                      UsabilityCase{"device failed", FALSE, TRUE, FALSE, TRUE, FALSE},
                      UsabilityCase{"everything wrong", TRUE, FALSE, TRUE, TRUE, FALSE}),
    [](const ::testing::TestParamInfo<UsabilityCase>& info) {
      std::string name = info.param.name;
      for (char& c : name) if (c == ' ') c = '_';
      return name;
    });
