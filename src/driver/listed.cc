// The listed-files mode: every FILE operand rewritten in place, in order.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/driver.h"
#include "support/support.h"

namespace zamplet {

namespace {

// True when `name` exists in any form, even one that cannot be opened or a
// symbolic link that leads nowhere: an intermediate copy marks the file as
// busy.  Never blocks, even on a FIFO.
bool intermediate_exists(const char* name) {
  struct stat st;
  return lstat(name, &st) == 0;
}

// Checks what the rename-based rewrite cannot do safely and fills `st` (the
// file as followed) and `link` (the name itself).  Returns false, after a
// note, when `file` must be left alone; sets `failed` when that is because
// it could not be looked at.  A FILE that cannot be looked at
// goes on when it is missing, so that the move aside reports it.
bool rewritable(const char* file, const char* temp_name, struct stat* st, struct stat* link,
                bool* failed) {
  if (stat(file, st) < 0 || lstat(file, link) < 0) {
    if (errno == ENOENT) return true;
    note_failed(file, "stat", errno);
    *failed = true;
    return false;
  }
  if (S_ISDIR(st->st_mode)) {
    note("%s\tis directory", file);
    return false;
  }
  // A device node would be replaced by a plain file, and a FIFO would block.
  if (!S_ISREG(st->st_mode)) {
    note("%s\tis not a regular file", file);
    return false;
  }
  if (is_run_output(*st)) {
    note("%s\tfile didn't change! It is this run's output", file);
    return false;
  }
  // The engine would read and truncate one and the same file.
  struct stat temp;
  if (temp_name != nullptr && stat(temp_name, &temp) == 0 && temp.st_dev == st->st_dev &&
      temp.st_ino == st->st_ino) {
    note("%s\tfile didn't change! It is the same file as the -t name %s", file, temp_name);
    return false;
  }
  return true;
}

}  // namespace

int rewrite_listed(const rewrite_job& job, char* const* files, int count,
                   const char* temp_name) {
  int status = 0;
  // With -t and -l the copy left for one FILE may give way to the next one's,
  // so that the name holds the old content of the last FILE at the end.
  file_identity kept;
  bool have_kept = false;
  char name[NAME_BUFFER_BYTES];
  // The next files are looked at on the workers while this one is in hand;
  // the new files waiting for a sync leave the workers their descriptors.
  look_ahead ahead(job);
  if (ahead.room() > 0)
    (void)hold_new_files(sysconf(_SC_OPEN_MAX) - RUN_DESCRIPTORS - ahead.descriptors());
  int offered = 0;
  for (int i = 0; i < count; ++i) {
    const char* file = files[i];
    for (; offered < count && static_cast<size_t>(offered - i) < ahead.room(); ++offered)
      ahead.offer(files[offered], file_identity{}, true);
    const look_hint hint = ahead.room() > 0 ? ahead.take() : look_hint();
    settle_if_due();
    const int len = snprintf(name, sizeof name, "%s.lock", file);
    const bool fits = len >= 0 && len < static_cast<int>(sizeof name);
    // Without -t FILE.lock is where the file goes; with -t it still marks
    // the file as busy, but a name too long for it cannot have one.
    if (!fits && temp_name == nullptr) {
      note_name_too_long(file);
      continue;
    }
    // A copy that this run left for an earlier operand and that waits for a
    // sync, under whatever spelling, is settled first, as if it had been
    // deleted at once.
    if (fits && names_waiting_copy(name)) settle_copies();
    if (fits && intermediate_exists(name)) {
      note_busy(file, name);
      continue;
    }
    // Intermediate copies are never rewritten themselves.
    if (temp_name == nullptr && has_lock_suffix(file)) continue;
    struct stat st {};
    struct stat link {};
    bool unreadable = false;
    if (!rewritable(file, temp_name, &st, &link, &unreadable)) {
      if (unreadable) status = 1;
      continue;
    }
    // An existing -t name refuses the file before it is even looked at,
    // unless it is the copy this run kept there for the previous FILE.
    struct stat taken;
    if (temp_name != nullptr && lstat(temp_name, &taken) == 0 &&
        !(have_kept && identity_of(taken) == kept)) {
      note_busy(file, temp_name);
      continue;
    }
    const char* temp = temp_name != nullptr ? temp_name : name;
    const outcome result =
        rewrite_in_place(job, file, temp, identity_of(st), have_kept ? &kept : nullptr, &hint);
    if (result == outcome::failed || result == outcome::restored) status = 1;
    // The -t name is needed again for the next FILE.
    if (temp_name != nullptr) settle_copies();
    if (temp_name != nullptr && result != outcome::left_alone && result != outcome::unchanged &&
        result != outcome::passed_over) {
      have_kept = (result == outcome::rewritten || result == outcome::counted) &&
                  !job.delete_copy;
      kept = identity_of(link);
    }
  }
  settle_copies();
  return status != 0 || any_sync_failed() || report_failed() ? 1 : 0;
}

}  // namespace zamplet
