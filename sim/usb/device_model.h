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
#include <memory>
#include <mutex>
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

// When the device answers.
//  - Realistic (the default), as Windows' USB stack does: every transfer and
//    control request is pended by the bus and completed later from the
//    bus's DPC, never inside IofCallDriver; a cancel or an abort also
//    completes its transfers from that DPC. When a transfer the device can
//    answer completes is the completion policy's choice (below).
//  - IdealisedInline: on the thread that makes the answer possible, inside
//    IofCallDriver when the device can answer at once, and cancels
//    complete inside IoCancelIrp. Kinder than Windows; for tests that want
//    the simplest sequence of events.
enum class Timing { Realistic, IdealisedInline };

// When a pended request that the device can answer completes, in virtual
// time (100-ns units). The bus asks once per request, when it first finds
// the device able to answer it (`since`, the current time); the answer must
// not be earlier than `since`. A request the device cannot answer yet (an
// IN transfer with no data) is not asked about until it can. Called at
// DISPATCH_LEVEL from the bus's DPC, one call at a time per bus.
class CompletionPolicy {
 public:
  virtual ~CompletionPolicy() = default;
  // `transfer` is a bulk or interrupt transfer, or a control request on the
  // default pipe (endpoint 0, its data length).
  virtual int64_t CompletionTime(const Transfer& transfer, int64_t since) = 0;
};

// Every request completes a fixed latency after the device can answer it
// (0: at the bus's next DPC).
class FixedLatency : public CompletionPolicy {
 public:
  explicit FixedLatency(uint64_t latencyMs) : latency_(static_cast<int64_t>(latencyMs) * 10000) {}
  int64_t CompletionTime(const Transfer&, int64_t since) override { return since + latency_; }

 private:
  int64_t latency_;
};

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
  // Idealised from now on; what can be answered now is answered at once.
  void AnswerInline() {
    timing_ = Timing::IdealisedInline;
    Changed();
  }
  // Realistic from now on, every request completing `latencyMs` after the
  // device can answer it.
  void AnswerLater(uint64_t latencyMs = 0) { AnswerWith(std::make_shared<FixedLatency>(latencyMs)); }
  // Realistic from now on, with this completion policy.
  void AnswerWith(std::shared_ptr<CompletionPolicy> policy);
  Timing GetTiming() const { return timing_; }
  // The policy of the realistic timing (never null).
  std::shared_ptr<CompletionPolicy> Policy() const;

  // --- Partial progress -------------------------------------------------------
  // Bytes of a transfer, not yet answered, that the device has already moved
  // (whole packets), asked when the transfer is cancelled or aborted before
  // it completes; the device forgets them then. The default: none.
  virtual uint32_t Cut(const Transfer& transfer) {
    (void)transfer;
    return 0;
  }

 protected:
  // Tells the bus that a waiting transfer may now have an answer.
  void Changed();

 private:
  friend class BusState;
  std::atomic<BusState*> bus_{nullptr};  // set while plugged into a bus
  std::atomic<Timing> timing_{Timing::Realistic};
  mutable std::mutex policyLock_;
  std::shared_ptr<CompletionPolicy> policy_ = std::make_shared<FixedLatency>(0);
};

}  // namespace sim::usb
