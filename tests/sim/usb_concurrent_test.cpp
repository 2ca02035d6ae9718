// The simulated bus in the concurrent mode: a device that answers later
// answers on the bus's own completion thread, at DISPATCH_LEVEL, while the
// test's threads submit requests and wait for them for real. Run under
// ThreadSanitizer in the tsan build.
#include "support/usb_test.h"

#include "sim/ke/ke.h"
#include "sim/usb/devices/loopback.h"
#include "sim/usb/devices/scripted.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

using namespace sim::usb;
using test::UsbTransfer;

namespace {

constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

// Polls, in real time, until done() holds or ten seconds have passed.
bool WaitFor(const std::function<bool()>& done) {
  auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace

class UsbConcurrentTest : public UsbTest {
 protected:
  void SetUp() override {
    UsbTest::SetUp();
    sim::ke::StartConcurrent();
  }
};

TEST_F(UsbConcurrentTest, DeferredAnswersRunOnTheBusThreadAtDispatchLevel) {
  ScriptedDevice& device = Start<ScriptedDevice>();
  device.AnswerLater();
  UsbTransfer reader(function(), in_, kIn, 64);
  EXPECT_EQ(reader.Send(), STATUS_PENDING);
  device.SendIn({1, 2, 3});
  ASSERT_TRUE(WaitFor([&] { return reader.Completions() == 1; })) << "the reader never completed";
  EXPECT_NE(reader.CompletionThread(), std::this_thread::get_id()) << "answered on another thread";
  EXPECT_EQ(reader.CompletionIrql(), DISPATCH_LEVEL);
  EXPECT_EQ(reader.Received(), (Bytes{1, 2, 3}));

  UCHAR status[2];
  URB get = test::StatusRequest(status);
  test::UsbFunction::SyncResult result = function().SubmitSync(&get);
  EXPECT_TRUE(result.waited) << "the synchronous request waited for the bus thread";
  EXPECT_EQ(result.status, STATUS_SUCCESS);
}

TEST_F(UsbConcurrentTest, AReaderAWriterAndAStatusPollerRaceWithoutLosingOrReorderingBytes) {
  LoopbackDevice& device = Start<LoopbackDevice>();
  device.AnswerLater();
  std::mutex lock;
  Bytes received;
  std::atomic<bool> stopping{false};
  UsbTransfer reader(function(), in_, kIn, 64);
  reader.onComplete = [&](UsbTransfer& transfer) {
    Bytes chunk = transfer.Received();
    {
      std::lock_guard<std::mutex> hold(lock);
      received.insert(received.end(), chunk.begin(), chunk.end());
    }
    if (transfer.Status() == STATUS_SUCCESS && !stopping) transfer.Send();
  };
  reader.Send();

  constexpr int kWrites = 200;
  Bytes sent;
  for (int i = 0; i < kWrites; ++i) {
    for (int j = 0; j <= i % 40; ++j) sent.push_back(static_cast<uint8_t>(i * 31 + j));
  }
  std::atomic<int> failures{0};
  std::thread writer([&] {
    size_t at = 0;
    for (int i = 0; i < kWrites; ++i) {
      ULONG length = static_cast<ULONG>(i % 40 + 1);
      URB bulk = test::BulkRequest(out_, 0, &sent[at], length);
      if (function().SubmitSync(&bulk).status != STATUS_SUCCESS) failures++;
      at += length;
    }
  });
  std::thread poller([&] {
    for (int i = 0; i < kWrites; ++i) {
      UCHAR status[2];
      URB get = test::StatusRequest(status);
      if (function().SubmitSync(&get).status != STATUS_SUCCESS) failures++;
    }
  });
  writer.join();
  poller.join();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> hold(lock);
    return received.size() >= sent.size();
  })) << "not every byte came back";
  {
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_EQ(received, sent);
  }
  EXPECT_EQ(device.OutBytes(), sent);

  stopping = true;
  ASSERT_TRUE(WaitFor([&] { return reader.Cancel() || !reader.Outstanding(); }));
  ASSERT_TRUE(WaitFor([&] { return !reader.Outstanding(); })) << "the reader never ended";
}
