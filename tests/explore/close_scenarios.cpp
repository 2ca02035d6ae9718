// Close against the paths that re-arm themselves: the bulk-in reader's
// completion, a write's chunked transfers, and open/close cycles with data
// arriving. Close must return, and leave no transfer on the bus and the
// pending-I/O count at its baseline, whatever the reader and writer do.
#include "explore/port_world.h"
#include "explore/scenario_list.h"

namespace explore {
namespace {

class CloseVsReaderCompletion : public PortWorld {
 public:
  void AddActors(sim::explore::Explorer& explorer) override {
    explorer.AddActor("device", [this] { model_->SendIn(Stream(3, 1)); });
    explorer.AddActor("application", [this] { Close(); });
  }
  void Check(Problems& problems) override { ExpectPortIdle(problems, "after close"); }
};

class CloseVsWriteTransfer : public PortWorld {
 public:
  void Prepare(Problems& problems) override {
    (void)problems;
    model_->HoldOut();
  }
  void AddActors(sim::explore::Explorer& explorer) override {
    explorer.AddActor("application", [this] {
      Write("the write", Stream(600, 3));
      Close();
    });
    explorer.AddActor("device", [this] {
      model_->ReleaseOut();
      model_->ReleaseOut();
    });
  }
  void Check(Problems& problems) override {
    ExpectEveryRequestEnded(problems, "after close");
    ExpectPortIdle(problems, "after close");
    ExpectOutStreamIntact(problems);
  }
};

class OpenCloseCycles : public PortWorld {
 public:
  OpenCloseCycles() { openAtStart_ = false; }
  void AddActors(sim::explore::Explorer& explorer) override {
    explorer.AddActor("application", [this] {
      for (int cycle = 0; cycle < 3; ++cycle) {
        std::unique_ptr<sim::io::FileHandle> handle;
        if (sim::io::FileHandle::Open(PortDevice(), &handle) == STATUS_SUCCESS) {
          opened_++;
          handle->Close();
        }
      }
    });
    explorer.AddActor("device", [this] {
      for (uint8_t chunk = 0; chunk < 3; ++chunk) model_->SendIn(Stream(5, chunk * 16));
    });
  }
  void Check(Problems& problems) override {
    if (opened_ != 3) problems.push_back(std::to_string(opened_) + " of 3 opens succeeded");
    ExpectPortIdle(problems, "after the last close");
  }

 private:
  int opened_ = 0;
};

}  // namespace

std::unique_ptr<Scenario> MakeCloseVsReaderCompletion() { return std::make_unique<CloseVsReaderCompletion>(); }
std::unique_ptr<Scenario> MakeCloseVsWriteTransfer() { return std::make_unique<CloseVsWriteTransfer>(); }
std::unique_ptr<Scenario> MakeOpenCloseCycles() { return std::make_unique<OpenCloseCycles>(); }

}  // namespace explore
