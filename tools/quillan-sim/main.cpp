// quillan-sim: the quillan driver on the simulated Windows kernel, through
// one whole device life. See Usage() for the options.
#include "life.h"
#include "options.h"
#include "trace.h"

#include "sim/ke/clock.h"

#include <cstdio>
#include <string>

using namespace quillan_sim;

namespace {

void PrintSummary(const Options& options, const LifeResult& result, const Trace& trace) {
  std::printf("\nquillan-sim summary (%s, %s device, %llu bytes, seed %u)\n",
              options.sys.empty() ? "driver built from the sources" : options.sys.c_str(),
              options.device == DeviceKind::Loopback ? "loopback" : "stream",
              static_cast<unsigned long long>(options.bytes), options.seed);
  std::printf("  to the device:    %llu bytes written, %llu taken by the device\n",
              static_cast<unsigned long long>(result.bytesWritten),
              static_cast<unsigned long long>(result.bytesToDevice));
  std::printf("  from the device:  %llu bytes sent, %llu read\n", static_cast<unsigned long long>(result.bytesFromDevice),
              static_cast<unsigned long long>(result.bytesRead));
  double seconds = static_cast<double>(result.trafficEnd - result.trafficStart) / (1000.0 * sim::clock::kUnitsPerMs);
  auto rate = [seconds](uint64_t bytes) { return seconds > 0 ? static_cast<double>(bytes) / seconds : 0.0; };
  std::printf("  virtual time:     %.3f s moving the data (%.3f s in all)\n", seconds,
              static_cast<double>(result.endTime) / (1000.0 * sim::clock::kUnitsPerMs));
  std::printf("  throughput:       %.0f bytes/s to the device, %.0f bytes/s from it\n", rate(result.bytesToDevice),
              rate(result.bytesRead));
  std::printf("  USB transfers:    %llu\n", static_cast<unsigned long long>(trace.Transfers()));
  std::printf("  requests:        ");
  for (const auto& [status, count] : trace.RequestsByStatus()) {
    std::printf(" %s %llu;", status.c_str(), static_cast<unsigned long long>(count));
  }
  std::printf("\n  verifier:         %zu finding(s)\n", result.findings.size());
  for (const std::string& finding : result.findings) std::printf("    %s\n", finding.c_str());
  std::printf("  pool left over:   %llu block(s), %llu bytes\n", static_cast<unsigned long long>(result.poolBlocksLeft),
              static_cast<unsigned long long>(result.poolBytesLeft));
  std::printf("  data:             %s\n", result.mismatches.empty() ? "as expected" : "MISMATCH");
  for (const std::string& mismatch : result.mismatches) std::printf("    %s\n", mismatch.c_str());
  if (options.lowResources) {
    std::printf("  low resources:    seed %llu, %llu allocation(s) failed\n",
                static_cast<unsigned long long>(options.lowResourcesSeed),
                static_cast<unsigned long long>(result.allocationsFailed));
  }
  bool clean = LifeIsClean(options, result);
  std::printf("  result:           %s\n", clean ? "clean" : "FAILED");
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool help = false;
  std::string error;
  if (!ParseOptions(argc, argv, &options, &help, &error)) {
    std::fprintf(stderr, "quillan-sim: %s\n\n%s", error.c_str(), Usage());
    return 2;
  }
  if (help) {
    std::fputs(Usage(), stdout);
    return 0;
  }
  Trace trace(options.quiet);
  LifeResult result = RunLife(options, trace);
  PrintSummary(options, result, trace);
  std::fflush(stdout);
  return LifeIsClean(options, result) ? 0 : 1;
}
