/*
 * What the simulated bus asks of the device plugged into it. The bus does
 * the host side (URB checks, pipe queues, cancellation, completion); the
 * model is the device: its descriptors, its answers to control requests,
 * and when and how each bulk or interrupt transfer ends.
 *
 * The bus calls the model's answering routines from one thread at a time
 * (the one serving the bus at that moment), at up to DISPATCH_LEVEL. The
 * test side of a model (SendIn and the like) runs on the test's threads; a
 * model guards its own state and calls Changed() after changing it, never
 * while holding its own lock.
 */
#pragma once

#include "driver/platform/platform.h"
#include "sim/usb/descriptors.h"

#include <atomic>
#include <cstdint>
#include <optional>

namespace sim::usb {

class BusState;

// How a request ends: the IRP's status and the URB's USBD status. A failed
// bulk or interrupt transfer halts its pipe, as on Windows' USB stack,
// unless `leavesPipeUsable` says otherwise: an idealised failure for tests
// that want one transfer to fail and the next to go through.
struct Outcome {
  NTSTATUS status = STATUS_SUCCESS;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  bool leavesPipeUsable = false;
};
inline Outcome Success() { return {}; }
inline Outcome Failure(NTSTATUS status, USBD_STATUS usbd) { return {status, usbd}; }

// A control read's answer: the bytes the device sends (the bus copies as
// many as the request has room for) or a failure.
struct ControlAnswer {
  Outcome outcome;
  Bytes data;
};

// A bulk or interrupt transfer as the device sees it.
struct Transfer {
  uint8_t endpoint;    // bEndpointAddress; kDirectionIn set for IN
  uint16_t maxPacket;  // wMaxPacketSize of the endpoint
  bool shortOk;        // USBD_SHORT_TRANSFER_OK
  uint8_t* buffer;     // the caller's buffer: `length` bytes
  uint32_t length;
  bool In() const { return (endpoint & kDirectionIn) != 0; }
};

struct TransferAnswer {
  Outcome outcome;
  uint32_t moved = 0;  // bytes the device sent (IN) or took (OUT)
};

// When the device answers. Inline: on the thread that makes the answer
// possible, inside IofCallDriver when it can answer at once. Deferred: never
// on that thread; the answer comes from the bus's deferred work, after
// `latency` of virtual time in the deterministic mode, on the bus's
// completion thread at DISPATCH_LEVEL in the concurrent mode.
enum class Timing { Inline, Deferred };

class DeviceModel {
 public:
  DeviceModel() = default;
  virtual ~DeviceModel() = default;
  DeviceModel(const DeviceModel&) = delete;
  DeviceModel& operator=(const DeviceModel&) = delete;

  // --- What the bus asks ---------------------------------------------------------
  // The device's descriptors (the bus opens pipes from its configurations).
  virtual const Descriptors& GetDescriptors() const = 0;
  // GET_DESCRIPTOR: the default answers from GetDescriptors(), and stalls for
  // a descriptor the device does not have.
  virtual ControlAnswer GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId);
  // GET_STATUS to the device: the default is two zero bytes.
  virtual ControlAnswer GetStatus();
  // SET_CONFIGURATION, after the bus has checked the request.
  virtual Outcome SetConfiguration(uint8_t value);
  // Whether the transfer at the head of its pipe can end now, and how it
  // ends. Answer is called only after CanAnswer said yes, and may move data.
  virtual bool CanAnswer(const Transfer& transfer) = 0;
  virtual TransferAnswer Answer(const Transfer& transfer) = 0;
  // Set when the device is no longer there: every request fails with it.
  virtual std::optional<Outcome> Gone() const { return std::nullopt; }

  // --- Timing ------------------------------------------------------------------
  // Inline from now on; what can be answered now is answered at once.
  void AnswerInline() {
    timing_ = Timing::Inline;
    Changed();
  }
  void AnswerLater(uint64_t latencyMs = 0) {
    latencyMs_ = latencyMs;
    timing_ = Timing::Deferred;
  }
  Timing GetTiming() const { return timing_; }
  uint64_t LatencyMs() const { return latencyMs_; }

 protected:
  // Tells the bus that a waiting transfer may now have an answer.
  void Changed();

 private:
  friend class BusState;
  std::atomic<BusState*> bus_{nullptr};  // set while plugged into a bus
  std::atomic<Timing> timing_{Timing::Inline};
  std::atomic<uint64_t> latencyMs_{0};
};

}  // namespace sim::usb
