/*
 * Pipe queues: bulk and interrupt transfers wait on their pipe's queue
 * until the device model can answer them, in submission order. While a
 * request is queued it carries the bus's cancel routine, and one order is
 * kept every time:
 *   - queue under the bus lock, then install the cancel routine; if the IRP
 *     was cancelled meanwhile and the routine can be taken back, take it off
 *     the queue again and complete it as cancelled;
 *   - to answer a queued request, take the cancel routine back under the
 *     bus lock (IoSetCancelRoutine to null); if it is already gone, a cancel
 *     is running: leave the request to it;
 *   - the cancel routine releases the cancel spin lock first, then takes the
 *     request off its queue under the bus lock and completes it.
 * Only one thread at a time serves a bus (answers queued requests), so a
 * pipe's transfers complete in order; whoever changes something while it
 * serves leaves a note (`more`) and the serving thread looks again.
 */
#include "sim/usb/bus_state.h"

#include "sim/ke/ke.h"
#include "sim/verifier/verifier.h"

#include <algorithm>

namespace sim::usb {
namespace {

// The buses this thread is serving, innermost last.
thread_local std::vector<const BusState*> t_serving;

bool ServingHere(const BusState* bus) { return std::find(t_serving.begin(), t_serving.end(), bus) != t_serving.end(); }

class ServingMark {
 public:
  explicit ServingMark(const BusState* bus) { t_serving.push_back(bus); }
  ~ServingMark() { t_serving.pop_back(); }
  ServingMark(const ServingMark&) = delete;
  ServingMark& operator=(const ServingMark&) = delete;
};

// Takes a queued request back from its cancel routine; false when a cancel
// has taken the routine already (it will run, unqueue and complete).
bool Claim(PIRP irp) { return IoSetCancelRoutine(irp, nullptr) != nullptr; }

void ZeroTransferLength(PURB urb) {
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
      break;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      urb->UrbControlDescriptorRequest.TransferBufferLength = 0;
      break;
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
      urb->UrbControlGetStatusRequest.TransferBufferLength = 0;
      break;
    default:
      break;
  }
}

const Outcome kCancelled{STATUS_CANCELLED, USBD_STATUS_CANCELED};

// Runs at DISPATCH_LEVEL with the cancel spin lock held, on the thread that
// called IoCancelIrp.
VOID NTAPI CancelQueued(PDEVICE_OBJECT pdo, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  BusState* bus = BusState::Of(pdo);
  KIRQL irql = bus->Acquire();
  bus->ForgetLocked(irp);
  bus->Release(irql);
  PURB urb = static_cast<PURB>(URB_FROM_IRP(irp));
  ZeroTransferLength(urb);
  CompleteUrb(irp, urb, kCancelled);
  // A serving thread may have passed over this pipe while the cancel held it.
  bus->Kick();
}

// Queues a request with the cancel routine; false if it was cancelled
// before the routine was in place, and the caller completes it. Needs the
// bus lock.
bool QueueLocked(std::deque<PIRP>& queue, PIRP irp) {
  IoMarkIrpPending(irp);
  queue.push_back(irp);
  IoSetCancelRoutine(irp, CancelQueued);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    queue.pop_back();
    return false;
  }
  return true;
}

}  // namespace

