/*
 * The two ways of running. Deterministic (the default): everything happens
 * on the test's thread. Concurrent: two DPC threads (two DPC processors,
 * so that two DPCs can run at once) run queued DPCs at
 * DISPATCH_LEVEL while the test's threads issue requests, and blocking waits
 * are bounded by a real-time watchdog.
 */
#include "sim/ke/ke.h"
#include "sim/explore/hook.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace sim::ke {
namespace {

std::atomic<bool> g_concurrent{false};
std::atomic<unsigned> g_watchdogSeconds{kDefaultWatchdogSeconds};
std::mutex g_lock;
std::condition_variable g_work;
bool g_stopping;
std::vector<std::thread> g_dpcThreads;

void DpcThreadMain() {
  for (;;) {
    while (std::optional<DpcCall> call = TakeQueuedDpc()) RunDpc(*call);
    std::unique_lock<std::mutex> hold(g_lock);
    if (g_stopping) return;
    g_work.wait_for(hold, std::chrono::milliseconds(5));
  }
}

}  // namespace

bool Concurrent() { return g_concurrent.load() || explore::Exploring(); }

void StartConcurrent() {
  if (g_concurrent.exchange(true)) return;
  g_stopping = false;
  for (int i = 0; i < kDpcProcessors; ++i) g_dpcThreads.emplace_back(DpcThreadMain);
}

void StopConcurrent() {
  if (!g_concurrent.load()) return;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_stopping = true;
  }
  g_work.notify_all();
  for (std::thread& thread : g_dpcThreads) thread.join();
  g_dpcThreads.clear();
  g_concurrent.store(false);
  DrainDpcs();  // whatever was queued after the threads' last look
}

void SignalDpcThread() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_work.notify_all();
}

void SetWatchdogSeconds(unsigned seconds) { g_watchdogSeconds.store(seconds); }
unsigned WatchdogSeconds() { return g_watchdogSeconds.load(); }

}  // namespace sim::ke
