/* One whole life of a simulated device under the driver, as quillan-sim runs it. */
#pragma once

#include "options.h"
#include "trace.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quillan_sim {

struct LifeResult {
  uint64_t bytesWritten = 0;  // accepted by writes the driver completed
  uint64_t bytesToDevice = 0; // taken by the device's OUT endpoint
  uint64_t bytesFromDevice = 0;
  uint64_t bytesRead = 0;     // delivered to reads
  int64_t trafficStart = 0;   // virtual time (100-ns units) the data began to move
  int64_t trafficEnd = 0;     // and when the last byte was read back
  int64_t endTime = 0;        // virtual time at the end of the life
  std::vector<std::string> mismatches;  // data or behaviour not as expected
  std::vector<std::string> findings;    // the verifier's
  uint64_t poolBlocksLeft = 0;
  uint64_t poolBytesLeft = 0;
  uint64_t allocationsFailed = 0;  // by the low-resources mode
};

LifeResult RunLife(const Options& options, Trace& trace);

// The life passed: no finding, and no mismatch, except that with low
// resources a request may fail as long as its caller is told the status.
bool LifeIsClean(const Options& options, const LifeResult& result);

}  // namespace quillan_sim
