#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

namespace quillan_sim {
namespace {

bool ParseNumber(const std::string& text, uint64_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || text[0] == '-') return false;
  *value = parsed;
  return true;
}

// "I,M,K,WM,WC": the five serial time-outs in milliseconds; "max" for MAXULONG.
bool ParseTimeouts(const std::string& text, SERIAL_TIMEOUTS* timeouts) {
  std::vector<ULONG> values;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    uint64_t value;
    if (item == "max") {
      value = MAXULONG;
    } else if (!ParseNumber(item, &value) || value > MAXULONG) {
      return false;
    }
    values.push_back(static_cast<ULONG>(value));
  }
  if (values.size() != 5) return false;
  *timeouts = {values[0], values[1], values[2], values[3], values[4]};
  return true;
}

}  // namespace

const char* Usage() {
  return "usage: quillan-sim [options]\n"
         "Runs the quillan driver on the simulated Windows kernel through a whole device life:\n"
         "plug in, start, open the COM port, write and read, wait for events, unplug while open,\n"
         "close and remove. Prints the kernel-debugger output and a trace of the requests and\n"
         "USB transfers, then a summary. Exits with 1 on any verifier finding or data mismatch.\n"
         "\n"
         "  --device loopback|stream  the simulated device (default loopback: what is written\n"
         "                            comes back; stream: the device sends its own data)\n"
         "  --bytes N                 bytes each way (default 4096)\n"
         "  --timeouts I,M,K,WM,WC    read interval, read multiplier, read constant, write\n"
         "                            multiplier, write constant, in ms; 'max' for MAXULONG\n"
         "                            (default 20,1,200,1,1000)\n"
         "  --seed N                  seed of the chunk sizes and of the stream (default 1)\n"
         "  --quiet                   print the summary only\n"
         "  --progress                show progress on standard error\n"
         "  --sys PATH                run this shipped quillan.sys (PE32; the 32-bit build only)\n"
         "                            instead of the driver built from the sources\n"
         "  --low-resources SEED      fail pool and IRP allocations at random from SEED after a grace\n"
         "                            period; the life must still end clean of verifier findings,\n"
         "                            leaks and corrupted data\n"
         "  --help                    this text\n";
}

bool ParseOptions(int argc, char** argv, Options* options, bool* help, std::string* error) {
  *help = false;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) {
        *error = option + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    std::string text;
    uint64_t number;
    if (option == "--help" || option == "-h") {
      *help = true;
    } else if (option == "--quiet") {
      options->quiet = true;
    } else if (option == "--progress") {
      options->progress = true;
    } else if (option == "--device") {
      if (!value(&text)) return false;
      if (text == "loopback") {
        options->device = DeviceKind::Loopback;
      } else if (text == "stream") {
        options->device = DeviceKind::Stream;
      } else {
        *error = "unknown device '" + text + "' (loopback or stream)";
        return false;
      }
    } else if (option == "--bytes") {
      if (!value(&text)) return false;
      if (!ParseNumber(text, &number) || number == 0 || number > (1ull << 30)) {
        *error = "--bytes takes a count from 1 to 1073741824";
        return false;
      }
      options->bytes = number;
    } else if (option == "--timeouts") {
      if (!value(&text)) return false;
      if (!ParseTimeouts(text, &options->timeouts)) {
        *error = "--timeouts takes five values I,M,K,WM,WC (numbers or 'max')";
        return false;
      }
    } else if (option == "--sys") {
      if (!value(&options->sys)) return false;
    } else if (option == "--low-resources") {
      if (!value(&text)) return false;
      if (!ParseNumber(text, &number)) {
        *error = "--low-resources takes a seed";
        return false;
      }
      options->lowResources = true;
      options->lowResourcesSeed = number;
    } else if (option == "--seed") {
      if (!value(&text)) return false;
      if (!ParseNumber(text, &number) || number > 0xFFFFFFFFull) {
        *error = "--seed takes a 32-bit number";
        return false;
      }
      options->seed = static_cast<uint32_t>(number);
    } else {
      *error = "unknown option '" + option + "'";
      return false;
    }
  }
  return true;
}

}  // namespace quillan_sim
