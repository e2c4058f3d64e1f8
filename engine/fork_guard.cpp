#include "engine/fork_guard.h"

#include "engine/basis_cache.h"
#include "engine/fft_setup.h"

#include <pthread.h>

#include <mutex>
#include <system_error>

namespace morvat::vexolin {
namespace {

void lock_caches() {
  basis_cache_mutex().lock();
  fft_setup_mutex().lock();
}

void unlock_caches() {
  fft_setup_mutex().unlock();
  basis_cache_mutex().unlock();
}

std::once_flag fork_handlers_once;

}  // namespace

void install_fork_handlers() {
  std::call_once(fork_handlers_once, [] {
    const int rc = pthread_atfork(lock_caches, unlock_caches, unlock_caches);
    if (rc != 0) throw std::system_error(rc, std::generic_category(), "pthread_atfork");
  });
}

}  // namespace morvat::vexolin
