/*
 * Kernel stacks, the switch onto them, and the report of a fault in driver
 * code. A thread's kernel stack is allocated at its first driver call and
 * released when the thread ends; below it lies an inaccessible guard
 * region larger than any frame the compilers allocate without probing.
 */
#include "sim/ke/stack.h"

#include "sim/ke/processor.h"

#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

// Switches the stack pointer to `top` (aligned down to 16 bytes), calls
// routine(context) there and switches back. The frame pointer keeps the
// caller's stack, so debuggers and unwinders walk through the switch.
extern "C" void SimSwitchStackAndCall(void* top, void (*routine)(void*), void* context);

#if defined(__i386__)
__asm__(
    ".pushsection .text\n"
    ".globl SimSwitchStackAndCall\n"
    ".hidden SimSwitchStackAndCall\n"
    ".type SimSwitchStackAndCall, @function\n"
    "SimSwitchStackAndCall:\n"
    "  .cfi_startproc\n"
    "  pushl %ebp\n"
    "  .cfi_def_cfa_offset 8\n"
    "  .cfi_offset %ebp, -8\n"
    "  movl %esp, %ebp\n"
    "  .cfi_def_cfa_register %ebp\n"
    "  movl 8(%ebp), %eax\n"
    "  movl 12(%ebp), %ecx\n"
    "  movl 16(%ebp), %edx\n"
    "  movl %eax, %esp\n"
    "  andl $-16, %esp\n"
    "  subl $12, %esp\n"
    "  pushl %edx\n"
    "  call *%ecx\n"
    "  movl %ebp, %esp\n"
    "  popl %ebp\n"
    "  .cfi_def_cfa %esp, 4\n"
    "  ret\n"
    "  .cfi_endproc\n"
    ".size SimSwitchStackAndCall, .-SimSwitchStackAndCall\n"
    ".popsection\n");
#elif defined(__x86_64__)
__asm__(
    ".pushsection .text\n"
    ".globl SimSwitchStackAndCall\n"
    ".hidden SimSwitchStackAndCall\n"
    ".type SimSwitchStackAndCall, @function\n"
    "SimSwitchStackAndCall:\n"
    "  .cfi_startproc\n"
    "  pushq %rbp\n"
    "  .cfi_def_cfa_offset 16\n"
    "  .cfi_offset %rbp, -16\n"
    "  movq %rsp, %rbp\n"
    "  .cfi_def_cfa_register %rbp\n"
    "  movq %rdi, %rsp\n"
    "  andq $-16, %rsp\n"
    "  movq %rsi, %rax\n"
    "  movq %rdx, %rdi\n"
    "  call *%rax\n"
    "  movq %rbp, %rsp\n"
    "  popq %rbp\n"
    "  .cfi_def_cfa %rsp, 8\n"
    "  ret\n"
    "  .cfi_endproc\n"
    ".size SimSwitchStackAndCall, .-SimSwitchStackAndCall\n"
    ".popsection\n");
#else
#error "kernel stacks need x86 or x86-64"
#endif

namespace sim::ke {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kSanitizerFactor = 8;  // redzones around every local
#elif defined(__SANITIZE_THREAD__)
constexpr size_t kSanitizerFactor = 4;
#else
constexpr size_t kSanitizerFactor = 1;
#endif
constexpr size_t kStackBytes = (sizeof(void*) == 4 ? 12 * 1024 : 24 * 1024) * kSanitizerFactor;
constexpr size_t kGuardBytes = 64 * 1024;
constexpr size_t kSignalStackBytes = 64 * 1024;

struct KernelStack {
  char* mapping = nullptr;  // guard region, then the stack
  size_t mappingBytes = 0;
  char* limit = nullptr;    // lowest usable byte
  char* base = nullptr;     // one past the highest
  void* signalStack = nullptr;

