// Makes the process-wide caches safe across fork(): a child forked while
// another thread held a cache lock would otherwise inherit the lock held by
// a thread that does not exist in it, and its first call would wait forever.
#pragma once

namespace morvat::vexolin {

// Registers, once per process, handlers that take both cache locks (basis
// cache first, then FFT setups, the engine's lock order) before a fork and
// release them afterwards in parent and child. Called by each cache before
// its first use.
void install_fork_handlers();

}  // namespace morvat::vexolin
