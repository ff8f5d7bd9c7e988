#include "platform/FaultGuard.h"

#include <csetjmp>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace platform {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr std::size_t kAltStackSize = 64 * 1024;

struct sigaction g_previous[sizeof kSignals / sizeof kSignals[0]];

// The innermost guard of this thread, or null.
thread_local sigjmp_buf* t_guard = nullptr;

void OnFault(int signal, siginfo_t* info, void* context) {
  if (sigjmp_buf* guard = t_guard) {
    t_guard = nullptr;
    siglongjmp(*guard, signal);
  }
  // Not ours: hand it to the handler that was there before, or let the default action end the
  // process (the faulting instruction runs again).
  for (std::size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
    if (kSignals[i] != signal) continue;
    const struct sigaction& previous = g_previous[i];
    // SIG_DFL and SIG_IGN are not functions, whichever member of the union was used to set them.
    if (previous.sa_handler == SIG_DFL || previous.sa_handler == SIG_IGN) {
      std::signal(signal, SIG_DFL);
    } else if ((previous.sa_flags & SA_SIGINFO) != 0) {
      previous.sa_sigaction(signal, info, context);
    } else {
      previous.sa_handler(signal);
    }
    return;
  }
}

void InstallHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_sigaction = &OnFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) sigaction(kSignals[i], &action, &g_previous[i]);
  });
}

// The alternate signal stack this file gave a thread. At the thread's end it is switched off
// before its memory goes: a signal arriving later in the thread's exit would be written there.
struct AltStack {
  std::unique_ptr<char[]> memory;
  ~AltStack() {
    stack_t current{};
    if (memory == nullptr || sigaltstack(nullptr, &current) != 0 || current.ss_sp != memory.get()) return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
  }
};

// Gives the thread an alternate signal stack, once, so that a fault from a stack overflow can
// still be handled.
void EnsureAltStack() {
  thread_local AltStack stack;
  if (stack.memory != nullptr) return;
  stack_t current{};
  if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) return;
  stack.memory = std::make_unique<char[]>(kAltStackSize);
  stack_t fresh{};
  fresh.ss_sp = stack.memory.get();
  fresh.ss_size = kAltStackSize;
  sigaltstack(&fresh, nullptr);
}

}  // namespace

GuardResult RunGuarded(void (*call)(void*), void* context, int* signal) {
  InstallHandlers();
  EnsureAltStack();
  sigjmp_buf here;
  sigjmp_buf* outer = t_guard;
  int caught = sigsetjmp(here, 1);
  if (caught != 0) {
    t_guard = outer;
    if (signal != nullptr) *signal = caught;
    return GuardResult::Faulted;
  }
  t_guard = &here;
  GuardResult result = GuardResult::Returned;
  try {
    call(context);
  } catch (...) {
    result = GuardResult::Threw;
  }
  t_guard = outer;
  return result;
}

}  // namespace platform
