// The simulated Plug and Play manager driving a small function driver above
// the simulated USB bus's PDO: AddDevice, the requests of a device's life
// and what each arrives with, the bus's answers (also failing and pending),
// the wait for a start finished later, the DO_DEVICE_INITIALIZING rule,
// interfaces left enabled at removal, and the PDO's device node.
#include "support/kernel_test.h"
#include "support/test_driver.h"

#include "sim/cm/registry.h"
#include "sim/ke/clock.h"
#include "sim/ke/ke.h"
#include "sim/ob/namespace.h"
#include "sim/pnp/manager.h"
#include "sim/pnp/pnp.h"
#include "sim/usb/bus.h"
#include "sim/usb/devices/layouts.h"
#include "sim/usb/devices/loopback.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

using sim::verifier::Rule;

namespace {

// A function driver as WDM drivers handle Plug and Play: start and
// query-capabilities go down first and are finished on the way back (a
// completion routine signals an event; the driver waits if the lower
// driver pended), removal passes down and then detaches and deletes the
// device, everything else passes down untouched.
class PnpDriver {
 public:
  struct Extension {
    PDEVICE_OBJECT lower;
  };

  PnpDriver() {
    current_ = this;
    driver_.Object()->DriverExtension->AddDevice = AddDevice;
    driver_.Serve(IRP_MJ_PNP, [this](PDEVICE_OBJECT device, PIRP irp) { return Pnp(device, irp); });
  }
  ~PnpDriver() { current_ = nullptr; }

  PDRIVER_OBJECT Object() const { return driver_.Object(); }

  // Set by the test.
  bool clearInitializing = true;
  NTSTATUS addStatus = STATUS_SUCCESS;
  int finishStartAfterMs = -1;  // >= 0: the driver itself pends start and finishes it that much later

  // Seen by the driver.
  PDEVICE_OBJECT fdo = nullptr;
  int adds = 0;
  PDEVICE_OBJECT addedFor = nullptr;
  KIRQL addIrql = 0xFF;
  std::vector<UCHAR> minors;
  std::vector<KIRQL> irqls;
  std::vector<NTSTATUS> arrivedWith;
  KIRQL forwardCompletionIrql = 0xFF;
  DEVICE_CAPABILITIES capabilitiesSeen{};

 private:
  struct Forward {
    KEVENT event;
    KIRQL irql;
  };

  static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PnpDriver& self = *current_;
    self.adds++;
    self.addedFor = pdo;
    self.addIrql = sim::ke::CurrentIrql();
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
    if (status != STATUS_SUCCESS) return status;
    auto extension = static_cast<Extension*>(device->DeviceExtension);
    extension->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (!NT_SUCCESS(self.addStatus)) {
      IoDetachDevice(extension->lower);
      IoDeleteDevice(device);
      return self.addStatus;
    }
    if (self.clearInitializing) device->Flags &= ~DO_DEVICE_INITIALIZING;
    self.fdo = device;
    return STATUS_SUCCESS;
  }

  static NTSTATUS NTAPI Forwarded(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    (void)device;
    (void)irp;
    auto forward = static_cast<Forward*>(context);
    forward->irql = sim::ke::CurrentIrql();
    KeSetEvent(&forward->event, 1, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  NTSTATUS ForwardAndWait(PDEVICE_OBJECT device, PIRP irp) {
    Forward forward;
    forward.irql = 0xFF;
    KeInitializeEvent(&forward.event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Forwarded, &forward, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(Lower(device), irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&forward.event, Executive, KernelMode, FALSE, nullptr);
      status = irp->IoStatus.Status;
    }
    forwardCompletionIrql = forward.irql;
    return status;
  }

  NTSTATUS Pnp(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    minors.push_back(stack->MinorFunction);
    irqls.push_back(sim::ke::CurrentIrql());
    arrivedWith.push_back(irp->IoStatus.Status);
    switch (stack->MinorFunction) {
      case IRP_MN_START_DEVICE:
      case IRP_MN_QUERY_CAPABILITIES: {
        if (stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
          capabilitiesSeen = *stack->Parameters.DeviceCapabilities.Capabilities;
        }
        if (stack->MinorFunction == IRP_MN_START_DEVICE && finishStartAfterMs >= 0) return FinishStartLater(irp);
        NTSTATUS status = ForwardAndWait(device, irp);
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
      }
      case IRP_MN_REMOVE_DEVICE: {
        IoCopyCurrentIrpStackLocationToNext(irp);
        PDEVICE_OBJECT lower = Lower(device);
        NTSTATUS status = IofCallDriver(lower, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        fdo = nullptr;
        return status;
      }
      default:
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IofCallDriver(Lower(device), irp);
    }
  }

  // Pends the start and completes it from the clock, without the bus.
  NTSTATUS FinishStartLater(PIRP irp) {
    IoMarkIrpPending(irp);
    int64_t due = sim::clock::Now() + finishStartAfterMs * sim::clock::kUnitsPerMs;
    sim::clock::Schedule(due, [irp] { test::Complete(irp, STATUS_SUCCESS); });
    return STATUS_PENDING;
  }

  static PDEVICE_OBJECT Lower(PDEVICE_OBJECT device) { return static_cast<Extension*>(device->DeviceExtension)->lower; }

  static PnpDriver* current_;
  test::TestDriver driver_;
};

PnpDriver* PnpDriver::current_ = nullptr;

}  // namespace

class PnpManagerTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    model_ = std::make_unique<sim::usb::LoopbackDevice>();
    bus_ = std::make_unique<sim::usb::Bus>(*model_);
    driver_ = std::make_unique<PnpDriver>();
    manager_ = std::make_unique<sim::pnp::Manager>(bus_->Pdo());
  }
  void TearDown() override {
    manager_.reset();
    bus_.reset();
    model_.reset();
    driver_.reset();
    KernelTest::TearDown();
  }

