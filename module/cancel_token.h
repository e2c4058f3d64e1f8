// A token for calls the package runs on its own threads, where Ctrl-C's flag
// never reaches them (the interpreter runs signal handlers on its main thread
// only): the main thread raises the token when the user interrupts, and every
// call holding it stops within a block of work and throws TokenCancelled
// (`vexolin._native.Cancelled` in Python).
#pragma once

#include <atomic>
#include <exception>

namespace morvat::vexolin {

struct CancelToken {
  std::atomic<bool> raised{false};
};

class TokenCancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "the call was cancelled through its token"; }
};

}  // namespace morvat::vexolin