  ~KernelStack() {
    if (signalStack != nullptr) {
      stack_t none;
      std::memset(&none, 0, sizeof none);
      none.ss_flags = SS_DISABLE;
      sigaltstack(&none, nullptr);
      munmap(signalStack, kSignalStackBytes);
    }
    if (mapping != nullptr) munmap(mapping, mappingBytes);
  }
};

thread_local std::unique_ptr<KernelStack> t_stack;
thread_local bool t_onStack = false;
thread_local const char* t_what = nullptr;

// Code ranges of loaded images. Written under the lock; the fault handler
// reads them without it.
struct CodeRange {
  std::atomic<uintptr_t> start{0};
  uintptr_t end = 0;
  DescribeCode describe = nullptr;
  const void* owner = nullptr;
};
std::array<CodeRange, 16> g_ranges;
std::mutex g_rangesLock;

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
struct sigaction g_previous[NSIG];
std::once_flag g_handlerOnce;

uintptr_t ProgramCounter(void* context) {
  auto* user = static_cast<ucontext_t*>(context);
#if defined(__i386__)
  return static_cast<uintptr_t>(user->uc_mcontext.gregs[REG_EIP]);
#else
  return static_cast<uintptr_t>(user->uc_mcontext.gregs[REG_RIP]);
#endif
}

bool DescribeLoadedCode(uintptr_t address, char* text, size_t size) {
  for (const CodeRange& range : g_ranges) {
    uintptr_t start = range.start.load(std::memory_order_acquire);
    if (start != 0 && address >= start && address < range.end) {
      range.describe(range.owner, address, text, size);
      return true;
    }
  }
  return false;
}

const char* SignalName(int signal) {
  switch (signal) {
    case SIGSEGV: return "access violation";
    case SIGBUS: return "bus error";
    case SIGILL: return "illegal instruction";
    case SIGFPE: return "arithmetic fault";
  }
  return "fault";
}

void OnFault(int signal, siginfo_t* info, void* context) {
  uintptr_t pc = ProgramCounter(context);
  uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
  const KernelStack* stack = t_stack.get();
  bool overflow = stack != nullptr && (signal == SIGSEGV || signal == SIGBUS) &&
                  address >= reinterpret_cast<uintptr_t>(stack->mapping) &&
                  address < reinterpret_cast<uintptr_t>(stack->limit);
  char where[256];
  bool inDriver = DescribeLoadedCode(pc, where, sizeof where);
  if (!overflow && !inDriver) {
    // Not the simulated kernel's business: let the previous handler (or
    // the default action) see the fault when the instruction runs again.
    sigaction(signal, &g_previous[signal], nullptr);
    return;
  }
  if (!inDriver) std::snprintf(where, sizeof where, "0x%lx, outside any loaded driver image", static_cast<unsigned long>(pc));
  char report[768];
  const char* what = t_what != nullptr ? t_what : "a driver routine";
  if (overflow) {
    std::snprintf(report, sizeof report,
                  "\n*** kernel stack overflow: %s used more than the %zu-byte kernel stack "
                  "(access to 0x%lx in the guard region below the stack [0x%lx, 0x%lx)), at %s\n",
                  what, kStackBytes, static_cast<unsigned long>(address),
                  reinterpret_cast<unsigned long>(stack->limit), reinterpret_cast<unsigned long>(stack->base), where);
  } else {
    std::snprintf(report, sizeof report, "\n*** driver fault: %s (%s at address 0x%lx) in %s, at %s\n",
                  SignalName(signal), signal == SIGSEGV ? "access" : "signal", static_cast<unsigned long>(address),
                  what, where);
  }
  ssize_t written = write(STDERR_FILENO, report, std::strlen(report));
  (void)written;
  // A fault in kernel code stops Windows with a bug check; stop here too.
  std::signal(SIGABRT, SIG_DFL);
  std::abort();
}

void InstallFaultHandler() {
  std::call_once(g_handlerOnce, [] {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int signal : kSignals) sigaction(signal, &action, &g_previous[signal]);
  });
}

void* MapOrDie(size_t bytes, int protection, const char* what) {
  void* memory = mmap(nullptr, bytes, protection, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) {
    std::fprintf(stderr, "*** cannot allocate %s: %s\n", what, std::strerror(errno));
    std::abort();
  }
  return memory;
}

