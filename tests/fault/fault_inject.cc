// Test-only fault injection, loaded into the program with LD_PRELOAD: makes
// the k-th call of one chosen function fail with a chosen errno, holds the
// program in the calls of another, and counts the calls of every covered
// function.  The program does not fork; kept to one core it makes no look
// ahead, but the threads that settle its batches of copies make calls
// beside its own, so the counts are atomic.
//
// Environment (all optional):
//   ZAMPLET_FAULT_CALL=NAME    the function to fail, one of the names below
//   ZAMPLET_FAULT_NTH=K        its K-th call fails (counting from 1)
//   ZAMPLET_FAULT_ERRNO=E      with errno E (default EIO)
//   ZAMPLET_FAULT_RACED=1      that call on a path does its work before it
//                              fails, as when another process made the same
//                              call just before (a rename that finds its
//                              source gone: ENOENT)
//   ZAMPLET_FAULT_ALWAYS=NAME:E[,NAME:E...]  every call of NAME fails with
//                              errno E (a file system without a feature, or
//                              a second fault that persists); combines with
//                              the above
//   ZAMPLET_FAULT_DELAY=NAME:MS  every call of NAME first sleeps MS
//                              milliseconds (counted before it sleeps), so
//                              that a test can signal the program while it
//                              is held there; a call made while one is held
//                              (by a signal handler that interrupted it, or
//                              by another thread) is not held
//   ZAMPLET_FAULT_DELAY_PATH=P  only the calls of NAME on the path P are held
//   ZAMPLET_FAULT_LOG=PATH     the injected fault is appended there as
//                              "NAME K ERRNO ARG", ARG the descriptor or path
//   ZAMPLET_FAULT_COUNTS=PATH  call counts, one line "NAME COUNT" for each
//                              function, in a file mapped MAP_SHARED and
//                              updated at every call: it holds the counts
//                              however the process ends (exit, _exit, a
//                              signal).
//
// Every symbol counts on its own: the "chmod" family is chmod and fchmod,
// "chown" is chown and fchown, "rename" is rename and renameat2; link,
// linkat, closedir, futimens, the three syncs (fdatasync, fsync, syncfs)
// and the extended-attribute calls on descriptors are covered too.  A failing close or closedir still
// releases the descriptor, as Linux does when close reports an error; every
// other failing call does nothing.
#undef _FORTIFY_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