  std::unique_ptr<sim::usb::LoopbackDevice> model_;
  std::unique_ptr<sim::usb::Bus> bus_;
  std::unique_ptr<PnpDriver> driver_;
  std::unique_ptr<sim::pnp::Manager> manager_;
};

TEST_F(PnpManagerTest, PluggingAddsTheDeviceStartsItAndAsksItsCapabilities) {
  EXPECT_EQ(manager_->Plug(driver_->Object()), STATUS_SUCCESS);
  EXPECT_EQ(driver_->adds, 1);
  EXPECT_EQ(driver_->addedFor, bus_->Pdo());
  EXPECT_EQ(driver_->addIrql, PASSIVE_LEVEL);
  ASSERT_NE(driver_->fdo, nullptr);
  EXPECT_EQ(manager_->Top(), driver_->fdo);

  const std::vector<UCHAR> expected = {IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES};
  EXPECT_EQ(driver_->minors, expected);
  EXPECT_EQ(bus_->PnpSeen(), expected) << "what the driver passed down";
  for (size_t i = 0; i < driver_->minors.size(); ++i) {
    EXPECT_EQ(driver_->irqls[i], PASSIVE_LEVEL) << "request " << i;
    EXPECT_EQ(driver_->arrivedWith[i], STATUS_NOT_SUPPORTED) << "IoStatus.Status preset, request " << i;
  }

  const DEVICE_CAPABILITIES& seen = driver_->capabilitiesSeen;
  EXPECT_EQ(seen.Size, 64);
  EXPECT_EQ(seen.Version, 1);
  EXPECT_EQ(seen.Address, 0xFFFFFFFFu);
  EXPECT_EQ(seen.UINumber, 0xFFFFFFFFu);
  EXPECT_FALSE(seen.Removable);
  EXPECT_FALSE(seen.SurpriseRemovalOK);
  EXPECT_EQ(seen.DeviceState[PowerSystemWorking], PowerDeviceUnspecified);
  EXPECT_TRUE(manager_->LastCapabilities().Removable) << "the bus driver's answer comes back";

  EXPECT_EQ(manager_->Remove(), STATUS_SUCCESS);
  EXPECT_EQ(driver_->fdo, nullptr);
  EXPECT_EQ(bus_->Pdo()->AttachedDevice, nullptr);
}

struct LifeRequestCase {
  const char* name;
  UCHAR minor;
  std::function<NTSTATUS(sim::pnp::Manager&)> send;
};

const LifeRequestCase kLifeRequestCases[] = {
    {"QueryRemove", IRP_MN_QUERY_REMOVE_DEVICE, [](sim::pnp::Manager& m) { return m.QueryRemove(); }},
    {"CancelRemove", IRP_MN_CANCEL_REMOVE_DEVICE, [](sim::pnp::Manager& m) { return m.CancelRemove(); }},
    {"QueryStop", IRP_MN_QUERY_STOP_DEVICE, [](sim::pnp::Manager& m) { return m.QueryStop(); }},
    {"CancelStop", IRP_MN_CANCEL_STOP_DEVICE, [](sim::pnp::Manager& m) { return m.CancelStop(); }},
    {"Stop", IRP_MN_STOP_DEVICE, [](sim::pnp::Manager& m) { return m.Stop(); }},
    {"SurpriseRemove", IRP_MN_SURPRISE_REMOVAL, [](sim::pnp::Manager& m) { return m.SurpriseRemove(); }},
};
void PrintTo(const LifeRequestCase& row, std::ostream* out) { *out << row.name; }

