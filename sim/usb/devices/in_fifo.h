/*
 * The IN data a device has ready for one endpoint, kept as the chunks the
 * test gave: each chunk is one message the device sends, ending in a short
 * packet (or a zero-length packet when it is empty), unless it exactly
 * fills the transfer that takes its end. A transfer takes from one chunk
 * only; what does not fit waits for the next transfer.
 *
 * Not thread-safe: the owning model guards it.
 */
#pragma once

#include "sim/usb/device_model.h"

#include <deque>

namespace sim::usb {

class InFifo {
 public:
  void Push(Bytes chunk) { chunks_.push_back(std::move(chunk)); }
  bool Empty() const { return chunks_.empty(); }
  // Bytes waiting, over all chunks.
  size_t Size() const;

  // Moves data from the oldest chunk into an IN transfer, as the host
  // controller receives it packet by packet:
  //  - the chunk's end fits: the transfer ends with it; fewer bytes than
  //    asked is a short transfer, an error unless USBD_SHORT_TRANSFER_OK;
  //  - more than fits, in whole packets: the transfer fills, the rest waits;
  //  - more than fits and the last packet straddles the buffer's end: the
  //    transfer fills and fails with a buffer overrun; that packet is lost.
  TransferAnswer Fill(const Transfer& transfer);

 private:
  std::deque<Bytes> chunks_;
  size_t offset_ = 0;  // bytes of the oldest chunk already sent
};

}  // namespace sim::usb
