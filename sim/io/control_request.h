/*
 * A device-control request as the I/O manager sends it for an application's
 * DeviceIoControl with a METHOD_BUFFERED code: one system buffer, as large
 * as the larger of the two lengths, holding a copy of the input; at
 * completion the I/O manager copies Information bytes of it (at most the
 * output length) back to the caller's output buffer and frees it. With both
 * lengths 0 there is no system buffer.
 */
#pragma once

#include "sim/io/request.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace sim::io {

class ControlRequest : public Request {
 public:
  ControlRequest(PDEVICE_OBJECT target, ULONG code, std::vector<uint8_t> input, ULONG outputLength);
  ~ControlRequest();

  // What the I/O manager copied back: Information bytes, once completed.
  std::vector<uint8_t> Output() const;

  // Takes the system buffer away while keeping the lengths, as a kernel-mode
  // caller building the request by hand could; for tests of that answer.
  void DropSystemBuffer();

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

// Input bytes of a value, for building requests.
template <typename T>
std::vector<uint8_t> BytesOf(const T& value) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
  return std::vector<uint8_t>(bytes, bytes + sizeof value);
}

}  // namespace sim::io
