// Event waits under real threads: waits sent, cancelled and ended by mask
// changes while the reader and the writes record events on the bus's thread. Every wait
// must complete exactly once (the verifier reports a second completion)
// with a value its mask allowed. Run under ThreadSanitizer in the tsan build.
#include "support/open_port_test.h"

#include "sim/ke/ke.h"

#include <atomic>
#include <mutex>
#include <random>
#include <thread>

using sim::io::ControlRequest;

class EventWaitConcurrentTest : public OpenPortTest {};

TEST_F(EventWaitConcurrentTest, EveryWaitCompletesOnceWhileEventsMaskChangesAndCancelsRace) {
  Device().AnswerLater();
  SetWaitMask(SERIAL_EV_RXCHAR);
  sim::ke::StartConcurrent();

  constexpr int kWaits = 400;
  std::mutex waitsLock;
  std::vector<std::unique_ptr<ControlRequest>> waits;
  std::atomic<bool> running{true};

  std::vector<std::thread> threads;
  threads.emplace_back([&] {  // an application waiting, now and then with two waits queued
    std::mt19937 random(3);
    for (int i = 0; i < kWaits; ++i) {
      auto wait = WaitOnMask();
      ControlRequest* sent = wait.get();
      {
        std::lock_guard<std::mutex> hold(waitsLock);
        waits.push_back(std::move(wait));
      }
      if (random() % 3 != 0) {
        EXPECT_TRUE(sent->WaitCompleted(10'000)) << "a wait never ended";
      }
    }
    running = false;
  });
  threads.emplace_back([&] {  // the device: data now and then, read by nobody but recorded
    while (running) {
      Device().SendIn({1});
      KIRQL irql;
      KeAcquireSpinLock(&port_->RxBufferLock, &irql);
      RingBufferClear(&port_->RxBuffer);
      KeReleaseSpinLock(&port_->RxBufferLock, irql);
      std::this_thread::yield();
    }
  });
  threads.emplace_back([&] {  // writes, each ending with SERIAL_EV_TXEMPTY
    while (running) {
      auto write = Write({1, 2, 3});
      EXPECT_TRUE(write->WaitCompleted(10'000));
    }
  });
  threads.emplace_back([&] {  // mask changes end held waits
    std::mt19937 random(4);
    while (running) {
      SetWaitMask(random() % 2 == 0 ? SERIAL_EV_RXCHAR : SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);
      std::this_thread::yield();
    }
  });
  threads.emplace_back([&] {  // cancels waits already sent, at random
    std::mt19937 random(5);
    while (running) {
      std::lock_guard<std::mutex> hold(waitsLock);
      if (!waits.empty()) waits[random() % waits.size()]->Cancel();
    }
  });
  for (auto& thread : threads) thread.join();

  int reported = 0;
  for (auto& wait : waits) {
    if (!wait->Completed()) wait->Cancel();
    ASSERT_TRUE(wait->WaitCompleted(10'000));
    if (wait->Status() == STATUS_SUCCESS) {
      ULONG events = ReturnedUlong(*wait);
      EXPECT_EQ(events & ~static_cast<ULONG>(SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY), 0u) << "not watched: " << events;
      reported += events != 0;
    } else {
      EXPECT_EQ(wait->Status(), STATUS_CANCELLED) << std::hex << wait->Status();
    }
  }
  EXPECT_GT(reported, 0) << "no wait saw an event: the test showed nothing";
  // A completing thread drops a wait's reference just after completing it,
  // so the count is not sampled here: close waits until every reference
  // but the baseline has come back (a leaked one holds it until the
  // watchdog), and then nothing may have been dropped twice either.
  ASSERT_EQ(Close(), STATUS_SUCCESS);
  EXPECT_EQ(PendingIo(), 1) << "every reference came back, none twice";
}
