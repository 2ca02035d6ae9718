#include "sim/rtl/status.h"

#include <cstdio>

namespace sim::rtl {

std::string StatusName(NTSTATUS status) {
  switch (status) {
#define NAME(value) \
  case value:       \
    return #value;
    NAME(STATUS_SUCCESS)
    NAME(STATUS_TIMEOUT)
    NAME(STATUS_PENDING)
    NAME(STATUS_BUFFER_OVERFLOW)
    NAME(STATUS_UNSUCCESSFUL)
    NAME(STATUS_NOT_IMPLEMENTED)
    NAME(STATUS_INVALID_PARAMETER)
    NAME(STATUS_NO_SUCH_DEVICE)
    NAME(STATUS_INVALID_DEVICE_REQUEST)
    NAME(STATUS_MORE_PROCESSING_REQUIRED)
    NAME(STATUS_ACCESS_DENIED)
    NAME(STATUS_BUFFER_TOO_SMALL)
    NAME(STATUS_OBJECT_NAME_NOT_FOUND)
    NAME(STATUS_OBJECT_NAME_COLLISION)
    NAME(STATUS_DELETE_PENDING)
    NAME(STATUS_INSUFFICIENT_RESOURCES)
    NAME(STATUS_NOT_SUPPORTED)
    NAME(STATUS_CANCELLED)
    NAME(STATUS_DEVICE_NOT_CONNECTED)
    NAME(STATUS_DEVICE_CONFIGURATION_ERROR)
#undef NAME
    default: {
      char text[24];
      std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(static_cast<ULONG>(status)));
      return text;
    }
  }
}

}  // namespace sim::rtl
