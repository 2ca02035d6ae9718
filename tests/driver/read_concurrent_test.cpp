// Reads under real threads: reads sent from several threads while bytes
// arrive on the bus's thread, timers expire on the DPC thread and reads are
// cancelled from yet another. Every read must complete exactly once (the
// verifier reports a second completion) and the reads together must carry
// the device's byte stream intact. Run under ThreadSanitizer in the tsan build.
#include "support/usb_port_test.h"

#include "sim/io/transfer_request.h"
#include "sim/ke/clock.h"
#include "sim/ke/ke.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <random>
#include <thread>

using sim::io::TransferRequest;
using sim::usb::Bytes;

class ReadConcurrentTest : public UsbPortTest {};

TEST_F(ReadConcurrentTest, EveryReadCompletesOnceAndTheStreamArrivesIntact) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  Device().AnswerLater();
  ASSERT_EQ(Open(), STATUS_SUCCESS);
  port_->Timeouts.ReadIntervalTimeout = 2;
  port_->Timeouts.ReadTotalTimeoutConstant = 5;
  sim::ke::StartConcurrent();

  constexpr int kSenders = 2;
  constexpr int kReadsPerSender = 300;
  constexpr size_t kStreamLength = 20000;
  std::mutex readsLock;
  std::vector<std::unique_ptr<TransferRequest>> reads;
  std::atomic<int> sendersLeft{kSenders};

  std::vector<std::thread> threads;
  for (int sender = 0; sender < kSenders; ++sender) {
    threads.emplace_back([&, sender] {
      std::mt19937 random(100 + sender);
      for (int i = 0; i < kReadsPerSender; ++i) {
        auto read = TransferRequest::Read(device_, 1 + random() % 64);
        read->Send();
        TransferRequest* sent = read.get();
        {
          std::lock_guard<std::mutex> hold(readsLock);
          reads.push_back(std::move(read));
        }
        // Mostly one read at a time, as an application reads; now and then
        // several queued behind each other.
        if (random() % 4 != 0) {
          EXPECT_TRUE(sent->WaitCompleted(10'000)) << "a read never ended";
        }
      }
      --sendersLeft;
    });
  }
  threads.emplace_back([&] {  // the device: numbered bytes, never more than the receive buffer holds
    std::mt19937 random(5);
    size_t sent = 0;
    while (sendersLeft.load() > 0 && sent < kStreamLength) {
      KIRQL irql;
      KeAcquireSpinLock(&port_->RxBufferLock, &irql);
      ULONG buffered = port_->RxBuffer.Count;
      KeReleaseSpinLock(&port_->RxBufferLock, irql);
      if (buffered + Device().InWaiting() < 500) {
        Bytes chunk(1 + random() % 200);
        for (uint8_t& byte : chunk) byte = static_cast<uint8_t>(sent++ * 13 + 1);
        Device().SendIn(chunk);
      }
      std::this_thread::yield();
    }
  });
  threads.emplace_back([&] {  // virtual time, so that the read timers expire
    while (sendersLeft.load() > 0) {
      sim::clock::AdvanceMs(1);
      std::this_thread::yield();
    }
  });
  threads.emplace_back([&] {  // cancels reads already sent, at random
    std::mt19937 random(9);
    while (sendersLeft.load() > 0) {
      std::lock_guard<std::mutex> hold(readsLock);
      if (!reads.empty() && random() % 4 == 0) reads[random() % reads.size()]->Cancel();
    }
  });
  for (auto& thread : threads) thread.join();

  for (auto& read : reads) {
    if (!read->Completed()) read->Cancel();
    ASSERT_TRUE(read->WaitCompleted(10'000)) << "a read was never completed";
    EXPECT_TRUE(read->Status() == STATUS_SUCCESS || read->Status() == STATUS_TIMEOUT ||
                read->Status() == STATUS_CANCELLED)
        << std::hex << read->Status();
  }

  // Reads complete in queue order under the read lock, so in completion
  // order their bytes are the stream's first bytes.
  std::sort(reads.begin(), reads.end(),
            [](const auto& a, const auto& b) { return a->CompletionOrder() < b->CompletionOrder(); });
  Bytes delivered;
  for (auto& read : reads) {
    Bytes got = read->Transferred();
    delivered.insert(delivered.end(), got.begin(), got.end());
  }
  for (size_t i = 0; i < delivered.size(); ++i) {
    ASSERT_EQ(delivered[i], static_cast<uint8_t>(i * 13 + 1)) << "byte " << i << " of " << delivered.size();
  }
  EXPECT_GT(delivered.size(), 1000u) << "too little traffic to show anything";
  EXPECT_EQ(PendingIo(), 2) << "only the reader's reference is left";
}
