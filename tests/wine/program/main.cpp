/*
 * quillan-wine-test: drives a quillan port through kernel32's serial API.
 *
 *   quillan-wine-test PORTNAME [SCENARIO...]
 *
 * Runs the named scenarios (all, in order, when none is named), prints one
 * line per scenario and "N passed, N failed", and exits with 1 on any
 * failure. A scenario that has not ended after kScenarioLimitMs is reported
 * as failed and the program exits at once, so a hang never stalls a run.
 */
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "tests/wine/program/scenarios.h"

namespace {

const DWORD kScenarioLimitMs = 60000;

struct Watch {
  const char* name;
  HANDLE done;
};

DWORD WINAPI Watchdog(void* context) {
  auto* watch = static_cast<Watch*>(context);
  if (WaitForSingleObject(watch->done, kScenarioLimitMs) != WAIT_OBJECT_0) {
    std::printf("FAIL %s: did not end within %lu ms\n", watch->name, kScenarioLimitMs);
    std::fflush(stdout);
    ExitProcess(1);
  }
  return 0;
}

const quillan_wine::Scenario* Find(const char* name) {
  for (size_t i = 0; i < quillan_wine::kScenarioCount; ++i) {
    if (std::strcmp(quillan_wine::kScenarios[i].name, name) == 0) return &quillan_wine::kScenarios[i];
  }
  return nullptr;
}

bool Run(const quillan_wine::Scenario& scenario, const wchar_t* port) {
  Watch watch = {scenario.name, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  HANDLE watchdog = CreateThread(nullptr, 0, Watchdog, &watch, 0, nullptr);
  quillan_wine::Outcome outcome;
  scenario.run(port, outcome);
  SetEvent(watch.done);
  WaitForSingleObject(watchdog, INFINITE);
  CloseHandle(watchdog);
  CloseHandle(watch.done);
  if (outcome.Ok()) {
    std::printf("PASS %s\n", scenario.name);
  } else {
    std::printf("FAIL %s: %s\n", scenario.name, outcome.failure.c_str());
  }
  std::fflush(stdout);
  return outcome.Ok();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::printf("usage: quillan-wine-test PORTNAME [SCENARIO...]\nscenarios:");
    for (size_t i = 0; i < quillan_wine::kScenarioCount; ++i) std::printf(" %s", quillan_wine::kScenarios[i].name);
    std::printf("\n");
    return 2;
  }
  int passed = 0;
  int failed = 0;
  if (argc == 2) {
    for (size_t i = 0; i < quillan_wine::kScenarioCount; ++i) {
      Run(quillan_wine::kScenarios[i], argv[1]) ? ++passed : ++failed;
    }
  }
  for (int i = 2; i < argc; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "%ls", argv[i]);
    const quillan_wine::Scenario* scenario = Find(name);
    if (scenario == nullptr) {
      std::printf("FAIL %s: no such scenario\n", name);
      ++failed;
      continue;
    }
    Run(*scenario, argv[1]) ? ++passed : ++failed;
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
