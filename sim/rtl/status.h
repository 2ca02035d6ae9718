/* Names of NTSTATUS values, for traces and messages. */
#pragma once

#include "driver/platform/platform.h"

#include <string>

namespace sim::rtl {

// "STATUS_SUCCESS" and the like; the value in hexadecimal if unnamed.
std::string StatusName(NTSTATUS status);

}  // namespace sim::rtl
