/*
 * The caller's side of a request: what the I/O manager does for an
 * application (or the PnP or power manager) when it sends an IRP to the top
 * of a device stack, and how the caller learns that it finished. The IRP
 * stays readable after completion until the Request is destroyed.
 */
#pragma once

#include "driver/platform/platform.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace sim::io {

class Request {
 public:
  // An IRP with one stack location for each device of target's stack,
  // IoStatus preset to STATUS_NOT_SUPPORTED as the PnP manager presets it.
  Request(PDEVICE_OBJECT target, UCHAR major, UCHAR minor = 0);
  virtual ~Request();
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  PIRP Irp() const { return irp_; }
  // The stack location the target's driver will see; fill it before Send.
  PIO_STACK_LOCATION Stack() const;

  // IofCallDriver to the target at PASSIVE_LEVEL; returns the dispatch result.
  NTSTATUS Send();
  // IoCancelIrp, as the I/O manager does when a caller cancels: once the
  // request has completed it does nothing and returns FALSE.
  BOOLEAN Cancel();

  bool Completed() const;
  // Waits (real time) for completion; concurrent tests only.
  bool WaitCompleted(unsigned milliseconds) const;
  // Waits as a caller blocked on the request does: deterministically, by
  // letting virtual time run on to whatever can still complete it; in the
  // concurrent mode, for real under the watchdog. False if it never
  // completes (the caller reports that).
  bool Await() const;
  NTSTATUS Status() const;
  ULONG_PTR Information() const;
  // Position of this completion among all completions of requests since the
  // kernel was reset (1 = first); 0 while not completed.
  uint64_t CompletionOrder() const;
  // Virtual time (100-ns units) at which completion reached the caller.
  int64_t CompletionTime() const;

 private:
  struct Completion {
    mutable std::mutex lock;
    mutable std::condition_variable done;
    bool completed = false;
    uint64_t order = 0;
    int64_t time = 0;
  };

  PDEVICE_OBJECT target_;
  PIRP irp_;
  std::shared_ptr<Completion> completion_;
};

}  // namespace sim::io
