#include "sim/usb/devices/loopback.h"

namespace sim::usb {

TransferAnswer LoopbackDevice::Answer(const Transfer& transfer) {
  TransferAnswer answer = ScriptedDevice::Answer(transfer);
  if (!transfer.In() && answer.outcome.status == STATUS_SUCCESS && BulkIn() != 0) {
    // Called while the bus serves, which looks for answerable transfers
    // again after this one: no need to ask it to serve.
    QueueIn(BulkIn(), Bytes(transfer.buffer, transfer.buffer + answer.moved));
  }
  return answer;
}

}  // namespace sim::usb
