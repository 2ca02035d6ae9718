/*
 * The explorer's engine: one baton passed between real threads under one
 * lock. The thread holding the baton is the only one running simulated
 * code; at each switch point it picks, under the schedule, the processor
 * that runs next (possibly itself), hands the baton over and waits to be
 * picked again. Whether a blocked processor can go on is asked of its own
 * predicate by the thread holding the baton, while every other processor
 * is parked, so the predicates read kernel state no one is changing.
 */
#include "sim/explore/explorer.h"

#include "sim/explore/hook.h"
#include "sim/ke/clock.h"
#include "sim/ke/ke.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include <pthread.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace sim::explore {
namespace {

// splitmix64: small, fast, and the same sequence in every build.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed ^ 0x6a09e667f3bcc909ULL) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  // Uniform enough in [0, n) for the small n used here.
  uint64_t Below(uint64_t n) { return Next() % n; }

 private:
  uint64_t state_;
};

std::atomic<Explorer::Engine*> g_engine{nullptr};
thread_local Explorer::Engine* t_engine = nullptr;
thread_local int t_self = -1;

}  // namespace

struct Explorer::Engine {
  enum class Kind { Actor, DpcProcessor, Clock };
  enum class State { Ready, Blocked, Idle, Finished };

  struct Thread {
    std::string name;
    Kind kind;
    std::function<void()> body;  // actors
    State state = State::Ready;
    std::function<bool()> canGo;  // while Blocked
    std::string at = "its start";  // the call it is parked in
    uint64_t priority = 0;
    std::thread thread;
    void* stack = nullptr;  // the thread's own stack, for the leak checker
    size_t stackBytes = 0;
  };

  Engine(const Schedule& s, const Options& o) : schedule(s), options(o), random(s.seed) {}

  Schedule schedule;
  Options options;
  Random random;
  std::map<uint64_t, uint64_t> changePoints;  // step -> the priority the running processor drops to

  std::vector<std::unique_ptr<Thread>> threads;
  std::mutex lock;  // guards everything below and the baton
  std::condition_variable turn;
  int running = -1;
  bool stopping = false;   // the run has ended: idle processors leave
  bool over = false;       // ended or abandoned: Run returns
  bool abandoned = false;  // deadlocked or too long: every thread stays parked
  RunResult result;

  bool HasWork(const Thread& thread) const {
    switch (thread.kind) {
      case Kind::DpcProcessor:
        return ke::QueuedDpcCount() != 0;
      case Kind::Clock:
        return clock::NextDue().has_value();
      case Kind::Actor:
        break;
    }
    return false;
  }

  bool CanRun(const Thread& thread) const {
    switch (thread.state) {
      case State::Ready:
        return true;
      case State::Blocked:
        return thread.canGo();
      case State::Idle:
        return HasWork(thread);
      case State::Finished:
        break;
    }
    return false;
  }

  std::string DescribeThreads() const {
    std::ostringstream text;

    for (const auto& thread : threads) {
      text << "  " << thread->name << ": ";
      switch (thread->state) {
        case State::Ready:
          text << "ready, at " << thread->at;
          break;
        case State::Blocked:
          text << "blocked in " << thread->at;
          break;
        case State::Idle:
          text << "idle";
          break;
        case State::Finished:
          text << "finished";
          break;
      }
      text << "\n";
    }
    return text.str();
  }

  void Abandon(std::string failure) {
    abandoned = true;
    over = true;
    running = -1;
    result.failure = std::move(failure);
    turn.notify_all();
  }

