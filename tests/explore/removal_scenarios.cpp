// Unplugging against everything an application does: a request admitted
// around the unplug must be refused or ended by it, time-outs that expire
// while the port goes away must find it still there, and the port must
// come down cleanly whichever step of its life the unplug meets.
#include "explore/port_world.h"
#include "explore/scenario_list.h"

namespace explore {
namespace {

// One request of an application against the unplug. `send` sends it.
class AdmissionVsSurpriseRemoval : public PortWorld {
 public:
  explicit AdmissionVsSurpriseRemoval(std::function<void(AdmissionVsSurpriseRemoval&)> send)
      : send_(std::move(send)) {}

  void AddActors(sim::explore::Explorer& explorer) override {
    explorer.AddActor("application", [this] { send_(*this); });
    explorer.AddActor("PnP manager", [this] { Unplug(); });
  }
  void Check(Problems& problems) override {
    ExpectEveryRequestEnded(problems, "after the surprise removal has finished");
    ExpectPortIdle(problems, "after the surprise removal");
  }

  using PortWorld::Control;
  using PortWorld::Read;
  using PortWorld::Write;

 protected:
  void Prepare(Problems& problems) override {
    if (ControlNow(IOCTL_SERIAL_SET_WAIT_MASK, sim::io::BytesOf(ULONG{SERIAL_EV_RXCHAR})) != STATUS_SUCCESS) {
      problems.push_back("the wait mask cannot be set");
    }
  }

 private:
  std::function<void(AdmissionVsSurpriseRemoval&)> send_;
};

// A read and a write pending with their time-outs due any moment, as the
// device goes away; the removal follows the application's close.
class RemovalWithTimeoutsExpiring : public PortWorld {
 public:
  void AddActors(sim::explore::Explorer& explorer) override {
    explorer.AddActor("application", [this] {
      Read("the read", 16);
      Write("the write", Stream(300, 5));
      Close();
    });
    explorer.AddActor("PnP manager", [this] {
      Unplug();
      RemoveAfterClose();
    });
  }
  void Check(Problems& problems) override {
    ExpectEveryRequestEnded(problems, "after close and removal");
    if (Port() != nullptr) problems.push_back("the port is still there after removal");
  }

 protected:
  void Prepare(Problems& problems) override {
    SERIAL_TIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = 5;
    timeouts.WriteTotalTimeoutConstant = 5;
    if (SetTimeouts(timeouts) != STATUS_SUCCESS) problems.push_back("the time-outs cannot be set");
    model_->HoldOut();
  }
};

// A whole device life (open, write, read, close) while the device is
// unplugged after the application's `step`-th step (0: any time).
class UnplugDuringLife : public PortWorld {
 public:
  explicit UnplugDuringLife(int step) : step_(step) { openAtStart_ = false; }

  void AddActors(sim::explore::Explorer& explorer) override {
    explorer.AddActor("application", [this] {
      std::unique_ptr<sim::io::FileHandle> handle;
      bool open = sim::io::FileHandle::Open(PortDevice(), &handle) == STATUS_SUCCESS;
      done_ = 1;
      if (open) {
        Write("the write", Stream(40, 1));
        done_ = 2;
        Read("the read", 4);
        done_ = 3;
        handle->Close();
      }
      closed_ = true;
      done_ = 4;
    });
    explorer.AddActor("device", [this] { model_->SendIn(Stream(4, 100)); });
    explorer.AddActor("PnP manager", [this] {
      sim::explore::BlockUntil("the PnP manager's wait for the application's step",
                               [this] { return done_.load() >= step_; });
      Unplug();
      RemoveAfterClose();
    });
  }
  void Check(Problems& problems) override {
    ExpectEveryRequestEnded(problems, "after close and removal");
    ExpectOutStreamIntact(problems);
    if (Port() != nullptr) problems.push_back("the port is still there after removal");
  }

 private:
  int step_;
  std::atomic<int> done_{0};
};

}  // namespace

std::unique_ptr<Scenario> MakeReadAdmissionVsSurpriseRemoval() {
  return std::make_unique<AdmissionVsSurpriseRemoval>([](auto& world) { world.Read("the read", 8); });
}
std::unique_ptr<Scenario> MakeWriteAdmissionVsSurpriseRemoval() {
  return std::make_unique<AdmissionVsSurpriseRemoval>([](auto& world) { world.Write("the write", Stream(40, 1)); });
}
std::unique_ptr<Scenario> MakeWaitAdmissionVsSurpriseRemoval() {
  return std::make_unique<AdmissionVsSurpriseRemoval>(
      [](auto& world) { world.Control("the wait-on-mask", IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG)); });
}
std::unique_ptr<Scenario> MakeControlAdmissionVsSurpriseRemoval() {
  return std::make_unique<AdmissionVsSurpriseRemoval>([](auto& world) {
    world.Control("the comm-status request", IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
  });
}
std::unique_ptr<Scenario> MakeFlushAdmissionVsSurpriseRemoval() {
  return std::make_unique<AdmissionVsSurpriseRemoval>([](auto& world) {
    world.Read("the read", 8);
    world.Control("the purge", IOCTL_SERIAL_PURGE,
                  sim::io::BytesOf(ULONG{SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXCLEAR}));
  });
}
std::unique_ptr<Scenario> MakeRemovalWithTimeoutsExpiring() { return std::make_unique<RemovalWithTimeoutsExpiring>(); }
std::unique_ptr<Scenario> MakeUnplugDuringLife(int step) { return std::make_unique<UnplugDuringLife>(step); }

}  // namespace explore
