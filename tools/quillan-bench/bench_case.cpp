/*
 * A bench case from plug-in to removal. Receive: the device produces the
 * stream as fast as the bus takes it and the application reads it back in
 * reads of the case's size; the latency of each byte runs from the start
 * of the frame that took it off the device to the completion of the read
 * that returns it. Transmit: the application writes the stream in writes of the case's
 * size and the device takes it as fast as the bus brings it; the latency
 * is a write's, from its issue to its completion. Every byte is checked
 * against the generator, nothing of the stream is stored.
 */
#include "bench_case.h"

#include "driver/frame/dispatch.h"
#include "sim/cm/registry.h"
#include "sim/ex/pool.h"
#include "sim/io/driver.h"
#include "sim/io/io.h"
#include "sim/ke/clock.h"
#include "sim/kernel.h"
#include "sim/pnp/manager.h"
#include "sim/pnp/pnp.h"
#include "sim/rtl/status.h"
#include "sim/usb/bus.h"
#include "sim/usb/devices/layouts.h"
#include "sim/usb/devices/paced.h"
#include "sim/usb/timing.h"
#include "sim/win32/comm_port.h"

#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <string>

namespace quillan_bench {
namespace {

using sim::win32::Bytes;
using sim::win32::CommPort;
using sim::win32::IoResult;

const char16_t kComName[] = u"COM5";

uint8_t StreamByte(uint64_t offset) { return static_cast<uint8_t>((offset * 2654435761u + 0x5A) >> 7); }

// Latencies weighted by the bytes they apply to, in virtual-clock units.
class LatencyHistogram {
 public:
  void Add(int64_t latency, uint64_t weight) {
    bins_[latency] += weight;
    total_ += weight;
  }
  double PercentileMs(double share) const {
    uint64_t wanted = static_cast<uint64_t>(share * static_cast<double>(total_));
    uint64_t seen = 0;
    for (const auto& [latency, weight] : bins_) {
      seen += weight;
      if (seen > wanted) return static_cast<double>(latency) / sim::clock::kUnitsPerMs;
    }
    return bins_.empty() ? 0 : static_cast<double>(bins_.rbegin()->first) / sim::clock::kUnitsPerMs;
  }

 private:
  std::map<int64_t, uint64_t> bins_;
  uint64_t total_ = 0;
};

// When stretches of the stream left the device, until reads take them.
struct Departure {
  uint64_t end;  // stream offset one past the stretch
  int64_t time;
};

SERIAL_TIMEOUTS TimeoutsOf(TimeoutMode mode) {
  switch (mode) {
    case TimeoutMode::Interval:
      return {10, 0, 0, 0, 0};
    case TimeoutMode::AtOnce:
      return {MAXULONG, 0, 0, 0, 0};
    default:
      return {0, 0, 0, 0, 0};
  }
}

class Run {
 public:
  Run(const CaseSpec& spec, CaseResult* result) : spec_(spec), result_(result) {}

  void Go();

 private:
  void Fail(const std::string& what) {
    if (result_->clean) std::snprintf(result_->problem, sizeof result_->problem, "%s", what.c_str());
    result_->clean = false;
  }
  bool Receive(CommPort& port, sim::usb::PacedDevice& device);
  bool Transmit(CommPort& port);
  void Moved(uint64_t total);

