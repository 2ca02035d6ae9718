// FlushFileBuffers on the port, as applications use it to drain their
// writes: it returns once every write issued before it has ended, not
// waiting for writes issued after it; it can be cancelled like any
// overlapped request; on an unplugged port it is refused, and one pending
// at the unplug ends there.
#include "support/pnp_port_test.h"

#include "sim/win32/comm_port.h"

#include <memory>

using sim::win32::CommPort;
using sim::win32::Overlapped;

class FlushTest : public PnpPortTest {
 protected:
  void SetUp() override {
    PnpPortTest::SetUp();
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    ASSERT_EQ(CommPort::Open(u"COM5", &com_), STATUS_SUCCESS);
  }

  void TearDown() override {
    com_.reset();
    PnpPortTest::TearDown();
  }

  std::unique_ptr<CommPort> com_;
};

TEST_F(FlushTest, ReturnsOnceTheWritesIssuedBeforeItHaveEnded) {
  EXPECT_EQ(com_->Flush(), STATUS_SUCCESS) << "with nothing written";

  model_->HoldOut();
  std::unique_ptr<Overlapped> first = com_->WriteAsync({'o', 'n', 'e'});
  std::unique_ptr<Overlapped> second = com_->WriteAsync({'t', 'w', 'o'});
  std::unique_ptr<Overlapped> flush = com_->FlushAsync();
  std::unique_ptr<Overlapped> after = com_->WriteAsync({'t', 'h', 'r', 'e', 'e'});
  EXPECT_FALSE(flush->Done());

  model_->ReleaseOut();
  EXPECT_EQ(first->Result().status, STATUS_SUCCESS);
  EXPECT_FALSE(flush->Done()) << "returned with a write before it still going";

  model_->ReleaseOut();
  EXPECT_EQ(second->Result().status, STATUS_SUCCESS);
  ASSERT_TRUE(flush->Done()) << "waits for a write issued after it";
  EXPECT_EQ(flush->Result().status, STATUS_SUCCESS);
  EXPECT_EQ(flush->Result().bytes, 0u);
  EXPECT_FALSE(after->Done());

  model_->AcceptAllOut();
  EXPECT_EQ(after->Wait().status, STATUS_SUCCESS);
  EXPECT_EQ(model_->OutBytes(), (sim::usb::Bytes{'o', 'n', 'e', 't', 'w', 'o', 't', 'h', 'r', 'e', 'e'}));
}

// A flush that is cancelled ends as cancelled; the write it waited for is
// not touched, and the transmit-empty event still comes with the last write.
TEST_F(FlushTest, ACancelledFlushEndsAloneAndLeavesTheWritesGoing) {
  ASSERT_EQ(com_->SetWaitMask(SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
  model_->HoldOut();
  std::unique_ptr<Overlapped> write = com_->WriteAsync({'a', 'b'});
  std::unique_ptr<Overlapped> flush = com_->FlushAsync();
  std::unique_ptr<Overlapped> wait = com_->WaitEventAsync();

  EXPECT_TRUE(flush->Cancel());
  ASSERT_TRUE(flush->Done());
  EXPECT_EQ(flush->Result().status, STATUS_CANCELLED);
  EXPECT_FALSE(write->Done());

  model_->ReleaseOut();
  EXPECT_EQ(write->Result().status, STATUS_SUCCESS);
  ASSERT_TRUE(wait->Done());
  EXPECT_EQ(wait->Events(), static_cast<ULONG>(SERIAL_EV_TXEMPTY));
}

// A flush waiting behind a write the device holds: the unplug ends both as
// cancelled. A flush after the unplug is refused like every request.
TEST_F(FlushTest, TheUnplugEndsAPendingFlushAndAFlushAfterItIsRefused) {
  model_->HoldOut();
  std::unique_ptr<Overlapped> write = com_->WriteAsync({'a', 'b'});
  std::unique_ptr<Overlapped> flush = com_->FlushAsync();
  ASSERT_EQ(Pnp().SurpriseRemove(), STATUS_SUCCESS);
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Result().status, STATUS_CANCELLED);
  ASSERT_TRUE(flush->Done());
  EXPECT_EQ(flush->Result().status, STATUS_CANCELLED);

  EXPECT_EQ(com_->Flush(), STATUS_DELETE_PENDING);
}

// A flush waiting in the queue is not a write: the last write's end still
// reports the transmit queue empty.
TEST_F(FlushTest, TheLastWriteStillReportsTheQueueEmptyWithAFlushBehindIt) {
  ASSERT_EQ(com_->SetWaitMask(SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
  model_->HoldOut();
  std::unique_ptr<Overlapped> write = com_->WriteAsync({'a', 'b'});
  std::unique_ptr<Overlapped> flush = com_->FlushAsync();
  std::unique_ptr<Overlapped> wait = com_->WaitEventAsync();
  model_->ReleaseOut();
  EXPECT_EQ(write->Result().status, STATUS_SUCCESS);
  EXPECT_EQ(flush->Result().status, STATUS_SUCCESS);
  ASSERT_TRUE(wait->Done());
  EXPECT_EQ(wait->Events(), static_cast<ULONG>(SERIAL_EV_TXEMPTY));
}
