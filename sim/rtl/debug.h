/*
 * The kernel debugger's output: everything drivers print with DbgPrint,
 * captured one message per call so tests can read it, and echoed to standard
 * output when asked (the demo does).
 */
#pragma once

#include <string>
#include <vector>

namespace sim::debug {

std::vector<std::string> Messages();
void Clear();
void SetEcho(bool echo);

// DbgPrint's formatting on its own: the printf conversions plus the
// kernel's wide ones (%ws, %S, %wZ, %Z). Arguments as DbgPrint gets them.
std::string Format(const char* format, ...);

}  // namespace sim::debug