KernelStack& ThisThreadsStack() {
  if (t_stack) return *t_stack;
  auto stack = std::make_unique<KernelStack>();
  stack->mappingBytes = kGuardBytes + kStackBytes;
  stack->mapping = static_cast<char*>(MapOrDie(stack->mappingBytes, PROT_NONE, "a kernel stack"));
  stack->limit = stack->mapping + kGuardBytes;
  stack->base = stack->mapping + stack->mappingBytes;
  if (mprotect(stack->limit, kStackBytes, PROT_READ | PROT_WRITE) != 0) {
    std::fprintf(stderr, "*** cannot allocate a kernel stack: %s\n", std::strerror(errno));
    std::abort();
  }
  // The overflow report runs on a stack of its own.
  stack_t current;
  if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) != 0) {
    stack->signalStack = MapOrDie(kSignalStackBytes, PROT_READ | PROT_WRITE, "a signal stack");
    stack_t alternate;
    std::memset(&alternate, 0, sizeof alternate);
    alternate.ss_sp = stack->signalStack;
    alternate.ss_size = kSignalStackBytes;
    sigaltstack(&alternate, nullptr);
  }
  InstallFaultHandler();
  EnterProcessor(stack->base, stack->limit);
  t_stack = std::move(stack);
  return *t_stack;
}

struct Frame {
  void (*routine)(void*);
  void* context;
#if defined(__SANITIZE_ADDRESS__)
  const void* callerBottom = nullptr;
  size_t callerSize = 0;
#endif
};

void OnNewStack(void* argument) {
  Frame* frame = static_cast<Frame*>(argument);
#if defined(__SANITIZE_ADDRESS__)
  __sanitizer_finish_switch_fiber(nullptr, &frame->callerBottom, &frame->callerSize);
#endif
  frame->routine(frame->context);
#if defined(__SANITIZE_ADDRESS__)
  __sanitizer_start_switch_fiber(nullptr, frame->callerBottom, frame->callerSize);
#endif
}

}  // namespace

size_t KernelStackBytes() { return kStackBytes; }

bool OnUnwoundKernelStack(const void* address) {
  const KernelStack* stack = t_stack.get();
  auto at = static_cast<const char*>(address);
  if (stack == nullptr || at < stack->limit || at >= stack->base) return false;
  // The stack grows down: below the caller's frame is what has unwound, and
  // all of it when the thread has left its kernel stack.
  return !t_onStack || at < static_cast<const char*>(__builtin_frame_address(0));
}

bool OnKernelStack() { return t_onStack; }

size_t KernelStackHighWater() {
  const KernelStack* stack = t_stack.get();
  if (stack == nullptr) return 0;
  // The stack starts out zero-filled; the lowest byte written since marks
  // the deepest call.
  const char* at = stack->limit;
  while (at < stack->base && *at == 0) ++at;
  return static_cast<size_t>(stack->base - at);
}

void RunOnKernelStack(const char* what, void (*routine)(void*), void* context) {
  const char* outer = t_what;
  t_what = what;
  if (t_onStack) {
    routine(context);
    t_what = outer;
    return;
  }
  KernelStack& stack = ThisThreadsStack();
  Frame frame{routine, context};
  t_onStack = true;
#if defined(__SANITIZE_ADDRESS__)
  void* fakeStack = nullptr;
  __sanitizer_start_switch_fiber(&fakeStack, stack.limit, kStackBytes);
#endif
  SimSwitchStackAndCall(stack.base, OnNewStack, &frame);
#if defined(__SANITIZE_ADDRESS__)
  __sanitizer_finish_switch_fiber(fakeStack, nullptr, nullptr);
#endif
  t_onStack = false;
  t_what = outer;
}

void RegisterCodeRange(uintptr_t start, uintptr_t end, DescribeCode describe, const void* owner) {
  InstallFaultHandler();
  std::lock_guard<std::mutex> hold(g_rangesLock);
  for (CodeRange& range : g_ranges) {
    if (range.start.load() != 0) continue;
    range.end = end;
    range.describe = describe;
    range.owner = owner;
    range.start.store(start, std::memory_order_release);
    return;
  }
  std::fprintf(stderr, "*** too many loaded driver images\n");
  std::abort();
}

void UnregisterCodeRange(uintptr_t start) {
  std::lock_guard<std::mutex> hold(g_rangesLock);
  for (CodeRange& range : g_ranges) {
    if (range.start.load() == start) range.start.store(0, std::memory_order_release);
  }
}

}  // namespace sim::ke
