// Arguments the kernel's routines would fault on, or calls of a kind the
// simulated kernel does not serve: each faulty call gives exactly one
// finding, of its rule, whose message names the fault.
#include "support/kernel_test.h"
#include "support/test_driver.h"

#include "sim/cm/registry.h"
#include "sim/io/driver.h"
#include "sim/ke/ke.h"
#include "sim/mm/mdl.h"

#include <functional>
#include <string>
#include <vector>

using sim::verifier::Rule;

namespace {

// Routines the faulty calls hand to the kernel; they never run usefully.
VOID NTAPI IgnoreCancel(PDEVICE_OBJECT, PIRP) {}
VOID NTAPI IgnoreDpc(PKDPC, PVOID, PVOID, PVOID) {}

// A key to query, opened for the call and closed after it.
void WithKey(const std::function<void(HANDLE)>& use) {
  HANDLE key = nullptr;
  ASSERT_EQ(sim::cm::OpenKey(sim::cm::DeviceMapKey(u"SERIALCOMM"), true, &key), STATUS_SUCCESS);
  use(key);
  ZwClose(key);
}

NTSTATUS NTAPI EntryThatRaisesIrql(PDRIVER_OBJECT, PUNICODE_STRING) {
  sim::ke::RaiseIrql(DISPATCH_LEVEL, "DriverEntry");
  return STATUS_SUCCESS;
}

struct ArgumentCase {
  const char* name;
  Rule rule;
  const char* mentioning;  // a part of the finding's message
  std::function<void()> call;
};

const ArgumentCase kArgumentCases[] = {
    {"SymbolicLinkWithNoName", Rule::InvalidArgument, "IoCreateSymbolicLink with no",
     [] {
       WCHAR text[] = L"\\Device\\Nothing";
       UNICODE_STRING target;
       RtlInitUnicodeString(&target, text);
       EXPECT_NE(IoCreateSymbolicLink(nullptr, &target), STATUS_SUCCESS);
     }},
    {"InterfaceStateWithNoName", Rule::InvalidArgument, "IoSetDeviceInterfaceState with no",
     [] { EXPECT_NE(IoSetDeviceInterfaceState(nullptr, TRUE), STATUS_SUCCESS); }},
    {"DeviceKeyWithNoHandle", Rule::InvalidArgument, "with no DevInstRegKey",
     [] {
       DEVICE_OBJECT device{};
       EXPECT_NE(IoOpenDeviceRegistryKey(&device, PLUGPLAY_REGKEY_DEVICE, KEY_READ, nullptr), STATUS_SUCCESS);
     }},
    {"QueryKeyWithNoResultLength", Rule::InvalidArgument, "ZwQueryKey with no ResultLength",
     [] {
       WithKey([](HANDLE key) {
         UCHAR buffer[64];
         EXPECT_NE(ZwQueryKey(key, KeyFullInformation, buffer, sizeof buffer, nullptr), STATUS_SUCCESS);
       });
     }},
    {"QueryValueWithLengthButNoBuffer", Rule::InvalidArgument, "with no buffer but a Length",
     [] {
       WithKey([](HANDLE key) {
         WCHAR text[] = L"COM5";
         UNICODE_STRING name;
         RtlInitUnicodeString(&name, text);
         ULONG length = 0;
         EXPECT_NE(ZwQueryValueKey(key, &name, KeyValuePartialInformation, nullptr, 16, &length), STATUS_SUCCESS);
       });
     }},
    {"QueryKeyOfAnUnservedClass", Rule::UnsupportedCall, "with information class",
     [] {
       WithKey([](HANDLE key) {
         UCHAR buffer[64];
         ULONG length = 0;
         EXPECT_NE(ZwQueryKey(key, KeyCachedInformation, buffer, sizeof buffer, &length),
                   STATUS_SUCCESS);
       });
     }},
    {"WriteRegistryValueRelativeToTheUser", Rule::UnsupportedCall, "RTL_REGISTRY_USER",
     [] {
       ULONG value = 1;
       EXPECT_NE(RtlWriteRegistryValue(RTL_REGISTRY_USER, L"Software", L"Value", REG_DWORD, &value, sizeof value),
                 STATUS_SUCCESS);
     }},
    {"WriteRegistryValueWithLengthButNoData", Rule::InvalidArgument, "with no ValueData",
     [] {
       EXPECT_NE(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"Value", REG_DWORD, nullptr, 4),
                 STATUS_SUCCESS);
     }},
    {"MapAnMdlForUserMode", Rule::UnsupportedCall, "for user mode",
     [] {
       char buffer[16] = {};
       PMDL mdl = sim::mm::DescribeBuffer(buffer, sizeof buffer);
       EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority), nullptr);
       sim::mm::ReleaseMdl(mdl);
     }},
    {"AllocateAnIrpWithNoStackLocation", Rule::NoMoreStackLocations, "IoAllocateIrp asked for 0",
     [] { EXPECT_EQ(IoAllocateIrp(0, FALSE), nullptr); }},
    {"PollAnEventAboveDispatch", Rule::WaitAtRaisedIrql, "polled above DISPATCH_LEVEL",
     [] {
       KEVENT event;
       KeInitializeEvent(&event, NotificationEvent, TRUE);
       LARGE_INTEGER now{};
       KIRQL old = sim::ke::RaiseIrql(HIGH_LEVEL, "test");
       EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &now), STATUS_SUCCESS);
       sim::ke::LowerIrql(old, "test");
     }},
    {"FreeAnIrpWithACancelRoutineSet", Rule::IrpFreedWhileInUse, "with a cancel routine set",
     [] {
       PIRP irp = IoAllocateIrp(1, FALSE);
       ASSERT_NE(irp, nullptr);
       irp->CancelRoutine = IgnoreCancel;
       IoFreeIrp(irp);
     }},
    {"WaitOnSomethingThatIsNotAnEvent", Rule::UnsupportedCall, "not an event",
     [] {
       KTIMER timer;
       KeInitializeTimer(&timer);
       LARGE_INTEGER now{};
       EXPECT_NE(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &now), STATUS_SUCCESS);
     }},
    {"QueryValueWithNoName", Rule::InvalidArgument, "with no ValueName",
     [] {
       WithKey([](HANDLE key) {
         UCHAR buffer[64];
         ULONG length = 0;
         EXPECT_NE(ZwQueryValueKey(key, nullptr, KeyValuePartialInformation, buffer, sizeof buffer, &length),
                   STATUS_SUCCESS);
       });
     }},
    {"DeleteADeviceWhoseExtensionHoldsASetTimer", Rule::TimerInFreedMemory, "a timer in its extension",
     [] {
       test::TestDriver driver;
       PDEVICE_OBJECT device = nullptr;
       ASSERT_EQ(IoCreateDevice(driver.Object(), sizeof(KTIMER), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                 STATUS_SUCCESS);
       auto timer = static_cast<PKTIMER>(device->DeviceExtension);
       KeInitializeTimer(timer);
       LARGE_INTEGER due;
       due.QuadPart = -10000000;
       KeSetTimer(timer, due, nullptr);
       IoDeleteDevice(device);
     }},
    {"DeleteADeviceWhoseExtensionHoldsAQueuedDpc", Rule::DpcInFreedMemory, "a DPC in its extension",
     [] {
       test::TestDriver driver;
       PDEVICE_OBJECT device = nullptr;
       ASSERT_EQ(IoCreateDevice(driver.Object(), sizeof(KDPC), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                 STATUS_SUCCESS);
       auto dpc = static_cast<PKDPC>(device->DeviceExtension);
       KeInitializeDpc(dpc, IgnoreDpc, nullptr);
       sim::ke::DeferDpcs();
       KeInsertQueueDpc(dpc, nullptr, nullptr);
       IoDeleteDevice(device);
       sim::ke::ResumeDpcs();
     }},
    {"DriverEntryReturnsAtAnotherIrql", Rule::IrqlNotRestored, "DriverEntry returned at IRQL",
     [] {
       {
         sim::io::LoadedDriver driver(EntryThatRaisesIrql);
       }
       sim::ke::LowerIrql(PASSIVE_LEVEL, "test");
     }},
};

void PrintTo(const ArgumentCase& row, std::ostream* out) { *out << row.name; }

}  // namespace