Transfer TransferOf(PURB urb, const Pipe& pipe) {
  const auto& bulk = urb->UrbBulkOrInterruptTransfer;
  return Transfer{pipe.endpoint.address, pipe.endpoint.maxPacket, (bulk.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0,
                  static_cast<uint8_t*>(bulk.TransferBuffer), bulk.TransferBufferLength};
}

NTSTATUS BusState::SubmitTransfer(PIRP irp, PURB urb) {
  auto& bulk = urb->UrbBulkOrInterruptTransfer;
  if (urb->UrbHeader.Length != sizeof bulk ||
      (bulk.TransferBuffer == nullptr && bulk.TransferBufferMDL == nullptr && bulk.TransferBufferLength != 0)) {
    bulk.TransferBufferLength = 0;
    CompleteUrb(irp, urb, Failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER));
    return STATUS_INVALID_PARAMETER;
  }
  if (bulk.TransferBufferMDL != nullptr || bulk.UrbLink != nullptr) {
    verifier::Report(verifier::Rule::UnsupportedCall, bulk.UrbLink != nullptr
                                                          ? "a bulk transfer URB with UrbLink set (linked URBs)"
                                                          : "a bulk transfer URB with a TransferBufferMDL");
    bulk.TransferBufferLength = 0;
    CompleteUrb(irp, urb, Failure(STATUS_NOT_SUPPORTED, USBD_STATUS_NOT_SUPPORTED));
    return STATUS_NOT_SUPPORTED;
  }

  KIRQL irql = Acquire();
  std::shared_ptr<Pipe> pipe = FindPipeLocked(bulk.PipeHandle);
  uint8_t type = pipe ? (pipe->endpoint.attributes & 3) : 0;
  std::optional<Outcome> gone = model.Gone();
  if (pipe && !gone && pipe->halted) {
    Release(irql);
    bulk.TransferBufferLength = 0;
    CompleteUrb(irp, urb, kHaltedPipe);
    return kHaltedPipe.status;
  }
  if (gone || !pipe || (type != kBulk && type != kInterrupt)) {
    Release(irql);
    bulk.TransferBufferLength = 0;
    Outcome outcome = gone ? *gone : Failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    CompleteUrb(irp, urb, outcome);
    return outcome.status;
  }
  // The direction is the endpoint's, whatever the flags said.
  bool in = (pipe->endpoint.address & kDirectionIn) != 0;
  bulk.TransferFlags = (bulk.TransferFlags & ~USBD_TRANSFER_DIRECTION) | (in ? USBD_TRANSFER_DIRECTION_IN : 0);

  Transfer transfer = TransferOf(urb, *pipe);
  if (model.GetTiming() == Timing::Inline && !serving && pipe->queue.empty() && model.CanAnswer(transfer)) {
    // Answered inside IofCallDriver: this thread serves the bus for now.
    serving = true;
    pipe->inFlight++;
    ServingMark mark(this);
    Release(irql);
    TransferAnswer answer = model.Answer(transfer);
    HaltOnFailure(pipe, answer.outcome);
    bulk.TransferBufferLength = answer.moved;
    CompleteUrb(irp, urb, answer.outcome);
    // Don't touch the IRP or the URB from here: the caller may have them back.
    FinishInFlight(pipe);
    ServeLoop(Acquire());
    return answer.outcome.status;
  }

  bool queued = QueueLocked(pipe->queue, irp);
  Release(irql);
  if (!queued) {
    bulk.TransferBufferLength = 0;
    CompleteUrb(irp, urb, kCancelled);
    return STATUS_PENDING;
  }
  Kick();
  return STATUS_PENDING;
}

NTSTATUS BusState::QueueControl(PIRP irp) {
  KIRQL irql = Acquire();
  bool queued = QueueLocked(control, irp);
  Release(irql);
  if (!queued) {
    PURB urb = static_cast<PURB>(URB_FROM_IRP(irp));
    ZeroTransferLength(urb);
    CompleteUrb(irp, urb, kCancelled);
    return STATUS_PENDING;
  }
  Kick();
  return STATUS_PENDING;
}

// Aborting is the host's business, not the device's: it is carried out at
// once. Every transfer queued on the pipe completes as cancelled; a transfer
// whose completion is running on some thread is waited for, so that when the
// abort completes no transfer of the pipe is outstanding.
NTSTATUS BusState::AbortPipe(PIRP irp, PURB urb) {
  if (urb->UrbHeader.Length != sizeof(struct _URB_PIPE_REQUEST)) {
    CompleteUrb(irp, urb, Failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER));
    return STATUS_INVALID_PARAMETER;
  }
  if (std::optional<Outcome> gone = model.Gone()) {
    CompleteUrb(irp, urb, *gone);
    return gone->status;
  }
  KIRQL irql = Acquire();
  std::shared_ptr<Pipe> pipe = FindPipeLocked(urb->UrbPipeRequest.PipeHandle);
  if (!pipe) {
    Release(irql);
    CompleteUrb(irp, urb, Failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE));
    return STATUS_INVALID_PARAMETER;
  }
  std::vector<PIRP> aborted;
  std::deque<PIRP> left;  // those a cancel is taking already
  for (PIRP queued : pipe->queue) (Claim(queued) ? aborted.push_back(queued) : left.push_back(queued));
  pipe->queue.swap(left);
  bool waits = pipe->inFlight > 0;
  if (waits) {
    IoMarkIrpPending(irp);
    pipe->aborts.push_back(irp);
  }
  Release(irql);

  for (PIRP transfer : aborted) {
    PURB transferUrb = static_cast<PURB>(URB_FROM_IRP(transfer));
    ZeroTransferLength(transferUrb);
    CompleteUrb(transfer, transferUrb, kCancelled);
  }
  if (waits) return STATUS_PENDING;
  CompleteUrb(irp, urb, Success());
  return STATUS_SUCCESS;
}

