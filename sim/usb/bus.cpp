/*
 * The bus driver object and its PDO: creation and removal, the dispatch
 * routines for the major functions a USB PDO serves, and the Plug and Play
 * and power answers a bus driver gives for its child. Everything else the
 * I/O manager refuses with its default routine.
 */
#include "sim/usb/bus_state.h"

#include "sim/ke/clock.h"
#include "sim/ke/ke.h"
#include "sim/pnp/pnp.h"
#include "sim/verifier/verifier.h"

#include <algorithm>
#include <atomic>

namespace sim::usb {
namespace {

NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT pdo, PIRP irp) { return BusState::Of(pdo)->SubmitUrb(irp); }

void FillCapabilities(PDEVICE_CAPABILITIES capabilities) {
  // What a USB hub reports for a device on one of its ports; the function
  // driver above adds its own (SurpriseRemovalOK among them).
  capabilities->Removable = TRUE;
  capabilities->Address = 1;  // the port number
  capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int state = PowerSystemSleeping1; state < POWER_SYSTEM_MAXIMUM; ++state) {
    capabilities->DeviceState[state] = PowerDeviceD3;
  }
}

// A bus driver completes the requests of its PDO; those it does not handle
// it completes with the status they arrived with.
NTSTATUS OwnPnpAnswer(BusState* bus, PIO_STACK_LOCATION stack, NTSTATUS status) {
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return STATUS_SUCCESS;
    case IRP_MN_SURPRISE_REMOVAL: {
      // The device is gone for its driver: its outstanding requests end
      // (from the bus's DPC in the realistic timing) and later ones fail.
      KIRQL irql = bus->Acquire();
      bus->surpriseRemoved = true;
      std::vector<Ended> ended = bus->EndAllLocked(kDeviceGone);
      bus->Release(irql);
      for (const Ended& one : ended) CompleteEnded(one);
      bus->Kick();
      return STATUS_SUCCESS;
    }
    case IRP_MN_REMOVE_DEVICE: {
      // The device stays on the bus, unconfigured, until it is unplugged.
      KIRQL irql = bus->Acquire();
      std::vector<PIRP> cancelled = bus->ClosePipesLocked();
      bus->Release(irql);
      for (PIRP transfer : cancelled) {
        PURB urb = static_cast<PURB>(URB_FROM_IRP(transfer));
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        CompleteUrb(transfer, urb, Failure(STATUS_CANCELLED, USBD_STATUS_CANCELED));
      }
      return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
      if (capabilities->Version < 1 || capabilities->Size < sizeof(DEVICE_CAPABILITIES)) return STATUS_UNSUCCESSFUL;
      FillCapabilities(capabilities);
      return STATUS_SUCCESS;
    }
    default:
      return status;
  }
}

// Completes a request answered later, from the clock, at DISPATCH_LEVEL.
void FinishPnpLater(BusState* bus, PIRP irp, NTSTATUS status, uint64_t latencyMs) {
  auto id = std::make_shared<uint64_t>(0);
  std::lock_guard<std::mutex> hold(bus->pnpLock);
  int64_t due = clock::Now() + static_cast<int64_t>(latencyMs) * clock::kUnitsPerMs;
  *id = clock::Schedule(due, [bus, irp, status, id] {
    {
      std::lock_guard<std::mutex> hold(bus->pnpLock);
      auto& pending = bus->pnpPending;
      pending.erase(std::remove(pending.begin(), pending.end(), *id), pending.end());
    }
    CompleteIrp(irp, status);
  });
  bus->pnpPending.push_back(*id);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  BusState* bus = BusState::Of(pdo);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = OwnPnpAnswer(bus, stack, irp->IoStatus.Status);
  std::optional<BusState::PnpAnswer> answer;
  {
    std::lock_guard<std::mutex> hold(bus->pnpLock);
    bus->pnpSeen.push_back(stack->MinorFunction);
    auto found = bus->pnpAnswers.find(stack->MinorFunction);
    if (found != bus->pnpAnswers.end()) answer = found->second;
  }
  if (answer) status = answer->status;
  if (answer && answer->later) {
    IoMarkIrpPending(irp);
    FinishPnpLater(bus, irp, status, answer->latencyMs);
    return STATUS_PENDING;
  }
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT pdo, PIRP irp) {
  (void)pdo;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) status = STATUS_SUCCESS;
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// The PDO is no WMI provider: system control requests end where they are.
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT pdo, PIRP irp) {
  (void)pdo;
  NTSTATUS status = irp->IoStatus.Status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  (void)registryPath;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  return STATUS_SUCCESS;
}

}  // namespace

PVOID NewHandle() {
  static std::atomic<uintptr_t> next{0x5B000000};
  return reinterpret_cast<PVOID>(next.fetch_add(0x20));
}

