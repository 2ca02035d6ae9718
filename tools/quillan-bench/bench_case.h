/*
 * One quillan-bench case: the driver on the simulated kernel, its device on
 * a bus with the USB timing model, moving a stream one way while an
 * application reads or writes it in requests of one size under one set of
 * time-outs. The result is plain data, so a case can run in a child
 * process that reports it through a pipe.
 */
#pragma once

#include "sim/usb/timing.h"

#include <cstdint>

namespace quillan_bench {

enum class Direction { Receive, Transmit };

enum class TimeoutMode {
  Blocking,  // all read time-outs 0: a read waits until it is full
  Interval,  // ReadIntervalTimeout 10 ms, the rest 0
  AtOnce,    // MAXDWORD, 0, 0: a read returns at once with what is there
};

const char* DirectionName(Direction direction);
const char* TimeoutName(TimeoutMode mode);

struct CaseSpec {
  Direction direction = Direction::Receive;
  sim::usb::BusSpeed speed = sim::usb::BusSpeed::Full;
  uint32_t size = 4096;  // bytes per read or write
  TimeoutMode timeouts = TimeoutMode::Blocking;
  uint64_t bytes = 1 << 20;
  int64_t dpcLatency = 0;  // virtual-clock units
  uint64_t devicePace = 0;  // bytes/s the device produces or takes; 0: as fast as the bus goes
};

struct CaseResult {
  bool clean = false;
  char problem[240] = {};  // the first thing that went wrong
  uint64_t bytes = 0;      // moved and checked
  double virtualSeconds = 0;
  double throughput = 0;  // bytes per second of virtual time
  double latencyMedianMs = 0;
  double latencyP99Ms = 0;
  double wallSeconds = 0;
  uint64_t transfers = 0;        // bulk transfers of the moving direction
  uint64_t steadyBytes = 0;      // bytes moved after the warm-up tenth
  uint64_t steadyTransfers = 0;  // transfers then
  uint64_t steadyPoolAllocations = 0;  // ExAllocatePool calls then
  uint64_t steadyIrpAllocations = 0;   // IoAllocateIrp calls then
  uint64_t emptyReads = 0;   // reads that returned nothing (the application then sleeps 1 ms)
  // With MAXDWORD,0,0: a read of an empty buffer came back at once; if not,
  // the driver held it for the first byte.
  bool emptyReadReturnedAtOnce = false;
  long peakRssKb = 0;        // filled in by the parent
};

CaseResult RunCase(const CaseSpec& spec);

}  // namespace quillan_bench
