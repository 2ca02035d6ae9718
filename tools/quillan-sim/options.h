/* quillan-sim's command line. */
#pragma once

#include "driver/platform/platform.h"

#include <cstdint>
#include <string>

namespace quillan_sim {

enum class DeviceKind {
  Loopback,  // every byte written comes back
  Stream,    // the device sends a stream of its own and takes whatever is written
};

struct Options {
  DeviceKind device = DeviceKind::Loopback;
  uint64_t bytes = 4096;  // bytes each way
  SERIAL_TIMEOUTS timeouts = {20, 1, 200, 1, 1000};
  uint32_t seed = 1;
  bool quiet = false;     // the summary only
  bool progress = false;  // a progress line on standard error
  std::string sys;        // a shipped quillan.sys to run instead of the host build of the sources
  bool lowResources = false;  // allocations fail at random, as in Driver Verifier's low-resources simulation
  uint64_t lowResourcesSeed = 0;
};

// Parses argv. False, with a message in *error, for a bad command line;
// *help is set when usage was asked for.
bool ParseOptions(int argc, char** argv, Options* options, bool* help, std::string* error);

const char* Usage();

}  // namespace quillan_sim