BusState::BusState(DeviceModel& device)
    : model(device), deviceHandle(NewHandle()), lock(0), deferral([this] { Serve(); }) {
  ke::NameSpinLock(&lock, "USB bus lock");
  driver = std::make_unique<io::LoadedDriver>(BusDriverEntry);
  NTSTATUS status = IoCreateDevice(driver->Object(), sizeof(BusState*), nullptr, FILE_DEVICE_UNKNOWN,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
  if (status != STATUS_SUCCESS) {
    verifier::Report(verifier::Rule::UnsupportedCall,
                     "the simulated USB bus could not create its PDO (IoCreateDevice failed)");
    return;
  }
  *static_cast<BusState**>(pdo->DeviceExtension) = this;
  pdo->Flags |= DO_POWER_PAGABLE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  const Bytes& descriptor = model.GetDescriptors().device;
  uint16_t vendor = 0, product = 0;
  if (descriptor.size() >= kDeviceDescriptorSize) {
    vendor = static_cast<uint16_t>(descriptor[8] | descriptor[9] << 8);
    product = static_cast<uint16_t>(descriptor[10] | descriptor[11] << 8);
  }
  pnp::RegisterUsbDevice(pdo, vendor, product);
  model.bus_ = this;
}

BusState::~BusState() {
  model.bus_ = nullptr;
  deferral.Stop();
  KIRQL irql = Acquire();
  size_t left = QueuedLocked();
  // Leave them to the end-of-test IRP check, with no cancel routine that
  // would reach into a bus that is gone.
  for (PIRP irp : control) IoSetCancelRoutine(irp, nullptr);
  control.clear();
  ClosePipesLocked();
  Release(irql);
  {
    // Plug and Play requests the bus was to finish later stay unfinished.
    std::lock_guard<std::mutex> hold(pnpLock);
    for (uint64_t id : pnpPending) left += clock::Cancel(id) ? 1 : 0;
    pnpPending.clear();
  }
  if (left != 0) {
    verifier::Report(verifier::Rule::IrpLeaked, "the USB bus was removed with " + std::to_string(left) +
                                                    " request(s) still queued on it; they are never completed");
  }
  if (pdo != nullptr) {
    pnp::ForgetDeviceNode(pdo);
    IoDeleteDevice(pdo);
  }
  ke::ForgetSpinLocksIn(&lock, sizeof lock);
  driver.reset();
}

KIRQL BusState::Acquire() { return ke::AcquireSpinLock(&lock, "USB bus"); }

void BusState::Release(KIRQL irql) { ke::ReleaseSpinLock(&lock, irql, "USB bus"); }

BusState* BusState::Of(PDEVICE_OBJECT pdo) { return *static_cast<BusState**>(pdo->DeviceExtension); }

namespace {
std::mutex g_observerLock;
std::function<void(const TransferEnded&)> g_observer;
}  // namespace

void ObserveTransfers(std::function<void(const TransferEnded&)> observer) {
  std::lock_guard<std::mutex> hold(g_observerLock);
  g_observer = std::move(observer);
}

void CompleteUrb(PIRP irp, PURB urb, Outcome outcome) {
  if (urb != nullptr) urb->UrbHeader.Status = outcome.usbd;
  if (urb != nullptr && urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    std::function<void(const TransferEnded&)> observer;
    {
      std::lock_guard<std::mutex> hold(g_observerLock);
      observer = g_observer;
    }
    const auto& bulk = urb->UrbBulkOrInterruptTransfer;
    if (observer) {
      observer({bulk.PipeHandle, (bulk.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0, outcome.status,
                bulk.TransferBufferLength});
    }
  }
  CompleteIrp(irp, outcome.status);
}

void CompleteIrp(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  KIRQL irql = ke::RaiseIrql(DISPATCH_LEVEL, "USB bus completion");
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  ke::LowerIrql(irql, "USB bus completion");
}

// --- The test-facing view ------------------------------------------------------------

Bus::Bus(DeviceModel& model) : state_(std::make_unique<BusState>(model)) {}

Bus::~Bus() = default;

PDEVICE_OBJECT Bus::Pdo() const { return state_->pdo; }

PDRIVER_OBJECT Bus::Driver() const { return state_->driver->Object(); }

std::vector<UrbSeen> Bus::Urbs() const {
  std::lock_guard<std::mutex> hold(state_->logLock);
  return std::vector<UrbSeen>(state_->log.begin(), state_->log.end());
}

std::vector<UrbSeen> Bus::Urbs(USHORT function) const {
  std::vector<UrbSeen> matching;
  for (const UrbSeen& seen : Urbs()) {
    if (seen.function == function) matching.push_back(seen);
  }
  return matching;
}

void Bus::ClearUrbs() {
  std::lock_guard<std::mutex> hold(state_->logLock);
  state_->log.clear();
}

uint8_t Bus::Configuration() const {
  KIRQL irql = state_->Acquire();
  uint8_t value = state_->configuration;
  state_->Release(irql);
  return value;
}

USBD_PIPE_HANDLE Bus::PipeHandle(uint8_t endpointAddress) const {
  KIRQL irql = state_->Acquire();
  USBD_PIPE_HANDLE handle = nullptr;
  for (const std::shared_ptr<Pipe>& pipe : state_->pipes) {
    if (pipe->endpoint.address == endpointAddress) handle = pipe->handle;
  }
  state_->Release(irql);
  return handle;
}

void Bus::AnswerPnp(UCHAR minor, NTSTATUS status) {
  std::lock_guard<std::mutex> hold(state_->pnpLock);
  state_->pnpAnswers[minor] = {status, false, 0};
}

void Bus::AnswerPnpLater(UCHAR minor, NTSTATUS status, uint64_t latencyMs) {
  std::lock_guard<std::mutex> hold(state_->pnpLock);
  state_->pnpAnswers[minor] = {status, true, latencyMs};
}

std::vector<UCHAR> Bus::PnpSeen() const {
  std::lock_guard<std::mutex> hold(state_->pnpLock);
  return state_->pnpSeen;
}

size_t Bus::Queued(uint8_t endpointAddress) const {
  KIRQL irql = state_->Acquire();
  size_t count = 0;
  for (const std::shared_ptr<Pipe>& pipe : state_->pipes) {
    if (pipe->endpoint.address == endpointAddress) count += pipe->queue.size();
  }
  state_->Release(irql);
  return count;
}

}  // namespace sim::usb
