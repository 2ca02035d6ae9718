// Requests against their own endings: a cancel, a completion and a
// time-out racing for one read or write, a wait-on-mask against a mask
// change, an event and its own cancel, a queue-size change against the
// reader's put, and a purge that leaves a transfer with the device.
#include "explore/port_world.h"
#include "explore/scenario_list.h"

namespace explore {
namespace {

const std::vector<uint8_t> kArriving = Stream(8, 40);

class ReadCancelVsCompletionVsTimeout : public PortWorld {
 public:
  void AddActors(sim::explore::Explorer& explorer) override {
    explorer.AddActor("application", [this] { Read("the read", 8).Cancel(); });
    explorer.AddActor("device", [this] {
      model_->SendIn({kArriving.begin(), kArriving.begin() + 3});
      model_->SendIn({kArriving.begin() + 3, kArriving.end()});
    });
  }
  void Check(Problems& problems) override {
    ExpectEveryRequestEnded(problems, "after its cancel");
    ExpectStatusAmong(problems, sent_[0], {STATUS_SUCCESS, STATUS_TIMEOUT, STATUS_CANCELLED});
    // What the read got and what a second read finds in the receive
    // buffer are the device's bytes, in order, none lost or repeated.
    std::vector<uint8_t> got = static_cast<sim::io::TransferRequest&>(*sent_[0].request).Transferred();
    std::optional<std::vector<uint8_t>> rest = Drain(64);
    if (!rest) {
      problems.push_back("a read of the rest never ended");
      return;
    }
    got.insert(got.end(), rest->begin(), rest->end());
    if (got != kArriving) {
      problems.push_back("the reads delivered " + std::to_string(got.size()) + " bytes, not the 8 the device sent");
    }
  }

 protected:
  void Prepare(Problems& problems) override {
    // Both read timers run: their DPCs may meet on the two DPC processors.
    SERIAL_TIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 1;
    timeouts.ReadTotalTimeoutConstant = 5;
    if (SetTimeouts(timeouts) != STATUS_SUCCESS) problems.push_back("the time-outs cannot be set");
  }
};

class WriteCancelVsCompletionVsTimeout : public PortWorld {
 public:
  void AddActors(sim::explore::Explorer& explorer) override {
    explorer.AddActor("application", [this] { Write("the write", Stream(300, 2)).Cancel(); });
    explorer.AddActor("device", [this] {
      model_->ReleaseOut();
      model_->ReleaseOut();
    });
  }
  void Check(Problems& problems) override {
    ExpectEveryRequestEnded(problems, "after its cancel");
    ExpectStatusAmong(problems, sent_[0], {STATUS_SUCCESS, STATUS_TIMEOUT, STATUS_CANCELLED});
    ExpectOutStreamIntact(problems);
  }

 protected:
  void Prepare(Problems& problems) override {
    SERIAL_TIMEOUTS timeouts{};
    timeouts.WriteTotalTimeoutConstant = 5;
    if (SetTimeouts(timeouts) != STATUS_SUCCESS) problems.push_back("the time-outs cannot be set");
    model_->HoldOut();
  }
};

class WaitMaskChangeVsEventVsCancel : public PortWorld {
 public:
  void AddActors(sim::explore::Explorer& explorer) override {
    explorer.AddActor("waiting application", [this] {
      Control("the wait-on-mask", IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG)).Cancel();
    });
    explorer.AddActor("application", [this] {
      Control("the mask change", IOCTL_SERIAL_SET_WAIT_MASK,
              sim::io::BytesOf(ULONG{SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY}));
    });
    explorer.AddActor("device", [this] { model_->SendIn(Stream(1, 7)); });
  }
  void Check(Problems& problems) override {
    ExpectEveryRequestEnded(problems, "after its cancel");
    for (const Sent& sent : sent_) ExpectStatusAmong(problems, sent, {STATUS_SUCCESS, STATUS_CANCELLED});
  }

