// The syncs of one batch of copies, and the deletion of the copies whose new
// content they put on disk.
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
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/batch.h"
#include "driver/driver.h"
#include "support/support.h"

namespace zamplet {

namespace {

// Data of other programs that a sync of the whole file system may wait for
// and still be the cheaper way.
constexpr long long OTHERS_DIRTY_MAX = 32LL << 20;
// A batch this small is synced file by file whatever else waits: a few syncs
// of single files cost little, and the run's calls do not depend on what
// other programs are doing.
constexpr int SMALL_BATCH = 8;
constexpr size_t DIR_MAX = 4096;  // a directory's name, with its zero

// True when `dirty`, the data waiting to be written as the kernel reports
// it, is little more than `own` bytes, so that a sync of the whole file
// system waits for little else.  False when the kernel cannot tell.
bool little_else_dirty(long long dirty, long long own) {
  return dirty >= 0 && dirty - own <= OTHERS_DIRTY_MAX;
}

// Syncs every file system of the batch; false, with errno, when one fails.
// Async-signal-safe.
bool sync_devices(const copy_batch& b) {
  bool synced = true;
  int err = 0;
  for (int i = 0; i < b.device_count; ++i) {
    if (syncfs(b.device_fds[i]) < 0) {
      synced = false;
      err = errno;
    }
  }
  errno = err;
  return synced;
}

// What the syncs of one batch have done so far: the directory in hand, whose
// names one sync of it makes durable (the batch's files come directory by
// directory, and every name was made before the sync), and the file systems
// synced whole, which hold everything of the batch that is on them.
struct sync_state {
  const copy_batch* batch = nullptr;  // whose file systems may be synced whole
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
  for (int i = 0; fd < 0 && s->batch != nullptr && i < s->batch->device_count; ++i)
    if (s->batch->devices[i] == identity.dev) fd = s->batch->device_fds[i];
  struct stat st;
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

// Syncs the new file of copy `i` into its `synced_at`, unless the whole
// file systems were.  Async-signal-safe.
void sync_copy(copy_batch* b, int i, sync_state* state) {
  if (b->synced_whole) return;
  const waiting_copy& w = b->copies[i];
  errno = 0;
  const bool synced = sync_own_file(b->names + w.file_at, w.new_file, w.held, state);
  b->synced_at[i] = synced ? 0 : errno != 0 ? errno : EIO;
}

// Deletes the copy `i` of `b` unless someone else has claimed it; the
// error of the deletion, or 0.  Async-signal-safe.
int delete_copy(copy_batch* b, int i) {
  int unclaimed = 0;
  waiting_copy& w = b->copies[i];
  if (!w.claim.compare_exchange_strong(unclaimed, 1)) return 0;
  const int err = unlink(b->names + w.copy_at) < 0 ? errno : 0;
  w.claim.store(2);
  return err;
}

// Copy `i` of `b`: its file synced, then, once that returned, the copy
// deleted.  Async-signal-safe.
void settle_copy(copy_batch* b, int i, sync_state* state) {
  sync_copy(b, i, state);
  b->unlink_err[i] = b->synced_at[i] == 0 ? delete_copy(b, i) : 0;
}

}  // namespace

bool sync_one_file(const char* file, const file_identity& identity, const copy_batch& with) {
  sync_state state;
  state.batch = &with;
  return sync_own_file(file, identity, -1, &state);
}

void prepare_batch(copy_batch* b) {
  const int count = b->count;
  long long own = 0;
  for (int i = 0; i < count; ++i) own += b->copies[i].bytes;
  b->synced_whole = count > SMALL_BATCH && b->device_count > 0 &&
                    little_else_dirty(dirty_bytes(), own);
  if (b->synced_whole) {
    const int err = sync_devices(*b) ? 0 : errno;
    for (int i = 0; i < count; ++i) b->synced_at[i] = err;
    return;
  }
  // The writes of every new file the batch holds are started together
  // first, so that the syncs of each file, below, find little left to wait
  // for.  Only those syncs count.
  for (int i = 0; i < count; ++i)
    if (b->copies[i].held >= 0) (void)sync_file_range(b->copies[i].held, 0, 0, SYNC_FILE_RANGE_WRITE);
}

bool settle_share(copy_batch* b) {
  sync_state state;
  state.batch = b;
  bool last = false;
  for (;;) {
    // The size is read after the copy is taken: a copy taken is one of the
    // batch as it was opened last, whose size was stored before.
    const int i = b->next.fetch_add(1);
    const int total = b->total.load();
    if (i >= total) break;
    settle_copy(b, i, &state);
    last = b->done.fetch_add(1) + 1 == total;
  }
  return last;
}

void release_batch(copy_batch* b) {
  for (int i = 0; i < b->count; ++i) {
    if (b->copies[i].held >= 0) close(b->copies[i].held);
    b->copies[i].held = -1;
  }
  b->held_count = 0;
}

void settle_batch(copy_batch* b, bool cheapest) {
  if (cheapest) prepare_batch(b);
  else b->synced_whole = false;
  sync_state state;
  state.batch = b;
  for (int i = 0; i < b->count; ++i) settle_copy(b, i, &state);
  release_batch(b);
}

void settle_beside(copy_batch* b) {
  const int count = b->count;
  sync_state state;
  state.batch = b;
  const struct timespec pause {0, 1000000};
  for (int i = 0; i < count; ++i) {
    waiting_copy& w = b->copies[i];
    if (w.claim.load() != 0) continue;
    if (sync_own_file(b->names + w.file_at, w.new_file, -1, &state)) (void)delete_copy(b, i);
  }
  for (int i = 0; i < count; ++i)
    while (b->copies[i].claim.load() == 1) nanosleep(&pause, nullptr);
}

}  // namespace zamplet