namespace {

#define FAULT_FUNCTIONS(X)                                                                   \
  X(open) X(read) X(write) X(fstat) X(stat) X(chmod) X(fchmod) X(chown) X(fchown) X(fcntl) \
  X(close) X(rename) X(renameat2) X(link) X(linkat) X(unlink) X(opendir) X(readdir)        \
  X(closedir) X(futimens) X(fdatasync) X(fsync) X(syncfs) X(flistxattr) X(fgetxattr)      \
  X(fsetxattr) X(fremovexattr)

enum fn : int {
#define AS_ENUM(name) fn_##name,
  FAULT_FUNCTIONS(AS_ENUM) fn_count
};
const char* const names[] = {
#define AS_NAME(name) #name,
    FAULT_FUNCTIONS(AS_NAME)};

constexpr int RECORD = 32;  // "%-12s %18ld\n"

struct settings {
  bool ready = false;
  int target = -1;
  long nth = 0;
  int err = EIO;
  bool raced = false;
  int always_err[fn_count] = {};  // 0: the calls of that function go through
  int delayed = -1;
  long delay_ms = 0;
  const char* delay_path = nullptr;
  const char* log = nullptr;
  char* counts = nullptr;  // fn_count records of RECORD bytes, or null
  long calls[fn_count] = {};
} s;

void* real(int f) {
  static void* cache[fn_count];
  if (cache[f] == nullptr) cache[f] = dlsym(RTLD_NEXT, names[f]);
  return cache[f];
}
#define REAL(name) reinterpret_cast<decltype(&::name)>(real(fn_##name))

int lookup(const char* name) {
  for (int f = 0; name != nullptr && f < fn_count; ++f)
    if (strcmp(name, names[f]) == 0) return f;
  return -1;
}

// Writes the count of `f` to the shared file; a thread that wrote a count
// that another call has passed meanwhile writes again, so that the last
// record written is the last count.
void show(int f) {
  for (;;) {
    const long count = __atomic_load_n(&s.calls[f], __ATOMIC_SEQ_CST);
    char record[RECORD + 1];
    snprintf(record, sizeof record, "%-12s %18ld\n", names[f], count);
    memcpy(s.counts + f * RECORD, record, RECORD);
    if (__atomic_load_n(&s.calls[f], __ATOMIC_SEQ_CST) == count) return;
  }
}

// Reads "NAME:NUMBER" at `v` into the function's index `f` (-1 when
// unknown) and `number`; the end of what it read, or null when it is not
// of that form.
const char* name_and_number(const char* v, int* f, long* number) {
  char name[32];
  const char* colon = strchr(v, ':');
  if (colon == nullptr || colon - v >= static_cast<long>(sizeof name)) return nullptr;
  memcpy(name, v, static_cast<size_t>(colon - v));
  name[colon - v] = '\0';
  *f = lookup(name);
  char* end = nullptr;
  *number = strtol(colon + 1, &end, 10);
  return end;
}

void setup() {
  s.ready = true;
  s.target = lookup(getenv("ZAMPLET_FAULT_CALL"));
  if (const char* v = getenv("ZAMPLET_FAULT_NTH")) s.nth = atol(v);
  if (const char* v = getenv("ZAMPLET_FAULT_ERRNO")) s.err = atoi(v);
  s.raced = getenv("ZAMPLET_FAULT_RACED") != nullptr;
  for (const char* v = getenv("ZAMPLET_FAULT_ALWAYS"); v != nullptr && *v != '\0';) {
    int f = -1;
    long err = 0;
    v = name_and_number(v, &f, &err);
    if (v == nullptr) break;
    if (f >= 0) s.always_err[f] = static_cast<int>(err);
    if (*v == ',') ++v;
  }
  if (const char* v = getenv("ZAMPLET_FAULT_DELAY")) name_and_number(v, &s.delayed, &s.delay_ms);
  s.delay_path = getenv("ZAMPLET_FAULT_DELAY_PATH");
  s.log = getenv("ZAMPLET_FAULT_LOG");
  const char* path = getenv("ZAMPLET_FAULT_COUNTS");
  if (path == nullptr) return;
  const int fd = REAL(open)(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || ftruncate(fd, fn_count * RECORD) < 0) abort();
  void* map = mmap(nullptr, fn_count * RECORD, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  REAL(close)(fd);
  if (map == MAP_FAILED) abort();
  s.counts = static_cast<char*>(map);
  for (int f = 0; f < fn_count; ++f) show(f);
}

// Set while a call is held: a signal handler that runs meanwhile makes its
// calls at once.
volatile sig_atomic_t holding = 0;
// Whether this thread's last call is the one to fail, for a raced call.
thread_local bool failing_nth = false;

// Sleeps the delay of ZAMPLET_FAULT_DELAY, the whole of it even when a
// signal whose handler returns interrupts it.
void hold() {
  holding = 1;
  struct timespec left = {s.delay_ms / 1000, (s.delay_ms % 1000) * 1000000};
  while (nanosleep(&left, &left) < 0 && errno == EINTR) {
  }
  holding = 0;
}

// Counts the call of `f`, then holds it when it is the delayed function;
// true, with errno set, when it is to fail.  `fd` or `path` describes the
// call in the log.
bool fails(int f, int fd, const char* path = nullptr) {
  const int saved = errno;
  if (!s.ready) setup();
  const long call = __atomic_add_fetch(&s.calls[f], 1, __ATOMIC_SEQ_CST);
  if (s.counts != nullptr) show(f);
  if (f == s.delayed && holding == 0 &&
      (s.delay_path == nullptr || (path != nullptr && strcmp(path, s.delay_path) == 0)))
    hold();
  int err = 0;
  failing_nth = f == s.target && call == s.nth;
  if (failing_nth) {
    err = s.err;
    if (s.log != nullptr) {
      char line[4200];
      const int len =
          path != nullptr
              ? snprintf(line, sizeof line, "%s %ld %d %s\n", names[f], s.nth, err, path)
              : snprintf(line, sizeof line, "%s %ld %d %d\n", names[f], s.nth, err, fd);
      const int log = REAL(open)(s.log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (log >= 0) {
        (void)!REAL(write)(log, line, static_cast<size_t>(len));
        REAL(close)(log);
      }
    }
  } else {
    err = s.always_err[f];
  }
  errno = err != 0 ? err : saved;
  return err != 0;
}

// The counts and the k-th call assume one thread: the program is kept to
// one core, where it starts no workers.
__attribute__((constructor)) void keep_to_one_core() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &set)) continue;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    (void)sched_setaffinity(0, sizeof set, &set);
    return;
  }
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, mode_t);
    va_end(ap);
  }
  return fails(fn_open, -1, path) ? -1 : REAL(open)(path, flags, mode);
}

