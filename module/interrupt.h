// Ctrl-C during a call. While a call runs on the interpreter's main thread,
// a SIGINT handler chained in front of the interpreter's own raises a flag
// that the engine polls, so the computation stops within a block of work
// instead of running to its end. The interpreter's handler still runs, and
// its KeyboardInterrupt is raised once the call has unwound. SIGTERM is
// chained the same way when Python code handles it (a handler that raises).
#pragma once

#include "engine/cancel.h"
#include "module/cancel_token.h"

#include <pybind11/pybind11.h>

#include <utility>

namespace morvat::vexolin {

// Chains the handler for its lifetime; a no-op off the main thread, for a
// signal ignored or left to its default, or inside another scope.
// Construct and destroy with the interpreter lock held.
inline constexpr int chained_signal_count = 2;  // SIGINT, SIGTERM

class InterruptScope {
 public:
  InterruptScope();
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

  // Ctrl-C's flag on the main thread, and `also` (a token's) anywhere.
  CancelFlag flag(const std::atomic<bool>* also = nullptr) const;
  // Lowers the flag once the cancelled call has unwound.
  void lower() const;

 private:
  bool installed_[chained_signal_count] = {false, false};
  bool on_main_thread_ = false;
};

// Runs compute(cancel) without the interpreter lock. When Ctrl-C stops it,
// the interpreter's signal handlers run: their exception (KeyboardInterrupt)
// propagates, and if they raise none the computation starts again. A raised
// `token` stops it for good with TokenCancelled.
template <typename Compute>
void run_without_lock(Compute&& compute, const CancelToken* token = nullptr) {
  const std::atomic<bool>* raised = token != nullptr ? &token->raised : nullptr;
  for (;;) {
    InterruptScope scope;
    try {
      pybind11::gil_scoped_release unlocked;
      compute(scope.flag(raised));
      return;
    } catch (const CallCancelled&) {
      scope.lower();
    }
    if (PyErr_CheckSignals() != 0) throw pybind11::error_already_set();
    if (raised != nullptr && raised->load(std::memory_order_relaxed)) throw TokenCancelled();
  }
}

}  // namespace morvat::vexolin
