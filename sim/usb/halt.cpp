/*
 * Halted pipes. As on Windows' USB stack, a bulk or interrupt transfer that
 * fails (the device stalled it, or the transaction failed) leaves its pipe
 * halted: every later transfer on it, and every one still queued there,
 * fails with USBD_STATUS_ENDPOINT_HALTED without reaching the device, until
 * the function driver resets the pipe with
 * URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, which it must send at
 * PASSIVE_LEVEL. A cancelled or aborted transfer, one failed because the
 * device is gone, and an idealised failure a test asks for (see Outcome) do
 * not halt the pipe.
 */
#include "sim/usb/bus_state.h"

#include "sim/ke/ke.h"
#include "sim/verifier/verifier.h"

#include <string>

namespace sim::usb {

const Outcome kHaltedPipe{STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED};

namespace {

bool HaltsPipe(const Outcome& outcome) {
  return outcome.status != STATUS_SUCCESS && outcome.usbd != USBD_STATUS_CANCELED &&
         outcome.usbd != USBD_STATUS_DEVICE_GONE && !outcome.leavesPipeUsable;
}

}  // namespace

void BusState::HaltOnFailure(const std::shared_ptr<Pipe>& pipe, const Outcome& outcome) {
  if (!HaltsPipe(outcome)) return;
  KIRQL irql = Acquire();
  pipe->halted = true;
  Release(irql);
}

NTSTATUS BusState::ResetPipe(PIRP irp, PURB urb) {
  if (ke::CurrentIrql() != PASSIVE_LEVEL) {
    verifier::Report(verifier::Rule::IrqlTooHigh, "URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL sent at IRQL " +
                                                      std::to_string(ke::CurrentIrql()) +
                                                      "; it must be sent at PASSIVE_LEVEL");
  }
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
  if (pipe) pipe->halted = false;
  Release(irql);
  if (!pipe) {
    CompleteUrb(irp, urb, Failure(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE));
    return STATUS_INVALID_PARAMETER;
  }
  CompleteUrb(irp, urb, Success());
  // Transfers queued behind the halt may now reach the device.
  Kick();
  return STATUS_SUCCESS;
}

}  // namespace sim::usb
