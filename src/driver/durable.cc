// Copies that wait for the disk: the copy of a rewritten file's old content
// is deleted only once the new content has reached the disk, so that after a
// power cut at any moment every file is whole under one of its names.  One
// sync of the file system serves many files: their copies wait in a batch,
// which a sync and the deletions settle, at the latest when the run ends,
// stops, or fails.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "driver/driver.h"
#include "support/support.h"

namespace zamplet {

namespace {

constexpr int PENDING_MAX = 256;          // copies in one batch
constexpr size_t NAMES_BYTES = 256 * 1024;  // their names, each with its zero
constexpr int DEVICES_MAX = 4;            // file systems in one batch
constexpr long BATCH_SECONDS = 1;         // how long a copy may wait for the others

// The batch.  The stop handler reads it, so it changes only while the stop
// signals are blocked, apart from the device table, which only grows.
char names[NAMES_BYTES];
size_t names_used = 0;
size_t name_at[PENDING_MAX];
file_identity identity_at[PENDING_MAX];
volatile sig_atomic_t pending = 0;
dev_t devices[DEVICES_MAX];
int device_fds[DEVICES_MAX];
volatile sig_atomic_t device_count = 0;
time_t batch_started = 0;

time_t now_seconds() {
  struct timespec t {};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec;
}

// Opens, on the file system of `target`, the directory that holds it, for
// the syncs; -1 when that fails.
int open_on_device(const char* target) {
  const char* slash = strrchr(target, '/');
  const std::string dir =
      slash == nullptr
          ? "."
          : std::string(target, slash == target ? 1 : static_cast<size_t>(slash - target));
  return open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

}  // namespace

bool make_room_to_settle(const char* copy, const char* target, dev_t dev) {
  const size_t need = strlen(copy) + 1;
  const bool known = device_index(dev) >= 0;
  if (pending > 0 && (pending == PENDING_MAX || names_used + need > NAMES_BYTES ||
                      (!known && device_count == DEVICES_MAX) ||
                      now_seconds() - batch_started >= BATCH_SECONDS))
    settle_copies();
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

void settle_later(const char* copy, const file_identity& identity) {
  const size_t len = strlen(copy) + 1;
  if (pending == 0) batch_started = now_seconds();
  memcpy(names + names_used, copy, len);
  name_at[pending] = names_used;
  identity_at[pending] = identity;
  names_used += len;
  pending = pending + 1;
}

void settle_copies() {
  if (pending == 0) return;
  const bool synced = sync_devices();
  const int sync_err = errno;
  int failed_at[PENDING_MAX];
  int failed_err[PENDING_MAX];
  int failures = 0;
  block_stop_signals();
  const int count = pending;
  for (int i = 0; i < count && synced; ++i) {
    if (unlink(names + name_at[i]) < 0) {
      failed_at[failures] = i;
      failed_err[failures++] = errno;
    }
  }
  pending = 0;
  allow_stop_signals();
  // The names stay readable until the next copy joins a batch.
  if (!synced) {
    // The new contents may not be on disk: each copy stays, the only sure
    // old content, and the user hears which.
    for (int i = 0; i < count; ++i) note_failed(names + name_at[i], "sync", sync_err);
  }
  for (int k = 0; k < failures; ++k)
    note_failed(names + name_at[failed_at[k]], "unlink", failed_err[k]);
  names_used = 0;
}

bool is_waiting_copy(const char* name) {
  for (int i = 0; i < pending; ++i)
    if (strcmp(names + name_at[i], name) == 0) return true;
  return false;
}

bool is_waiting_copy(const file_identity& identity) {
  for (int i = 0; i < pending; ++i)
    if (identity_at[i] == identity) return true;
  return false;
}

void settle_copies_now() {
  if (pending == 0 || !sync_devices()) return;
  for (int i = 0; i < pending; ++i) (void)unlink(names + name_at[i]);
  pending = 0;
}

}  // namespace zamplet
