// The tree walk: pre-order, follows symbolic links, and keeps the directory
// handles of the current branch in a small ring so that a deep tree never
// needs more handles than the caller allows.
#include "walk/walk.h"

#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdio>

namespace zamplet {

namespace {

// Every level adds at least "/x" to the path, so no branch below a start of
// one character can hold more directories than this; a larger ring would
// only have slots that are never used.
constexpr int WALK_RING_MAX = WALK_PATH_MAX / 2;

// The directories of the current branch, by identity, so that a link to an
// ancestor is seen as a cycle instead of being entered again and again.
struct branch {
  dev_t dev[WALK_RING_MAX + 1];
  ino_t ino[WALK_RING_MAX + 1];
  int depth = 0;
  bool holds(const struct stat& st) const {
    for (int i = 0; i < depth; ++i)
      if (dev[i] == st.st_dev && ino[i] == st.st_ino) return true;
    return false;
  }
  bool push(const struct stat& st) {
    if (depth > WALK_RING_MAX) return false;
    dev[depth] = st.st_dev;
    ino[depth] = st.st_ino;
    ++depth;
    return true;
  }
};

// Visits `path` as a failure with the cause `err`, which the visit finds in
// errno.
int visit_failure(walk_visitor& visitor, const char* path, const struct stat* record, int kind,
                  int err) {
  errno = err;
  return visitor.visit(path, record, kind);
}

// Closes the handle in `slot`, if any, and empties the slot.  Used on the
// way out of a level, so the caller's errno must survive it; closedir
// releases the handle even when it reports an error, so there is nothing
// left to do about one.
void close_slot(DIR** ring, int slot) {
  if (ring[slot] == nullptr) return;
  int saved = errno;
  closedir(ring[slot]);
  ring[slot] = nullptr;
  errno = saved;
}

// Reads the next entry of the directory in `slot`: null at the end of the
// directory (errno 0) or on a failure (errno set).
struct dirent* read_entry(DIR** ring, int slot) {
  // readdir leaves errno alone at the end, so only a cleared errno tells
  // the end from a failure.
  errno = 0;
  return readdir(ring[slot]);
}

// Reopens the directory whose path is the first `length` characters of the
// buffer into `slot`, and reads past the `count` entries already handled.
// Returns 1 when the walk of that directory can go on, 0 when the directory
// now ends before that point, -1 on a failure.
int reopen_directory(DIR** ring, int slot, char* path, std::size_t length, long count) {
  path[length] = '\0';
  ring[slot] = opendir(path);
  if (ring[slot] == nullptr) return -1;
  for (long i = 0; i < count; i++) {
    if (read_entry(ring, slot) == nullptr) return errno == 0 ? 0 : -1;
  }
  return 1;
}

int walk_directory(DIR** ring, int slot, int budget, char* path, std::size_t length,
                   walk_visitor& visitor, branch* up);

// What the directory says of an entry being a symbolic link: 1, 0, or -1
// where its file system does not say what its entries are.
int link_by_type(unsigned char type) {
  if (type == DT_UNKNOWN) return -1;
  return type == DT_LNK ? 1 : 0;
}

// The kind of a visit for an entry just read from its directory whose stat
// failed with `err`.  ENOENT means a symbolic link that leads nowhere only
// while the name still holds a link; otherwise the entry itself, or a
// directory above it, was removed or renamed since the directory was read.
// That entry was never looked at, and whoever walks must hear of it: taken
// for a dangling link, a whole directory renamed during the walk would be
// passed over in silence.
int failed_stat_kind(const char* path, int err) {
  if (err == EACCES) return WALK_NO_STAT;
  if (err != ENOENT) return WALK_ERROR;
  struct stat own;
  if (lstat(path, &own) == 0 && S_ISLNK(own.st_mode)) return WALK_NO_STAT;
  return WALK_VANISHED;
}

// The kind of a visit for a directory, just looked at, that cannot be opened
// with `err`: ENOENT is a directory gone since the look.
int failed_open_kind(int err) {
  if (err == EACCES) return WALK_DIR_UNREADABLE;
  return err == ENOENT ? WALK_VANISHED : WALK_ERROR;
}

// Stats, reports and, for a directory, descends into the object whose path
// has just been written into the buffer at `length` characters; `link` is
// what its directory said of it being a symbolic link.  The directory it
// came from is in `slot`; a subdirectory goes into the next slot of the
// ring.  Same results as ftw.
int walk_object(DIR** ring, int slot, int budget, char* path, std::size_t length, int link,
                walk_visitor& visitor, struct stat* record, branch* up) {
  if (stat(path, record) != 0) {
    const int err = errno;
    *record = {};
    return visit_failure(visitor, path, record, failed_stat_kind(path, err), err);
  }
  if (visitor.pass_over(walk_entry{path, strrchr(path, '/') + 1, record, link})) return 0;
  if (!S_ISDIR(record->st_mode)) return visitor.visit(path, record, WALK_FILE);
  if (up->holds(*record)) return visitor.visit(path, record, WALK_LOOP);

  int child = (slot + 1) % budget;
  // Once the branch is deeper than the ring, the child takes an ancestor's
  // slot; that ancestor reopens its directory when the walk comes back.
  // closedir releases the handle even when it reports an error, and the
  // opendir below sets errno afresh, so its result tells nothing useful.
  if (ring[child] != nullptr) {
    closedir(ring[child]);
    ring[child] = nullptr;
  }
  ring[child] = opendir(path);
  if (ring[child] == nullptr) {
    const int err = errno;
    return visit_failure(visitor, path, record, failed_open_kind(err), err);
  }
  int r = visitor.visit(path, record, WALK_DIR);
  if (r == 0 && up->push(*record)) {
    r = walk_directory(ring, child, budget, path, length, visitor, up);
    --up->depth;
  }
  close_slot(ring, child);
  return r;
}

// Reads the directory whose handle is already open in `slot` and whose path
// fills the first `length` characters of the buffer, and walks every entry
// but "." and "..".
int walk_directory(DIR** ring, int slot, int budget, char* path, std::size_t length,
                   walk_visitor& visitor, branch* up) {
  // Zeroed so that a visit for a failed stat never sees stale or
  // indeterminate bytes.
  struct stat record = {};
  // Entries read from this directory's handle, "." and ".." included: an
  // evicted handle is reopened and read past exactly this many.
  long count = 0;
  for (;;) {
    struct dirent* entry = read_entry(ring, slot);
    if (entry == nullptr) {
      if (errno == 0) return 0;
      // The rest of this directory cannot be read; the walk goes on above.
      const int err = errno;
      path[length] = '\0';
      return visit_failure(visitor, path, &record, WALK_ERROR, err);
    }
    count++;
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;

    std::size_t name_length = strlen(name);
    std::size_t entry_length = length + 1 + name_length;
    path[length] = '/';
    if (entry_length > static_cast<std::size_t>(WALK_PATH_MAX)) {
      // Said as far as it fits, never written beyond the buffer.
      const std::size_t fits = static_cast<std::size_t>(WALK_PATH_MAX) - length - 1;
      memcpy(path + length + 1, name, fits);
      path[WALK_PATH_MAX] = '\0';
      const int r = visit_failure(visitor, path, &record, WALK_ERROR, ENAMETOOLONG);
      if (r != 0) return r;
      continue;
    }
    memcpy(path + length + 1, name, name_length + 1);

    int r = walk_object(ring, slot, budget, path, entry_length, link_by_type(entry->d_type),
                        visitor, &record, up);
    if (r != 0) return r;

    if (ring[slot] == nullptr) {
      int reopened = reopen_directory(ring, slot, path, length, count);
      if (reopened < 0) {
        const int err = errno;
        path[length] = '\0';
        return visit_failure(visitor, path, &record, WALK_ERROR, err);
      }
      if (reopened == 0) return 0;
    }
  }
}

// The walk itself, with the path buffer supplied by ftw so that the path at
// which a failure happened is still there afterwards.
int walk_tree(const char* start, walk_visitor& visitor, int budget, char* path) {
  std::size_t start_length = strlen(start);
  // Refused before anything else: the path buffer could not hold it, and
  // visiting it under a shortened name would report the wrong object.
  if (start_length > static_cast<std::size_t>(WALK_PATH_MAX)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  if (budget < 1) budget = 1;
  if (budget > WALK_RING_MAX) budget = WALK_RING_MAX;

  memcpy(path, start, start_length + 1);
  DIR* ring[WALK_RING_MAX] = {};
  struct stat record = {};

  if (stat(path, &record) != 0) {
    if (errno == ENOENT || errno == EACCES) return visitor.visit(path, &record, WALK_NO_STAT);
    return -1;
  }
  if (!S_ISDIR(record.st_mode)) return visitor.visit(path, &record, WALK_FILE);

  ring[0] = opendir(path);
  if (ring[0] == nullptr) {
    if (errno == EACCES) return visitor.visit(path, &record, WALK_DIR_UNREADABLE);
    return -1;
  }
  int r = visitor.visit(path, &record, WALK_DIR);
  branch up;
  up.push(record);
  if (r == 0) r = walk_directory(ring, 0, budget, path, start_length, visitor, &up);
  // Each level closes the handle of the level below it, so only the
  // start's slot can still be in use; closing them all costs little and
  // keeps the promise that no handle outlives the walk.
  for (int slot = 0; slot < budget; slot++) close_slot(ring, slot);
  return r;
}

}  // namespace

bool walk_entry::is_link() const {
  if (link >= 0) return link == 1;
  struct stat own;
  return lstat(path, &own) == 0 && S_ISLNK(own.st_mode);
}

// Walks the tree below `start`, visiting `start` first; see walk.h.
int ftw(const char* start, walk_visitor& visitor, int budget, char* stopped_at) {
  char path[WALK_PATH_MAX + 1];
  path[0] = '\0';
  const int r = walk_tree(start, visitor, budget, path);
  if (r == -1 && stopped_at != nullptr) {
    const int saved = errno;
    if (path[0] == '\0') snprintf(stopped_at, WALK_PATH_MAX + 1, "%s", start);
    else memcpy(stopped_at, path, strlen(path) + 1);
    errno = saved;
  }
  return r;
}

}  // namespace zamplet
