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
 *
 * In the realistic timing the serving thread is the bus's DPC: every
 * request pends, and a cancel, an abort or a surprise removal only takes
 * the request off its queue (with the bytes the device moved so far) and
 * leaves its completion to the DPC. In the idealised timing whoever makes
 * an answer possible serves at once, and a cancel completes its request
 * inside IoCancelIrp.
 */
#include "sim/usb/bus_state.h"

#include "sim/ke/clock.h"
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


const Outcome kCancelled{STATUS_CANCELLED, USBD_STATUS_CANCELED};

// The data length of a control request, for the completion policy.
uint32_t ControlLength(PURB urb) {
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return urb->UrbControlDescriptorRequest.TransferBufferLength;
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
      return urb->UrbControlGetStatusRequest.TransferBufferLength;
    default:
      return 0;
  }
}

// Runs at DISPATCH_LEVEL with the cancel spin lock held, on the thread that
// called IoCancelIrp.
VOID NTAPI CancelQueued(PDEVICE_OBJECT pdo, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  BusState* bus = BusState::Of(pdo);
  KIRQL irql = bus->Acquire();
  std::optional<Ended> ended = bus->ForgetLocked(irp);
  bool later = bus->Realistic() && ended;
  if (later) bus->ended.push_back(*ended);
  bus->Release(irql);
  if (later) {
    bus->Kick();
    return;
  }
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

  if (bulk.TransferBufferLength > pipe->maxTransfer) {
    // Longer than the MaximumTransferSize the pipe was opened with.
    Release(irql);
    bulk.TransferBufferLength = 0;
    CompleteUrb(irp, urb, Failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER));
    return STATUS_INVALID_PARAMETER;
  }

  Transfer transfer = TransferOf(urb, *pipe);
  if (!Realistic() && !serving && pipe->queue.empty() && model.CanAnswer(transfer)) {
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
  std::vector<Ended> aborted;
  std::deque<PIRP> left;  // those a cancel is taking already
  for (PIRP queued : pipe->queue) {
    if (!Claim(queued)) {
      left.push_back(queued);
      continue;
    }
    uint32_t moved = 0;
    if (Realistic() && queued == pipe->queue.front()) {
      moved = model.Cut(TransferOf(static_cast<PURB>(URB_FROM_IRP(queued)), *pipe));
    }
    aborted.push_back(Ended{queued, pipe, kCancelled, moved});
  }
  pipe->queue.swap(left);
  pipe->headDue = HeadDue{};
  if (Realistic()) {
    // The transfers and then the abort itself complete from the bus's DPC.
    for (const Ended& transfer : aborted) {
      pipe->inFlight++;
      ended.push_back(transfer);
    }
    IoMarkIrpPending(irp);
    pipe->aborts.push_back(irp);
    Release(irql);
    Kick();
    return STATUS_PENDING;
  }
  bool waits = pipe->inFlight > 0;
  if (waits) {
    IoMarkIrpPending(irp);
    pipe->aborts.push_back(irp);
  }
  Release(irql);

  for (const Ended& transfer : aborted) CompleteEnded(Ended{transfer.irp, nullptr, kCancelled, 0});
  if (waits) return STATUS_PENDING;
  CompleteUrb(irp, urb, Success());
  return STATUS_SUCCESS;
}

