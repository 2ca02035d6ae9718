/* Timer due times as KeSetTimer takes them: relative (negative) or absolute. */
#pragma once

#include "driver/platform/platform.h"

#include <cstdint>

inline LARGE_INTEGER Relative(int64_t units) {
  LARGE_INTEGER time;
  time.QuadPart = -units;
  return time;
}

inline LARGE_INTEGER Absolute(int64_t at) {
  LARGE_INTEGER time;
  time.QuadPart = at;
  return time;
}
