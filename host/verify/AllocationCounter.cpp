#include "host/verify/AllocationCounter.h"

#include <errno.h>

#include <cstddef>

namespace {
// Initial-exec TLS in the executable: reading it is one load relative to the thread
// pointer and can never itself allocate (which a lazily allocated TLS block would).
__attribute__((tls_model("initial-exec"))) thread_local bool tCounting = false;
__attribute__((tls_model("initial-exec"))) thread_local uint64_t tAllocations = 0;

inline void Note() {
  if (tCounting) ++tAllocations;
}
}  // namespace

#ifndef KORVEL_SANITIZED
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);

// Default visibility: the shared objects of the process (the plug-in, libstdc++) must
// bind to these rather than to libc's.
__attribute__((visibility("default"))) void* malloc(size_t size) {
  Note();
  return __libc_malloc(size);
}
__attribute__((visibility("default"))) void* calloc(size_t count, size_t size) {
  Note();
  return __libc_calloc(count, size);
}
__attribute__((visibility("default"))) void* realloc(void* p, size_t size) {
  Note();
  return __libc_realloc(p, size);
}
__attribute__((visibility("default"))) void* memalign(size_t alignment, size_t size) {
  Note();
  return __libc_memalign(alignment, size);
}
__attribute__((visibility("default"))) void* aligned_alloc(size_t alignment, size_t size) {
  Note();
  return __libc_memalign(alignment, size);
}
__attribute__((visibility("default"))) int posix_memalign(void** out, size_t alignment,
                                                          size_t size) {
  Note();
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* p = __libc_memalign(alignment, size);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
}
#endif

namespace korvel::host {

bool AllocationCountingAvailable() {
#ifdef KORVEL_SANITIZED
  return false;
#else
  return true;
#endif
}

ThreadAllocationCount::ThreadAllocationCount() : start_(tAllocations) { tCounting = true; }
ThreadAllocationCount::~ThreadAllocationCount() { tCounting = false; }
uint64_t ThreadAllocationCount::count() const { return tAllocations - start_; }

}  // namespace korvel::host
