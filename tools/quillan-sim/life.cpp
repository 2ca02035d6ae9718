/*
 * The device's life: plug in (add device, start, capabilities), open the
 * COM name the Ports class installer gave it, set the time-outs and the
 * event mask, move the bytes, see an event, unplug with a read pending,
 * close, remove. Every request is checked against what an application
 * would expect; each surprise is a mismatch.
 */
#include "life.h"

#include "driver/frame/dispatch.h"
#include "sim/cm/registry.h"
#include "sim/ex/pool.h"
#include "sim/io/driver.h"
#include "sim/ke/clock.h"
#include "sim/kernel.h"
#include "sim/ldr/loader.h"
#include "sim/pnp/manager.h"
#include "sim/pnp/pnp.h"
#include "sim/rtl/debug.h"
#include "sim/rtl/status.h"
#include "sim/usb/bus.h"
#include "sim/usb/devices/layouts.h"
#include "sim/usb/devices/loopback.h"
#include "sim/win32/comm_port.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>

namespace quillan_sim {
namespace {

using sim::win32::Bytes;
using sim::win32::CommPort;
using sim::win32::IoResult;
using sim::win32::Overlapped;

const char16_t kComName[] = u"COM5";
// Low resources: the first allocations (driver load, device creation) go
// through, as Driver Verifier waits before it fails any; then one in twenty fails.
constexpr uint64_t kLowResourcesGrace = 8;
constexpr unsigned kLowResourcesPercent = 5;
constexpr ULONG kLargestWrite = 600;  // what the loopback can echo before the receive buffer fills

// The bytes of the stream from `offset`, the same for any chunking.
Bytes StreamBytes(uint32_t seed, uint64_t offset, size_t length) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) {
    uint64_t n = offset + i;
    bytes[i] = static_cast<uint8_t>((n * 2654435761u + seed) >> 7);
  }
  return bytes;
}

class Life {
 public:
  Life(const Options& options, Trace& trace) : options_(options), trace_(trace), random_(options.seed) {}

  void Run(LifeResult* result);

 private:
  void Expect(bool condition, const std::string& what) {
    if (!condition) result_->mismatches.push_back(what);
  }
  IoResult Finish(Overlapped& request, const std::string& what) {
    IoResult done = request.Wait();
    trace_.Request(request.Request().CompletionTime(), what, done.status, done.bytes);
    return done;
  }
  void Pnp(const std::string& what, NTSTATUS status) {
    trace_.Request(sim::clock::Now(), what, status, 0);
    Expect(NT_SUCCESS(status), what + " failed with " + sim::rtl::StatusName(status));
  }
  void Progress(uint64_t done);

  bool WriteChunk(const Bytes& data);
  bool ReadExactly(uint64_t offset, size_t length, const std::string& what);
  void Traffic();
  void Unplug(sim::usb::ScriptedDevice& device, sim::pnp::Manager& pnp);

  const Options& options_;
  Trace& trace_;
  std::mt19937 random_;
  LifeResult* result_ = nullptr;
  sim::usb::ScriptedDevice* device_ = nullptr;
  std::unique_ptr<CommPort> port_;
  std::unique_ptr<Overlapped> wait_;
  int lastPercent_ = -1;
  uint64_t outTaken_ = 0;    // bytes the device took
  uint64_t outDiffers_ = 0;  // 1 + the offset of the first one not as written; 0 if none
};

void Life::Progress(uint64_t done) {
  if (!options_.progress) return;
  int percent = static_cast<int>(done * 100 / options_.bytes);
  if (percent == lastPercent_) return;
  lastPercent_ = percent;
  std::fprintf(stderr, "\rquillan-sim: %3d%% of %llu bytes", percent, static_cast<unsigned long long>(options_.bytes));
  if (percent == 100) std::fprintf(stderr, "\n");
}

bool Life::WriteChunk(const Bytes& data) {
  std::unique_ptr<Overlapped> write = port_->WriteAsync(data);
  IoResult done = Finish(*write, "write");
  result_->bytesWritten += done.bytes;
  if (done.status != STATUS_SUCCESS || done.bytes != data.size()) {
    result_->mismatches.push_back("a write of " + std::to_string(data.size()) + " bytes ended with " +
                                  sim::rtl::StatusName(done.status) + " after " + std::to_string(done.bytes));
    return false;
  }
  return true;
}

