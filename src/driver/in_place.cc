// The in-place protocol around one file: the original content exists under
// the file's own name or under its intermediate name at every moment.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/driver.h"
#include "engine/engine.h"
#include "support/support.h"

namespace zamplet {

namespace {

// Reports a failed rename of `path`: one file's failure, the run goes on.
void rename_failed(const char* path) { note_failed(path, "rename", errno); }

// Moves the copy back after a failed rewrite; the messages come after the
// step, never with the stop signals blocked.
void move_back(const in_place_files& files) {
  if (put_file_back(files) == 0) return;
  if (errno == EEXIST) {
    note("%s\tfile didn't change! Its old content is in %s", files.file, files.copy);
    return;
  }
  rename_failed(files.file);
}

file_identity run_outputs[2];
bool run_output_known[2] = {false, false};

}  // namespace

void open_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened != fd) {
      // Not /dev/null on `fd` (it failed, or a lower descriptor took it):
      // nothing has been touched yet.
      const int err = errno;
      if (opened >= 0) close(opened);
      errno = err;
      fail_errno("/dev/null\topen error");
    }
  }
}

void record_run_output() {
  // Whatever ends the run, a fatal message included, settles the copies.
  atexit(settle_at_exit);
  for (int i = 0; i < 2; ++i) {
    struct stat st;
    run_output_known[i] = fstat(i + 1, &st) == 0;
    if (run_output_known[i]) run_outputs[i] = identity_of(st);
  }
}

bool is_run_output(const struct stat& st) {
  const file_identity id = identity_of(st);
  return (run_output_known[0] && run_outputs[0] == id) ||
         (run_output_known[1] && run_outputs[1] == id);
}

void note_busy(const char* file, const char* copy) {
  note("%s\tfile didn't change! %s exists. Try later!", file, copy);
}

void note_name_too_long(const char* name) {
  static const char reason[] = "\tfile didn't change! Its name is too long";
  const int room = MESSAGE_MAX - 1 - static_cast<int>(sizeof reason - 1);
  note("%.*s%s", room, name, reason);
}

bool has_lock_suffix(const char* name) {
  const size_t len = strlen(name);
  return len > 4 && strcmp(name + len - 5, ".lock") == 0;
}

namespace {

// What the move aside needs besides the names.
struct move_context {
  const file_identity* replaceable;
};

// Moves the file aside once the engine found an occurrence.  The move and
// the recovery pair that records it are one step for the stop handler: it
// finds either nothing to restore or the right pair.
in_place_files::move_result move_aside(in_place_files* files) {
  const auto* context = static_cast<const move_context*>(files->context);
  // A simulation refuses what the move would refuse, and moves nothing.
  if (opt_simulate) {
    struct stat there;
    if (lstat(files->copy, &there) < 0)
      return in_place_files::WOULD_MOVE;
    if (context->replaceable != nullptr && identity_of(there) == *context->replaceable)
      return in_place_files::WOULD_MOVE;
    note_busy(files->file, files->copy);
    return in_place_files::LEFT_ALONE;
  }
  const int moved = begin_file(files->file, files->copy, context->replaceable);
  const int err = errno;
  if (moved == 0) return in_place_files::MOVED;
  errno = err;
  if (err == EEXIST) {
    note_busy(files->file, files->copy);
    return in_place_files::LEFT_ALONE;
  }
  rename_failed(files->file);
  return in_place_files::MOVE_FAILED;
}

}  // namespace

in_place_result rewrite_in_place(const char* path, const char* temp, const file_identity& checked,
                                 const file_identity* replaceable) {
  const move_context context{replaceable};
  in_place_files files;
  files.source = checked;
  files.file = path;
  files.copy = temp;
  files.move_aside = move_aside;
  files.name_taken = new_file_named;
  files.counted = file_counted;
  files.context = &context;
  long cuts = 0;
  const int result = rewrite_with_pattern(temp, path, &files, &cuts);
  const bool line = files.name_printed && !opt_quiet && !opt_diff;
  switch (result) {
    case ENGINE_UNCHANGED:
      if (line) write_report("\n");
      report_cuts(path, cuts);
      return in_place_result::unchanged;
    case ENGINE_NOT_MOVED:
      return in_place_result::left_alone;
    case ENGINE_PASSED_OVER:
      return in_place_result::unchanged;
    case ENGINE_FAILED_HERE:
      if (line) write_report("\n");
      return in_place_result::failed;
    case ENGINE_SIMULATED:
      if (line) write_report("\n");
      report_cuts(path, cuts);
      return in_place_result::rewritten;
    case ENGINE_DONE:
      break;
    default:
      move_back(files);
      if (line) write_report("\n");
      return in_place_result::failed;
  }
  // The count is out, so the rewrite is final: a stop signal from here on
  // keeps the new content.
  if (line) write_report("\n");
  // The copy, the only sure old content until the new one is on disk, joins
  // the batch that waits for a sync; the hand-over from the file in hand to
  // the batch is one step for the stop handler.  A copy kept with -l needs no
  // sync: the old content stays under its name whatever the disk holds.
  const bool can_wait = opt_unlink_lock && make_room_to_settle(temp, path, files.target.dev);
  if (opt_unlink_lock && !can_wait && !sync_file_now(path, files.target)) {
    // The new content may not be on disk: the copy stays.
    note_failed(temp, "sync", errno);
    end_file(files, false, false);
    report_cuts(path, cuts);
    return in_place_result::failed;
  }
  const int unlinked = end_file(files, opt_unlink_lock != 0, can_wait);
  const int unlink_err = errno;
  if (unlinked < 0) {
    // The file is rewritten; the copy of its old content left behind would
    // make every later run call it busy, so the user must hear of it.
    note_failed(temp, "unlink", unlink_err);
  }
  report_cuts(path, cuts);
  return in_place_result::rewritten;
}

}  // namespace zamplet
