// A time-out timer set again while the DPC of its earlier expiry is still
// queued (on a multiprocessor: the DPC waits on one processor while bytes
// arrive on another). The late DPC must not act on the new setting, the new
// setting must still expire, and the reference the timer holds must be
// dropped exactly once, or close would wait for ever.
#include "support/usb_port_test.h"

#include "sim/io/transfer_request.h"
#include "sim/ke/clock.h"
#include "sim/ke/ke.h"

class TimeoutRearmTest : public UsbPortTest {
 protected:
  void SetUp() override {
    UsbPortTest::SetUp();
    // Exact-time expiry and one processor's DPC delivery: these tests hold a
    // time-out's DPC back themselves, at a chosen millisecond.
    sim::ke::SetClockTick(0);
    sim::ke::SetDpcDelivery(sim::ke::DpcDelivery::AtIrqlDrop);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(Open(), STATUS_SUCCESS);
  }
};

// Interval 10 ms. The first byte starts the interval; it expires and its
// DPC is held back; a second byte arrives and restarts the interval. The
// held DPC then runs: the read stays pending, and ends 10 ms after it with
// both bytes (the restart is made by the late DPC, which is when it runs).
TEST_F(TimeoutRearmTest, AnIntervalRestartedWhileItsExpiryIsQueuedIsNotEndedByThatExpiry) {
  // Idealised: DeferDpcs holds back every DPC of this thread, and the
  // realistic bus delivers the second byte from a DPC too.
  Device().AnswerInline();
  port_->Timeouts.ReadIntervalTimeout = 10;
  const LONG resting = PendingIo();
  auto read = sim::io::TransferRequest::Read(device_, 10);
  read->Send();
  Device().SendIn({'a'});

  sim::ke::DeferDpcs();
  sim::clock::AdvanceMs(10);
  ASSERT_EQ(sim::ke::QueuedDpcCount(), 1u);
  Device().SendIn({'b'});
  sim::ke::ResumeDpcs();
  EXPECT_FALSE(read->Completed()) << "ended by the expiry of the interval before the second byte";

  int64_t resumed = sim::clock::Now();
  sim::clock::AdvanceMs(9);
  EXPECT_FALSE(read->Completed());
  sim::clock::AdvanceMs(1);
  ASSERT_TRUE(read->Completed()) << "the restarted interval never expired";
  EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
  EXPECT_EQ(read->Transferred(), (sim::usb::Bytes{'a', 'b'}));
  EXPECT_EQ(read->CompletionTime() - resumed, 10 * sim::clock::kUnitsPerMs);
  EXPECT_EQ(PendingIo(), resting) << "a timer reference was not dropped, or dropped twice";
}

// The same with a cancel in between: the held DPC finds its timer stopped
// and does nothing but drop the timer's reference.
TEST_F(TimeoutRearmTest, AnExpiryQueuedBeforeItsReadWasCancelledOnlyReleasesTheTimer) {
  port_->Timeouts.ReadTotalTimeoutConstant = 10;
  const LONG resting = PendingIo();
  auto read = sim::io::TransferRequest::Read(device_, 10);
  read->Send();
  auto next = sim::io::TransferRequest::Read(device_, 10);
  next->Send();

  sim::ke::DeferDpcs();
  sim::clock::AdvanceMs(10);
  ASSERT_EQ(sim::ke::QueuedDpcCount(), 1u);
  read->Cancel();
  EXPECT_EQ(read->Status(), STATUS_CANCELLED);
  EXPECT_EQ(PendingIo(), resting + 2) << "the next read and the stopped timer whose DPC is still to run";
  sim::ke::ResumeDpcs();
  EXPECT_FALSE(next->Completed()) << "the next read was ended by the expiry of the one before";
  sim::clock::AdvanceMs(10);
  ASSERT_TRUE(next->Completed());
  EXPECT_EQ(next->Status(), STATUS_TIMEOUT);
  EXPECT_EQ(PendingIo(), resting);
}
