/*
 * A root-enumerated test bus for running quillan.sys under a second kernel:
 * its one child is a USB loopback device (hardware ID USB\VID_1209&PID_0001)
 * that answers the URBs of a USB function driver the way a hub and a device
 * would. Test code only: never packaged.
 *
 * Three kinds of device object share the driver's dispatch routines; each
 * extension starts with its kind.
 */
#pragma once

#include "driver/platform/platform.h"

enum DeviceKind { kBusDevice, kChildDevice, kControlDevice };

// One endpoint of the loopback device's configuration. Its address in the
// child's extension is the pipe handle given to the function driver.
struct LoopbackPipe {
  UCHAR interfaceNumber;
  UCHAR address;
  UCHAR attributes;
  UCHAR interval;
};

constexpr ULONG kPipeCount = 3;  // interrupt IN; bulk OUT; bulk IN
constexpr ULONG kLoopbackCapacity = 16384;

struct ChildExtension {
  DeviceKind kind;
  PDEVICE_OBJECT self;
  LoopbackPipe pipes[kPipeCount];

  // Everything below is guarded by lock.
  KSPIN_LOCK lock;
  LIST_ENTRY pending;  // transfers the worker has not ended, in arrival order
  UCHAR data[kLoopbackCapacity];  // bytes taken from OUT, not yet sent back on IN
  ULONG head;
  ULONG count;
  BOOLEAN gone;     // unplugged: every transfer fails
  BOOLEAN stopping; // the worker ends
  BOOLEAN reported; // the bus still lists it as its child

  KEVENT wake;      // something for the worker to look at
  HANDLE worker;
};

struct BusExtension {
  DeviceKind kind;
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT physical;  // the root PDO under the bus
  PDEVICE_OBJECT lower;
  PDEVICE_OBJECT child;     // created at the first enumeration
  PDEVICE_OBJECT control;
};

struct ControlExtension {
  DeviceKind kind;
  BusExtension* bus;
};

inline DeviceKind KindOf(PDEVICE_OBJECT device) { return *static_cast<DeviceKind*>(device->DeviceExtension); }

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);

// child.cpp
NTSTATUS CreateChild(PDRIVER_OBJECT driver, PDEVICE_OBJECT* child);
NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp);

// loopback.cpp
NTSTATUS StartLoopback(ChildExtension* child);
VOID StopLoopback(ChildExtension* child);
VOID UnplugLoopback(ChildExtension* child);
NTSTATUS LoopbackSubmitUrb(ChildExtension* child, PIRP irp);
