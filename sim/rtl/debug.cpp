#include "sim/rtl/debug.h"

#include "driver/platform/platform.h"
#include "sim/rtl/format.h"

#include <cstdarg>
#include <mutex>

namespace sim::debug {
namespace {

std::mutex g_lock;
std::vector<std::string> g_messages;
std::function<void(const std::string&)> g_echo;

}  // namespace

std::vector<std::string> Messages() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_messages;
}

void Clear() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_messages.clear();
}

void SetEcho(std::function<void(const std::string&)> echo) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_echo = std::move(echo);
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = rtl::Narrow(rtl::FormatV(rtl::Widen(format).c_str(), false, args));
  va_end(args);
  return text;
}

void Record(const std::string& message) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_messages.push_back(message);
  if (g_echo) g_echo(message);  // under the lock, so messages keep their order
}

}  // namespace sim::debug

extern "C" ULONG __cdecl DbgPrint(PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  std::string message = sim::rtl::Narrow(sim::rtl::FormatV(sim::rtl::Widen(Format).c_str(), false, args));
  va_end(args);
  sim::debug::Record(message);
  return STATUS_SUCCESS;
}
