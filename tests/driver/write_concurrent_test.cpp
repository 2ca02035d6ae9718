// Writes under real threads: writes sent from several threads while the
// device accepts or fails their transfers on the bus's thread, time-outs
// expire on the DPC thread, and writes are cancelled and flushed from
// others. Every write must complete exactly once (the verifier reports a
// second completion), every transfer request must be freed, and the device
// must receive, for each write, a prefix of its data, whole, in one piece.
// Run under ThreadSanitizer in the tsan build.
#include "support/usb_port_test.h"

#include "driver/frame/queue.h"
#include "sim/io/transfer_request.h"
#include "sim/ke/clock.h"
#include "sim/ke/ke.h"
#include "sim/usb/devices/layouts.h"

#include <atomic>
#include <map>
#include <random>
#include <thread>

using sim::io::TransferRequest;
using sim::usb::Bytes;

class WriteConcurrentTest : public UsbPortTest {};

TEST_F(WriteConcurrentTest, EveryWriteCompletesOnceAndEachReachesTheDeviceInOnePiece) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  Device().AnswerLater();
  ASSERT_EQ(Open(), STATUS_SUCCESS);
  port_->Timeouts.WriteTotalTimeoutConstant = 10;  // 510 ms of virtual time per write
  Device().HoldOut();
  sim::ke::StartConcurrent();

  // Lengths and acceptances are multiples of 4, so the stream is made of
  // 4-byte units, each naming its write and its place in it. A transfer
  // that takes nothing ends its write with STATUS_IO_DEVICE_ERROR.
  constexpr int kSenders = 2;
  constexpr int kWrites = 300;
  std::mt19937 lengths(300);
  std::vector<std::unique_ptr<TransferRequest>> writes;  // index = the write's number
  for (int number = 0; number < kWrites; ++number) {
    Bytes data(4 * (1 + lengths() % 200));
    for (size_t unit = 0; unit < data.size() / 4; ++unit) {
      data[4 * unit] = static_cast<uint8_t>(number);
      data[4 * unit + 1] = static_cast<uint8_t>(number >> 8);
      data[4 * unit + 2] = static_cast<uint8_t>(unit);
      data[4 * unit + 3] = static_cast<uint8_t>(unit >> 8);
    }
    writes.push_back(TransferRequest::Write(device_, data));
  }
  std::vector<std::atomic<bool>> sent(kWrites);
  std::atomic<int> sendersLeft{kSenders};

  std::vector<std::thread> threads;
  for (int sender = 0; sender < kSenders; ++sender) {
    threads.emplace_back([&, sender] {
      std::mt19937 random(40 + sender);
      for (int number = sender; number < kWrites; number += kSenders) {
        EXPECT_EQ(writes[number]->Send(), STATUS_PENDING);
        sent[number].store(true);
        // Mostly one write at a time, now and then several queued.
        if (random() % 4 != 0) {
          EXPECT_TRUE(writes[number]->WaitCompleted(10'000)) << "a write never ended";
        }
      }
      --sendersLeft;
    });
  }
  threads.emplace_back([&] {  // the device: takes part of each transfer, now and then fails one
    std::mt19937 random(5);
    int stalled = 0;  // rounds left in which the device takes nothing, so that writes time out
    while (sendersLeft.load() > 0) {
      if (stalled > 0) {
        --stalled;
      } else if (random() % 300 == 0) {
        stalled = 500;
      } else if (bus_->Queued(sim::usb::layouts::kBulkOut) > 0 && random() % 4 == 0) {
        if (random() % 50 == 0) {
          // Idealised: the pipe stays usable, so that the traffic goes on.
          Device().FailNextTransfer(sim::usb::layouts::kBulkOut, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC,
                                    sim::usb::ScriptedDevice::Halt::Never);
        } else {
          Device().ReleaseOut(4 * (random() % 80));
        }
      }
      std::this_thread::yield();
    }
  });
  threads.emplace_back([&] {  // virtual time, so that the write timers expire
    while (sendersLeft.load() > 0) {
      sim::clock::AdvanceMs(5);
      std::this_thread::yield();
    }
  });
  threads.emplace_back([&] {  // cancels writes at random, flushes now and then
    std::mt19937 random(9);
    while (sendersLeft.load() > 0) {
      if (random() % 3000 == 0) CancelAllWrites(device_);
      size_t number = random() % kWrites;
      if (sent[number].load() && random() % 100 == 0) writes[number]->Cancel();
      std::this_thread::yield();
    }
  });
  for (auto& thread : threads) thread.join();

  Device().AcceptAllOut();
  for (auto& write : writes) ASSERT_TRUE(write->WaitCompleted(10'000)) << "a write was never completed";
  for (int i = 0; i < 10'000 && __atomic_load_n(&port_->PendingIoCount, __ATOMIC_ACQUIRE) != 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  sim::ke::StopConcurrent();
  EXPECT_EQ(PendingIo(), 2) << "a transfer request is still held";
  EXPECT_EQ(port_->WriteUrbIrp, nullptr);

  // Each write's units arrive in one run from its first unit on, never
  // twice; a successful write arrives whole, and no write reports more
  // than arrived.
  Bytes out = Device().OutBytes();
  ASSERT_EQ(out.size() % 4, 0u);
  std::map<int, size_t> arrived;  // write number -> units received
  int previous = -1;
  for (size_t at = 0; at < out.size(); at += 4) {
    int number = out[at] | out[at + 1] << 8;
    size_t unit = out[at + 2] | out[at + 3] << 8;
    ASSERT_LT(number, static_cast<int>(writes.size()));
    if (number != previous) {
      ASSERT_EQ(arrived.count(number), 0u) << "write " << number << " arrived in two pieces";
      previous = number;
    }
    ASSERT_EQ(unit, arrived[number]++) << "write " << number << " out of order at byte " << at;
  }
  for (size_t number = 0; number < writes.size(); ++number) {
    const TransferRequest& write = *writes[number];
    size_t length = write.Buffer().size();
    EXPECT_LE(write.Information(), arrived[number] * 4) << "write " << number;
    EXPECT_LE(arrived[number] * 4, length) << "write " << number;
    if (write.Status() == STATUS_SUCCESS) {
      EXPECT_EQ(write.Information(), length) << "write " << number;
    }
    EXPECT_TRUE(write.Status() == STATUS_SUCCESS || write.Status() == STATUS_CANCELLED ||
                write.Status() == STATUS_TIMEOUT || write.Status() == STATUS_DEVICE_DATA_ERROR ||
                write.Status() == STATUS_IO_DEVICE_ERROR)
        << std::hex << write.Status();
  }
}
