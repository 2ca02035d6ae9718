/*
 * What quillan-sim prints while the device lives: the kernel debugger's
 * messages and one line per request and per USB transfer (virtual time,
 * what, final status, bytes), and the tallies the summary reports.
 */
#pragma once

#include "driver/platform/platform.h"
#include "sim/usb/bus.h"

#include <cstdint>
#include <map>
#include <string>

namespace quillan_sim {

class Trace {
 public:
  explicit Trace(bool quiet) : quiet_(quiet) {}

  // A step of the device's life, as a heading.
  void Step(const std::string& what);
  void Debugger(const std::string& message);
  // A request the application or the Plug and Play manager issued, ended
  // at virtual time `time` (100-ns units).
  void Request(int64_t time, const std::string& what, NTSTATUS status, uint64_t bytes);
  void Transfer(const sim::usb::TransferEnded& transfer, USBD_PIPE_HANDLE readPipe);
  void Note(const std::string& text);

  const std::map<std::string, uint64_t>& RequestsByStatus() const { return requestsByStatus_; }
  uint64_t Transfers() const { return transfers_; }

 private:
  void Line(int64_t time, const std::string& what, const std::string& status, const std::string& bytes);

  bool quiet_;
  std::map<std::string, uint64_t> requestsByStatus_;
  uint64_t transfers_ = 0;
};

}  // namespace quillan_sim
