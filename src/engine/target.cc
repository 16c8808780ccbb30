// The target of an in-place rewrite: created unnamed, locked, given the
// source's owner, extended attributes and mode, and only then given the
// file's name; and the record locks on both files.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

#include "engine/engine.h"
#include "engine/steps.h"
#include "support/support.h"

namespace zamplet::steps {

// Takes (F_RDLCK) or releases (F_UNLCK) the record lock over the whole
// source, without waiting for another process.  Reports a failure.
bool set_source_lock(frame_state* st, const char* source, short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // to the end of the file, however long it grows
  if (fcntl(st->source_fd, SET_LOCK, &lock) < 0) {
    report(source, "fcntl");
    return false;
  }
  return true;
}

// Takes (F_WRLCK) the record lock over the whole target, so that a run that
// takes the half-written file as its source fails its read lock instead.
bool lock_target(frame_state* st, const char* target) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(st->target_fd, SET_LOCK, &lock) < 0) {
    report(target, "fcntl");
    return false;
  }
  return true;
}

// Checks that the opened source is the regular file that the caller checked
// before its move aside, and lets it block again.  Reports and returns false
// otherwise.
bool source_is_checked_file(frame_state* st, const char* source, const char* target,
                            const struct stat& attrs, const in_place_conversation& files) {
  const file_identity found{attrs.st_dev, attrs.st_ino};
  if (!S_ISREG(attrs.st_mode) || !(found == files.source)) {
    note("%s\tfile didn't change! %s is no longer the same file", target, source);
    return false;
  }
  const int flags = fcntl(st->source_fd, F_GETFL);
  if (flags < 0 || fcntl(st->source_fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    report(source, "fcntl");
    return false;
  }
  return true;
}

// Opens an unnamed file in the directory of `target`, or returns -1 with
// errno set.
int open_unnamed(const char* target) {
  char dir[PATH_MAX];
  const char* slash = strrchr(target, '/');
  if (slash == nullptr) return open(".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  const size_t len = slash == target ? 1 : static_cast<size_t>(slash - target);
  if (len >= sizeof dir) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(dir, target, len);
  dir[len] = '\0';
  return open(dir, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
}

// True when an unnamed file cannot be made or named on this system, as
// opposed to a failure that creating the file by name would meet too.
bool unnamed_unsupported(int err) {
  return err == EOPNOTSUPP || err == EISDIR || err == EINVAL || err == ENOSYS;
}

// Gives the unnamed file `fd` the name `target`, unless the name exists.
int link_unnamed(int fd, const char* target) {
  char self[64];
  snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  return linkat(AT_FDCWD, self, AT_FDCWD, target, AT_SYMLINK_FOLLOW);
}

constexpr char ACCESS_ACL[] = "system.posix_acl_access";

// Reads the list of the source's extended attribute names into `names`;
// false with errno set when that fails.  A file system without extended
// attributes has none.
bool list_attributes(int fd, std::vector<char>* names) {
  for (;;) {
    const ssize_t size = flistxattr(fd, nullptr, 0);
    if (size < 0) {
      if (errno != ENOTSUP) return false;
      names->clear();
      return true;
    }
    names->resize(static_cast<size_t>(size));
    const ssize_t got = size == 0 ? 0 : flistxattr(fd, names->data(), names->size());
    if (got >= 0) {
      names->resize(static_cast<size_t>(got));
      return true;
    }
    if (errno != ERANGE) return false;  // the list grew meanwhile: ask again
  }
}

// Carries the source's extended attributes over to the target: its ACL and
// user attributes, or the rewrite fails; security.* and trusted.* ones where
// the system lets this process set them.  The target also loses an ACL it
// inherited from its directory that the source did not have, so that the
// final mode gives back exactly the old permissions.  Reports and returns
// false on failure.
bool copy_attributes(frame_state* st, const char* target) {
  std::vector<char> names;
  std::vector<char> value;
  bool had_acl = false;
  if (!list_attributes(st->source_fd, &names)) {
    report(target, "xattr");
    return false;
  }
  for (size_t at = 0; at < names.size(); at += strlen(names.data() + at) + 1) {
    const char* name = names.data() + at;
    if (*name == '\0') continue;
    had_acl = had_acl || strcmp(name, ACCESS_ACL) == 0;
    ssize_t len;
    for (;;) {
      len = fgetxattr(st->source_fd, name, nullptr, 0);
      if (len < 0) break;
      value.resize(static_cast<size_t>(len) + 1);
      len = fgetxattr(st->source_fd, name, value.data(), value.size());
      if (len >= 0 || errno != ERANGE) break;
    }
    const bool optional = strncmp(name, "security.", 9) == 0 || strncmp(name, "trusted.", 8) == 0;
    if (len < 0 && errno == ENODATA) continue;  // removed since it was listed
    if (len >= 0 && fsetxattr(st->target_fd, name, value.data(), static_cast<size_t>(len), 0) == 0)
      continue;
    if (optional && (errno == EPERM || errno == ENOTSUP)) continue;
    report(target, "xattr");
    return false;
  }
  if (!had_acl && fremovexattr(st->target_fd, ACCESS_ACL) < 0 && errno != ENODATA &&
      errno != ENOTSUP) {
    report(target, "xattr");
    return false;
  }
  return true;
}

// Creates the target under its name at once, exclusively and private, with
// the stop signals blocked from the moment the name is the engine's.
int create_named(const char* target, in_place_conversation* files, bool* named) {
  *named = true;
  block_stop_signals();
  const int fd =
      open(target, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) {
    const int err = errno;
    allow_stop_signals();
    errno = err;
    return fd;
  }
  struct stat created;
  if (fstat(fd, &created) < 0) {
    const int err = errno;
    // Unknown, the file could not be told from another program's by the
    // caller; it is still empty and was made a moment ago.
    (void)unlink(target);
    close(fd);
    allow_stop_signals();
    errno = err;
    return -1;
  }
  if (files != nullptr) {
    files->target = {created.st_dev, created.st_ino};
    files->target_created = true;
    files->name_taken();
  }
  allow_stop_signals();
  return fd;
}

// Gives the new file `st->target_fd` its lock, the source's owner, extended
// attributes and mode.  Reports and returns false on failure.
bool dress_target(frame_state* st, const char* target, const struct stat& attrs) {
  if (!lock_target(st, target)) return false;
  // Owner first: changing the owner clears the set-ID bits, so the mode must
  // come after it to survive whole.
  if (fchown(st->target_fd, attrs.st_uid, attrs.st_gid) < 0) {
    report(target, "chown");
    return false;
  }
  // After the owner, which clears some of them, and before the final mode,
  // which a read-only file would need for its user attributes to be set, and
  // which sets an ACL's mask back to the old one.
  if (!copy_attributes(st, target)) return false;
  if (fchmod(st->target_fd, attrs.st_mode & 07777) < 0) {
    report(target, "chmod");
    return false;
  }
  return true;
}

// Creates the named target with the source's owner and mode, and takes the
// read lock on the source.  Reports and returns false on failure.
//
// The file was just moved aside, so a file under its name is another
// program's: it is never truncated or replaced.  The new file gets its name
// only once it is locked and has the old owner and mode, so that no other
// run can take it as a source before the lock, and nobody can open the new
// content with more rights than the old had.  Where unnamed files cannot be
// made or named (no /proc to name them through, say), it is created under
// its name at once, private, and dressed there.
bool prepare_target(frame_state* st, const char* source, const char* target,
                    const struct stat& attrs, in_place_conversation* files) {
  bool named = false;
  st->target_fd = open_unnamed(target);
  if (st->target_fd < 0 && unnamed_unsupported(errno))
    st->target_fd = create_named(target, files, &named);
  if (st->target_fd < 0) {
    report(target, "open");
    return false;
  }
  if (!named) {
    struct stat created;
    if (fstat(st->target_fd, &created) < 0) {
      report(target, "fstat");
      return false;
    }
    if (files != nullptr) files->target = {created.st_dev, created.st_ino};
  }
  if (!dress_target(st, target, attrs)) return false;
  if (!named) {
    block_stop_signals();
    const int linked = link_unnamed(st->target_fd, target);
    const int err = errno;
    if (linked == 0 && files != nullptr) {
      files->target_created = true;
      files->name_taken();
    }
    allow_stop_signals();
    if (linked < 0 && err != EEXIST) {
      // The unnamed file cannot be named here: made again under its name.
      close(st->target_fd);
      st->target_fd = create_named(target, files, &named);
      if (st->target_fd < 0) {
        report(target, "open");
        return false;
      }
      if (!dress_target(st, target, attrs)) return false;
    } else if (linked < 0) {
      errno = err;
      report(target, "open");
      return false;
    }
  }
  if (!set_source_lock(st, source, F_RDLCK)) return false;
  st->locked = true;
  return true;
}

// Releases the read lock taken by prepare_target().
bool release_lock(frame_state* st, const char* source) {
  if (!set_source_lock(st, source, F_UNLCK)) return false;
  st->locked = false;
  return true;
}

}  // namespace zamplet::steps