  // Chooses the processor that runs after step `call` of `me` (-1: none
  // yet) and hands it the baton. Needs `lock`.
  void Pick(int me, const char* call) {
    uint64_t step = ++result.steps;
    if (step > options.stepLimit) {
      result.stepLimitHit = true;
      Abandon("the run did not end within " + std::to_string(options.stepLimit) + " steps (a livelock?):\n" +
              DescribeThreads());
      return;
    }
    if (me >= 0) threads[me]->at = call;
    auto change = changePoints.find(step);
    if (me >= 0 && change != changePoints.end()) threads[me]->priority = change->second;

    std::vector<int> runnable;
    for (int i = 0; i < static_cast<int>(threads.size()); ++i) {
      if (CanRun(*threads[i])) runnable.push_back(i);
    }
    if (runnable.empty()) {
      bool actorsDone = std::all_of(threads.begin(), threads.end(), [](const auto& thread) {
        return thread->kind != Kind::Actor || thread->state == State::Finished;
      });
      bool servicesIdle = std::all_of(threads.begin(), threads.end(), [](const auto& thread) {
        return thread->kind == Kind::Actor || thread->state == State::Idle;
      });
      if (actorsDone && servicesIdle) {
        stopping = true;
        over = true;
        running = -1;
        turn.notify_all();
        return;
      }
      result.deadlocked = true;
      Abandon("deadlock at step " + std::to_string(step) + ": no processor can go on\n" + DescribeThreads());
      return;
    }

    int next;
    if (schedule.strategy == Strategy::RandomWalk) {
      next = runnable[random.Below(runnable.size())];
    } else {
      next = *std::max_element(runnable.begin(), runnable.end(),
                               [this](int a, int b) { return threads[a]->priority < threads[b]->priority; });
    }
    Thread& chosen = *threads[next];
    if (next != me) {
      result.switches.push_back({step, me >= 0 ? threads[me]->name : "", call, chosen.name, chosen.at});
    }
    chosen.state = State::Ready;
    chosen.canGo = nullptr;
    running = next;
    turn.notify_all();
  }

  // Waits, after a Pick, until this processor has the baton again; false
  // if the run ended meanwhile and an idle processor is to leave. A thread
  // of an abandoned run never returns from here.
  bool AwaitTurn(std::unique_lock<std::mutex>& hold, int me) {
    turn.wait(hold, [&] { return running == me || (stopping && threads[me]->state == State::Idle); });
    return running == me;
  }

  void Yield(int me, const char* call) {
    std::unique_lock<std::mutex> hold(lock);
    Pick(me, call);
    AwaitTurn(hold, me);
  }

  void Block(int me, const char* call, const std::function<bool()>& canGo) {
    std::unique_lock<std::mutex> hold(lock);
    threads[me]->state = State::Blocked;
    threads[me]->canGo = canGo;
    Pick(me, call);
    AwaitTurn(hold, me);
  }

  // One unit of a kernel processor's work, started at a switch point.
  void Work(Thread& thread) {
    switch (thread.kind) {
      case Kind::DpcProcessor: {
        sim::explore::Yield("DPC delivery");
        if (std::optional<ke::DpcCall> call = ke::TakeQueuedDpc()) ke::RunDpc(*call);
        break;
      }
      case Kind::Clock: {
        sim::explore::Yield("clock tick");
        if (std::optional<int64_t> due = clock::NextDue()) clock::FireNext(*due);
        break;
      }
      case Kind::Actor:
        break;
    }
  }

  void Main(int me) {
    t_engine = this;
    t_self = me;
    Thread& thread = *threads[me];
    {
      std::unique_lock<std::mutex> hold(lock);
      pthread_attr_t attributes;
      if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getstack(&attributes, &thread.stack, &thread.stackBytes);
        pthread_attr_destroy(&attributes);
      }
      if (!AwaitTurn(hold, me)) return;
    }
    if (thread.kind == Kind::Actor) {
      thread.body();
      std::lock_guard<std::mutex> hold(lock);
      thread.state = State::Finished;
      Pick(me, "its end");
      return;
    }
    for (;;) {
      Work(thread);
      std::unique_lock<std::mutex> hold(lock);
      thread.state = State::Idle;
      Pick(me, "idle");
      if (!AwaitTurn(hold, me)) return;
    }
  }
};

const char* StrategyName(Strategy strategy) {
  return strategy == Strategy::RandomWalk ? "random walk" : "priority";
}

std::string Describe(const Schedule& schedule) {
  std::ostringstream text;
  text << StrategyName(schedule.strategy);
  if (schedule.strategy == Strategy::Priority) {
    text << " (depth " << schedule.depth << ", horizon " << schedule.horizon << ")";
  }
  text << ", seed " << schedule.seed;
  return text.str();
}

