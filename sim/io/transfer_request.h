/*
 * A read or a write as the I/O manager sends it to a device that uses
 * direct I/O: the caller's buffer is described by an MDL, locked but not
 * mapped to system space, and the length is in the stack location's
 * Parameters.Read/Write.Length. A zero-length request carries no MDL. The
 * MDL is released when the request completes, which is when the bytes the
 * driver wrote through its mapping reach the caller's buffer.
 */
#pragma once

#include "sim/io/request.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace sim::io {

class TransferRequest : public Request {
 public:
  // A read of `length` bytes into a buffer the caller has filled with `fill`.
  static std::unique_ptr<TransferRequest> Read(PDEVICE_OBJECT target, ULONG length, uint8_t fill = 0xCD);
  // A write of `data`.
  static std::unique_ptr<TransferRequest> Write(PDEVICE_OBJECT target, std::vector<uint8_t> data);
  // Releases the MDL of a request that was never sent.
  ~TransferRequest();

  // The caller's buffer; after completion of a read, what the driver put there.
  const std::vector<uint8_t>& Buffer() const;
  // The first Information() bytes of the buffer: what a read delivered.
  std::vector<uint8_t> Transferred() const;

 private:
  struct Shared;
  TransferRequest(PDEVICE_OBJECT target, UCHAR major, std::vector<uint8_t> buffer);

  std::shared_ptr<Shared> shared_;
};

}  // namespace sim::io
