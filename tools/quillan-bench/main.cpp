// quillan-bench: the driver's throughput, latency and cost on the simulated
// kernel with the USB timing model, receive and transmit, full and high
// speed, over request sizes and read time-outs. Prints a table, writes it as
// Markdown and CSV, and checks what the design promises. See Usage().
#include "bench_case.h"
#include "ring_cost.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace quillan_bench;
using sim::usb::BusSpeed;

namespace {

const char* Usage() {
  return "usage: quillan-bench [--smoke] [--out DIR] [--no-callgrind]\n"
         "Runs the quillan driver on the simulated kernel with the USB timing model and reports,\n"
         "per case, throughput in virtual time against the physical limit and the design's ceiling,\n"
         "latency, host cost, pool allocations and peak memory. Writes DIR/bench.md and DIR/bench.csv\n"
         "(DIR defaults to the current folder). --smoke runs two short cases and checks them.\n";
}

// One 256-byte transfer in flight per direction, at most one per (micro)frame.
double DesignCeiling(BusSpeed speed) {
  sim::usb::FrameShape shape = sim::usb::ShapeOf(speed);
  return 256.0 * 1000 * 10000 / static_cast<double>(shape.length);
}

struct Row {
  CaseSpec spec;
  CaseResult result;
  std::string note;
};

// Runs a case in a child process, for its own peak memory.
CaseResult RunForked(const CaseSpec& spec) {
  std::fflush(stdout);
  int fds[2];
  if (pipe(fds) != 0) {
    CaseResult failed;
    std::snprintf(failed.problem, sizeof failed.problem, "pipe: %s", std::strerror(errno));
    return failed;
  }
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    CaseResult result = RunCase(spec);
    ssize_t written = write(fds[1], &result, sizeof result);
    _exit(written == static_cast<ssize_t>(sizeof result) ? 0 : 1);
  }
  close(fds[1]);
  CaseResult result;
  size_t got = 0;
  while (child > 0 && got < sizeof result) {
    ssize_t n = read(fds[0], reinterpret_cast<char*>(&result) + got, sizeof result - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fds[0]);
  int status = 0;
  struct rusage usage {};
  if (child > 0) wait4(child, &status, 0, &usage);
  if (got != sizeof result) {
    result = CaseResult{};
    std::snprintf(result.problem, sizeof result.problem, "the case's process ended without a result (status %d)",
                  status);
  }
  result.peakRssKb = usage.ru_maxrss;
  return result;
}

double PerMb(double value, uint64_t bytes) { return bytes == 0 ? 0 : value * 1048576.0 / static_cast<double>(bytes); }

std::string SpeedShort(BusSpeed speed) { return speed == BusSpeed::High ? "high" : "full"; }

void PrintRow(FILE* out, const Row& row, bool markdown) {
  const CaseSpec& s = row.spec;
  const CaseResult& r = row.result;
  double physical = static_cast<double>(sim::usb::PhysicalLimit(s.speed));
  char timeouts[96];
  bool held = s.direction == Direction::Receive && s.timeouts == TimeoutMode::AtOnce && r.clean &&
              !r.emptyReadReturnedAtOnce;
  std::snprintf(timeouts, sizeof timeouts, "%s%s%s",
                s.direction == Direction::Transmit ? "write, no time-out" : TimeoutName(s.timeouts),
                held ? ", held for data*" : "", row.note.c_str());
  const char* format = markdown ? "| %-8s | %-4s | %6u | %-40s | %9llu | %10.0f | %6.2f%% | %7.2f%% | %8.3f | %8.3f | "
                                  "%8.1f | %7.2f | %6.2f | %7.1f | %s |\n"
                                : "%-8s %-4s %6u  %-40s %9llu %10.0f %6.2f%% %7.2f%% %8.3f %8.3f %8.1f %7.2f %6.2f "
                                  "%7.1f  %s\n";
  std::fprintf(out, format, DirectionName(s.direction), SpeedShort(s.speed).c_str(), s.size, timeouts,
               static_cast<unsigned long long>(r.bytes), r.throughput, 100 * r.throughput / physical,
               100 * r.throughput / DesignCeiling(s.speed), r.latencyMedianMs, r.latencyP99Ms,
               PerMb(r.wallSeconds * 1000, r.bytes), PerMb(static_cast<double>(r.steadyPoolAllocations), r.steadyBytes),
               PerMb(static_cast<double>(r.steadyIrpAllocations), r.steadyBytes), r.peakRssKb / 1024.0,
               r.clean ? "clean" : r.problem);
}

void PrintHeader(FILE* out, bool markdown) {
  if (markdown) {
    std::fprintf(out,
                 "| direction | bus | size | read time-outs | bytes | bytes/s | of physical | of ceiling | "
                 "latency median ms | latency p99 ms | host ms/MB | pool allocs/MB | of which IRPs | peak RSS MB | "
                 "result |\n"
                 "|---|---|--:|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|---|\n");
  } else {
    std::fprintf(out, "%-8s %-4s %6s  %-40s %9s %10s %7s %8s %8s %8s %8s %7s %6s %7s  %s\n", "dir", "bus", "size",
                 "read time-outs", "bytes", "bytes/s", "%phys", "%ceil", "lat50ms", "lat99ms", "host/MB", "pool/MB",
                 "IRP/MB", "RSS MB", "result");
  }
}

void WriteCsv(const std::string& path, const std::vector<Row>& rows) {
  FILE* out = std::fopen(path.c_str(), "w");
  if (out == nullptr) {
    std::fprintf(stderr, "quillan-bench: cannot write %s\n", path.c_str());
    return;
  }
  std::fprintf(out,
               "direction,speed,size,timeouts,dpc_latency_us,bytes,virtual_s,throughput_Bps,pct_physical,"
               "pct_ceiling,latency_median_ms,latency_p99_ms,wall_ms_per_MB,pool_allocs_per_MB,irp_allocs_per_MB,"
               "steady_transfers,steady_pool_allocs,peak_rss_KB,empty_reads,clean,device_pace_Bps\n");
  for (const Row& row : rows) {
    const CaseSpec& s = row.spec;
    const CaseResult& r = row.result;
    std::fprintf(out, "%s,%s,%u,%s,%lld,%llu,%.4f,%.1f,%.3f,%.3f,%.4f,%.4f,%.2f,%.3f,%.3f,%llu,%llu,%ld,%llu,%d,%llu\n",
                 DirectionName(s.direction), SpeedShort(s.speed).c_str(), s.size,
                 s.direction == Direction::Transmit ? "none"
                 : s.timeouts == TimeoutMode::Blocking ? "blocking"
                 : s.timeouts == TimeoutMode::Interval ? "interval10"
                                                        : "atonce",
                 static_cast<long long>(s.dpcLatency / 10), static_cast<unsigned long long>(r.bytes),
                 r.virtualSeconds, r.throughput, 100 * r.throughput / sim::usb::PhysicalLimit(s.speed),
                 100 * r.throughput / DesignCeiling(s.speed), r.latencyMedianMs, r.latencyP99Ms,
                 PerMb(r.wallSeconds * 1000, r.bytes), PerMb(static_cast<double>(r.steadyPoolAllocations), r.steadyBytes),
                 PerMb(static_cast<double>(r.steadyIrpAllocations), r.steadyBytes),
                 static_cast<unsigned long long>(r.steadyTransfers),
                 static_cast<unsigned long long>(r.steadyPoolAllocations), r.peakRssKb,
                 static_cast<unsigned long long>(r.emptyReads), r.clean ? 1 : 0,
                 static_cast<unsigned long long>(s.devicePace));
  }
  std::fclose(out);
}

uint64_t BytesFor(uint32_t size) { return size == 1 ? 16 * 1024 : size == 64 ? 256 * 1024 : 1 << 20; }

std::vector<Row> Cases(bool smoke) {
  std::vector<Row> rows;
  auto add = [&rows](CaseSpec spec, std::string note = "") { rows.push_back({spec, {}, std::move(note)}); };
  if (smoke) {
    add({Direction::Receive, BusSpeed::Full, 4096, TimeoutMode::Blocking, 256 * 1024, 0});
    add({Direction::Transmit, BusSpeed::Full, 4096, TimeoutMode::Blocking, 256 * 1024, 0});
    return rows;
  }
  const uint32_t sizes[] = {1, 64, 256, 4096, 65536};
  for (BusSpeed speed : {BusSpeed::Full, BusSpeed::High}) {
    for (TimeoutMode mode : {TimeoutMode::Blocking, TimeoutMode::Interval, TimeoutMode::AtOnce}) {
      for (uint32_t size : sizes) add({Direction::Receive, speed, size, mode, BytesFor(size), 0});
    }
    for (uint32_t size : sizes) add({Direction::Transmit, speed, size, TimeoutMode::Blocking, BytesFor(size), 0});
  }
  // Sustained runs for the steady state, and the cost of a late completion.
  add({Direction::Receive, BusSpeed::Full, 65536, TimeoutMode::Blocking, 10 << 20, 0}, ", 10 MB");
  add({Direction::Transmit, BusSpeed::Full, 65536, TimeoutMode::Blocking, 10 << 20, 0}, ", 10 MB");
  add({Direction::Receive, BusSpeed::Full, 65536, TimeoutMode::Blocking, 1 << 20, 1000}, ", DPC 0.1 ms");
  add({Direction::Transmit, BusSpeed::Full, 65536, TimeoutMode::Blocking, 1 << 20, 1000}, ", DPC 0.1 ms");
  // A device with the pace of a 115200-baud line: latency when bytes trickle.
  for (uint32_t size : {1u, 64u, 4096u}) {
    CaseSpec spec{Direction::Receive, BusSpeed::Full, size, TimeoutMode::Interval, 64 * 1024, 0};
    spec.devicePace = 11520;
    add(spec, ", device 11520 B/s");
  }
  return rows;
}

bool Check(bool condition, const std::string& what, std::vector<std::string>* lines) {
  lines->push_back(std::string(condition ? "ok   " : "FAIL ") + what);
  return condition;
}

}  // namespace

