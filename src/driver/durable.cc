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
//
// The sync reaches the file the run wrote, not whatever its name holds by
// then: the batch keeps each new file open from its rewrite to its sync, and
// a file that its name no longer holds (another program renamed it, or a
// directory above it, or replaced it) is covered by a sync of its whole file
// system before its copy goes.
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
  int held;                // the new file, open since its rewrite, or -1
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
// New files the batch may keep open (-1 until it is told or first needs to
// know), how many it keeps, and the one opened for the copy about to join.
int held_max = -1;
int held_count = 0;
int staged = -1;

long long now_nanoseconds() {
  struct timespec t {};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// True when `dirty`, the data waiting to be written as the kernel reports
// it, is little more than `own` bytes, so that a sync of the whole file
// system waits for little else.  False when the kernel cannot tell.
bool little_else_dirty(long long dirty, long long own) {
  return dirty >= 0 && dirty - own <= OTHERS_DIRTY_MAX;
}

// Opens, on the file system of `target`, the directory that holds it, for
// the syncs; -1 when that fails.
int open_on_device(const char* target) {
  char dir[DIR_MAX];
  if (!directory_of(target, dir, sizeof dir)) return -1;
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

// How many new files the batch may keep open.
int held_limit() {
  if (held_max < 0) (void)hold_new_files(sysconf(_SC_OPEN_MAX) - RUN_DESCRIPTORS);
  return held_max;
}

// Closes the new files the batch keeps open; they are no longer waited for.
void release_held(int count) {
  for (int i = 0; i < count; ++i) {
    if (batch[i].held >= 0) close(batch[i].held);
    batch[i].held = -1;
  }
  held_count = 0;
}

// What the syncs of one batch have done so far: the directory in hand, whose
// names one sync of it makes durable (the batch's files come directory by
// directory, and every name was made before the sync), and the file systems
// synced whole, which hold everything of the batch that is on them.
struct sync_state {
  char dir[DIR_MAX] = "";
  int dir_fd = -1;
  bool dir_synced = false;
  dev_t whole[DEVICES_MAX] = {};
  int whole_count = 0;
  sync_state() = default;
  sync_state(const sync_state&) = delete;
  sync_state& operator=(const sync_state&) = delete;
  // The caller reads errno after the syncs.
  ~sync_state() {
    const int err = errno;
    if (dir_fd >= 0) close(dir_fd);
    errno = err;
  }
};

// Whether the name `file` still holds the file `identity`, as its directory,
// opened and made the directory in hand, says.  Async-signal-safe.
bool name_holds(const char* file, const file_identity& identity, sync_state* s) {
  char dir[DIR_MAX];
  if (!directory_of(file, dir, sizeof dir)) return false;
  if (s->dir_fd < 0 || strcmp(dir, s->dir) != 0) {
    if (s->dir_fd >= 0) close(s->dir_fd);
    s->dir_fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    strcpy(s->dir, dir);
    s->dir_synced = false;
  }
  const char* slash = strrchr(file, '/');
  struct stat st;
  return s->dir_fd >= 0 &&
         fstatat(s->dir_fd, slash == nullptr ? file : slash + 1, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         identity_of(st) == identity;
}

// Syncs the whole file system that holds the file `identity`, once for a
// batch: through `fd` when it is open on that file, else through the batch's
// descriptor on that file system or the directory in hand when it is on it.
// False, with errno, when it fails or no descriptor reaches that file system
// (ENOENT: the file is gone from where the run can see it).
// Async-signal-safe.
bool sync_whole(const file_identity& identity, int fd, sync_state* s) {
  for (int i = 0; i < s->whole_count; ++i)
    if (s->whole[i] == identity.dev) return true;
  const int k = device_index(identity.dev);
  struct stat st;
  if (fd < 0 && k >= 0) fd = device_fds[k];
  if (fd < 0 && s->dir_fd >= 0 && fstat(s->dir_fd, &st) == 0 && st.st_dev == identity.dev)
    fd = s->dir_fd;
  if (fd < 0) {
    errno = ENOENT;
    return false;
  }
  if (syncfs(fd) < 0) return false;
  if (s->whole_count < DEVICES_MAX) s->whole[s->whole_count++] = identity.dev;
  return true;
}

// Puts the new file `file`, the file `identity`, on the disk with its data
// and its name; `held` is that file, open since its rewrite, or -1, when it
// is opened by name and looked at.  Where the name no longer holds it, the
// file is somewhere the run cannot name (renamed, or a directory above it
// renamed, by another program) or replaced: the sync of its whole file system
// holds it wherever it is, before its copy, the old content, may go.  False,
// with errno, when the disk refused it.  Async-signal-safe.
bool sync_own_file(const char* file, const file_identity& identity, int held, sync_state* s) {
  int fd = held;
  bool own = held >= 0;
  if (!own) {
    fd = open_for_sync(file);
    struct stat st;
    own = fd >= 0 && fstat(fd, &st) == 0 && identity_of(st) == identity;
  }
  bool ok = !own || fdatasync(fd) == 0;
  if (ok && own && name_holds(file, identity, s)) {
    if (!s->dir_synced) ok = fsync(s->dir_fd) == 0 || errno == EINVAL;
    s->dir_synced = ok;
  } else if (ok) {
    ok = sync_whole(identity, own ? fd : -1, s);
  }
  const int err = errno;
  if (fd >= 0 && fd != held) close(fd);
  errno = err;
  return ok;
}

// Syncs the batch: `synced_at[i]` is 0 when copy i may go, else the error
// that keeps it.  With `cheapest`, one sync of each file system serves the
// batch where that waits for little else.  Async-signal-safe without it.
void sync_batch(int count, bool cheapest, int* synced_at) {
  long long own = 0;
  for (int i = 0; i < count; ++i) own += batch[i].bytes;
  if (cheapest && count > SMALL_BATCH && device_count > 0 && little_else_dirty(dirty_bytes(), own)) {
    const int err = sync_devices() ? 0 : errno;
    for (int i = 0; i < count; ++i) synced_at[i] = err;
    return;
  }
  sync_state state;
  for (int i = 0; i < count; ++i) {
    const waiting_copy& w = batch[i];
    errno = 0;
    const bool synced = sync_own_file(names + w.file_at, w.new_file, w.held, &state);
    synced_at[i] = synced ? 0 : errno != 0 ? errno : EIO;
  }
}

}  // namespace

bool make_room_to_settle(const char* copy, const char* target, dev_t dev) {
  const size_t need = strlen(copy) + strlen(target) + 2;
  const bool known = device_index(dev) >= 0;
  // A batch that holds as many new files open as it may is settled early,
  // so that the run never runs out of descriptors.
  const bool hold = held_limit() > 0;
  if (pending > 0 && (pending == PENDING_MAX || names_used + need > NAMES_BYTES ||
                      (!known && device_count == DEVICES_MAX) || (hold && held_count >= held_max)))
    settle_copies();
  else
    settle_if_due();
  if (need > NAMES_BYTES) return false;
  if (device_index(dev) < 0) {
    if (device_count == DEVICES_MAX) forget_devices();
    const int fd = open_on_device(target);
    if (fd < 0) return false;
    devices[device_count] = dev;
    device_fds[device_count] = fd;
    device_count = device_count + 1;
  }
  // The new file, open from now until its sync; settle_later keeps it when
  // it is still the file the rewrite made.  Its record locks are gone with
  // the rewrite, so closing it later releases nothing.  Without it, the sync
  // opens the file by name and looks at what it finds.
  if (staged >= 0) close(staged);
  staged = hold ? open_for_sync(target) : -1;
  return true;
}

long hold_new_files(long spare) {
  held_max = static_cast<int>(spare < 0 ? 0 : spare > PENDING_MAX ? PENDING_MAX : spare);
  return held_max;
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
  w.held = -1;
  if (staged >= 0) {
    struct stat st;
    if (fstat(staged, &st) == 0 && identity_of(st) == new_file) {
      w.held = staged;
      ++held_count;
    } else {
      close(staged);
    }
    staged = -1;
  }
  pending = pending + 1;
}

bool sync_file_now(const char* file, const file_identity& identity) {
  sync_state state;
  if (sync_own_file(file, identity, -1, &state)) return true;
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
  release_held(count);
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
  release_held(count);
}

}  // namespace zamplet