  const CaseSpec& spec_;
  CaseResult* result_;
  LatencyHistogram latency_;
  std::deque<Departure> departures_;
  uint64_t transfers_ = 0;
  bool steady_ = false;
  uint64_t steadyFromBytes_ = 0, steadyFromTransfers_ = 0, steadyFromPool_ = 0, steadyFromIrps_ = 0;
  uint64_t outTaken_ = 0;
  bool outDiffers_ = false;
};

// Past the first tenth of the stream the port is in its steady state.
void Run::Moved(uint64_t total) {
  if (steady_ || total < spec_.bytes / 10) return;
  steady_ = true;
  steadyFromBytes_ = total;
  steadyFromTransfers_ = transfers_;
  steadyFromPool_ = sim::pool::Attempts();
  steadyFromIrps_ = sim::io::DriverIrpAllocations();
}

bool Run::Receive(CommPort& port, sim::usb::PacedDevice& device) {
  // The device hands its bytes over as the transfer completes, a DPC
  // latency after the end of the frame whose packets carried them; they
  // left the device during that frame, counted from its start.
  int64_t frame = sim::usb::ShapeOf(spec_.speed).length;
  device.ObserveIn([this, frame](uint64_t offset, uint32_t length, int64_t time) {
    departures_.push_back({offset + length, time - spec_.dpcLatency - frame});
  });
  std::unique_ptr<sim::win32::Overlapped> first;
  if (spec_.timeouts == TimeoutMode::AtOnce) {
    // Whether a read of an empty buffer returns at once, as the time-outs ask.
    first = port.ReadAsync(static_cast<ULONG>(std::min<uint64_t>(spec_.size, spec_.bytes)));
    result_->emptyReadReturnedAtOnce = first->Done();
  }
  device.Produce(spec_.bytes);
  uint64_t got = 0;
  int emptyInARow = 0;
  while (got < spec_.bytes) {
    auto ask = static_cast<ULONG>(std::min<uint64_t>(spec_.size, spec_.bytes - got));
    std::unique_ptr<sim::win32::Overlapped> read = first ? std::move(first) : port.ReadAsync(ask);
    IoResult done = read->Wait();
    if (done.status != STATUS_SUCCESS && done.status != STATUS_TIMEOUT) {
      Fail("a read ended with " + sim::rtl::StatusName(done.status));
      return false;
    }
    Bytes data = read->Data();
    for (size_t i = 0; i < data.size(); ++i) {
      if (data[i] != StreamByte(got + i)) {
        Fail("byte " + std::to_string(got + i) + " of the stream read back wrong");
        return false;
      }
    }
    int64_t completed = read->Request().CompletionTime();
    uint64_t from = got;
    got += data.size();
    while (from < got && !departures_.empty()) {
      const Departure& first = departures_.front();
      uint64_t upTo = std::min(first.end, got);
      latency_.Add(completed - first.time, upTo - from);
      from = upTo;
      if (first.end <= got) departures_.pop_front();
    }
    if (data.empty()) {
      ++result_->emptyReads;
      if (++emptyInARow > 100000) {
        Fail("reads keep returning nothing");
        return false;
      }
      sim::clock::AdvanceMs(1);  // a polling application sleeps before it asks again
    } else {
      emptyInARow = 0;
    }
    Moved(got);
  }
  return true;
}

bool Run::Transmit(CommPort& port) {
  uint64_t sent = 0;
  Bytes data;
  while (sent < spec_.bytes) {
    size_t length = static_cast<size_t>(std::min<uint64_t>(spec_.size, spec_.bytes - sent));
    data.resize(length);
    for (size_t i = 0; i < length; ++i) data[i] = StreamByte(sent + i);
    int64_t issued = sim::clock::Now();
    std::unique_ptr<sim::win32::Overlapped> write = port.WriteAsync(data);
    IoResult done = write->Wait();
    if (done.status != STATUS_SUCCESS || done.bytes != length) {
      Fail("a write of " + std::to_string(length) + " bytes ended with " + sim::rtl::StatusName(done.status) +
           " after " + std::to_string(done.bytes));
      return false;
    }
    latency_.Add(write->Request().CompletionTime() - issued, length);
    sent += length;
    Moved(sent);
  }
  if (outDiffers_ || outTaken_ != spec_.bytes) {
    Fail("the device took other bytes than were written");
    return false;
  }
  return true;
}

void Run::Go() {
  result_->clean = true;
  sim::usb::Pace pace;
  pace.inRate = pace.outRate = spec_.devicePace;
  sim::usb::PacedDevice device(pace, StreamByte);
  device.ObserveOut([this](const uint8_t* bytes, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i) outDiffers_ |= bytes[i] != StreamByte(outTaken_ + i);
    outTaken_ += length;
  });
  bool in = spec_.direction == Direction::Receive;
  auto start = std::chrono::steady_clock::now();
  {
    sim::io::LoadedDriver driver(DriverEntry);
    device.AnswerWith(std::make_shared<sim::usb::FrameTiming>(sim::usb::TimingSettings{spec_.speed, spec_.dpcLatency}));
    sim::usb::Bus bus(device);
    USBD_PIPE_HANDLE counted = nullptr;
    sim::usb::ObserveTransfers([&](const sim::usb::TransferEnded& transfer) {
      if (transfer.pipe == counted && transfer.bytes != 0) ++transfers_;
    });
    sim::cm::SetString(sim::pnp::ParametersKey(bus.Pdo()), u"PortName", kComName, true);
    sim::pnp::Manager pnp(bus.Pdo());
    if (!NT_SUCCESS(pnp.Plug(driver.Object()))) Fail("the device did not start");
    counted = bus.PipeHandle(in ? sim::usb::layouts::kBulkIn : sim::usb::layouts::kBulkOut);

    std::unique_ptr<CommPort> port;
    if (result_->clean && CommPort::Open(kComName, &port) != STATUS_SUCCESS) Fail("COM5 did not open");
    if (port) {
      if (port->SetTimeouts(TimeoutsOf(spec_.timeouts)) != STATUS_SUCCESS) Fail("the time-outs were refused");
      int64_t begin = sim::clock::Now();
      bool moved = result_->clean && (in ? Receive(*port, device) : Transmit(*port));
      int64_t end = sim::clock::Now();
      if (moved) {
        result_->bytes = spec_.bytes;
        result_->virtualSeconds = static_cast<double>(end - begin) / (1000.0 * sim::clock::kUnitsPerMs);
        result_->throughput = result_->virtualSeconds > 0 ? spec_.bytes / result_->virtualSeconds : 0;
        result_->transfers = transfers_;
        result_->steadyBytes = spec_.bytes - steadyFromBytes_;
        result_->steadyTransfers = transfers_ - steadyFromTransfers_;
        result_->steadyPoolAllocations = sim::pool::Attempts() - steadyFromPool_;
        result_->steadyIrpAllocations = sim::io::DriverIrpAllocations() - steadyFromIrps_;
        result_->latencyMedianMs = latency_.PercentileMs(0.5);
        result_->latencyP99Ms = latency_.PercentileMs(0.99);
      }
      if (port->Close() != STATUS_SUCCESS) Fail("close failed");
      port.reset();
    }
    if (!NT_SUCCESS(pnp.Remove())) Fail("removal failed");
    sim::usb::ObserveTransfers(nullptr);
  }
  result_->wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  for (const sim::verifier::Finding& finding : sim::EndOfTest()) {
    Fail(std::string("verifier: ") + sim::verifier::RuleName(finding.rule) + ": " + finding.message);
  }
}

}  // namespace

const char* DirectionName(Direction direction) { return direction == Direction::Receive ? "receive" : "transmit"; }

const char* TimeoutName(TimeoutMode mode) {
  switch (mode) {
    case TimeoutMode::Interval:
      return "interval 10 ms";
    case TimeoutMode::AtOnce:
      return "at once (MAXDWORD,0,0)";
    default:
      return "blocking";
  }
}

CaseResult RunCase(const CaseSpec& spec) {
  sim::Reset();
  CaseResult result;
  Run(spec, &result).Go();
  return result;
}

}  // namespace quillan_bench
