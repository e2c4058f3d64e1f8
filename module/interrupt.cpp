#include "module/interrupt.h"

#include <pythread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace morvat::vexolin {
namespace {

// Raised from the signal handler: lock-free, so async-signal-safe.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// SIGINT, and SIGTERM where Python code takes it as Ctrl-C (the command line,
// a batch run): both stop the call. A signal left to its default is not chained.
constexpr int chained_signals[chained_signal_count] = {SIGINT, SIGTERM};
struct sigaction previous_actions[chained_signal_count];
bool scope_active = false;  // read and written with the interpreter lock held

extern "C" void on_signal(int signum, siginfo_t* info, void* context) {
  interrupted.store(true, std::memory_order_relaxed);
  const struct sigaction& previous = previous_actions[signum == SIGINT ? 0 : 1];
  if (previous.sa_flags & SA_SIGINFO) {
    previous.sa_sigaction(signum, info, context);
  } else {
    previous.sa_handler(signum);
  }
}

// The interpreter runs signal handlers only on its main thread, whose
// identity changes only across a fork.
bool on_main_thread() {
  static pid_t cached_pid = -1;
  static unsigned long main_ident = 0;
  const pid_t pid = getpid();
  if (pid != cached_pid) {
    namespace py = pybind11;
    main_ident = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    cached_pid = pid;
  }
  return PyThread_get_thread_ident() == main_ident;
}

bool is_function(const struct sigaction& action) {
  if (action.sa_flags & SA_SIGINFO) return action.sa_sigaction != nullptr;
  return action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN && action.sa_handler != nullptr;
}

}  // namespace

InterruptScope::InterruptScope() {
  on_main_thread_ = on_main_thread();
  if (!on_main_thread_ || scope_active) return;
  interrupted.store(false, std::memory_order_relaxed);
  for (int i = 0; i < chained_signal_count; ++i) {
    struct sigaction current;
    if (sigaction(chained_signals[i], nullptr, &current) != 0 || !is_function(current)) continue;
    previous_actions[i] = current;
    struct sigaction chained = current;
    chained.sa_flags = current.sa_flags | SA_SIGINFO;
    chained.sa_sigaction = on_signal;
    installed_[i] = sigaction(chained_signals[i], &chained, nullptr) == 0;
    scope_active = scope_active || installed_[i];
  }
}

InterruptScope::~InterruptScope() {
  for (int i = 0; i < chained_signal_count; ++i) {
    if (installed_[i]) sigaction(chained_signals[i], &previous_actions[i], nullptr);
  }
  if (installed_[0] || installed_[1]) scope_active = false;
}

CancelFlag InterruptScope::flag(const std::atomic<bool>* also) const {
  return on_main_thread_ ? CancelFlag(&interrupted, also) : CancelFlag(also);
}

void InterruptScope::lower() const { interrupted.store(false, std::memory_order_relaxed); }

}  // namespace morvat::vexolin