std::string DescribeSwitches(const std::vector<Switch>& switches, size_t last) {
  size_t first = last != 0 && switches.size() > last ? switches.size() - last : 0;
  std::ostringstream text;
  if (first != 0) text << "  (" << first << " earlier switches left out)\n";
  for (size_t i = first; i < switches.size(); ++i) {
    const Switch& at = switches[i];
    text << "  step " << at.step << ": ";
    if (!at.from.empty()) text << at.from << " stops at " << at.fromCall << "; ";
    text << at.to << " runs, from " << at.toCall << "\n";
  }
  return text.str();
}

Explorer::Explorer(const Schedule& schedule, const Options& options) : engine_(new Engine(schedule, options)) {}

Explorer::~Explorer() {
  if (!engine_->abandoned) delete engine_;
}

void Explorer::AddActor(std::string name, std::function<void()> body) {
  auto thread = std::make_unique<Engine::Thread>();
  thread->name = std::move(name);
  thread->kind = Engine::Kind::Actor;
  thread->body = std::move(body);
  engine_->threads.push_back(std::move(thread));
}

RunResult Explorer::Run() {
  Engine& engine = *engine_;
  auto addService = [&](std::string name, Engine::Kind kind) {
    auto thread = std::make_unique<Engine::Thread>();
    thread->name = std::move(name);
    thread->kind = kind;
    thread->state = Engine::State::Idle;
    engine.threads.push_back(std::move(thread));
  };
  for (unsigned i = 1; i <= engine.options.dpcProcessors; ++i) {
    addService("DPC processor " + std::to_string(i), Engine::Kind::DpcProcessor);
  }
  addService("clock", Engine::Kind::Clock);

  // Priorities depth .. depth+n-1 in a random order; change point i drops
  // the running processor to priority i, below every starting priority.
  std::vector<uint64_t> priorities;
  for (size_t i = 0; i < engine.threads.size(); ++i) priorities.push_back(engine.schedule.depth + i);
  for (size_t i = priorities.size(); i > 1; --i) std::swap(priorities[i - 1], priorities[engine.random.Below(i)]);
  for (size_t i = 0; i < engine.threads.size(); ++i) engine.threads[i]->priority = priorities[i];
  if (engine.schedule.strategy == Strategy::Priority) {
    for (unsigned i = 1; i < engine.schedule.depth; ++i) {
      engine.changePoints[1 + engine.random.Below(std::max<uint64_t>(engine.schedule.horizon, 1))] = i;
    }
  }

  g_engine.store(&engine);
  for (size_t i = 0; i < engine.threads.size(); ++i) {
    engine.threads[i]->thread = std::thread([&engine, i] { engine.Main(static_cast<int>(i)); });
  }
  {
    std::unique_lock<std::mutex> hold(engine.lock);
    engine.Pick(-1, "the start");
    engine.turn.wait(hold, [&] { return engine.over; });
  }
  if (engine.abandoned) {
    std::lock_guard<std::mutex> hold(engine.lock);
    for (auto& thread : engine.threads) {
      thread->thread.detach();
#if defined(__SANITIZE_ADDRESS__)
      // A parked thread is stopped on its kernel stack: what only its own
      // stack still points at is held, not leaked.
      if (thread->stack != nullptr) __lsan_register_root_region(thread->stack, thread->stackBytes);
#endif
    }
  } else {
    for (auto& thread : engine.threads) thread->thread.join();
  }
  g_engine.store(nullptr);
  return engine.result;
}

// --- The kernel's side (hook.h) ----------------------------------------------

bool Exploring() { return g_engine.load(std::memory_order_acquire) != nullptr; }

bool Controlled() { return t_engine != nullptr && t_engine == g_engine.load(std::memory_order_acquire); }

void Yield(const char* call) {
  if (Controlled()) t_engine->Yield(t_self, call);
}

bool BlockUntil(const char* call, const std::function<bool()>& canGo) {
  if (!Controlled()) return false;
  t_engine->Block(t_self, call, canGo);
  return true;
}

}  // namespace sim::explore
