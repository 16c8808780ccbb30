// Test-only faults outside the calls that the fault scenarios walk, loaded
// into the program with LD_PRELOAD (never into a sanitized one, whose
// allocator this would bypass):
//   ZAMPLET_FAULT_MALLOC_FROM=N  every malloc of at least N bytes fails
//                                (ENOMEM); the others go to the C library's
//   ZAMPLET_FAULT_REGEXEC=E      every regexec returns the error E, and every
//                                re_search the library's internal failure
#include <dlfcn.h>
#include <errno.h>
#include <regex.h>
#include <stdlib.h>

extern "C" {

void* __libc_malloc(size_t n);

void* malloc(size_t n) {
  // Read at the first call, which may come before any other code runs.
  static long from = -2;
  if (from == -2) {
    const char* v = getenv("ZAMPLET_FAULT_MALLOC_FROM");
    from = v != nullptr ? atol(v) : -1;
  }
  if (from >= 0 && n >= static_cast<size_t>(from)) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_malloc(n);
}

int regexec(const regex_t* __restrict r, const char* __restrict text, size_t n,
            regmatch_t m[], int flags) {
  static int (*next)(const regex_t*, const char*, size_t, regmatch_t*, int) = nullptr;
  if (const char* v = getenv("ZAMPLET_FAULT_REGEXEC"); v != nullptr) return atoi(v);
  if (next == nullptr)
    next = reinterpret_cast<decltype(next)>(dlsym(RTLD_NEXT, "regexec"));
  return next(r, text, n, m, flags);
}

// The search over texts with zero bytes goes through re_search, whose -2 is
// the library's failure.
regoff_t re_search(struct re_pattern_buffer* buffer, const char* text, regoff_t length,
                   regoff_t start, regoff_t range, struct re_registers* registers) {
  static regoff_t (*next)(struct re_pattern_buffer*, const char*, regoff_t, regoff_t, regoff_t,
                          struct re_registers*) = nullptr;
  if (getenv("ZAMPLET_FAULT_REGEXEC") != nullptr) return -2;
  if (next == nullptr)
    next = reinterpret_cast<decltype(next)>(dlsym(RTLD_NEXT, "re_search"));
  return next(buffer, text, length, start, range, registers);
}

}  // extern "C"