void BusState::Kick() {
  if (ServingHere(this)) return;  // the serving loop on this thread looks again
  if (model.GetTiming() == Timing::Deferred) {
    deferral.Post(model.LatencyMs());
    return;
  }
  Serve();
}

void BusState::Serve() {
  KIRQL irql = Acquire();
  if (serving) {
    more = true;
    Release(irql);
    return;
  }
  serving = true;
  ServeLoop(irql);
}

// Entered with the bus lock held and `serving` set by this thread; leaves
// with both released.
void BusState::ServeLoop(KIRQL irql) {
  ServingMark mark(this);
  for (;;) {
    std::optional<Work> work = TakeAnswerableLocked();
    if (!work) {
      if (!more) break;
      more = false;
      continue;
    }
    Release(irql);
    Finish(*work);
    irql = Acquire();
  }
  serving = false;
  Release(irql);
}

std::optional<Work> BusState::TakeAnswerableLocked() {
  std::optional<Outcome> gone = model.Gone();
  if (!control.empty() && Claim(control.front())) {
    PIRP irp = control.front();
    control.pop_front();
    return Work{irp, nullptr, gone};
  }
  for (const std::shared_ptr<Pipe>& pipe : pipes) {
    if (pipe->queue.empty()) continue;
    PIRP head = pipe->queue.front();
    bool halted = !gone && pipe->halted;  // answered by the bus, not the device
    if (!gone && !halted && !model.CanAnswer(TransferOf(static_cast<PURB>(URB_FROM_IRP(head)), *pipe))) continue;
    if (!Claim(head)) continue;  // being cancelled; the cancel routine kicks again
    pipe->queue.pop_front();
    pipe->inFlight++;
    return Work{head, pipe, gone, halted};
  }
  return std::nullopt;
}

void BusState::Finish(const Work& work) {
  PURB urb = static_cast<PURB>(URB_FROM_IRP(work.irp));
  if (!work.pipe) {
    CompleteUrb(work.irp, urb, AnswerControl(urb));
    return;
  }
  TransferAnswer answer = work.gone     ? TransferAnswer{*work.gone, 0}
                          : work.halted ? TransferAnswer{kHaltedPipe, 0}
                                        : model.Answer(TransferOf(urb, *work.pipe));
  HaltOnFailure(work.pipe, answer.outcome);
  urb->UrbBulkOrInterruptTransfer.TransferBufferLength = answer.moved;
  CompleteUrb(work.irp, urb, answer.outcome);
  FinishInFlight(work.pipe);
}

void BusState::FinishInFlight(const std::shared_ptr<Pipe>& pipe) {
  std::vector<PIRP> aborts;
  KIRQL irql = Acquire();
  if (--pipe->inFlight == 0) aborts.swap(pipe->aborts);
  Release(irql);
  for (PIRP abort : aborts) CompleteUrb(abort, static_cast<PURB>(URB_FROM_IRP(abort)), Success());
}

void BusState::ForgetLocked(PIRP irp) {
  auto forget = [irp](std::deque<PIRP>& queue) {
    queue.erase(std::remove(queue.begin(), queue.end(), irp), queue.end());
  };
  forget(control);
  for (const std::shared_ptr<Pipe>& pipe : pipes) forget(pipe->queue);
}

size_t BusState::QueuedLocked() const {
  size_t count = control.size();
  for (const std::shared_ptr<Pipe>& pipe : pipes) count += pipe->queue.size() + pipe->aborts.size();
  return count;
}

}  // namespace sim::usb
