/*
 * A device whose test decides everything: when IN data arrive and in what
 * chunks, how many bytes each OUT transfer takes, which transfer or control
 * request fails, whether it answers inside IofCallDriver or later (see
 * DeviceModel::AnswerInline/AnswerLater), and when it is unplugged. It
 * records every OUT byte it accepts. The URBs themselves are recorded by
 * the bus (Bus::Urbs).
 *
 * Its test-side routines may be called from any thread; each one that can
 * give a waiting transfer its answer lets the bus serve it (at once with
 * inline timing, from the bus's deferred work otherwise).
 */
#pragma once

#include "sim/usb/device_model.h"
#include "sim/usb/devices/in_fifo.h"
#include "sim/usb/devices/layouts.h"

#include <deque>
#include <functional>
#include <map>
#include <mutex>

namespace sim::usb {

class ScriptedDevice : public DeviceModel {
 public:
  explicit ScriptedDevice(Descriptors descriptors = layouts::Expected());

  // --- IN ------------------------------------------------------------------------
  // Queues a chunk for the first bulk IN endpoint (or the one given). It
  // completes the transfer waiting there with up to its length; the rest, or
  // the whole chunk if none waits, goes to the next transfers. An empty
  // chunk is a zero-length packet.
  void SendIn(Bytes chunk);
  void SendIn(uint8_t endpoint, Bytes chunk);
  size_t InWaiting() const;  // bytes not yet taken from the first bulk IN endpoint

  // --- OUT -----------------------------------------------------------------------
  // Every OUT transfer takes all of its bytes (the default).
  void AcceptAllOut();
  // Every OUT transfer completes successfully having taken at most n bytes.
  void AcceptOutUpTo(uint32_t bytesPerTransfer);
  // OUT transfers wait until released.
  void HoldOut();
  // Lets the oldest held OUT transfer complete, taking all its bytes or at
  // most `accept`; a release with no transfer held waits for the next one.
  void ReleaseOut();
  void ReleaseOut(uint32_t accept);
  // The device takes the first `bytes` (whole packets) of the OUT transfer
  // waiting at the head of its pipe without ending it, as a device that
  // NAKs after some packets does: if the transfer is then cancelled or
  // aborted it ends with that count; if it is released it ends as usual.
  void TakeOutPart(uint32_t bytes);
  // Every OUT byte accepted, in order (none while an observer is set).
  Bytes OutBytes() const;
  // From now on OUT bytes go to `observer` as they are accepted, in order,
  // instead of being kept: a long run checks them without storing them.
  // Called under the device's lock; null to keep them again.
  void ObserveOut(std::function<void(const uint8_t* bytes, size_t length)> observer);

  // --- Failures ------------------------------------------------------------------
  // The transfer waiting on the endpoint, or the next one to arrive, fails.
  void FailNextTransfer(uint8_t endpoint, NTSTATUS status, USBD_STATUS usbd);
  // Requests for descriptors of this type fail.
  void FailDescriptor(uint8_t type, NTSTATUS status, USBD_STATUS usbd);
  // Requests for descriptors of this type return at most maxBytes (0: none).
  void LimitDescriptor(uint8_t type, size_t maxBytes);
  void FailGetStatus(NTSTATUS status, USBD_STATUS usbd);
  void FailSetConfiguration(NTSTATUS status, USBD_STATUS usbd);
  // The two bytes GET_STATUS returns (bit 0: self powered, bit 1: remote wakeup).
  void SetStatusWord(uint16_t status);
  // The device leaves the bus: waiting transfers and every later request
  // fail with `status` and USBD_STATUS_DEVICE_GONE.
  void Unplug(NTSTATUS status = STATUS_DEVICE_NOT_CONNECTED);

  // The configuration the device was last set to (0: none).
  uint8_t ConfigurationValue() const;
  // The first bulk IN and OUT endpoints of its first configuration (0: none).
  uint8_t BulkIn() const { return bulkIn_; }
  uint8_t BulkOut() const { return bulkOut_; }

  // --- DeviceModel ---------------------------------------------------------------
  const Descriptors& GetDescriptors() const override { return descriptors_; }
  ControlAnswer GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId) override;
  ControlAnswer GetStatus() override;
  Outcome SetConfiguration(uint8_t value) override;
  bool CanAnswer(const Transfer& transfer) override;
  TransferAnswer Answer(const Transfer& transfer) override;
  std::optional<Outcome> Gone() const override;
  uint32_t Cut(const Transfer& transfer) override;

 protected:
  // Adds IN data without asking the bus to serve (for answers given while
  // the bus serves, which looks again by itself).
  void QueueIn(uint8_t endpoint, Bytes chunk);

 private:
  enum class OutPolicy { All, UpTo, Hold };

  const Descriptors descriptors_;
  uint8_t bulkIn_ = 0;
  uint8_t bulkOut_ = 0;

  mutable std::mutex lock_;  // guards everything below
  std::map<uint8_t, InFifo> in_;
  OutPolicy outPolicy_ = OutPolicy::All;
  uint32_t outLimit_ = 0;
  std::deque<std::optional<uint32_t>> outReleases_;
  uint32_t outPart_ = 0;  // bytes of the head OUT transfer taken so far
  Bytes out_;
  std::function<void(const uint8_t*, size_t)> outObserver_;
  std::map<uint8_t, std::deque<Outcome>> transferFailures_;
  std::map<uint8_t, Outcome> descriptorFailures_;
  std::map<uint8_t, size_t> descriptorLimits_;
  std::optional<Outcome> statusFailure_;
  std::optional<Outcome> configurationFailure_;
  uint16_t statusWord_ = 0;
  uint8_t configuration_ = 0;
  std::optional<Outcome> gone_;
};

}  // namespace sim::usb
