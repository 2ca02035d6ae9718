/*
 * Failure injection for the kernel services that report failure with a
 * status (registry, object names, device interfaces): a plan of calls to
 * fail, consumed one call at a time. A call that fails this way changes
 * nothing, as the real service changes nothing when it fails.
 */
#pragma once

#include "driver/platform/platform.h"

#include <mutex>
#include <optional>

namespace sim::verifier {

class FailurePlan {
 public:
  // After `after` more calls that go through, the following `count` calls
  // fail with `status`. Replaces any earlier plan.
  void FailNext(unsigned count, NTSTATUS status, unsigned after = 0) {
    std::lock_guard<std::mutex> hold(lock_);
    skip_ = after;
    count_ = count;
    status_ = status;
  }

  // Called once per call of the service: the status to fail it with, if
  // this call is one the plan fails.
  std::optional<NTSTATUS> Take() {
    std::lock_guard<std::mutex> hold(lock_);
    if (count_ == 0) return std::nullopt;
    if (skip_ != 0) {
      --skip_;
      return std::nullopt;
    }
    --count_;
    return status_;
  }

  void Clear() { FailNext(0, 0); }

 private:
  std::mutex lock_;
  unsigned skip_ = 0;
  unsigned count_ = 0;
  NTSTATUS status_ = 0;
};

}  // namespace sim::verifier
