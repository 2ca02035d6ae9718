#include "sim/usb/devices/in_fifo.h"

#include <algorithm>
#include <cstring>

namespace sim::usb {

size_t InFifo::Size() const {
  size_t size = 0;
  for (const Bytes& chunk : chunks_) size += chunk.size();
  return size - offset_;
}

TransferAnswer InFifo::Fill(const Transfer& transfer) {
  const Bytes& chunk = chunks_.front();
  size_t left = chunk.size() - offset_;
  if (left <= transfer.length) {
    if (left != 0) std::memcpy(transfer.buffer, chunk.data() + offset_, left);
    chunks_.pop_front();
    offset_ = 0;
    auto moved = static_cast<uint32_t>(left);
    if (moved < transfer.length && !transfer.shortOk) {
      return {Failure(STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER), moved};
    }
    return {Success(), moved};
  }
  std::memcpy(transfer.buffer, chunk.data() + offset_, transfer.length);
  size_t packet = transfer.maxPacket != 0 ? transfer.maxPacket : transfer.length;
  size_t straddle = transfer.length % packet;
  if (straddle == 0) {
    offset_ += transfer.length;
    return {Success(), transfer.length};
  }
  // The packet that starts before the buffer's end and would go past it.
  size_t lostPacket = std::min(packet, left - (transfer.length - straddle));
  offset_ += transfer.length - straddle + lostPacket;
  if (offset_ >= chunk.size()) {
    chunks_.pop_front();
    offset_ = 0;
  }
  return {Failure(STATUS_UNSUCCESSFUL, USBD_STATUS_BUFFER_OVERRUN), transfer.length};
}

}  // namespace sim::usb
