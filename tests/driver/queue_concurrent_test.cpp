// The request queues and the pending-I/O count under real threads: requests
// arriving, cancelled, served and flushed at the same time. Every request
// must be completed exactly once (the verifier reports a second completion)
// and the count must come back to its baseline. Run under ThreadSanitizer in
// the tsan build.
#include "support/holding_dispatch.h"
#include "support/port_test.h"

#include "sim/io/request.h"
#include "sim/ke/ke.h"

#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

using sim::io::Request;

class ConcurrentQueueTest : public PortTest {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    InstallHoldingDispatch(Driver());
    sim::ke::StartConcurrent();
  }
};

TEST_F(ConcurrentQueueTest, EveryRequestIsCompletedOnceWhileSendersCancellersServersAndFlushesRace) {
  constexpr int kSenders = 2;
  constexpr int kPerSender = 200;
  const Kind kinds[] = {Kind::Reads, Kind::Writes, Kind::Waits};

  std::vector<std::unique_ptr<Request>> requests;
  for (int i = 0; i < kSenders * kPerSender; ++i) {
    requests.push_back(std::make_unique<Request>(device_, MajorOf(kinds[i % 3])));
    if (kinds[i % 3] == Kind::Waits) {  // a wait's output is the events, one ULONG
      requests.back()->Stack()->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
      requests.back()->Stack()->Parameters.DeviceIoControl.OutputBufferLength = sizeof(ULONG);
    }
  }
  std::vector<std::atomic<bool>> sent(requests.size());
  std::atomic<bool> sending{true};

  std::vector<std::thread> threads;
  for (int sender = 0; sender < kSenders; ++sender) {
    threads.emplace_back([&, sender] {
      for (int i = sender; i < static_cast<int>(requests.size()); i += kSenders) {
        EXPECT_EQ(requests[i]->Send(), STATUS_PENDING);
        sent[i].store(true);
      }
    });
  }
  threads.emplace_back([&] {  // cancels requests already sent, at random
    std::mt19937 random(7);
    while (sending.load()) {
      size_t i = random() % requests.size();
      if (sent[i].load()) requests[i]->Cancel();
    }
  });
  threads.emplace_back([&] {  // serves current requests of every kind
    std::mt19937 random(11);
    while (sending.load()) {
      Kind kind = kinds[random() % 3];
      if (MakeNextCurrent(port_, kind) != nullptr) ServeCurrent(port_, kind, STATUS_SUCCESS, 1);
    }
  });
  threads.emplace_back([&] {  // flushes now and then
    while (sending.load()) {
      CancelAllReads(device_);
      std::this_thread::yield();
      CancelAllWaits(device_);
      std::this_thread::yield();
      CancelAllWrites(device_);
    }
  });

  for (int sender = 0; sender < kSenders; ++sender) threads[sender].join();
  sending.store(false);
  for (size_t i = kSenders; i < threads.size(); ++i) threads[i].join();
  CancelAllRequests(device_);

  size_t served = 0;
  for (auto& request : requests) {
    ASSERT_TRUE(request->Completed());
    EXPECT_TRUE(request->Status() == STATUS_SUCCESS || request->Status() == STATUS_CANCELLED)
        << std::hex << request->Status();
    if (request->Status() == STATUS_SUCCESS) ++served;
  }
  EXPECT_EQ(PendingIo(), 1);
  RecordProperty("served", static_cast<int>(served));
}

TEST_F(ConcurrentQueueTest, PendingIoCountReturnsToItsBaselineAndCloseSeesIt) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        EXPECT_GE(IncrementIoCount(device_), 2);
        EXPECT_GE(DecrementIoCount(device_), 1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(PendingIo(), 1);
  EXPECT_EQ(KeWaitForSingleObject(&port_->NoPendingIoEvent, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&port_->RemoveEvent), 0);
}

// What close relies on: a thread waiting for the count to fall back to its
// baseline is released by the completion of the last request, on another
// thread.
TEST_F(ConcurrentQueueTest, AWaiterForTheBaselineIsReleasedByTheLastCompletion) {
  auto read = std::make_unique<Request>(device_, IRP_MJ_READ);
  ASSERT_EQ(read->Send(), STATUS_PENDING);
  KeClearEvent(&port_->NoPendingIoEvent);

  std::atomic<bool> released{false};
  std::thread closer([&] {
    EXPECT_EQ(KeWaitForSingleObject(&port_->NoPendingIoEvent, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    released.store(true);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(released.load()) << "a read is still held";
  CancelAllReads(device_);
  closer.join();
  EXPECT_TRUE(released.load());
  EXPECT_EQ(read->Status(), STATUS_CANCELLED);
}
