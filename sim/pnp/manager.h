/*
 * The Plug and Play manager, driven by a test: it plugs a function driver
 * onto a PDO (AddDevice at PASSIVE_LEVEL) and sends the Plug and Play
 * requests of a device's life to the top of its stack, one at a time, at
 * PASSIVE_LEVEL, the way Windows sends them: IoStatus preset to
 * STATUS_NOT_SUPPORTED, and the caller waits until the request completes.
 * Every routine returns the status the request was completed with.
 *
 * Rules it checks: AddDevice must clear DO_DEVICE_INITIALIZING on the
 * device it attached (no request is sent to a stack while any of its
 * devices is still initializing: the request is refused with
 * STATUS_NO_SUCH_DEVICE and reported), and a device's interfaces must be
 * disabled by the time its removal completes (what is left enabled is
 * reported, then disabled, as Windows disables them).
 */
#pragma once

#include "driver/platform/platform.h"

#include <functional>

namespace sim::pnp {

class Manager {
 public:
  explicit Manager(PDEVICE_OBJECT pdo) : pdo_(pdo) {}
  Manager(const Manager&) = delete;
  Manager& operator=(const Manager&) = delete;

  PDEVICE_OBJECT Pdo() const { return pdo_; }
  // The device requests go to: the top of the PDO's stack.
  PDEVICE_OBJECT Top() const;

  // The driver's AddDevice routine (DriverExtension->AddDevice) for the PDO;
  // returns what it returned.
  NTSTATUS AddDevice(PDRIVER_OBJECT driver);

  NTSTATUS Start();
  // With no argument, a structure preset as Windows presets it (see
  // PresetCapabilities), kept for LastCapabilities; a test may pass its own.
  NTSTATUS QueryCapabilities(PDEVICE_CAPABILITIES capabilities = nullptr);
  // Size 64 (the structure), Version 1, Address and UINumber unknown
  // (0xFFFFFFFF), everything else 0.
  static void PresetCapabilities(PDEVICE_CAPABILITIES capabilities);
  const DEVICE_CAPABILITIES& LastCapabilities() const { return capabilities_; }

  NTSTATUS QueryRemove();
  NTSTATUS CancelRemove();
  NTSTATUS QueryStop();
  NTSTATUS CancelStop();
  NTSTATUS Stop();
  NTSTATUS SurpriseRemove();
  NTSTATUS Remove();

  // What plugging the device in does: AddDevice, start, query-capabilities.
  // A failed start is followed by a removal, as in Windows. Returns the
  // first failure, or STATUS_SUCCESS.
  NTSTATUS Plug(PDRIVER_OBJECT driver);

  // Any Plug and Play request; `fill` sets its parameters.
  NTSTATUS Send(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill = nullptr);

 private:
  PDEVICE_OBJECT pdo_;
  DEVICE_CAPABILITIES capabilities_{};
};

// Text of a Plug and Play minor function code, for messages.
const char* MinorName(UCHAR minor);

}  // namespace sim::pnp
