/*
 * URB_FUNCTION_SELECT_CONFIGURATION. The request names the configuration
 * by the descriptor the driver passes (its bConfigurationValue) and lists
 * one interface record per interface of that configuration, each with room
 * for its pipes. The bus checks the records against the configuration the
 * device really has (from the model's descriptors, not from the driver's
 * copy), tells the device, then opens a pipe per endpoint and writes the
 * handles and endpoint facts into the records. A request that does not fit
 * the configuration fails and leaves the current configuration as it was.
 *
 * A null configuration descriptor unconfigures the device.
 */
#include "sim/usb/bus_state.h"

#include "sim/verifier/verifier.h"

#include <cstddef>
#include <set>

namespace sim::usb {
namespace {

const Outcome kCancelled{STATUS_CANCELLED, USBD_STATUS_CANCELED};

// Why a request does not fit the configuration.
Outcome Refuse(USBD_STATUS usbd) { return Failure(STATUS_INVALID_PARAMETER, usbd); }

struct Selected {
  PUSBD_INTERFACE_INFORMATION record;
  const InterfaceInfo* iface;
};

void CompleteCancelled(const std::vector<PIRP>& irps) {
  for (PIRP irp : irps) {
    PURB urb = static_cast<PURB>(URB_FROM_IRP(irp));
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    CompleteUrb(irp, urb, kCancelled);
  }
}

}  // namespace

std::shared_ptr<Pipe> BusState::FindPipeLocked(USBD_PIPE_HANDLE handle) const {
  for (const std::shared_ptr<Pipe>& pipe : pipes) {
    if (pipe->handle == handle) return pipe;
  }
  return nullptr;
}

std::vector<PIRP> BusState::ClosePipesLocked() {
  std::vector<PIRP> cancelled;
  for (const std::shared_ptr<Pipe>& pipe : pipes) {
    // Those whose cancel routine is gone already are left to their cancel.
    for (PIRP irp : pipe->queue) {
      if (IoSetCancelRoutine(irp, nullptr) != nullptr) cancelled.push_back(irp);
    }
    pipe->queue.clear();
  }
  pipes.clear();
  configuration = 0;
  configurationHandle = nullptr;
  return cancelled;
}

Outcome BusState::SelectConfiguration(PURB urb) {
  auto& select = urb->UrbSelectConfiguration;
  const size_t head = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  const size_t size = urb->UrbHeader.Length;
  if (size < head) return Refuse(USBD_STATUS_INVALID_PARAMETER);

  if (select.ConfigurationDescriptor == nullptr) {
    Outcome outcome = model.SetConfiguration(0);
    if (outcome.status != STATUS_SUCCESS) return outcome;
    KIRQL irql = Acquire();
    std::vector<PIRP> cancelled = ClosePipesLocked();
    Release(irql);
    CompleteCancelled(cancelled);
    select.ConfigurationHandle = nullptr;
    return Success();
  }

  // The configuration the device has with the value the driver asks for.
  std::optional<ConfigurationInfo> configuration;
  for (const Bytes& image : model.GetDescriptors().configurations) {
    std::optional<ConfigurationInfo> parsed = ParseConfiguration(image);
    if (parsed && parsed->value == select.ConfigurationDescriptor->bConfigurationValue) {
      configuration = parsed;
      break;
    }
  }
  if (!configuration) return Refuse(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);

  // One record per interface of the configuration, each inside the URB,
  // naming a setting the device has, with room for all of its pipes.
  std::vector<Selected> selected;
  std::set<uint8_t> numbers;
  size_t offset = head;
  const size_t recordHead = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
  for (unsigned i = 0; i < configuration->numInterfaces; ++i) {
    if (offset + recordHead > size) return Refuse(USBD_STATUS_INVALID_PARAMETER);  // too few records
    auto record = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(urb) + offset);
    if (record->Length < recordHead || offset + record->Length > size) return Refuse(USBD_STATUS_INVALID_PARAMETER);
    const InterfaceInfo* iface = configuration->Find(record->InterfaceNumber, record->AlternateSetting);
    if (iface == nullptr || !numbers.insert(record->InterfaceNumber).second) {
      return Refuse(USBD_STATUS_INTERFACE_NOT_FOUND);
    }
    if (iface->endpoints.size() != iface->declaredEndpoints) {
      return Refuse(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);  // the device's own descriptor is inconsistent
    }
    if (record->Length < GET_USBD_INTERFACE_SIZE(iface->endpoints.size())) {
      return Refuse(USBD_STATUS_BUFFER_TOO_SMALL);
    }
    selected.push_back({record, iface});
    offset += record->Length;
  }

  Outcome outcome = model.SetConfiguration(configuration->value);
  if (outcome.status != STATUS_SUCCESS) return outcome;

  std::vector<std::shared_ptr<Pipe>> opened;
  for (const Selected& choice : selected) {
    PUSBD_INTERFACE_INFORMATION record = choice.record;
    const InterfaceInfo& iface = *choice.iface;
    record->Class = iface.interfaceClass;
    record->SubClass = iface.subClass;
    record->Protocol = iface.protocol;
    record->InterfaceHandle = NewHandle();
    record->NumberOfPipes = static_cast<ULONG>(iface.endpoints.size());
    PUSBD_PIPE_INFORMATION pipes = record->Pipes;  // reaches past its one declared element by design
    for (size_t p = 0; p < iface.endpoints.size(); ++p) {
      const EndpointInfo& endpoint = iface.endpoints[p];
      if (pipes[p].PipeFlags != 0) {
        verifier::Report(verifier::Rule::UnsupportedCall,
                         "select configuration with PipeFlags " + std::to_string(pipes[p].PipeFlags) +
                             " on a pipe: pipe flags are not simulated and were ignored");
      }
      pipes[p].MaximumPacketSize = endpoint.maxPacket;
      pipes[p].EndpointAddress = endpoint.address;
      pipes[p].Interval = endpoint.interval;
      pipes[p].PipeType = static_cast<USBD_PIPE_TYPE>(endpoint.attributes & 3);
      pipes[p].PipeHandle = NewHandle();
      auto pipe = std::make_shared<Pipe>();
      pipe->handle = pipes[p].PipeHandle;
      pipe->endpoint = endpoint;
      pipe->maxTransfer = pipes[p].MaximumTransferSize;
      opened.push_back(pipe);
    }
  }
  USBD_CONFIGURATION_HANDLE handle = NewHandle();
  KIRQL irql = Acquire();
  std::vector<PIRP> cancelled = ClosePipesLocked();
  pipes = std::move(opened);
  this->configuration = configuration->value;
  configurationHandle = handle;
  Release(irql);
  select.ConfigurationHandle = handle;
  CompleteCancelled(cancelled);
  return Success();
}

}  // namespace sim::usb