 protected:
  void Prepare(Problems& problems) override {
    if (ControlNow(IOCTL_SERIAL_SET_WAIT_MASK, sim::io::BytesOf(ULONG{SERIAL_EV_RXCHAR})) != STATUS_SUCCESS) {
      problems.push_back("the wait mask cannot be set");
    }
  }
};

class QueueSizeVsReaderPut : public PortWorld {
 public:
  void AddActors(sim::explore::Explorer& explorer) override {
    explorer.AddActor("application", [this] {
      SERIAL_QUEUE_SIZE size{4096, 0};
      Control("the queue-size change", IOCTL_SERIAL_SET_QUEUE_SIZE, sim::io::BytesOf(size));
    });
    explorer.AddActor("device", [this] {
      model_->SendIn(Stream(100, 1));
      model_->SendIn(Stream(100, 101));
    });
  }
  void Check(Problems& problems) override {
    ExpectEveryRequestEnded(problems, "at the end");
    ExpectStatusAmong(problems, sent_[0], {STATUS_SUCCESS});
    std::vector<uint8_t> expected = Stream(100, 1);
    std::vector<uint8_t> second = Stream(100, 101);
    expected.insert(expected.end(), second.begin(), second.end());
    std::optional<std::vector<uint8_t>> held = Drain(400);
    if (!held || *held != expected) {
      size_t size = held ? held->size() : 0;
      size_t same = 0;
      while (same < size && same < expected.size() && (*held)[same] == expected[same]) same++;
      problems.push_back("after the queue-size change the receive buffer holds " + std::to_string(size) +
                         " bytes, the first " + std::to_string(same) + " of them as the device sent them, of 200");
    }
  }
};

// After a purge while the device holds the write's transfer, a new write
// with a time-out must be sent or time out.
class PurgeWithHeldTransferThenWrite : public PortWorld {
 public:
  void AddActors(sim::explore::Explorer& explorer) override {
    explorer.AddActor("application", [this] {
      Control("the purge", IOCTL_SERIAL_PURGE, sim::io::BytesOf(ULONG{SERIAL_PURGE_TXABORT}));
      Write("the second write", Stream(10, 77));
    });
  }
  void Check(Problems& problems) override {
    ExpectEveryRequestEnded(problems, "after its time-out");
    for (const Sent& sent : sent_) ExpectStatusAmong(problems, sent, {STATUS_SUCCESS, STATUS_TIMEOUT, STATUS_CANCELLED});
  }

 protected:
  void Prepare(Problems& problems) override {
    SERIAL_TIMEOUTS timeouts{};
    timeouts.WriteTotalTimeoutConstant = 600;
    if (SetTimeouts(timeouts) != STATUS_SUCCESS) problems.push_back("the time-outs cannot be set");
    model_->HoldOut();
    // The first write's transfer is with the device when the race starts.
    Write("the first write", Stream(20, 1));
    if (bus_->Queued(model_->BulkOut()) != 1) problems.push_back("the first write's transfer is not held");
  }
};

}  // namespace

std::unique_ptr<Scenario> MakeReadCancelVsCompletionVsTimeout() {
  return std::make_unique<ReadCancelVsCompletionVsTimeout>();
}
std::unique_ptr<Scenario> MakeWriteCancelVsCompletionVsTimeout() {
  return std::make_unique<WriteCancelVsCompletionVsTimeout>();
}
std::unique_ptr<Scenario> MakeWaitMaskChangeVsEventVsCancel() { return std::make_unique<WaitMaskChangeVsEventVsCancel>(); }
std::unique_ptr<Scenario> MakeQueueSizeVsReaderPut() { return std::make_unique<QueueSizeVsReaderPut>(); }
std::unique_ptr<Scenario> MakePurgeWithHeldTransferThenWrite() {
  return std::make_unique<PurgeWithHeldTransferThenWrite>();
}

}  // namespace explore