class PnpLifeRequestTest : public PnpManagerTest, public ::testing::WithParamInterface<LifeRequestCase> {};

TEST_P(PnpLifeRequestTest, ReachesTheDriverPresetAndReturnsTheBusDriversStatus) {
  const LifeRequestCase& row = GetParam();
  ASSERT_EQ(manager_->Plug(driver_->Object()), STATUS_SUCCESS);
  EXPECT_EQ(row.send(*manager_), STATUS_SUCCESS);
  ASSERT_EQ(driver_->minors.size(), 3u);
  EXPECT_EQ(driver_->minors[2], row.minor);
  EXPECT_EQ(driver_->irqls[2], PASSIVE_LEVEL);
  EXPECT_EQ(driver_->arrivedWith[2], STATUS_NOT_SUPPORTED);
  EXPECT_EQ(bus_->PnpSeen().back(), row.minor);

  bus_->AnswerPnp(row.minor, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(row.send(*manager_), STATUS_UNSUCCESSFUL) << "a failure of the bus driver comes back";
  EXPECT_EQ(manager_->Remove(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Requests, PnpLifeRequestTest, ::testing::ValuesIn(kLifeRequestCases),
                         [](const ::testing::TestParamInfo<LifeRequestCase>& info) { return std::string(info.param.name); });

TEST_F(PnpManagerTest, ARequestNoDriverHandlesEndsWithThePresetStatus) {
  ASSERT_EQ(manager_->Plug(driver_->Object()), STATUS_SUCCESS);
  EXPECT_EQ(manager_->Send(IRP_MN_QUERY_PNP_DEVICE_STATE), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(bus_->PnpSeen().back(), IRP_MN_QUERY_PNP_DEVICE_STATE);
  EXPECT_EQ(manager_->Remove(), STATUS_SUCCESS);
}

// The lower driver finishes the start later: the function driver waits for
// it, and the completion reaches it at DISPATCH_LEVEL, from the clock.
struct PendingStartCase {
  const char* name;
  NTSTATUS status;
  uint64_t latencyMs;
};

const PendingStartCase kPendingStartCases[] = {
    {"Succeeds", STATUS_SUCCESS, 5},
    {"SucceedsAtOnceButPended", STATUS_SUCCESS, 0},
    {"Fails", STATUS_DEVICE_NOT_CONNECTED, 7},
};
void PrintTo(const PendingStartCase& row, std::ostream* out) { *out << row.name; }

class PendingStartTest : public PnpManagerTest, public ::testing::WithParamInterface<PendingStartCase> {};

TEST_P(PendingStartTest, IsWaitedForAndItsStatusReturned) {
  const PendingStartCase& row = GetParam();
  bus_->AnswerPnpLater(IRP_MN_START_DEVICE, row.status, row.latencyMs);
  ASSERT_EQ(manager_->AddDevice(driver_->Object()), STATUS_SUCCESS);
  EXPECT_EQ(manager_->Start(), row.status);
  EXPECT_EQ(driver_->forwardCompletionIrql, DISPATCH_LEVEL) << "the bus finished the start in a DPC";
  EXPECT_EQ(sim::clock::Now(), static_cast<int64_t>(row.latencyMs) * sim::clock::kUnitsPerMs);
  EXPECT_EQ(manager_->Remove(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(LowerDriver, PendingStartTest, ::testing::ValuesIn(kPendingStartCases),
                         [](const ::testing::TestParamInfo<PendingStartCase>& info) { return std::string(info.param.name); });

TEST_F(PnpManagerTest, TheManagerWaitsForAStartTheDriverFinishesLater) {
  driver_->finishStartAfterMs = 3;
  ASSERT_EQ(manager_->AddDevice(driver_->Object()), STATUS_SUCCESS);
  EXPECT_EQ(manager_->Start(), STATUS_SUCCESS);
  EXPECT_EQ(sim::clock::Now(), 3 * sim::clock::kUnitsPerMs);
  EXPECT_EQ(manager_->Remove(), STATUS_SUCCESS);
}

TEST_F(PnpManagerTest, AFailedStartIsFollowedByRemoval) {
  bus_->AnswerPnp(IRP_MN_START_DEVICE, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(manager_->Plug(driver_->Object()), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(driver_->minors, (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}));
  EXPECT_EQ(driver_->fdo, nullptr);
}

TEST_F(PnpManagerTest, AFailedAddSendsNothing) {
  driver_->addStatus = STATUS_INSUFFICIENT_RESOURCES;
  EXPECT_EQ(manager_->Plug(driver_->Object()), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(driver_->minors.empty());
  EXPECT_TRUE(bus_->PnpSeen().empty());
}

TEST_F(PnpManagerTest, ADeviceLeftInitializingIsReportedAndGetsNoRequest) {
  driver_->clearInitializing = false;
  EXPECT_EQ(manager_->AddDevice(driver_->Object()), STATUS_SUCCESS);
  ExpectOnlyFinding(Rule::DeviceStillInitializing);
  EXPECT_EQ(manager_->Start(), STATUS_NO_SUCH_DEVICE);
  ExpectOnlyFinding(Rule::DeviceStillInitializing);
  EXPECT_TRUE(driver_->minors.empty()) << "a request reached a device still initializing";
  EXPECT_TRUE(bus_->PnpSeen().empty());

  driver_->fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  EXPECT_EQ(manager_->Remove(), STATUS_SUCCESS);
}

TEST_F(PnpManagerTest, AnInterfaceStillEnabledAfterRemovalIsReportedOnceAndDisabled) {
  ASSERT_EQ(manager_->Plug(driver_->Object()), STATUS_SUCCESS);
  UNICODE_STRING name{};
  ASSERT_EQ(IoRegisterDeviceInterface(bus_->Pdo(), &sim::pnp::kComPortInterface, nullptr, &name), STATUS_SUCCESS);
  ASSERT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(manager_->Remove(), STATUS_SUCCESS);
  ExpectOnlyFinding(Rule::DeviceInterfaceLeftEnabled);
  EXPECT_FALSE(sim::pnp::FindInterface(sim::ob::FromUnicode(&name))->enabled);
  ExFreePool(name.Buffer);
}

TEST_F(PnpManagerTest, TheBusPdoIsADeviceNodeWithAUsbInstanceOfItsOwn) {
  std::u16string instance = sim::pnp::InstanceId(bus_->Pdo());
  const std::u16string prefix = u"USB\\VID_1209&PID_0001\\";
  ASSERT_EQ(instance.compare(0, prefix.size(), prefix), 0) << sim::ob::Narrow(instance);
  std::u16string key = sim::pnp::ParametersKey(bus_->Pdo());
  EXPECT_EQ(key, sim::cm::kEnum + u"\\" + instance + u"\\Device Parameters");
  EXPECT_TRUE(sim::cm::KeyExists(key));

  sim::usb::LoopbackDevice secondModel;
  PDEVICE_OBJECT secondPdo;
  {
    sim::usb::Bus second(secondModel);
    secondPdo = second.Pdo();
    EXPECT_NE(sim::pnp::InstanceId(secondPdo), instance) << "a second device of the same kind, on another port";
  }
  EXPECT_FALSE(sim::pnp::IsDeviceNode(secondPdo)) << "the node of an unplugged device";
}

// What the PnP manager checks of the driver it calls.
NTSTATUS NTAPI AddDeviceThatRaisesIrql(PDRIVER_OBJECT, PDEVICE_OBJECT) {
  sim::ke::RaiseIrql(DISPATCH_LEVEL, "AddDevice");
  return STATUS_UNSUCCESSFUL;
}

TEST_F(PnpManagerTest, ADriverWithNoAddDeviceRoutineIsReported) {
  test::TestDriver plain;
  EXPECT_EQ(manager_->AddDevice(plain.Object()), STATUS_INVALID_DEVICE_REQUEST);
  ExpectOnlyFinding(sim::verifier::Rule::UnsupportedCall);
}

TEST_F(PnpManagerTest, AnAddDeviceRoutineReturningAtAnotherIrqlIsReported) {
  test::TestDriver raising;
  raising.Object()->DriverExtension->AddDevice = AddDeviceThatRaisesIrql;
  EXPECT_EQ(manager_->AddDevice(raising.Object()), STATUS_UNSUCCESSFUL);
  sim::ke::LowerIrql(PASSIVE_LEVEL, "test");
  ExpectOnlyFinding(sim::verifier::Rule::IrqlNotRestored);
}