// Reads `length` bytes of the stream in reads of random sizes and checks
// them. A read that times out with nothing means the bytes are lost; one
// that returns at once with nothing (time-outs that make reads return with
// what is there) is polled again a millisecond later, as applications do.
bool Life::ReadExactly(uint64_t offset, size_t length, const std::string& what) {
  constexpr int kPolls = 1000;
  size_t got = 0;
  int emptyPolls = 0;
  while (got < length) {
    ULONG ask = static_cast<ULONG>(1 + random_() % (length - got));
    int64_t sent = sim::clock::Now();
    std::unique_ptr<Overlapped> read = port_->ReadAsync(ask);
    IoResult done = Finish(*read, what);
    Bytes data = read->Data();
    result_->bytesRead += data.size();
    if (data != StreamBytes(options_.seed, offset + got, data.size())) {
      result_->mismatches.push_back("bytes " + std::to_string(offset + got) + ".." +
                                    std::to_string(offset + got + data.size()) + " read back differ from those sent");
      return false;
    }
    if (done.status != STATUS_SUCCESS && done.status != STATUS_TIMEOUT) {
      result_->mismatches.push_back("a read ended with " + sim::rtl::StatusName(done.status));
      return false;
    }
    if (data.empty() && read->Request().CompletionTime() == sent && ++emptyPolls < kPolls) {
      sim::clock::AdvanceMs(1);
      continue;
    }
    if (data.empty()) {
      result_->mismatches.push_back(std::to_string(length - got) + " bytes never arrived (the read timed out)");
      return false;
    }
    emptyPolls = 0;
    got += data.size();
  }
  return true;
}

void Life::Traffic() {
  bool loopback = options_.device == DeviceKind::Loopback;
  uint64_t moved = 0;
  bool eventSeen = false;
  result_->trafficStart = result_->trafficEnd = sim::clock::Now();
  while (moved < options_.bytes) {
    size_t chunk = static_cast<size_t>(std::min<uint64_t>(1 + random_() % kLargestWrite, options_.bytes - moved));
    Bytes data = StreamBytes(options_.seed, moved, chunk);
    if (!loopback) {
      device_->SendIn(data);  // the device's own data, arriving at its pace
      result_->bytesFromDevice += chunk;
    }
    if (!WriteChunk(loopback ? data : StreamBytes(~options_.seed, moved, chunk))) return;
    if (loopback) result_->bytesFromDevice += chunk;
    if (!eventSeen) {
      // The wait issued before the traffic ends at the first event.
      IoResult done = Finish(*wait_, "wait for an event");
      ULONG events = wait_->Events();
      char text[64];
      std::snprintf(text, sizeof text, "events 0x%04lX", static_cast<unsigned long>(events));
      trace_.Note(text);
      Expect(done.status == STATUS_SUCCESS && (events & (SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY)) != 0,
             "the first wait for an event did not report one");
      eventSeen = true;
    }
    if (!ReadExactly(moved, chunk, "read")) return;
    moved += chunk;
    result_->trafficEnd = sim::clock::Now();
    Progress(moved);
  }
}

void Life::Unplug(sim::usb::ScriptedDevice& device, sim::pnp::Manager& pnp) {
  // A read that waits for all its bytes, whatever time-outs the run uses.
  SERIAL_TIMEOUTS waitForAll = {};
  Expect(port_->SetTimeouts(waitForAll) == STATUS_SUCCESS, "the time-outs were refused");
  std::unique_ptr<Overlapped> pending = port_->ReadAsync(64);
  Expect(!pending->Done(), "a read with nothing to read completed at once");
  device.Unplug();
  Pnp("surprise removal", pnp.SurpriseRemove());
  IoResult cancelled = Finish(*pending, "read pending at unplug");
  Expect(cancelled.status == STATUS_CANCELLED, "the pending read was not cancelled at surprise removal");
  std::unique_ptr<Overlapped> refused = port_->ReadAsync(1);
  IoResult after = Finish(*refused, "read after unplug");
  Expect(after.status == STATUS_DELETE_PENDING, "a read after surprise removal was not refused");
  std::unique_ptr<CommPort> again;
  Expect(CommPort::Open(kComName, &again) != STATUS_SUCCESS, "the COM name still opens after surprise removal");
}