void BusState::Kick() {
  if (ServingHere(this)) return;  // the serving loop on this thread looks again
  if (Realistic()) {
    deferral.Post(0);
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
  std::optional<int64_t> wake;
  for (;;) {
    std::optional<Work> work = TakeAnswerableLocked(clock::Now(), &wake);
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
  if (wake) deferral.PostAt(*wake);
}

bool BusState::HeadDueLocked(HeadDue& due, PIRP head, const Transfer& transfer, int64_t now,
                             std::optional<int64_t>* wake) {
  if (!Realistic()) return true;
  if (due.irp != head) due = HeadDue{head, model.Policy()->CompletionTime(transfer, now)};
  if (due.due <= now) return true;
  if (!*wake || due.due < **wake) *wake = due.due;
  return false;
}

std::optional<Work> BusState::TakeAnswerableLocked(int64_t now, std::optional<int64_t>* wake) {
  if (!ended.empty()) {
    Ended next = ended.front();
    ended.pop_front();
    return Work{next.irp, next.pipe, std::nullopt, next, false};
  }
  for (const std::shared_ptr<Pipe>& pipe : pipes) {
    if (pipe->inFlight == 0 && !pipe->aborts.empty()) {
      PIRP abort = pipe->aborts.front();
      pipe->aborts.erase(pipe->aborts.begin());
      return Work{abort, pipe, std::nullopt, std::nullopt, true};
    }
  }
  std::optional<Outcome> gone = model.Gone();
  if (surpriseRemoved) gone = kDeviceGone;
  if (!control.empty()) {
    PIRP head = control.front();
    PURB urb = static_cast<PURB>(URB_FROM_IRP(head));
    Transfer transfer{0, 64, true, nullptr, ControlLength(urb)};
    if ((gone || HeadDueLocked(controlDue, head, transfer, now, wake)) && Claim(head)) {
      control.pop_front();
      controlDue = HeadDue{};
      return Work{head, nullptr, gone, std::nullopt, false};
    }
  }
  for (const std::shared_ptr<Pipe>& pipe : pipes) {
    if (pipe->queue.empty()) continue;
    PIRP head = pipe->queue.front();
    Transfer transfer = TransferOf(static_cast<PURB>(URB_FROM_IRP(head)), *pipe);
    bool halted = !gone && pipe->halted;  // answered by the bus, not the device
    if (!gone && !halted && !(model.CanAnswer(transfer) && HeadDueLocked(pipe->headDue, head, transfer, now, wake))) {
      continue;
    }
    if (!Claim(head)) continue;  // being cancelled; the cancel routine kicks again
    pipe->queue.pop_front();
    pipe->headDue = HeadDue{};
    pipe->inFlight++;
    return Work{head, pipe, gone, std::nullopt, false, halted};
  }
  return std::nullopt;
}

void BusState::Finish(const Work& work) {
  PURB urb = static_cast<PURB>(URB_FROM_IRP(work.irp));
  if (work.abort) {
    CompleteUrb(work.irp, urb, Success());
    return;
  }
  if (work.ended) {
    CompleteEnded(*work.ended);
    if (work.pipe) FinishInFlight(work.pipe);
    return;
  }
  if (!work.pipe) {
    if (work.gone) {
      ZeroTransferLength(urb);
      CompleteUrb(work.irp, urb, *work.gone);
      return;
    }
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

std::optional<Ended> BusState::ForgetLocked(PIRP irp) {
  auto take = [irp](std::deque<PIRP>& queue) {
    auto found = std::find(queue.begin(), queue.end(), irp);
    if (found == queue.end()) return false;
    queue.erase(found);
    return true;
  };
  if (controlDue.irp == irp) controlDue = HeadDue{};
  if (take(control)) return Ended{irp, nullptr, kCancelled, 0};
  for (const std::shared_ptr<Pipe>& pipe : pipes) {
    bool head = !pipe->queue.empty() && pipe->queue.front() == irp;
    uint32_t moved = head && Realistic() ? model.Cut(TransferOf(static_cast<PURB>(URB_FROM_IRP(irp)), *pipe)) : 0;
    if (!take(pipe->queue)) continue;
    if (head) pipe->headDue = HeadDue{};
    if (Realistic()) pipe->inFlight++;
    return Ended{irp, pipe, kCancelled, moved};
  }
  return std::nullopt;
}

std::vector<Ended> BusState::EndAllLocked(Outcome outcome) {
  std::vector<Ended> all;
  for (PIRP irp : control) {
    if (Claim(irp)) all.push_back(Ended{irp, nullptr, outcome, 0});
  }
  std::deque<PIRP> leftControl;
  for (PIRP irp : control) {
    bool claimed = std::any_of(all.begin(), all.end(), [irp](const Ended& e) { return e.irp == irp; });
    if (!claimed) leftControl.push_back(irp);
  }
  control.swap(leftControl);
  controlDue = HeadDue{};
  for (const std::shared_ptr<Pipe>& pipe : pipes) {
    std::deque<PIRP> left;
    for (PIRP irp : pipe->queue) {
      if (!Claim(irp)) {
        left.push_back(irp);
        continue;
      }
      uint32_t moved = 0;
      if (Realistic() && irp == pipe->queue.front()) {
        moved = model.Cut(TransferOf(static_cast<PURB>(URB_FROM_IRP(irp)), *pipe));
      }
      all.push_back(Ended{irp, Realistic() ? pipe : nullptr, outcome, moved});
      if (Realistic()) pipe->inFlight++;
    }
    pipe->queue.swap(left);
    pipe->headDue = HeadDue{};
  }
  if (!Realistic()) return all;
  for (const Ended& one : all) ended.push_back(one);
  return {};
}

void CompleteEnded(const Ended& ended) {
  PURB urb = static_cast<PURB>(URB_FROM_IRP(ended.irp));
  ZeroTransferLength(urb);
  if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = ended.moved;
  }
  CompleteUrb(ended.irp, urb, ended.outcome);
}

size_t BusState::QueuedLocked() const {
  size_t count = control.size() + ended.size();
  for (const std::shared_ptr<Pipe>& pipe : pipes) count += pipe->queue.size() + pipe->aborts.size();
  return count;
}

}  // namespace sim::usb
