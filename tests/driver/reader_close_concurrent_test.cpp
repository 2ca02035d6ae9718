// Close against the bulk-in reader's completion on another processor. The
// completion has begun (its transfer has come back with data) and is held
// up inside the driver, on the receive buffer's lock, while close clears
// PortOpen and aborts the pipes. Whatever the completion does next, close
// must return within one transfer round trip, also on a device that never
// sends again. Run under ThreadSanitizer in the tsan build.
#include "support/usb_port_test.h"

#include "sim/ke/ke.h"
#include "sim/usb/devices/layouts.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace {

// Polls, in real time, for a state another thread reaches and then keeps
// until this thread acts; false if it is not reached within the limit.
bool Eventually(const std::function<bool()>& reached, std::chrono::milliseconds limit) {
  auto until = std::chrono::steady_clock::now() + limit;
  while (!reached()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::yield();
  }
  return true;
}

constexpr std::chrono::seconds kLimit{10};

}  // namespace

class ReaderCloseConcurrentTest : public UsbPortTest {};

TEST_F(ReaderCloseConcurrentTest, CloseReturnsWhileTheReadersLastCompletionIsUnderWay) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  for (int round = 0; round < 5; ++round) {
    Device().AnswerLater();  // transfers end on the bus's own thread
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    sim::ke::StartConcurrent();

    // Another processor holds the receive buffer's lock for as long as the
    // test wants: the reader's completion stops there.
    std::atomic<bool> holding{false};
    std::atomic<bool> release{false};
    std::thread holder([&] {
      KIRQL irql;
      KeAcquireSpinLock(&port_->RxBufferLock, &irql);
      holding = true;
      while (!release) std::this_thread::yield();
      KeReleaseSpinLock(&port_->RxBufferLock, irql);
    });
    ASSERT_TRUE(Eventually([&] { return holding.load(); }, kLimit));

    Device().SendIn({1, 2, 3});  // the outstanding transfer comes back with data
    ASSERT_TRUE(Eventually([&] { return sim::ke::ThreadsSpinningOn(&port_->RxBufferLock) == 1; }, kLimit))
        << "the reader's completion never reached the receive buffer's lock";

    std::atomic<bool> closed{false};
    std::thread closer([&] {
      EXPECT_EQ(Close(), STATUS_SUCCESS);
      closed = true;
    });
    // Close goes as far as it can while the lock is held: to the abort of
    // the read pipe, or to the lock itself.
    EXPECT_TRUE(Eventually(
        [&] {
          return !bus_->Urbs(URB_FUNCTION_ABORT_PIPE).empty() ||
                 sim::ke::ThreadsSpinningOn(&port_->RxBufferLock) == 2;
        },
        kLimit));
    release = true;
    holder.join();

    // The device sends nothing more: only the driver can end the close.
    bool returned = Eventually([&] { return closed.load(); }, std::chrono::seconds(3));
    EXPECT_TRUE(returned) << "round " << round << ": close still waits with " << bus_->Queued(sim::usb::layouts::kBulkIn)
                          << " transfer(s) on the read pipe";
    if (!returned) Device().SendIn({4});  // lets the driver end the close, so the test can end
    closer.join();
    sim::ke::StopConcurrent();

    EXPECT_FALSE(port_->ReaderRunning);
    EXPECT_EQ(bus_->Queued(sim::usb::layouts::kBulkIn), 0u);
    EXPECT_EQ(PendingIo(), 1);
    bus_->ClearUrbs();
    Device().AnswerInline();
    if (!returned) break;
  }
}
