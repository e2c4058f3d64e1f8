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

struct sigaction previous_action;
bool scope_active = false;  // read and written with the interpreter lock held

extern "C" void on_sigint(int signum, siginfo_t* info, void* context) {
  interrupted.store(true, std::memory_order_relaxed);
  if (previous_action.sa_flags & SA_SIGINFO) {
    previous_action.sa_sigaction(signum, info, context);
  } else {
    previous_action.sa_handler(signum);
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
  struct sigaction current;
  if (sigaction(SIGINT, nullptr, &current) != 0 || !is_function(current)) return;
  previous_action = current;
  interrupted.store(false, std::memory_order_relaxed);
  struct sigaction chained = current;
  chained.sa_flags = current.sa_flags | SA_SIGINFO;
  chained.sa_sigaction = on_sigint;
  if (sigaction(SIGINT, &chained, nullptr) != 0) return;
  installed_ = true;
  scope_active = true;
}

InterruptScope::~InterruptScope() {
  if (!installed_) return;
  sigaction(SIGINT, &previous_action, nullptr);
  scope_active = false;
}

CancelFlag InterruptScope::flag(const std::atomic<bool>* also) const {
  return on_main_thread_ ? CancelFlag(&interrupted, also) : CancelFlag(also);
}

void InterruptScope::lower() const { interrupted.store(false, std::memory_order_relaxed); }

}  // namespace morvat::vexolin
