/*
 * The bus driver's private state and the routines its files share. One
 * BusState per simulated bus; its PDO's extension points back at it.
 *
 * Locking: `lock` (a spin lock, so it raises to DISPATCH_LEVEL and takes
 * part in the verifier's lock-order checks) guards the pipes, their queues,
 * the deferred control queue and the serving flags. It is never held while
 * calling out of the bus (IofCompleteRequest) nor while a model changes its
 * own state on the test's side. Order: lock, then the model's own lock.
 */
#pragma once

#include "driver/platform/platform.h"
#include "sim/io/driver.h"
#include "sim/usb/bus.h"
#include "sim/usb/deferral.h"
#include "sim/usb/device_model.h"

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace sim::usb {

// When the request at the head of a queue completes (realistic timing):
// fixed by the completion policy once the device can answer it.
struct HeadDue {
  PIRP irp = nullptr;  // valid while this IRP is still the head
  int64_t due = 0;
};

// An open pipe of the selected configuration.
struct Pipe {
  USBD_PIPE_HANDLE handle;
  EndpointInfo endpoint;
  ULONG maxTransfer = 0xFFFFFFFF;  // MaximumTransferSize the driver asked for
  std::deque<PIRP> queue;    // transfers waiting, oldest first, each with CancelQueued set
  HeadDue headDue;
  int inFlight = 0;          // taken off the queue and not yet completed
  std::vector<PIRP> aborts;  // ABORT_PIPE requests waiting for inFlight to reach 0
  bool halted = false;       // a data transfer failed; only a pipe reset clears it (halt.cpp)
};

// A request ended before the device answered it (cancelled, aborted, or its
// device surprise-removed), waiting for the bus's DPC to complete it.
struct Ended {
  PIRP irp;
  std::shared_ptr<Pipe> pipe;  // null for a control request
  Outcome outcome;
  uint32_t moved;  // bytes the device had moved by then
};

// A request taken off a queue by the serving thread, to be answered.
struct Work {
  PIRP irp;
  std::shared_ptr<Pipe> pipe;  // null for a deferred control request
  std::optional<Outcome> gone;
  std::optional<Ended> ended;  // complete it as it ended
  bool abort = false;          // an ABORT_PIPE whose transfers are all done
  bool halted = false;  // taken off a halted pipe: fails without reaching the device
};

// What a device that is gone answers, as Windows' USB hub does for a device
// no longer connected to its port.
const Outcome kDeviceGone{STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};

class BusState {
 public:
  explicit BusState(DeviceModel& model);
  ~BusState();

  DeviceModel& model;
  std::unique_ptr<io::LoadedDriver> driver;
  PDEVICE_OBJECT pdo = nullptr;
  PVOID deviceHandle;  // what the URB header's UsbdDeviceHandle gets

  KSPIN_LOCK lock;
  std::vector<std::shared_ptr<Pipe>> pipes;  // of the selected configuration
  std::deque<PIRP> control;                  // control requests answered later
  HeadDue controlDue;
  std::deque<Ended> ended;                   // to be completed by the next DPC
  bool surpriseRemoved = false;              // the PDO got IRP_MN_SURPRISE_REMOVAL
  uint8_t configuration = 0;
  USBD_CONFIGURATION_HANDLE configurationHandle = nullptr;
  bool serving = false;  // some thread runs the serving loop
  bool more = false;     // something changed while it ran

  mutable std::mutex logLock;
  // The most recent URBs, at most kUrbLogLimit: a long run keeps no trail.
  static constexpr size_t kUrbLogLimit = 4096;
  std::deque<UrbSeen> log;

  // Plug and Play: answers set by the test, requests seen, and the clock
  // entries of requests answered later (cancelled with the bus).
  struct PnpAnswer {
    NTSTATUS status;
    bool later;
    uint64_t latencyMs;
  };
  mutable std::mutex pnpLock;  // guards the three below
  std::map<UCHAR, PnpAnswer> pnpAnswers;
  std::vector<UCHAR> pnpSeen;
  std::vector<uint64_t> pnpPending;

  Deferral deferral;

  KIRQL Acquire();
  void Release(KIRQL irql);

  // --- urb.cpp: the IOCTL_INTERNAL_USB_SUBMIT_URB entry and control requests
  NTSTATUS SubmitUrb(PIRP irp);
  Outcome AnswerControl(PURB urb);

  // --- configuration.cpp
  Outcome SelectConfiguration(PURB urb);
  // Closes every pipe; their queued transfers are returned to be completed
  // as cancelled. Needs `lock`.
  std::vector<PIRP> ClosePipesLocked();
  std::shared_ptr<Pipe> FindPipeLocked(USBD_PIPE_HANDLE handle) const;

  // --- pipes.cpp
  NTSTATUS SubmitTransfer(PIRP irp, PURB urb);
  NTSTATUS AbortPipe(PIRP irp, PURB urb);
  NTSTATUS QueueControl(PIRP irp);
  // Something may have become answerable: serve now or later, per timing.
  void Kick();
  // Answers whatever can be answered until nothing is left.
  void Serve();
  // Takes a cancelled request off whichever queue holds it, with the bytes
  // the device moved so far (realistic timing). Needs `lock`.
  std::optional<Ended> ForgetLocked(PIRP irp);
  // Ends every queued request of every pipe and the control queue with
  // `outcome` (surprise removal). Needs `lock`; returns what to complete
  // at once in the idealised timing (empty otherwise).
  std::vector<Ended> EndAllLocked(Outcome outcome);
  // Whether requests pend and complete from the bus's DPC.
  bool Realistic() const { return model.GetTiming() == Timing::Realistic; }
  // Requests still queued, for the destructor's report.
  size_t QueuedLocked() const;

  // --- halt.cpp: halted pipes and URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL
  // Halts the pipe if a transfer on it ends with this outcome.
  void HaltOnFailure(const std::shared_ptr<Pipe>& pipe, const Outcome& outcome);
  NTSTATUS ResetPipe(PIRP irp, PURB urb);

  // The bus of a PDO.
  static BusState* Of(PDEVICE_OBJECT pdo);

 private:
  void ServeLoop(KIRQL irql);
  std::optional<Work> TakeAnswerableLocked(int64_t now, std::optional<int64_t>* wake);
  // Whether the head request may complete now (realistic timing: its
  // completion time has come); otherwise `wake` gets the earliest time to look again.
  bool HeadDueLocked(HeadDue& due, PIRP head, const Transfer& transfer, int64_t now, std::optional<int64_t>* wake);
  void Finish(const Work& work);
  void FinishInFlight(const std::shared_ptr<Pipe>& pipe);
};

// Completes a request that ended before its device answered.
void CompleteEnded(const Ended& ended);

// Ends a URB request: URB status, IRP status, completion at DISPATCH_LEVEL
// as the USB stack completes its requests.
void CompleteUrb(PIRP irp, PURB urb, Outcome outcome);
// Sets a URB's transfer length to 0: it ended having moved nothing.
void ZeroTransferLength(PURB urb);
// Ends a request that carries no usable URB, at DISPATCH_LEVEL too.
void CompleteIrp(PIRP irp, NTSTATUS status);

// The transfer a bulk URB on a pipe asks for, as the device model sees it.
Transfer TransferOf(PURB urb, const Pipe& pipe);

// How a transfer on a halted pipe ends: as the USB stack fails it, without
// the device seeing it.
extern const Outcome kHaltedPipe;

// A fresh handle value: never null, never the same twice in a run, never
// dereferenced (the function driver treats handles as opaque).
PVOID NewHandle();

}  // namespace sim::usb