class ArgumentVerifierTest : public KernelTest, public ::testing::WithParamInterface<ArgumentCase> {};

TEST_P(ArgumentVerifierTest, TheFaultyCallIsReported) {
  GetParam().call();
  std::vector<sim::verifier::Finding> findings = sim::verifier::Take();
  ASSERT_EQ(findings.size(), 1u) << sim::verifier::Describe(findings);
  EXPECT_EQ(findings[0].rule, GetParam().rule) << sim::verifier::Describe(findings);
  EXPECT_NE(findings[0].message.find(GetParam().mentioning), std::string::npos) << findings[0].message;
}

INSTANTIATE_TEST_SUITE_P(Arguments, ArgumentVerifierTest, ::testing::ValuesIn(kArgumentCases),
                         [](const ::testing::TestParamInfo<ArgumentCase>& info) {
                           return std::string(info.param.name);
                         });

// A DPC still queued when the test ends is in memory about to go.
TEST_F(KernelTest, ADpcStillQueuedAtTheEndIsReported) {
  KDPC dpc;
  KeInitializeDpc(&dpc, IgnoreDpc, nullptr);
  sim::ke::DeferDpcs();
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  std::vector<sim::verifier::Finding> findings = sim::EndOfTest();
  sim::ke::ResumeDpcs();
  ASSERT_EQ(findings.size(), 1u) << sim::verifier::Describe(findings);
  EXPECT_EQ(findings[0].rule, Rule::DpcInFreedMemory);
}