int main(int argc, char** argv) {
  bool smoke = false, callgrind = true;
  std::string outDir = ".";
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--smoke") {
      smoke = true;
    } else if (option == "--no-callgrind") {
      callgrind = false;
    } else if (option == "--out" && i + 1 < argc) {
      outDir = argv[++i];
    } else if (option == "--help" || option == "-h") {
      std::fputs(Usage(), stdout);
      return 0;
    } else {
      std::fprintf(stderr, "quillan-bench: unknown option '%s'\n\n%s", option.c_str(), Usage());
      return 2;
    }
  }

  std::vector<Row> rows = Cases(smoke);
  std::printf("quillan-bench: %zu cases; physical limit %llu bytes/s at full speed, %llu at high speed; design "
              "ceiling %.0f and %.0f bytes/s\n\n",
              rows.size(), static_cast<unsigned long long>(sim::usb::PhysicalLimit(BusSpeed::Full)),
              static_cast<unsigned long long>(sim::usb::PhysicalLimit(BusSpeed::High)), DesignCeiling(BusSpeed::Full),
              DesignCeiling(BusSpeed::High));
  PrintHeader(stdout, false);
  for (Row& row : rows) {
    row.result = RunForked(row.spec);
    PrintRow(stdout, row, false);
    std::fflush(stdout);
  }

  RingCost ring;
  if (!smoke && callgrind) ring = MeasureRingCost(argv[0]);

  std::vector<std::string> checks;
  bool ok = true;
  for (const Row& row : rows) {
    const CaseResult& r = row.result;
    double ceiling = DesignCeiling(row.spec.speed);
    ok &= Check(r.clean && r.throughput > 0 && r.throughput <= 1.01 * ceiling,
                std::string(DirectionName(row.spec.direction)) + " " + SpeedShort(row.spec.speed) + " " +
                    std::to_string(row.spec.size) + row.note + ": clean, throughput within the ceiling",
                &checks);
  }
  if (!smoke) {
    for (const Row& row : rows) {
      if (row.note != ", 10 MB") continue;
      const CaseResult& r = row.result;
      std::string name = std::string("sustained full-speed ") + DirectionName(row.spec.direction) + " (10 MB)";
      ok &= Check(r.throughput >= 0.95 * DesignCeiling(row.spec.speed), name + ": at least 95% of the design ceiling",
                  &checks);
      ok &= Check(r.steadyTransfers > 0 && r.steadyPoolAllocations == 0,
                  name + ": " + std::to_string(r.steadyPoolAllocations) + " pool allocations (" +
                      std::to_string(r.steadyIrpAllocations) + " of them transfer IRPs) in " +
                      std::to_string(r.steadyTransfers) + " steady transfers; none wanted",
                  &checks);
    }
    if (ring.measured) {
      ok &= Check(ring.ringPerByte <= 2 * ring.copyPerByte,
                  "ring buffer at most twice a plain copy's instructions per byte", &checks);
    }
  }

  std::string md = outDir + "/bench.md";
  if (FILE* out = std::fopen(md.c_str(), "w")) {
    std::fprintf(out,
                 "Physical limit: %llu bytes/s at full speed (19 packets of 64 bytes a 1 ms frame), %llu at high speed "
                 "(13 of 512 a 125 us microframe). Design ceiling: one 256-byte transfer in flight per direction, at "
                 "most one per (micro)frame: %.0f bytes/s at full speed, %.0f at high speed. Latency: receive, from "
                 "the start of the frame that took a byte off the device to the completion of the read that returns it; "
                 "transmit, from a write's issue to its completion. Pool allocations count every ExAllocatePool and "
                 "IoAllocateIrp (an IRP comes from pool), after the first tenth of the stream. Host ms/MB is wall "
                 "time on the machine that ran the bench. DPC latency 0 unless noted.\n\n",
                 static_cast<unsigned long long>(sim::usb::PhysicalLimit(BusSpeed::Full)),
                 static_cast<unsigned long long>(sim::usb::PhysicalLimit(BusSpeed::High)),
                 DesignCeiling(BusSpeed::Full), DesignCeiling(BusSpeed::High));
    PrintHeader(out, true);
    for (const Row& row : rows) PrintRow(out, row, true);
    bool anyHeld = false;
    for (const Row& row : rows) {
      anyHeld |= row.spec.timeouts == TimeoutMode::AtOnce && row.spec.direction == Direction::Receive &&
                 row.result.clean && !row.result.emptyReadReturnedAtOnce;
    }
    if (anyHeld)
      std::fprintf(out,
                 "\n\\* The driver held a read of an empty buffer for its first byte instead of returning at "
                 "once: these rows measure a read that completes as soon as data arrive.\n");
    if (ring.measured) {
      std::fprintf(out,
                   "\nReceive data path under callgrind (ring buffer put of 256 bytes, gets of 256): %.3f "
                   "instructions per byte; a plain copy of the same bytes in and out: %.3f.\n",
                   ring.ringPerByte, ring.copyPerByte);
    }
    std::fclose(out);
  }
  WriteCsv(outDir + "/bench.csv", rows);

  std::printf("\n");
  if (ring.measured) {
    std::printf("ring buffer under callgrind: %.3f instructions per byte; a plain copy: %.3f\n", ring.ringPerByte,
                ring.copyPerByte);
  } else if (!smoke && callgrind) {
    std::printf("ring buffer under callgrind: not measured (%s)\n", ring.why.c_str());
  }
  for (const std::string& line : checks) std::printf("%s\n", line.c_str());
  std::printf("quillan-bench: %s; wrote %s and %s/bench.csv\n", ok ? "all checks passed" : "CHECKS FAILED", md.c_str(),
              outDir.c_str());
  return ok ? 0 : 1;
}
