// The in-place protocol around one file: the original content exists under
// the file's own name or under its intermediate name at every moment.
#include <cerrno>
#include <cinttypes>
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

// One file's side of the conversation with the engine, and its report line:
// the name, the count, the line end and the cut note.
class in_place_file final : public in_place_conversation {
 public:
  in_place_file(const rewrite_job& job, const char* path, const char* temp,
                const file_identity& checked, const file_identity* replaceable)
      : in_place_conversation(path, temp, checked),
        job_(job),
        replaceable_(replaceable),
        shows_line_(!opt_quiet && !job.diff) {}

  // Moves the file aside once the engine found an occurrence.  The move and
  // the recovery pair that records it are one step for the stop handler: it
  // finds either nothing to restore or the right pair.
  outcome move_aside() override {
    // A simulation refuses what the move would refuse, and moves nothing.
    if (job_.simulate) {
      struct stat there;
      if (lstat(copy, &there) < 0) return outcome::moved;
      if (replaceable_ != nullptr && identity_of(there) == *replaceable_) return outcome::moved;
      note_busy(file, copy);
      return outcome::left_alone;
    }
    const int moved = begin_file(file, copy, replaceable_);
    const int err = errno;
    if (moved == 0) return outcome::moved;
    // Gone from its name with its copy's name taken: another run moved it
    // aside after this one looked, and works on it now.
    if (err == EEXIST || (err == ENOENT && copy_name_taken())) {
      note_busy(file, copy);
      return outcome::left_alone;
    }
    // FILE.lock does not fit the file system's names, whatever this run
    // does: the file is left alone on purpose.  (A -t name too long for it
    // is the command line's fault, and fails every file.)
    if (err == ENAMETOOLONG && copy_is_lock_name()) {
      note_name_too_long(file);
      return outcome::left_alone;
    }
    errno = err;
    rename_failed(file);
    return outcome::failed;
  }
  void name_taken() override { new_file_named(*this); }
  void line_begins() override {
    if (shows_line_ && !named_) write_report(file);
    named_ = true;
  }
  bool counted(int64_t count, long cuts, bool final) override {
    cuts_ = cuts;
    char text[32];
    size_t len = 0;
    if (shows_line_) len = static_cast<size_t>(snprintf(text, sizeof text, " %" PRId64, count));
    bool ok = true;
    if (final)
      ok = file_counted(text, len);
    else if (len > 0)
      write_report(text);
    fflush(stdout);
    return ok;
  }
  // Ends the file's line; then the note of what chunk boundaries cut.
  void end_line() const {
    if (named_ && shows_line_) write_report("\n");
  }
  void cut_note() const { report_cuts(job_, file, cuts_); }

 private:
  // True when something stands under the copy's name that is not the copy
  // this run kept there for an earlier file.
  bool copy_name_taken() const {
    struct stat there;
    return lstat(copy, &there) == 0 &&
           (replaceable_ == nullptr || !(identity_of(there) == *replaceable_));
  }
  // True when the copy's name is the file's own followed by ".lock".
  bool copy_is_lock_name() const {
    const size_t len = strlen(file);
    return strncmp(copy, file, len) == 0 && strcmp(copy + len, ".lock") == 0;
  }

  const rewrite_job& job_;
  const file_identity* replaceable_;
  bool shows_line_;     // a diff stands in for the names and counts
  bool named_ = false;  // the line has begun
  long cuts_ = 0;
};

// Says that `files.file` did not change and that its old content is under
// the copy's name.
void note_old_content_aside(const in_place_conversation& files) {
  note("%s\tfile didn't change! Its old content is in %s", files.file, files.copy);
}

// Moves the copy back after a failed rewrite; the messages come after the
// step, never with the stop signals blocked.  restored, or failed.  Where the
// copy stays, the user hears under which name, as long as that name still
// leads to the old content: a copy that another program removed or replaced
// meanwhile is not promised.
outcome move_back(const in_place_conversation& files) {
  if (put_file_back(files) == 0) return outcome::restored;
  if (errno == EEXIST) {
    note_old_content_aside(files);
    return outcome::failed;
  }
  rename_failed(files.file);
  struct stat copy;
  if (stat(files.copy, &copy) == 0 && identity_of(copy) == files.source)
    note_old_content_aside(files);
  return outcome::failed;
}

// Ends a rewritten file: its copy goes, once the new content is on disk.
outcome settle_rewritten(const rewrite_job& job, in_place_file& files) {
  // The copy, the only sure old content until the new one is on disk, joins
  // the batch that waits for a sync; the hand-over from the file in hand to
  // the batch is one step for the stop handler.  A copy kept with -l needs no
  // sync: the old content stays under its name whatever the disk holds.
  const bool can_wait =
      job.delete_copy && make_room_to_settle(files.copy, files.file, files.target.dev);
  if (job.delete_copy && !can_wait && !sync_file_now(files.file, files.target)) {
    // The new content may not be on disk: the copy stays.
    note_failed(files.copy, "sync", errno);
    end_file(files, false, false);
    files.cut_note();
    return outcome::failed;
  }
  const int unlinked = end_file(files, job.delete_copy, can_wait);
  const int unlink_err = errno;
  if (unlinked < 0) {
    // The file is rewritten; the copy of its old content left behind would
    // make every later run call it busy, so the user must hear of it.
    note_failed(files.copy, "unlink", unlink_err);
  }
  files.cut_note();
  return outcome::rewritten;
}

}  // namespace

outcome rewrite_in_place(const rewrite_job& job, const char* path, const char* temp,
                         const file_identity& checked, const file_identity* replaceable,
                         const look_hint* hint) {
  in_place_file files(job, path, temp, checked, replaceable);
  // What the file's own look would say, as it would say it: nothing for a
  // binary file with -I; the line and the count 0 for one left unchanged.
  if (hint != nullptr && hint_holds(*hint, path, checked)) {
    if (hint->found == look_hint::binary) return outcome::passed_over;
    files.line_begins();
    files.counted(0, hint->cuts, false);
    files.end_line();
    files.cut_note();
    return outcome::unchanged;
  }
  const outcome result = rewrite_file(job, &files);
  switch (result) {
    case outcome::unchanged:
    case outcome::counted:
      files.end_line();
      files.cut_note();
      return result;
    case outcome::left_alone:
    case outcome::passed_over:
      return result;
    case outcome::failed:
      files.end_line();
      return result;
    case outcome::rewritten:
      // The count is out, so the rewrite is final: a stop signal from here
      // on keeps the new content.
      files.end_line();
      return settle_rewritten(job, files);
    default: {
      const outcome back = move_back(files);
      files.end_line();
      return back;
    }
  }
}

}  // namespace zamplet
