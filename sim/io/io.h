/*
 * The I/O manager's private view of requests: a record per live IRP that
 * remembers where the IRP came from, whether a driver has it, and what each
 * stack location looked like when completion passed it. The verifier's IRP
 * rules are checked against these records, never against IRP memory that
 * may already be gone.
 */
#pragma once

#include "driver/platform/platform.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim::io {

enum class IrpOrigin {
  Driver,     // IoAllocateIrp by a driver: its completion routine must take it back
  Requester,  // built by the simulated I/O, PnP or power manager for a caller
  Built,      // IoBuildDeviceIoControlRequest: the I/O manager finishes and frees it
};

struct LocationSnapshot {
  bool passed = false;  // completion has moved past this location
  NTSTATUS status = 0;  // IoStatus.Status as completion passed it
  bool pendingReturned = false;
  // The location's dispatch routine returned STATUS_PENDING before completion
  // passed the location: the mark it needs may still come from below (the
  // I/O manager's propagation, or the driver's own completion routine), so
  // it is checked when completion passes. `dispatcher` names the routine.
  bool pendingToCheck = false;
  std::string dispatcher;
  // Counts the times the IRP was sent to this location again after
  // completion had passed it (a completion routine resubmitting it).
  uint64_t resends = 0;
  // The location's dispatch routine is running, on this thread.
  bool dispatching = false;
  std::thread::id dispatchThread;
  // The DPC and cancel routines that thread was already inside when the
  // dispatch routine was called (a completion routine run by a DPC may send
  // the IRP again): completing it there is the dispatch routine's own doing.
  int dispatchDpcs = 0;
  int dispatchCancelRoutines = 0;
  // Completion passed the location, while its dispatch routine still ran,
  // from a DPC, a cancel routine or another thread, with no pending mark:
  // reported then, not again when the dispatch routine returns.
  bool queuedUnmarked = false;
  // The completion routine the sender left in the location, as the IRP
  // arrived (a driver that shares the location must not replace it).
  PIO_COMPLETION_ROUTINE senderRoutine = nullptr;
};

struct IrpRecord {
  PIRP irp = nullptr;
  IrpOrigin origin = IrpOrigin::Driver;
  std::mutex lock;           // guards the fields below against a completion on another thread
  bool inDriver = false;     // sent with IofCallDriver and not yet taken back or completed
  bool completing = false;   // IofCompleteRequest is walking the stack
  bool completed = false;    // completion reached the top
  bool freed = false;
  bool abandoned = false;    // its caller let go of it while a driver held it
  std::vector<LocationSnapshot> locations;  // index = stack location number (1..StackCount)
  int powerIrpsStarted = 0;  // PoStartNextPowerIrp calls
  // What the owner does when completion reaches the top (Requester and Built).
  std::function<void(PIRP)> onTop;
};

// IRP allocation for the I/O manager's own callers; Driver origin is what
// IoAllocateIrp gives drivers.
PIRP AllocateIrp(CCHAR stackSize, IrpOrigin origin);
void FreeIrp(PIRP irp);

// The live record of an IRP, or null after reporting UnknownIrp for `routine`.
std::shared_ptr<IrpRecord> FindIrp(PIRP irp, const char* routine);

// IoCancelIrp. forCaller: the I/O manager cancels on a caller's behalf,
// which after completion does nothing instead of being reported.
BOOLEAN CancelIrp(PIRP irp, bool forCaller);

// Sends an IRP to a device's dispatch routine the way IofCallDriver does and
// checks the dispatch result against how the IRP was completed.
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, const char* routine);

// True while this thread runs the IRP_MN_SURPRISE_REMOVAL dispatch routine
// of `device`, in which the device must stay attached and alive.
bool InSurpriseRemovalOf(PDEVICE_OBJECT device);

// IRPs drivers have allocated with IoAllocateIrp since the process began.
uint64_t DriverIrpAllocations();

// Number of IRPs allocated and not freed; one line each for messages.
size_t LiveIrpCount();
std::string DescribeLiveIrps();
// Reports every IRP still allocated as leaked, then forgets them all.
void ReportAndReleaseIrps();

// Device objects created and not deleted.
size_t LiveDeviceCount();
void ReportAndReleaseDevices();
// Reports each device of `driver` still alive as left when the driver
// unloaded, then releases it.
void ReportAndReleaseDevicesOf(PDRIVER_OBJECT driver);

// Driver objects loaded (LoadedDriver) and not yet unloaded.
bool DriverLoaded(PDRIVER_OBJECT driver);

// Restarts the count behind Request::CompletionOrder.
void ResetRequestOrder();

// Text of a major function code, for messages.
const char* MajorName(UCHAR major);

}  // namespace sim::io
