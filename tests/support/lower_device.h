/*
 * A stand-in for the device the port attaches to: it records every request
 * that reaches it (what the stack location said, the status the IRP carried
 * on arrival, whether a completion routine was set above it) and either
 * completes it at once with a chosen status or holds it pending until the
 * test completes it.
 */
#pragma once

#include "driver/platform/platform.h"
#include "sim/io/driver.h"

#include <functional>
#include <memory>
#include <vector>

class LowerDevice {
 public:
  struct Seen {
    UCHAR major;
    UCHAR minor;
    NTSTATUS statusOnArrival;
    bool completionRoutineAbove;  // the sender set a completion routine
    IO_STACK_LOCATION stack;      // copy of the location as it arrived
    PIRP irp;
  };

  LowerDevice();
  ~LowerDevice();

  PDEVICE_OBJECT Device() const { return device_; }

  // Requests from now on are completed with this status (the default is
  // STATUS_SUCCESS), or held pending when hold is true.
  void CompleteWith(NTSTATUS status) { status_ = status; hold_ = false; }
  void Hold() { hold_ = true; }

  // Runs on every request's arrival, before it is recorded or answered:
  // what the device above has left in place while the request is below.
  void OnArrival(std::function<void(PIRP)> hook) { onArrival_ = std::move(hook); }

  // Completes the oldest held request with the given status.
  void CompleteHeld(NTSTATUS status);
  size_t HeldCount() const { return held_.size(); }

  const std::vector<Seen>& Requests() const { return seen_; }

 private:
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

  std::unique_ptr<sim::io::LoadedDriver> driver_;
  PDEVICE_OBJECT device_ = nullptr;
  NTSTATUS status_ = STATUS_SUCCESS;
  bool hold_ = false;
  std::function<void(PIRP)> onArrival_;
  std::vector<Seen> seen_;
  std::vector<PIRP> held_;
};
