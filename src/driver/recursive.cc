// The recursive mode: every file below the starting path rewritten in place.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fnmatch.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/driver.h"
#include "support/support.h"
#include "walk/ignore.h"
#include "walk/walk.h"

namespace zamplet {

namespace {

// The other objects this run has reported, and the files it left alone.
// The walk may meet one of them again, through a link to an ancestor or
// because a directory yields an entry that was created anew; reporting it
// twice would be wrong.  The change time is part of the identity: when
// another process replaces one of these files, its inode number is freed
// and may be given to a file the walk has yet to reach, which must not be
// passed over for it.
using walk_identity = stamped_file;
walk_identity walked_identity_of(const struct stat& st) { return stamped_by_change(st); }

// A file with more than one name left unchanged under one directory entry.
// The walk may meet that same entry again through a link to an ancestor,
// which must not report it twice; another hard link to the file is an entry
// of its own and is looked at in its turn, as it would be had the first been
// rewritten.  A file with one name is met again under that name only, and is
// known by its identity alone.
struct entry_key {
  dev_t dir_dev;
  ino_t dir_ino;
  std::string name;
  walk_identity file;
  auto operator<=>(const entry_key&) const = default;
};

// The entry `path` names, for the file `record`; false when its directory
// cannot be looked at.  The directory of the previous entry is remembered,
// since the walk visits a directory's entries one after another.
bool entry_key_of(const char* path, const struct stat& record, entry_key* key) {
  static std::string last_dir;
  static struct stat last {};
  const char* slash = strrchr(path, '/');
  const std::string dir =
      slash == nullptr ? "."
                       : std::string(path, slash == path ? 1 : static_cast<size_t>(slash - path));
  if (dir != last_dir) {
    if (stat(dir.c_str(), &last) < 0) {
      last_dir.clear();
      return false;
    }
    last_dir = dir;
  }
  *key = {last.st_dev, last.st_ino, slash == nullptr ? path : slash + 1,
          walked_identity_of(record)};
  return true;
}

// The names of version-control systems' directories: what is below them is
// the repository's own database, never the user's text.  A file under one of
// these names is never the user's text either: git's `.git` file, in a
// submodule or a worktree, says where the repository lies, and the other
// systems never make such a file, so that no user file is lost by passing
// over one.
const char* const VCS_NAMES[] = {".git", ".hg", ".svn", ".bzr", "_darcs", "CVS"};

bool is_vcs_name(const char* name) {
  for (const char* vcs : VCS_NAMES)
    if (strcmp(name, vcs) == 0) return true;
  return false;
}

// The last part of `path`: all of it when it has no slash.
const char* last_part(const std::string& path) {
  const size_t slash = path.rfind('/');
  return path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

// Whether the directory that the symbolic link `path` leads to, with the
// stat record `record`, is a version-control directory.  The system resolves
// `path/..` from the directory the link leads to, whatever the link says and
// however many links lead there, so that one of the version-control names in
// that parent leads to the directory itself when it is one.  The directory
// may come later in the walk than the link, or lie outside the tree.  Six
// stats, made for a link to a directory only.
bool leads_to_vcs_directory(const char* path, const struct stat& record) {
  for (const char* vcs : VCS_NAMES) {
    const std::string beside = std::string(path) + "/../" + vcs;
    struct stat st;
    if (stat(beside.c_str(), &st) == 0 && st.st_dev == record.st_dev &&
        st.st_ino == record.st_ino)
      return true;
  }
  return false;
}

// Whether the file that the symbolic link `path` leads to has a
// version-control name: the last part of the last link's target is that
// file's name in its own directory.  A file's path cannot end in "." or
// "..", which only a directory's can.  A chain that cannot be read to its
// end leaves the file to the walk.
bool leads_to_vcs_file(const char* path) {
  std::string at = path;
  char target[PATH_MAX];
  // As many links as the system follows in one path before it gives up.
  for (int hop = 0; hop < 40; ++hop) {
    const ssize_t n = readlink(at.c_str(), target, sizeof target);
    // EINVAL: not a link, so its last part is its own name.
    if (n < 0) return errno == EINVAL && is_vcs_name(last_part(at));
    if (n == static_cast<ssize_t>(sizeof target)) return false;
    // A relative target is read from the link's own directory.
    const size_t from = target[0] == '/' ? 0 : static_cast<size_t>(last_part(at) - at.c_str());
    at.replace(from, std::string::npos, target, static_cast<size_t>(n));
  }
  return false;
}

// Whether `entry` is a version-control directory or file, under its own
// name or through a symbolic link.  Only a link costs system calls.
bool is_vcs_entry(const walk_entry& entry, bool directory) {
  if (is_vcs_name(entry.name)) return true;
  if (!entry.is_link()) return false;
  return directory ? leads_to_vcs_directory(entry.path, *entry.record)
                   : leads_to_vcs_file(entry.path);
}

bool matches_any(const std::vector<std::string>& globs, const char* name) {
  for (const std::string& glob : globs)
    if (fnmatch(glob.c_str(), name, 0) == 0) return true;
  return false;
}

// The rewrite of every file the walk meets, and what it remembers of them.
class tree_rewrite final : public walk_visitor {
 public:
  tree_rewrite(const rewrite_job& job, const walk_exclusions& excluded, look_ahead& ahead)
      : job_(job), excluded_(excluded), ahead_(ahead) {}
  // Rewrites one walked entry, or queues it behind those whose look is
  // ahead; always 0, so no file stops the walk.
  int visit(const char* path, const struct stat* record, int kind) override;
  // Visits every queued entry, in the walk's order.
  void drain();
  // True for an entry the options leave out of the walk.  Without
  // --exclude-vcs this makes no system call.
  bool pass_over(const walk_entry& entry) override {
    const bool directory = S_ISDIR(entry.record->st_mode);
    // A file's visit follows at once; whether it is a link is free here
    // where the directory says what its entries are.
    next_is_link_ = !directory && entry.is_link();
    if (excluded_.vcs && is_vcs_entry(entry, directory)) return true;
    if (excluded_.ignores && ignores_.ignored(entry.path, directory)) return true;
    return matches_any(directory ? excluded_.dirs : excluded_.files, entry.name);
  }
  // Set when a file could not be rewritten because something failed.
  bool any_failed = false;
  // The start of the walk about to begin.
  void begin(const char* start) {
    start_ = start;
    if (excluded_.ignores) ignores_.begin(start);
  }

 private:
  // An entry the walk has met, waiting for its visit.
  struct waiting_visit {
    std::string path;
    struct stat record;
    int kind;
    int cause;  // errno as the walk left it
    bool link;
  };
  int visit_now(const char* path, const struct stat* record, int kind, int cause, bool link,
                const look_hint* hint);
  void visit_next();
  bool refused(const char* path, const struct stat& record, const walk_identity& seen);
  bool is_link(const char* path);
  bool is_own_copy(const char* path) const;
  void rewrite(const char* path, const struct stat& record, const walk_identity& seen,
               const look_hint* hint);

  const rewrite_job& job_;
  const walk_exclusions& excluded_;
  const char* start_ = "";
  bool next_is_link_ = false;  // the entry about to be visited is a symbolic link
  ignore_rules ignores_;       // with --exclude-vcs-ignores
  identity_set handled;
  // The new files this run wrote, by their birth: one that another program
  // renames into a directory the walk has yet to reach stays known.
  identity_set written;
  identity_set unchanged_files;
  std::set<entry_key> unchanged_entries;
  look_ahead& ahead_;
  std::deque<waiting_visit> waiting_;  // in the walk's order, as many as ahead_ has room
};

// Whether the walked file `path` is one no run rewrites: not a regular file,
// an intermediate copy, or this run's output; said once, however often the
// walk meets it.  The original of a rewritten file is not recorded: another
// hard link to it is a file of its own and is rewritten in its turn.
bool tree_rewrite::refused(const char* path, const struct stat& record, const walk_identity& seen) {
  if (!S_ISREG(record.st_mode)) {
    handled.insert(seen);
    note("%s\tis not a regular file", path);
    return true;
  }
  if (has_lock_suffix(path)) {
    // This run's own copies that wait for a sync are not there for it.
    if (is_waiting_copy(identity_of(record)) || is_own_copy(path)) return true;
    handled.insert(seen);
    note("%s\tfile didn't change! Try -t option!", path);
    return true;
  }
  if (is_run_output(record)) {
    handled.insert(seen);
    note("%s\tfile didn't change! It is this run's output", path);
    return true;
  }
  return false;
}

int tree_rewrite::visit(const char* path, const struct stat* record, int kind) {
  const int cause = errno;
  const bool link = kind == WALK_FILE && is_link(path);
  // The start, a directory and a failure are visited once everything before
  // them is: a directory is read after the rewrites before it, as it would
  // be without the workers.
  if (ahead_.room() == 0 || kind != WALK_FILE || strcmp(path, start_) == 0) {
    drain();
    return visit_now(path, record, kind, cause, link, nullptr);
  }
  const bool wanted = !link && S_ISREG(record->st_mode) && !has_lock_suffix(path);
  waiting_.push_back({path, *record, kind, cause, link});
  ahead_.offer(path, identity_of(*record), wanted);
  if (waiting_.size() >= ahead_.room()) visit_next();
  return 0;
}

void tree_rewrite::drain() {
  while (!waiting_.empty()) visit_next();
}

// Visits the oldest queued entry.  The walk looked at it a few entries
// early, and the rewrites since may have replaced the file (through a link
// that leads to it, say): it is looked at again, as the walk would have
// found it in its turn.
void tree_rewrite::visit_next() {
  const look_hint hint = ahead_.take();
  waiting_visit next = std::move(waiting_.front());
  waiting_.pop_front();
  if (stat(next.path.c_str(), &next.record) != 0) {
    next.cause = errno;
    struct stat own;
    const bool dangling = lstat(next.path.c_str(), &own) == 0 && S_ISLNK(own.st_mode);
    next.kind = next.cause == EACCES || (next.cause == ENOENT && dangling) ? WALK_NO_STAT
                : next.cause == ENOENT                                      ? WALK_VANISHED
                                                                            : WALK_ERROR;
  }
  (void)visit_now(next.path.c_str(), &next.record, next.kind, next.cause, next.link, &hint);
}

int tree_rewrite::visit_now(const char* path, const struct stat* record, int kind, int cause,
                            bool link, const look_hint* hint) {
  settle_if_due();
  // What the walk could not look at is said, and the walk goes on: an entry
  // gone since its directory was read (a file or a directory renamed or
  // removed meanwhile) is one the run never looked at, whatever it held.  A
  // symbolic link that leads nowhere holds nothing to rewrite.
  if (kind == WALK_LOOP) {
    note("%s\tFile system loop", path);
    any_failed = true;
    return 0;
  }
  // A copy of this run, deleted once its file's new content was on disk,
  // may vanish between the walk's read of its directory and its look.
  if (kind == WALK_VANISHED && is_own_copy(path)) return 0;
  if (kind == WALK_ERROR || kind == WALK_DIR_UNREADABLE || kind == WALK_VANISHED ||
      (kind == WALK_NO_STAT && cause != ENOENT)) {
    note("%s\t%s", path, strerror(cause));
    any_failed = true;
    return 0;
  }
  if (kind != WALK_FILE) return 0;
  const walk_identity seen = walked_identity_of(*record);
  if (handled.count(seen) != 0) return 0;
  stamped_file born;
  if (written.has_inode(seen.dev, seen.ino) && stamped_by_birth(path, &born) &&
      born.ino == seen.ino && written.count(born) != 0)
    return 0;
  if (refused(path, *record, seen)) return 0;
  if (!link) {
    rewrite(path, *record, seen, hint);
    return 0;
  }
  // A symbolic link stays one: the file it leads to is rewritten under its
  // own name, once however many links lead to it.
  char* target = realpath(path, nullptr);
  if (target == nullptr) {
    note("%s\t%s", path, strerror(errno));
    any_failed = true;
    return 0;
  }
  rewrite(target, *record, seen, nullptr);
  free(target);
  return 0;
}

// Whether `path` names the copy of a file this run wrote, by the file's name
// without the copy's suffix: the batch that held the copy may have settled
// since the walk met it.
bool tree_rewrite::is_own_copy(const char* path) const {
  if (!has_lock_suffix(path)) return false;
  const std::string file(path, strlen(path) - strlen(".lock"));
  stamped_file born;
  return stamped_by_birth(file.c_str(), &born) && written.count(born) != 0;
}

// Whether the walked file `path` is a symbolic link.
bool tree_rewrite::is_link(const char* path) {
  const bool link = next_is_link_;
  next_is_link_ = false;
  if (strcmp(path, start_) != 0) return link;
  struct stat own;
  return lstat(path, &own) == 0 && S_ISLNK(own.st_mode);
}

// Rewrites the regular file `path` in place, unless it is busy.
void tree_rewrite::rewrite(const char* path, const struct stat& record, const walk_identity& seen,
                           const look_hint* hint) {
  char name[VISIT_NAME_BYTES];
  const int len = snprintf(name, sizeof name, "%s.lock", path);
  if (len < 0 || len >= static_cast<int>(sizeof name)) {
    handled.insert(seen);
    note_name_too_long(path);
    return;
  }
  const bool one_name = record.st_nlink == 1;
  entry_key entry;
  const bool keyed = !one_name && entry_key_of(path, record, &entry);
  if (one_name ? unchanged_files.count(seen) != 0 : keyed && unchanged_entries.count(entry) != 0)
    return;
  // A busy file (its .lock exists, whatever it is) is left alone before it
  // is even looked at; the move aside finds one that appears later.
  struct stat busy;
  if (names_waiting_copy(name)) settle_copies();
  if (lstat(name, &busy) == 0) {
    handled.insert(seen);
    note_busy(path, name);
    return;
  }
  const outcome result = rewrite_in_place(job_, path, name, identity_of(record), nullptr, hint);
  if (result == outcome::failed || result == outcome::restored) any_failed = true;
  if (result == outcome::unchanged || result == outcome::passed_over) {
    if (one_name) unchanged_files.insert(seen);
    if (keyed) unchanged_entries.insert(entry);
    return;
  }
  const bool rewritten = result == outcome::rewritten || result == outcome::counted;
  stamped_file born;
  if (rewritten && stamped_by_birth(path, &born)) written.insert(born);
  // A file left alone is known by its identity before and after the moves,
  // which change its change time.
  if (rewritten) return;
  handled.insert(seen);
  struct stat now;
  if (stat(path, &now) == 0) handled.insert(walked_identity_of(now));
}

}  // namespace

int rewrite_recursive(const rewrite_job& job, char* const* starts, int count,
                      const walk_exclusions& excluded) {
  // What the run itself does not hold goes half to the walk's directories
  // and half to the new files waiting for their sync (the walk needs at most
  // one per level of the tree, the batch one per copy).
  look_ahead ahead(job);
  const long spare = sysconf(_SC_OPEN_MAX) - RUN_DESCRIPTORS - ahead.descriptors();
  long budget = spare - hold_new_files(spare / 2);
  if (budget < 1) budget = 1;
  if (budget > INT_MAX) budget = INT_MAX;
  // Each start in its turn; one that cannot be walked is said, and the
  // others are still walked.  A file met from two starts is rewritten once.
  tree_rewrite visitor(job, excluded, ahead);
  bool start_failed = false;
  for (int i = 0; i < count; ++i) {
    const char* start = starts[i];
    struct stat st;
    if (stat(start, &st) < 0) {
      note("%s\t%s", start, strerror(errno));
      start_failed = true;
      continue;
    }
    char stopped_at[WALK_PATH_MAX + 1];
    visitor.begin(start);
    const int walked = ftw(start, visitor, static_cast<int>(budget), stopped_at);
    visitor.drain();
    if (walked == -1) {
      note("%s\t%s", stopped_at, strerror(errno));
      start_failed = true;
    }
  }
  settle_copies();
  return start_failed || visitor.any_failed || any_sync_failed() || report_failed() ? 1 : 0;
}

}  // namespace zamplet
