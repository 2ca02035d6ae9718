/*
 * The kernel debugger's output: everything drivers print with DbgPrint,
 * captured one message per call so tests can read it, and echoed as it is
 * printed when asked (the demo does).
 */
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace sim::debug {

std::vector<std::string> Messages();
void Clear();
// Hands every message, as it is printed, to `echo` too (null: to no one).
void SetEcho(std::function<void(const std::string&)> echo);

// DbgPrint's formatting on its own: the printf conversions plus the
// kernel's wide ones (%ws, %S, %wZ, %Z). Arguments as DbgPrint gets them.
std::string Format(const char* format, ...);

}  // namespace sim::debug
