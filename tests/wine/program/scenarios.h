/*
 * The scenarios of quillan-wine-test: each opens the port by name, drives
 * it through kernel32's serial API as an application would, and closes it.
 */
#pragma once

#include "tests/wine/program/port.h"

namespace quillan_wine {

struct Scenario {
  const char* name;
  void (*run)(const wchar_t* portName, Outcome& outcome);
};

// In the order they run by default; "unplug" removes the device and so
// comes last.
extern const Scenario kScenarios[];
extern const size_t kScenarioCount;

}  // namespace quillan_wine