int fcntl(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  // Lock and owner commands take a pointer, the others an int or nothing
  // (reading an int that was not passed is harmless on every glibc ABI).
  const bool pointer = cmd == F_GETLK || cmd == F_SETLK || cmd == F_SETLKW || cmd == F_OFD_GETLK ||
                       cmd == F_OFD_SETLK || cmd == F_OFD_SETLKW || cmd == F_GETOWN_EX ||
                       cmd == F_SETOWN_EX;
  void* p = pointer ? va_arg(ap, void*) : nullptr;
  const int n = pointer ? 0 : va_arg(ap, int);
  va_end(ap);
  if (fails(fn_fcntl, fd)) return -1;
  return pointer ? REAL(fcntl)(fd, cmd, p) : REAL(fcntl)(fd, cmd, n);
}

ssize_t read(int fd, void* buf, size_t n) {
  return fails(fn_read, fd) ? -1 : REAL(read)(fd, buf, n);
}
ssize_t write(int fd, const void* buf, size_t n) {
  return fails(fn_write, fd) ? -1 : REAL(write)(fd, buf, n);
}
int close(int fd) {
  if (!fails(fn_close, fd)) return REAL(close)(fd);
  const int err = errno;
  REAL(close)(fd);
  errno = err;
  return -1;
}

// A failing call on a path does nothing, or, when the injected one is
// raced, its work first.
#define PATH_CALL(name, params, path, args)                                \
  int name params noexcept {                                               \
    if (!fails(fn_##name, -1, path)) return REAL(name) args;               \
    if (s.raced && failing_nth) {                                         \
      const int err = errno;                                               \
      (void)REAL(name) args;                                               \
      errno = err;                                                         \
    }                                                                      \
    return -1;                                                             \
  }
#define FD_CALL(name, params, fd, args) \
  int name params noexcept { return fails(fn_##name, fd) ? -1 : REAL(name) args; }

PATH_CALL(stat, (const char* __restrict p, struct stat* __restrict b), p, (p, b))
FD_CALL(fstat, (int fd, struct stat* b), fd, (fd, b))
PATH_CALL(chmod, (const char* p, mode_t m), p, (p, m))
FD_CALL(fchmod, (int fd, mode_t m), fd, (fd, m))
PATH_CALL(chown, (const char* p, uid_t u, gid_t g), p, (p, u, g))
FD_CALL(fchown, (int fd, uid_t u, gid_t g), fd, (fd, u, g))
PATH_CALL(rename, (const char* a, const char* b), a, (a, b))
PATH_CALL(renameat2, (int da, const char* a, int db, const char* b, unsigned f), a,
          (da, a, db, b, f))
PATH_CALL(link, (const char* a, const char* b), a, (a, b))
PATH_CALL(unlink, (const char* p), p, (p))
FD_CALL(futimens, (int fd, const struct timespec t[2]), fd, (fd, t))
PATH_CALL(linkat, (int da, const char* a, int db, const char* b, int f), b, (da, a, db, b, f))
// The two cancellation points are declared without noexcept, which clang
// holds a definition to.
int fdatasync(int fd) { return fails(fn_fdatasync, fd) ? -1 : REAL(fdatasync)(fd); }
int fsync(int fd) { return fails(fn_fsync, fd) ? -1 : REAL(fsync)(fd); }
FD_CALL(syncfs, (int fd), fd, (fd))

ssize_t flistxattr(int fd, char* list, size_t n) noexcept {
  return fails(fn_flistxattr, fd) ? -1 : REAL(flistxattr)(fd, list, n);
}
ssize_t fgetxattr(int fd, const char* name, void* value, size_t n) noexcept {
  return fails(fn_fgetxattr, fd) ? -1 : REAL(fgetxattr)(fd, name, value, n);
}
FD_CALL(fsetxattr, (int fd, const char* name, const void* v, size_t n, int f), fd,
        (fd, name, v, n, f))
FD_CALL(fremovexattr, (int fd, const char* name), fd, (fd, name))

DIR* opendir(const char* p) { return fails(fn_opendir, -1, p) ? nullptr : REAL(opendir)(p); }
struct dirent* readdir(DIR* d) { return fails(fn_readdir, dirfd(d)) ? nullptr : REAL(readdir)(d); }
int closedir(DIR* d) {
  const int fd = dirfd(d);
  if (!fails(fn_closedir, fd)) return REAL(closedir)(d);
  const int err = errno;
  REAL(closedir)(d);
  errno = err;
  return -1;
}

}  // extern "C"
