#include "trace.h"

#include "sim/ke/clock.h"
#include "sim/rtl/status.h"

#include <cstdio>

namespace quillan_sim {

void Trace::Line(int64_t time, const std::string& what, const std::string& status, const std::string& bytes) {
  if (quiet_) return;
  std::printf("%11.3f ms  %-30s %-28s %s\n", static_cast<double>(time) / sim::clock::kUnitsPerMs, what.c_str(),
              status.c_str(), bytes.c_str());
}

void Trace::Step(const std::string& what) {
  if (!quiet_) std::printf("\n-- %s\n", what.c_str());
}

void Trace::Debugger(const std::string& message) {
  if (quiet_) return;
  std::string text = message;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  std::printf("%11.3f ms  kd> %s\n", static_cast<double>(sim::clock::Now()) / sim::clock::kUnitsPerMs,
              text.c_str());
}

void Trace::Request(int64_t time, const std::string& what, NTSTATUS status, uint64_t bytes) {
  ++requestsByStatus_[sim::rtl::StatusName(status)];
  Line(time, what, sim::rtl::StatusName(status), std::to_string(bytes) + " bytes");
}

void Trace::Transfer(const sim::usb::TransferEnded& transfer, USBD_PIPE_HANDLE readPipe) {
  ++transfers_;
  bool in = transfer.in || (readPipe != nullptr && transfer.pipe == readPipe);
  Line(sim::clock::Now(), in ? "  usb bulk IN" : "  usb bulk OUT", sim::rtl::StatusName(transfer.status),
       std::to_string(transfer.bytes) + " bytes");
}

void Trace::Note(const std::string& text) {
  if (!quiet_) std::printf("             %s\n", text.c_str());
}

}  // namespace quillan_sim
