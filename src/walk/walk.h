// The program's own file-tree walk: pre-order, follows symbolic links, and
// holds at most a given number of directory handles open at once.
#pragma once

#include <sys/stat.h>

namespace zamplet {

// What the walk tells its visit function about an entry.
constexpr int WALK_FILE = 0;            // stat succeeded; not a directory
constexpr int WALK_DIR = 1;             // a directory, opened; its entries follow
constexpr int WALK_DIR_UNREADABLE = 2;  // a directory that could not be opened (EACCES)
constexpr int WALK_NO_STAT = 3;         // stat failed with EACCES, or with ENOENT for a
                                        // symbolic link that leads nowhere or a missing start
constexpr int WALK_LOOP = 4;            // a directory already entered on this branch
constexpr int WALK_ERROR = 5;           // a path too long, a failed stat, open or read
constexpr int WALK_VANISHED = 6;        // read from its directory, gone when looked at or
                                        // opened (ENOENT): it, or a directory above it, was
                                        // removed or renamed meanwhile

// Longest path the walk builds, not counting the terminating zero.
constexpr int WALK_PATH_MAX = 1024;

// An entry below the start, as the walk asks about it before any visit.
struct walk_entry {
  const char* path;           // its path, as a visit would be given it
  const char* name;           // its own name, the last part of the path
  const struct stat* record;  // what stat says of it, symbolic links followed
  int link;                   // 1 or 0 when its directory said what it is, else -1
  // Whether the entry itself is a symbolic link.  Free where the directory
  // says what its entries are; elsewhere it costs an lstat, so the walk
  // leaves the question to the visitors that need the answer.
  bool is_link() const;
};

// What the walk asks of its caller about the objects it meets.
class walk_visitor {
 public:
  virtual ~walk_visitor() = default;
  // Called for every object met: (full path, stat record, kind).  Returns 0
  // to go on; anything else stops the walk and becomes its result.  For
  // WALK_NO_STAT, WALK_DIR_UNREADABLE, WALK_ERROR and WALK_VANISHED, errno
  // holds the cause; a path too long for the walk is given as far as it fits
  // (ENAMETOOLONG), and a directory that fails to be read again is given by
  // its own path.
  virtual int visit(const char* path, const struct stat* record, int kind) = 0;
  // Asked for every entry below the start, once its stat succeeded: true
  // passes over it (a directory with everything below it, never opened)
  // without a visit.
  virtual bool pass_over(const walk_entry& entry) {
    (void)entry;
    return false;
  }
};

// Walks the tree below `start`, visiting `start` itself first.  At most
// `budget` directory handles are open at once (a budget below 1 counts as 1).
// Nothing that fails below the start ends the walk: it is visited with
// WALK_ERROR (WALK_LOOP for a cycle, which is not entered, WALK_VANISHED for
// an entry gone since its directory was read), and the walk goes on with the
// rest of the tree.  Returns 0 when every visit returned 0, the first
// non-zero visit result, or -1 with errno when the start itself cannot be
// walked.  Every handle is closed on return.  After a failure, `stopped_at`
// (when given, WALK_PATH_MAX + 1 bytes) holds the start.
int ftw(const char* start, walk_visitor& visitor, int budget, char* stopped_at = nullptr);

}  // namespace zamplet
