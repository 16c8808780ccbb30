// The in-place protocol around one file: the original content exists under
// the file's own name or under its intermediate name at every moment.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
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

}  // namespace

bool has_lock_suffix(const char* name) {
  const size_t len = strlen(name);
  return len > 4 && strcmp(name + len - 5, ".lock") == 0;
}

int rewrite_in_place(const char* path, const char* temp, bool exclusive, bool renames_fatal) {
  // An interrupt that waited since the last file ends the run here, while
  // nothing is in flight.  From the move aside until the pair is recorded,
  // and from the engine's return until the pair is cleared, interrupts wait:
  // the handler always finds either nothing to restore or the right pair.
  allow_interrupt();
  block_interrupt();
  const int moved = exclusive ? move_aside_exclusive(path, temp) : ::rename(path, temp);
  if (moved < 0) {
    if (exclusive && errno == EEXIST) {
      note("%s\tfile didn't change! %s exists. Try later!", path, temp);
      return 1;
    }
    rename_failed(path, renames_fatal);
    return 1;
  }
  recovery_source = temp;
  recovery_target = path;
  allow_interrupt();

  if (!opt_quiet) write_text(STDOUT_FILENO, path);
  const int failed = opt_literal ? rewrite_literal(temp, path, old_literal, new_pattern)
                                 : rewrite_regex(temp, path, compiled_regex, new_pattern);

  // Interrupts stay blocked until the next file begins: once the file is
  // settled, a late interrupt must not make a finished run look stopped.
  block_interrupt();
  if (failed) {
    if (::rename(temp, path) < 0) rename_failed(path, renames_fatal);
  } else if (opt_unlink_lock && unlink(temp) < 0) {
    // The file is rewritten; the copy of its old content left behind would
    // make every later run call it busy, so the user must hear of it.
    const int err = errno;
    note("%s\tunlink error:%s", temp, strerror(err));
  }
  recovery_source = nullptr;
  recovery_target = nullptr;
  if (!opt_quiet) write_text(STDOUT_FILENO, "\n");
  return failed ? 1 : 0;
}

}  // namespace zamplet