void Life::Run(LifeResult* result) {
  result_ = result;
  std::unique_ptr<sim::usb::ScriptedDevice> device;
  if (options_.device == DeviceKind::Loopback) {
    device = std::make_unique<sim::usb::LoopbackDevice>();
  } else {
    device = std::make_unique<sim::usb::ScriptedDevice>();
  }
  device_ = device.get();
  device->AnswerLater(1);  // a millisecond of bus latency for every answer
  if (options_.lowResources) {
    sim::pool::SimulateLowResources(options_.lowResourcesSeed, kLowResourcesGrace, kLowResourcesPercent);
  }
  // What the device takes is checked against the stream written as it
  // arrives, not stored: a long run keeps no copy of it.
  uint32_t written = options_.device == DeviceKind::Loopback ? options_.seed : ~options_.seed;
  device->ObserveOut([this, written](const uint8_t* bytes, size_t length) {
    if (outDiffers_ == 0 && StreamBytes(written, outTaken_, length) != Bytes(bytes, bytes + length)) {
      outDiffers_ = outTaken_ + 1;
    }
    outTaken_ += length;
  });
  PDRIVER_INITIALIZE entry = DriverEntry;
  if (!options_.sys.empty()) {
    std::string refusal;
    entry = sim::ldr::LoadDriverImage(options_.sys, &refusal);
    if (entry == nullptr) {
      result_->mismatches.push_back(refusal);
      return;
    }
    trace_.Note("running " + options_.sys);
  }
  {
    sim::io::LoadedDriver driver(entry);
    sim::usb::Bus bus(*device);
    USBD_PIPE_HANDLE readPipe = nullptr;
    sim::usb::ObserveTransfers([&](const sim::usb::TransferEnded& transfer) { trace_.Transfer(transfer, readPipe); });
    // What the Ports class installer leaves for the device.
    sim::cm::SetString(sim::pnp::ParametersKey(bus.Pdo()), u"PortName", kComName, true);
    sim::pnp::Manager pnp(bus.Pdo());

    trace_.Step("plug in: add device, start, capabilities");
    Pnp("plug in", pnp.Plug(driver.Object()));
    readPipe = bus.PipeHandle(sim::usb::layouts::kBulkIn);

    trace_.Step("open COM5, set the time-outs and the event mask");
    NTSTATUS opened = CommPort::Open(kComName, &port_);
    trace_.Request(sim::clock::Now(), "open COM5", opened, 0);
    if (NT_SUCCESS(opened)) {
      Expect(port_->SetTimeouts(options_.timeouts) == STATUS_SUCCESS, "the time-outs were refused");
      Expect(port_->SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY) == STATUS_SUCCESS, "the wait mask was refused");
      wait_ = port_->WaitEventAsync();

      trace_.Step(options_.device == DeviceKind::Loopback ? "write and read back" : "write, and read the device's stream");
      Traffic();

      trace_.Step("unplug while open");
      Unplug(*device, pnp);
      trace_.Step("close, remove");
      trace_.Request(sim::clock::Now(), "close", port_->Close(), 0);
      wait_.reset();
      port_.reset();
    } else {
      result_->mismatches.push_back("COM5 did not open: " + sim::rtl::StatusName(opened));
    }
    Pnp("removal", pnp.Remove());
    device->ObserveOut(nullptr);
    result_->bytesToDevice = outTaken_;
    Expect(outDiffers_ == 0, "the device received other bytes than written, from byte " +
                                 std::to_string(outDiffers_ - 1) + " on");
    sim::usb::ObserveTransfers(nullptr);
    result_->endTime = sim::clock::Now();
  }
  result_->allocationsFailed = sim::pool::LowResourceFailures();
  sim::pool::StopFailing();
  sim::pool::Usage left = sim::pool::Outstanding();
  result_->poolBlocksLeft = left.blocks;
  result_->poolBytesLeft = left.bytes;
  for (const sim::verifier::Finding& finding : sim::EndOfTest()) {
    result_->findings.push_back(std::string(sim::verifier::RuleName(finding.rule)) + ": " + finding.message);
  }
}

}  // namespace

LifeResult RunLife(const Options& options, Trace& trace) {
  sim::Reset();
  sim::debug::SetEcho([&trace](const std::string& message) { trace.Debugger(message); });
  LifeResult result;
  Life(options, trace).Run(&result);
  sim::debug::SetEcho(nullptr);
  return result;
}

bool LifeIsClean(const Options& options, const LifeResult& result) {
  if (!result.findings.empty()) return false;
  if (!options.lowResources) return result.mismatches.empty();
  // A request that failed says how (its status); anything else, such as
  // bytes read back that differ from those written, is a fault.
  for (const std::string& mismatch : result.mismatches) {
    if (mismatch.find("STATUS_") == std::string::npos) return false;
  }
  return true;
}

}  // namespace quillan_sim
