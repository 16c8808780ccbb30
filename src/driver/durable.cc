// Copies that wait for the disk: the copy of a rewritten file's old content
// is deleted only once the new content has reached the disk, so that after a
// power cut at any moment every file is whole under one of its names.  The
// copies of many files wait in a batch, which their syncs and the deletions
// settle: when the batch is full, when its oldest copy has waited a second
// of the run's progress, when the run needs one of its names again, and at
// the latest when the run ends, stops, or fails.
//
// The run waits for its own data only.  Each new file is synced on its own
// (fdatasync), with the directory that holds its name; one sync of the whole
// file system serves the batch instead only when the kernel reports that
// little besides the batch's own data is waiting to be written, since such a
// sync also waits for every other program's dirty pages.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/driver.h"
#include "support/support.h"

namespace zamplet {

namespace {

constexpr int PENDING_MAX = 256;              // copies in one batch
constexpr size_t NAMES_BYTES = 512 * 1024;    // their names and their files' names
constexpr int DEVICES_MAX = 4;                // file systems in one batch
constexpr long BATCH_NANOSECONDS = 1000000000;  // how long a copy may wait for the others
// Data of other programs that a sync of the whole file system may wait for
// and still be the cheaper way.
constexpr long long OTHERS_DIRTY_MAX = 32LL << 20;
// A batch this small is synced file by file whatever else waits: a few syncs
// of single files cost little, and the run's calls do not depend on what
// other programs are doing.
constexpr int SMALL_BATCH = 8;
constexpr size_t DIR_MAX = 4096;              // a directory's name, with its zero

struct waiting_copy {
  size_t copy_at;          // offset of the copy's name in `names`
  size_t file_at;          // offset of the new file's name
  file_identity old_file;  // the copy, as followed from its name
  file_identity new_file;  // the new file under the file's name
  off_t bytes;             // the new file's length
};

// The batch.  The stop handler reads it, so it changes only while the stop
// signals are blocked, apart from the device table, which only grows.
char names[NAMES_BYTES];
size_t names_used = 0;
waiting_copy batch[PENDING_MAX];
volatile sig_atomic_t pending = 0;
dev_t devices[DEVICES_MAX];
int device_fds[DEVICES_MAX];
volatile sig_atomic_t device_count = 0;
long long batch_started = 0;
bool sync_failed = false;

long long now_nanoseconds() {
  struct timespec t {};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// Copies into `dir` the directory part of `path` ("." when it has none);
// false when it does not fit.  Async-signal-safe.
bool directory_of(const char* path, char* dir) {
  const char* slash = strrchr(path, '/');
  if (slash == nullptr) {
    strcpy(dir, ".");
    return true;
  }
  const size_t len = slash == path ? 1 : static_cast<size_t>(slash - path);
  if (len >= DIR_MAX) return false;
  memcpy(dir, path, len);
  dir[len] = '\0';
  return true;
}

// Opens, on the file system of `target`, the directory that holds it, for
// the syncs; -1 when that fails.
int open_on_device(const char* target) {
  char dir[DIR_MAX];
  if (!directory_of(target, dir)) return -1;
  return open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int device_index(dev_t dev) {
  for (int i = 0; i < device_count; ++i)
    if (devices[i] == dev) return i;
  return -1;
}

// Syncs every file system of the batch; false, with errno, when one fails.
// Async-signal-safe.
bool sync_devices() {
  bool synced = true;
  int err = 0;
  for (int i = 0; i < device_count; ++i) {
    if (syncfs(device_fds[i]) < 0) {
      synced = false;
      err = errno;
    }
  }
  errno = err;
  return synced;
}

void forget_devices() {
  for (int i = 0; i < device_count; ++i) close(device_fds[i]);
  device_count = 0;
}

// Reads the number after `key` in the text `info`, in kB; 0 when absent.
long long meminfo_value(const char* info, const char* key) {
  const char* at = strstr(info, key);
  if (at == nullptr) return 0;
  at += strlen(key);
  while (*at == ' ') ++at;
  long long kb = 0;
  while (*at >= '0' && *at <= '9') kb = kb * 10 + (*at++ - '0');
  return kb;
}

// True when the data waiting to be written, as the kernel reports it, is
// little more than `own` bytes, so that a sync of the whole file system
// waits for little else.  False when the kernel cannot tell.
bool little_else_dirty(long long own) {
  const int fd = open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char info[8192];
  const ssize_t got = read(fd, info, sizeof info - 1);
  close(fd);
  if (got <= 0) return false;
  info[got] = '\0';
  const long long dirty =
      (meminfo_value(info, "\nDirty:") + meminfo_value(info, "\nWriteback:")) * 1024;
  return dirty - own <= OTHERS_DIRTY_MAX;
}

// Puts the file `file`, if it is still `identity`, on the disk with its data
// and its name.  A name that holds another file now needs nothing of this
// run.  What cannot be opened is covered by a sync of its file system
// instead.  False, with errno, when the disk refused it.  Async-signal-safe.
bool sync_own_file(const char* file, const file_identity& identity, char* last_dir) {
  const int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = open(file, O_RDONLY | flags);
  if (fd < 0 && errno == EACCES) fd = open(file, O_WRONLY | flags);
  if (fd < 0 && (errno == ENOENT || errno == ELOOP)) return true;  // replaced or removed since
  char dir[DIR_MAX];
  const bool same_dir =
      last_dir != nullptr && directory_of(file, dir) && strcmp(dir, last_dir) == 0;
  int dir_fd = -1;
  if (!same_dir && directory_of(file, dir)) dir_fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  bool ok;
  if (fd >= 0) {
    struct stat st;
    const bool other = fstat(fd, &st) == 0 && !(identity_of(st) == identity);
    ok = other || fdatasync(fd) == 0;
    // The name: the directory that holds it, once for files one after
    // another in the same directory; or the whole file system.
    if (ok && !other && !same_dir)
      ok = dir_fd >= 0 ? fsync(dir_fd) == 0 || errno == EINVAL : syncfs(fd) == 0;
  } else {
    ok = dir_fd >= 0 && syncfs(dir_fd) == 0;
  }
  const int err = errno;
  if (fd >= 0) close(fd);
  if (dir_fd >= 0) close(dir_fd);
  if (ok && !same_dir && last_dir != nullptr && dir_fd >= 0) strcpy(last_dir, dir);
  errno = err;
  return ok;
}

// Syncs the batch: `synced_at[i]` is 0 when copy i may go, else the error
// that keeps it.  With `cheapest`, one sync of each file system serves the
// batch where that waits for little else.  Async-signal-safe without it.
void sync_batch(int count, bool cheapest, int* synced_at) {
  long long own = 0;
  for (int i = 0; i < count; ++i) own += batch[i].bytes;
  if (cheapest && count > SMALL_BATCH && device_count > 0 && little_else_dirty(own)) {
    const int err = sync_devices() ? 0 : errno;
    for (int i = 0; i < count; ++i) synced_at[i] = err;
    return;
  }
  char last_dir[DIR_MAX] = "";
  for (int i = 0; i < count; ++i) {
    const waiting_copy& w = batch[i];
    errno = 0;
    const bool synced = sync_own_file(names + w.file_at, w.new_file, last_dir);
    synced_at[i] = synced ? 0 : errno != 0 ? errno : EIO;
  }
}

}  // namespace

bool make_room_to_settle(const char* copy, const char* target, dev_t dev) {
  const size_t need = strlen(copy) + strlen(target) + 2;
  const bool known = device_index(dev) >= 0;
  if (pending > 0 && (pending == PENDING_MAX || names_used + need > NAMES_BYTES ||
                      (!known && device_count == DEVICES_MAX)))
    settle_copies();
  else
    settle_if_due();
  if (need > NAMES_BYTES) return false;
  if (device_index(dev) >= 0) return true;
  if (device_count == DEVICES_MAX) forget_devices();
  const int fd = open_on_device(target);
  if (fd < 0) return false;
  devices[device_count] = dev;
  device_fds[device_count] = fd;
  device_count = device_count + 1;
  return true;
}

void settle_later(const char* copy, const char* file, const file_identity& old_file,
                  const file_identity& new_file, off_t bytes) {
  const size_t copy_len = strlen(copy) + 1;
  const size_t file_len = strlen(file) + 1;
  if (pending == 0) batch_started = now_nanoseconds();
  waiting_copy& w = batch[pending];
  w.copy_at = names_used;
  memcpy(names + names_used, copy, copy_len);
  names_used += copy_len;
  w.file_at = names_used;
  memcpy(names + names_used, file, file_len);
  names_used += file_len;
  w.old_file = old_file;
  w.new_file = new_file;
  w.bytes = bytes;
  pending = pending + 1;
}

bool sync_file_now(const char* file, const file_identity& identity) {
  if (sync_own_file(file, identity, nullptr)) return true;
  sync_failed = true;
  return false;
}

bool settle_copies() {
  if (pending == 0) return true;
  const int count = pending;
  int synced_at[PENDING_MAX];
  sync_batch(count, true, synced_at);
  int failed_at[PENDING_MAX];
  int failed_err[PENDING_MAX];
  int failures = 0;
  block_stop_signals();
  for (int i = 0; i < count; ++i) {
    if (synced_at[i] == 0 && unlink(names + batch[i].copy_at) < 0) {
      failed_at[failures] = i;
      failed_err[failures++] = errno;
    }
  }
  pending = 0;
  allow_stop_signals();
  // The names stay readable until the next copy joins a batch.  A copy whose
  // new content may not be on disk stays, the only sure old content, and the
  // user hears which.
  bool all_synced = true;
  for (int i = 0; i < count; ++i) {
    if (synced_at[i] == 0) continue;
    all_synced = false;
    note_failed(names + batch[i].copy_at, "sync", synced_at[i]);
  }
  for (int k = 0; k < failures; ++k)
    note_failed(names + batch[failed_at[k]].copy_at, "unlink", failed_err[k]);
  names_used = 0;
  if (!all_synced) sync_failed = true;
  return all_synced;
}

void settle_at_exit() { (void)settle_copies(); }

void settle_if_due() {
  if (pending > 0 && now_nanoseconds() - batch_started >= BATCH_NANOSECONDS) settle_copies();
}

bool any_sync_failed() { return sync_failed; }

bool is_waiting_copy(const file_identity& identity) {
  for (int i = 0; i < pending; ++i)
    if (batch[i].old_file == identity) return true;
  return false;
}

bool names_waiting_copy(const char* name) {
  for (int i = 0; i < pending; ++i)
    if (strcmp(names + batch[i].copy_at, name) == 0) return true;
  if (pending == 0) return false;
  // Another spelling of the same name ("./f.lock", "d/../f.lock").
  struct stat st;
  if (lstat(name, &st) == 0 && is_waiting_copy(identity_of(st))) return true;
  return stat(name, &st) == 0 && is_waiting_copy(identity_of(st));
}

void settle_copies_now() {
  const int count = pending;
  if (count == 0) return;
  int synced_at[PENDING_MAX];
  sync_batch(count, false, synced_at);
  for (int i = 0; i < count; ++i)
    if (synced_at[i] == 0) (void)unlink(names + batch[i].copy_at);
  pending = 0;
}

}  // namespace zamplet
