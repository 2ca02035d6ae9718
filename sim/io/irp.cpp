/*
 * IRP allocation. An IRP is laid out as the platform's inline helpers expect:
 * the stack locations follow the IRP, CurrentLocation starts at
 * StackCount + 1 and CurrentStackLocation one past the last location, so
 * IoGetNextIrpStackLocation gives the first location a sender fills.
 */
#include "sim/ex/pool.h"
#include "sim/io/io.h"
#include "sim/ke/ke.h"
#include "sim/verifier/verifier.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

namespace sim::io {
namespace {

std::mutex g_lock;
std::unordered_map<PIRP, std::shared_ptr<IrpRecord>> g_irps;
uint64_t g_driverAllocations;  // IoAllocateIrp calls that succeeded, ever

const char* OriginName(IrpOrigin origin) {
  switch (origin) {
    case IrpOrigin::Driver: return "allocated by a driver";
    case IrpOrigin::Requester: return "sent by the I/O manager";
    case IrpOrigin::Built: return "built by IoBuildDeviceIoControlRequest";
  }
  return "";
}

}  // namespace

PIRP AllocateIrp(CCHAR stackSize, IrpOrigin origin) {
  if (stackSize < 1) {
    verifier::Report(verifier::Rule::NoMoreStackLocations, "IoAllocateIrp asked for " + std::to_string(stackSize) +
                                                               " stack locations");
    return nullptr;
  }
  USHORT size = IoSizeOfIrp(stackSize);
  auto irp = static_cast<PIRP>(std::aligned_alloc(16, (size + 15) & ~15));
  std::memset(irp, 0, size);
  irp->Type = IO_TYPE_IRP;
  irp->Size = size;
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->ApcEnvironment = 0;
  InitializeListHead(&irp->ThreadListEntry);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;

  auto record = std::make_shared<IrpRecord>();
  record->irp = irp;
  record->origin = origin;
  record->locations.resize(static_cast<size_t>(stackSize) + 1);
  std::lock_guard<std::mutex> hold(g_lock);
  g_irps[irp] = record;
  if (origin == IrpOrigin::Driver) ++g_driverAllocations;
  return irp;
}

uint64_t DriverIrpAllocations() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_driverAllocations;
}

void FreeIrp(PIRP irp) {
  std::shared_ptr<IrpRecord> record;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    auto found = g_irps.find(irp);
    if (found == g_irps.end()) return;
    record = found->second;
    g_irps.erase(found);
  }
  {
    std::lock_guard<std::mutex> hold(record->lock);
    record->freed = true;
  }
  std::memset(irp, 0xDF, irp->Size);
  std::free(irp);
}

std::shared_ptr<IrpRecord> FindIrp(PIRP irp, const char* routine) {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    auto found = g_irps.find(irp);
    if (found != g_irps.end()) return found->second;
  }
  char text[160];
  std::snprintf(text, sizeof text, "%s given %p, which is not a live IRP (never allocated, or freed already)", routine,
                static_cast<void*>(irp));
  verifier::Report(verifier::Rule::UnknownIrp, text);
  return nullptr;
}

size_t LiveIrpCount() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_irps.size();
}

std::string DescribeLiveIrps() {
  std::lock_guard<std::mutex> hold(g_lock);
  std::string text;
  for (const auto& entry : g_irps) {
    PIRP irp = entry.first;
    const IrpRecord& record = *entry.second;
    char where[64];
    if (record.completed) {
      std::snprintf(where, sizeof where, "completed");
    } else if (irp->CurrentLocation > irp->StackCount) {
      std::snprintf(where, sizeof where, "never sent (%d stack locations)", irp->StackCount);
    } else {
      std::snprintf(where, sizeof where, "at stack location %d of %d", irp->CurrentLocation, irp->StackCount);
    }
    char line[256];
    std::snprintf(line, sizeof line, "IRP %p %s, %s%s%s", static_cast<void*>(irp), OriginName(record.origin), where,
                  record.inDriver ? ", held by a driver" : "",
                  record.abandoned ? ", let go of by its caller before it completed (keep a request until it ends)"
                                   : "");
    if (!text.empty()) text += "; ";
    text += line;
  }
  return text;
}

void ReportAndReleaseIrps() {
  if (LiveIrpCount() != 0) {
    verifier::Report(verifier::Rule::IrpLeaked, "at the end of the test: " + DescribeLiveIrps());
  }
  std::lock_guard<std::mutex> hold(g_lock);
  for (const auto& entry : g_irps) std::free(entry.first);
  g_irps.clear();
}

}  // namespace sim::io

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  (void)ChargeQuota;
  if (sim::ke::CurrentIrql() > DISPATCH_LEVEL) {
    sim::verifier::Report(sim::verifier::Rule::IrqlTooHigh, "IoAllocateIrp called above DISPATCH_LEVEL");
  }
  if (!sim::pool::NextAllocationSucceeds()) return nullptr;
  return sim::io::AllocateIrp(StackSize, sim::io::IrpOrigin::Driver);
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  auto record = sim::io::FindIrp(Irp, "IoFreeIrp");
  if (!record) return;
  if (record->origin != sim::io::IrpOrigin::Driver) {
    // The I/O manager finishes and frees the IRPs it sends; a driver that
    // frees one pulls it from under its owner.
    sim::verifier::Report(sim::verifier::Rule::IrpFreedWhileInUse,
                          "IoFreeIrp of an IRP that the I/O manager owns; drivers free only IRPs from IoAllocateIrp");
    return;
  }
  {
    std::lock_guard<std::mutex> hold(record->lock);
    if (record->inDriver || record->completing) {
      sim::verifier::Report(sim::verifier::Rule::IrpFreedWhileInUse,
                            "IoFreeIrp of an IRP that a lower driver still holds");
      return;
    }
  }
  if (Irp->CancelRoutine != nullptr) {
    sim::verifier::Report(sim::verifier::Rule::IrpFreedWhileInUse, "IoFreeIrp of an IRP with a cancel routine set");
  }
  sim::io::FreeIrp(Irp);
}

}  // extern "C"
