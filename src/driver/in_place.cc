// The in-place protocol around one file: the original content exists under
// the file's own name or under its intermediate name at every moment.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/driver.h"
#include "engine/engine.h"
#include "support/support.h"

namespace zamplet {

namespace {

// Moves `from` to `to` unless `to` exists, in one step, so that two runs can
// never both take the same file.  Where the system cannot rename without
// replacing, a hard link (which fails on an existing name) does the same.
int move_aside_exclusive(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
  if (link(from, to) < 0) return -1;
  if (unlink(from) < 0) {
    const int err = errno;
    (void)unlink(to);
    errno = err;
    return -1;
  }
  return 0;
}

// Reports a failed rename of `path`; ends the run when `fatal`.
void rename_failed(const char* path, bool fatal) {
  if (fatal) fail_errno("rename error");
  const int err = errno;
  note("%s\trename error:%s", path, strerror(err));
}

// Moves `copy` back to `path`.  Only the engine's own file may be replaced:
// anything else under `path` was put there by another program and stays,
// and the user is told where the old content is.
void move_back(const char* path, const char* copy, const in_place_files& files,
               bool renames_fatal) {
  struct stat now;
  const bool own_target = files.target_created && lstat(path, &now) == 0 &&
                          identity_of(now) == files.target;
  if (own_target) {
    if (::rename(copy, path) < 0) rename_failed(path, renames_fatal);
    return;
  }
  if (move_aside_exclusive(copy, path) == 0) return;
  if (errno != EEXIST) {
    rename_failed(path, renames_fatal);
    return;
  }
  note("%s\tfile didn't change! Its old content is in %s", path, copy);
}

// True when `name` is the file `expected`, not following a symbolic link.
bool names_file(const char* name, const file_identity& expected) {
  struct stat st;
  return lstat(name, &st) == 0 && identity_of(st) == expected;
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

bool has_lock_suffix(const char* name) {
  const size_t len = strlen(name);
  return len > 4 && strcmp(name + len - 5, ".lock") == 0;
}

in_place_result rewrite_in_place(const char* path, const char* temp, const file_identity& checked,
                                 const file_identity* replaceable, bool renames_fatal) {
  // An interrupt that waited since the last file ends the run here, while
  // nothing is in flight.  From the move aside until the pair is recorded,
  // and from the engine's return until the pair is cleared, interrupts wait:
  // the handler always finds either nothing to restore or the right pair.
  allow_interrupt();
  block_interrupt();
  int moved = move_aside_exclusive(path, temp);
  // The copy this run itself left under a -t name for an earlier file gives
  // way to the next one; any other file under that name is never replaced.
  if (moved < 0 && errno == EEXIST && replaceable != nullptr && names_file(temp, *replaceable))
    moved = ::rename(path, temp);
  if (moved < 0) {
    if (errno == EEXIST) {
      note("%s\tfile didn't change! %s exists. Try later!", path, temp);
      return in_place_result::left_alone;
    }
    rename_failed(path, renames_fatal);
    return in_place_result::failed;
  }
  recovery_source = temp;
  recovery_target = path;
  allow_interrupt();

  if (!opt_quiet) write_text(STDOUT_FILENO, path);
  in_place_files files;
  files.source = checked;
  const int failed = opt_literal ? rewrite_literal(temp, path, old_literal, new_pattern, &files)
                                 : rewrite_regex(temp, path, compiled_regex, new_pattern, &files);

  // Interrupts stay blocked until the next file begins: once the file is
  // settled, a late interrupt must not make a finished run look stopped.
  block_interrupt();
  if (failed) {
    move_back(path, temp, files, renames_fatal);
  } else if (opt_unlink_lock && unlink(temp) < 0) {
    // The file is rewritten; the copy of its old content left behind would
    // make every later run call it busy, so the user must hear of it.
    const int err = errno;
    note("%s\tunlink error:%s", temp, strerror(err));
  }
  recovery_source = nullptr;
  recovery_target = nullptr;
  if (!opt_quiet) write_text(STDOUT_FILENO, "\n");
  return failed ? in_place_result::failed : in_place_result::rewritten;
}

}  // namespace zamplet
