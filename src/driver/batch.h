// One batch of copies that wait for the disk, shared by durable.cc, which
// fills the batches and hands them to the settling threads, and
// batch_sync.cc, which syncs a batch's new files and deletes its copies.
#pragma once

#include <atomic>

#include <sys/types.h>

#include "engine/engine.h"

namespace zamplet {

constexpr int PENDING_MAX = 256;              // copies in one batch
constexpr size_t NAMES_BYTES = 512 * 1024;    // their names and their files' names
constexpr int DEVICES_MAX = 4;                // file systems in one batch

struct waiting_copy {
  size_t copy_at;          // offset of the copy's name in `names`
  size_t file_at;          // offset of the new file's name
  file_identity old_file;  // the copy, as followed from its name
  file_identity new_file;  // the new file under the file's name
  off_t bytes;             // the new file's length
  int held;                // the new file, open since its rewrite, or -1
  // Who deletes the copy: 0 while none has claimed it, then 1 while its
  // deletion runs and 2 once it returned; the settling threads and the stop
  // handler may both settle one batch, and a copy's name is deleted once.
  std::atomic<int> claim;
};

// A batch and, once settled, what became of each copy: `synced_at[i]` is 0
// when the new file is on disk and its copy was deleted, else the error of
// its sync (the copy stays); `unlink_err[i]` the error of that deletion, or
// 0.  The file systems are the run's, as they were when the batch was
// handed over; their descriptors stay open until it is settled.
struct copy_batch {
  char names[NAMES_BYTES];
  size_t names_used = 0;
  waiting_copy copies[PENDING_MAX];
  volatile int count = 0;
  int held_count = 0;
  dev_t devices[DEVICES_MAX];
  int device_fds[DEVICES_MAX];
  int device_count = 0;
  int synced_at[PENDING_MAX];
  int unlink_err[PENDING_MAX];
  // Shared by the settling threads: the next copy to take (PENDING_MAX or
  // more while the batch is not open to them), how many are settled, how
  // many it has (`count` as it was handed over: the run empties `count`
  // once the batch has landed, while a late thread may still look), and
  // whether one sync of each file system served the whole batch.
  std::atomic<int> next{PENDING_MAX};
  std::atomic<int> done{0};
  std::atomic<int> total{0};
  bool synced_whole = false;
};

// Puts the new file `file`, the file `identity`, on the disk with its data
// and its name, opened by its name (see batch_sync.cc); where the name no
// longer holds it, one of the file systems of `with` is synced whole.
// False, with errno, when the disk refused it.  Async-signal-safe.
bool sync_one_file(const char* file, const file_identity& identity, const copy_batch& with);
// Syncs the batch's new files, then deletes each copy whose own file's sync
// returned, and closes the new files it held.  With `cheapest`, one sync of
// each file system serves the batch where that waits for little else.
// Async-signal-safe without it.  Nothing is said: the caller reads the
// results.
void settle_batch(copy_batch* batch, bool cheapest);
// The same, shared by several threads: prepare_batch() once (the sync of
// the whole file systems where it is the cheapest, else the start of every
// new file's writes), then settle_share() by each thread, taking one copy
// after the other, its file synced and then the copy deleted; true for the
// thread that settled the last one, which then calls release_batch().
void prepare_batch(copy_batch* batch);
bool settle_share(copy_batch* batch);
void release_batch(copy_batch* batch);
// The stop handler's settling of a batch that the settling threads are
// settling too: each new file synced anew, opened by its name (the threads
// close the ones they hold), and each copy not yet claimed deleted once its
// file's sync returned; a copy that a thread is deleting is waited for.
// Async-signal-safe.
void settle_beside(copy_batch* batch);

}  // namespace zamplet
