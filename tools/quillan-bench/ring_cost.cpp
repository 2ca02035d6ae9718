#include "ring_cost.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <unistd.h>

namespace quillan_bench {
namespace {

constexpr unsigned kRounds = 20000;
constexpr double kBytes = 256.0 * kRounds;  // each path moves this many

// The inclusive instruction count of a function in callgrind_annotate's
// output, whose lines read "1,234,567 (12.3%)  file:Function(...) [binary]".
bool InclusiveCount(const std::string& report, const std::string& function, double* count) {
  std::istringstream lines(report);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(function + "(") == std::string::npos) continue;
    std::string digits;
    size_t at = line.find_first_not_of(' ');
    for (; at < line.size() && (std::isdigit(static_cast<unsigned char>(line[at])) || line[at] == ','); ++at) {
      if (line[at] != ',') digits += line[at];
    }
    if (digits.empty()) continue;
    *count = std::strtod(digits.c_str(), nullptr);
    return true;
  }
  return false;
}

std::string Capture(const std::string& command) {
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    pclose(pipe);
  }
  return text;
}

}  // namespace

RingCost MeasureRingCost(const std::string& self) {
  RingCost cost;
  if (std::system("command -v valgrind >/dev/null 2>&1 && command -v callgrind_annotate >/dev/null 2>&1") != 0) {
    cost.why = "valgrind is not installed";
    return cost;
  }
  std::string dir = self.find('/') == std::string::npos ? "." : self.substr(0, self.rfind('/'));
  std::string program = dir + "/quillan-ring-cost";
  if (access(program.c_str(), X_OK) != 0) {
    cost.why = program + " is not built";
    return cost;
  }
  std::string out = "/tmp/quillan-ring-cost." + std::to_string(getpid()) + ".callgrind";
  std::string run = "valgrind --tool=callgrind --callgrind-out-file=" + out + " " + program + " " +
                    std::to_string(kRounds) + " >/dev/null 2>&1";
  if (std::system(run.c_str()) != 0) {
    cost.why = "callgrind run failed";
    return cost;
  }
  std::string report = Capture("callgrind_annotate --inclusive=yes --threshold=100 " + out + " 2>/dev/null");
  std::remove(out.c_str());
  double ring = 0, copy = 0;
  if (!InclusiveCount(report, "RingPath", &ring) || !InclusiveCount(report, "CopyPath", &copy)) {
    cost.why = "RingPath or CopyPath missing from the callgrind report";
    return cost;
  }
  cost.measured = true;
  cost.ringPerByte = ring / kBytes;
  cost.copyPerByte = copy / kBytes;
  return cost;
}

}  // namespace quillan_bench
