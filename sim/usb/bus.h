/*
 * The simulated USB bus driver, for tests and tools: a driver object and
 * the physical device object (PDO) of one USB device, which a function
 * driver attaches above. The PDO answers IOCTL_INTERNAL_USB_SUBMIT_URB
 * (descriptors, select configuration, get status, abort pipe, bulk and
 * interrupt transfers, queued per pipe and cancellable), and Plug and Play
 * and power requests as a bus driver does for its PDO. What the device
 * answers is up to the DeviceModel plugged in; when, to its timing: by
 * default as Windows' USB stack, every request pended and completed later
 * from the bus's DPC (see Timing and CompletionPolicy). Surprise removal of
 * the PDO ends its outstanding requests and fails later ones. The PDO is a
 * device node of the Plug and Play manager, with a USB instance identifier
 * made from the device descriptor's vendor and product.
 *
 * Destroy the bus before the end-of-test checks run (its PDO and driver
 * object would be reported as leaked), after the function driver has
 * detached. Transfers still queued at that point are reported.
 */
#pragma once

#include "driver/platform/platform.h"
#include "sim/usb/device_model.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace sim::usb {

// One URB as it reached the bus, for tests that check what a driver sent.
struct UrbSeen {
  USHORT function;          // URB_FUNCTION_...
  USBD_PIPE_HANDLE pipe;    // bulk transfers and pipe aborts; null otherwise
  uint8_t endpoint;         // the pipe's endpoint address; 0 if none or unknown
  ULONG length;             // TransferBufferLength as submitted (transfers, control reads)
  ULONG flags;              // TransferFlags as submitted (bulk transfers)
  uint8_t descriptorType;   // GET_DESCRIPTOR requests
  uint8_t descriptorIndex;  // GET_DESCRIPTOR requests
};

// Text of a URB function code, for messages.
const char* UrbFunctionName(USHORT function);

// A bulk or interrupt transfer as the bus ends it, for traces.
struct TransferEnded {
  USBD_PIPE_HANDLE pipe;
  bool in;          // USBD_TRANSFER_DIRECTION_IN
  NTSTATUS status;  // what the IRP is completed with
  ULONG bytes;      // bytes moved
};
// Called for every transfer any bus ends, just before its completion runs,
// on the thread that ends it, at DISPATCH_LEVEL; null to stop. For tools.
void ObserveTransfers(std::function<void(const TransferEnded&)> observer);

class Bus {
 public:
  // Plugs `model` in; the model must outlive the bus.
  explicit Bus(DeviceModel& model);
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  PDEVICE_OBJECT Pdo() const;
  PDRIVER_OBJECT Driver() const;

  // The URBs that reached the PDO, oldest first: every one, up to the
  // latest 4096 in a long run.
  std::vector<UrbSeen> Urbs() const;
  // URBs of one function only.
  std::vector<UrbSeen> Urbs(USHORT function) const;
  void ClearUrbs();

  // The configuration selected (bConfigurationValue), 0 while unconfigured.
  uint8_t Configuration() const;
  // The handle of the open pipe of an endpoint; null if there is none.
  USBD_PIPE_HANDLE PipeHandle(uint8_t endpointAddress) const;
  // Transfers waiting in the queue of an endpoint's pipe.
  size_t Queued(uint8_t endpointAddress) const;

  // How the PDO ends the Plug and Play requests of one minor function from
  // now on: with `status` instead of its own answer (the work of the
  // request, such as closing the pipes at removal, is still done).
  // AnswerPnpLater marks them pending and completes them `latencyMs` of
  // virtual time later, at DISPATCH_LEVEL, as a bus driver finishing the
  // request in a DPC does.
  void AnswerPnp(UCHAR minor, NTSTATUS status);
  void AnswerPnpLater(UCHAR minor, NTSTATUS status, uint64_t latencyMs);
  // The minor functions of the Plug and Play requests that reached the
  // PDO, oldest first.
  std::vector<UCHAR> PnpSeen() const;

 private:
  std::unique_ptr<BusState> state_;
};

}  // namespace sim::usb
