// The frame that both engines share: opening and creating the files, copying
// the attributes, the read lock, the chunk loop with its trace, the count.
// The engines differ only in how one chunk is substituted.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "engine/engine.h"
#include "engine/output.h"
#include "support/support.h"

namespace zamplet {

const char ENGINE_STDIN[] = "stdin";
const char ENGINE_STDOUT[] = "stdout";

void report_cuts(const char* name, long cuts) {
  if (cuts > 0) note("%s\tmatches cut by chunk boundaries: %ld", name, cuts);
}

void remember_tail(chunk_tail* tail, const char* chunk, size_t n, const search_state& state,
                   size_t keep) {
  tail->valid = true;
  tail->n = n;
  tail->kept = std::min(keep, n);
  tail->state = state;
  memcpy(tail->bytes, chunk + n - tail->kept, tail->kept);
}

namespace {

// A regular file returns what is asked of it except at its end, so reading
// many chunks at once and cutting them apart gives the same chunks as one
// read per chunk, with far fewer system calls.
constexpr size_t BLOCK_CHUNKS = 64;
constexpr size_t BLOCK_SIZE = BLOCK_CHUNKS * CHUNK_SIZE;
// Output collected from several chunks before one write, where collecting is
// invisible to the user.
constexpr size_t STAGE_SIZE = 64 * 1024;

// How one chunk is substituted.
struct substitution {
  bool literal;
  const regex_t* pattern;
  const char* old_text;
  size_t old_len;
  const char* replacement;
  size_t replacement_len;
};

// Everything one call owns, released by release() on every way out.
struct frame_state {
  int source_fd = -1;
  int target_fd = -1;
  bool locked = false;
  char* block = nullptr;  // input, BLOCK_SIZE bytes and a zero byte
  char* stage = nullptr;  // collected output, STAGE_SIZE bytes
  size_t staged = 0;
  chunk_output out;
  off_t written = 0;        // bytes written to a named target
  off_t kicked = 0;         // how many of them the disk was asked to take
  char* scratch = nullptr;  // CUT_SCRATCH bytes for the boundary checks
  chunk_tail tail;          // the end of the previous chunk
  long cuts = 0;            // boundaries that cut a match
};

// Reports a failed call as "NAME\tCALL error:TEXT" with the current errno.
void report(const char* name, const char* call) { note_failed(name, call, errno); }

void release(frame_state* st, bool is_stdin, bool is_stdout) {
  const int saved = errno;
  if (st->source_fd >= 0 && !is_stdin) close(st->source_fd);
  if (st->target_fd >= 0 && !is_stdout) close(st->target_fd);
  free(st->block);
  free(st->stage);
  free(st->out.data);
  free(st->scratch);
  errno = saved;
}

// Reads once, retrying after an interrupted call.
ssize_t read_some(int fd, char* buffer, size_t size) {
  for (;;) {
    ssize_t got = ::read(fd, buffer, size);
    if (got >= 0 || errno != EINTR) return got;
  }
}

// Writes out the collected output.
bool flush_stage(frame_state* st) {
  if (st->staged == 0) return true;
  if (write_all(st->target_fd, st->stage, st->staged) < 0) return false;
  st->written += static_cast<off_t>(st->staged);
  st->staged = 0;
  return true;
}

// How much new content is handed to the disk at a time while it is written.
constexpr off_t WRITEBACK_STEP = 8 << 20;

// Asks the disk to start writing what the target got since the last time:
// the sync that must come before the old copy is deleted then finds little
// left to do.  Only a hint; its failure changes nothing.
void start_writeback(frame_state* st) {
  if (st->written - st->kicked < WRITEBACK_STEP) return;
  (void)sync_file_range(st->target_fd, st->kicked, st->written - st->kicked,
                        SYNC_FILE_RANGE_WRITE);
  st->kicked = st->written;
}

// Sends one chunk's output to the target, through the stage when collecting.
bool emit_chunk(frame_state* st, bool collect, const char* data, size_t len) {
  if (collect && len <= STAGE_SIZE) {
    if (st->staged + len > STAGE_SIZE && !flush_stage(st)) return false;
    memcpy(st->stage + st->staged, data, len);
    st->staged += len;
    return true;
  }
  if (!flush_stage(st)) return false;
  if (write_all(st->target_fd, data, len) < 0) return false;
  st->written += static_cast<off_t>(len);
  return true;
}

int64_t substitute(const substitution& sub, const char* chunk, size_t n, chunk_output* out,
                   int64_t* count, search_state* state) {
  if (sub.literal)
    return substitute_literal(sub.old_text, sub.old_len, chunk, n, sub.replacement,
                              sub.replacement_len, out, count, state);
  return substitute_regex(sub.pattern, opt_newline != 0, chunk, n, sub.replacement,
                          sub.replacement_len, out, count, state);
}

// Substitutes over one zero-terminated chunk, after counting whether the
// boundary in front of it cut a match, and keeps its end for the next one.
int64_t substitute(const substitution& sub, const char* chunk, size_t n, chunk_output* out,
                   int64_t* count, frame_state* st) {
  if (st->tail.valid &&
      (sub.literal ? literal_cut(sub.old_text, sub.old_len, st->tail, chunk, n, st->scratch)
                   : regex_cut(sub.pattern, opt_newline != 0, regex_longest, st->tail, chunk, n,
                               st->scratch)))
    ++st->cuts;
  search_state state;
  const int64_t length = substitute(sub, chunk, n, out, count, &state);
  remember_tail(&st->tail, chunk, n, state, sub.literal ? sub.old_len - 1 : CUT_LOOKBACK);
  return length;
}


// Gives back what one chunk's output took beyond its starting size: only one
// chunk's output may hold extra memory, and only while it is rewritten.
void shrink_output(frame_state* st, const substitution& sub) {
  const bool fixed = sub.literal && sub.old_len == sub.replacement_len;
  if (fixed || st->out.cap == OUTPUT_START) return;
  char* smaller = static_cast<char*>(realloc(st->out.data, OUTPUT_START));
  if (smaller == nullptr) return;
  st->out.data = smaller;
  st->out.cap = OUTPUT_START;
}

// Takes (F_RDLCK) or releases (F_UNLCK) the record lock over the whole
// source, without waiting for another process.  Reports a failure.
bool set_source_lock(frame_state* st, const char* source, short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // to the end of the file, however long it grows
  if (fcntl(st->source_fd, F_SETLK, &lock) < 0) {
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
  if (fcntl(st->target_fd, F_SETLK, &lock) < 0) {
    report(target, "fcntl");
    return false;
  }
  return true;
}

// Checks that the opened source is the regular file that the caller checked
// before its move aside, and lets it block again.  Reports and returns false
// otherwise.
bool source_is_checked_file(frame_state* st, const char* source, const char* target,
                            const struct stat& attrs, const in_place_files& files) {
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

// Creates the named target with the source's owner and mode, and takes the
// read lock on the source.  Reports and returns false on failure.
//
// The file was just moved aside, so a file under its name is another
// program's: it is never truncated or replaced.  The new file gets its name
// only once it is locked and has the old owner and mode, so that no other
// run can take it as a source before the lock, and nobody can open the new
// content with more rights than the old had.  Where unnamed files cannot be
// made, it is created under its name at once, private.
bool prepare_target(frame_state* st, const char* source, const char* target,
                    const struct stat& attrs, in_place_files* files) {
  bool named = false;
  st->target_fd = open_unnamed(target);
  if (st->target_fd < 0 && unnamed_unsupported(errno)) {
    named = true;
    // From the moment the name is the engine's, a stop signal may replace it.
    block_stop_signals();
    st->target_fd =
        open(target, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (st->target_fd >= 0 && files != nullptr) recovery_target_named = 1;
    allow_stop_signals();
  }
  if (st->target_fd < 0) {
    report(target, "open");
    return false;
  }
  struct stat created;
  if (fstat(st->target_fd, &created) < 0) {
    report(target, "fstat");
    // Unknown, the file could not be told from another program's by the
    // caller; it is still empty and was made a moment ago.
    if (named) (void)unlink(target);
    return false;
  }
  if (files != nullptr) files->target = {created.st_dev, created.st_ino};
  if (named && files != nullptr) files->target_created = true;
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
  if (!named) {
    block_stop_signals();
    const int linked = link_unnamed(st->target_fd, target);
    if (linked == 0 && files != nullptr) recovery_target_named = 1;
    allow_stop_signals();
    if (linked < 0) {
      report(target, "open");
      return false;
    }
    if (files != nullptr) files->target_created = true;
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

// Opens `file` under its own name for a look: read-only, without blocking
// (a FIFO must not hang the run) and, where permitted, without changing its
// access time, so that a file left alone keeps every time it had.
int open_for_look(const char* file) {
  const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  const int fd = open(file, flags | O_NOATIME);
  return fd >= 0 || errno != EPERM ? fd : open(file, flags);
}

enum class look_result { unavailable, unchanged, found, read_failed };

// Looks for the first occurrence in the file under its own name, holding the
// read lock that a rewrite takes.  `unavailable`: the file could not be
// opened, was not the checked regular file, or could not be locked; nothing
// is held.  `unchanged`: no chunk holds an occurrence; `*offset` is the size
// read.  `found`: `*offset` is where the first chunk to rewrite begins, and
// every chunk before it is a full chunk without an occurrence (a short read
// that is not the end counts as found there, so that this stays true).
// `read_failed`: errno says why.
look_result look(frame_state* st, const substitution& sub, const in_place_files& files,
                 struct stat* attrs, off_t* offset) {
  st->source_fd = open_for_look(files.file);
  if (st->source_fd < 0) return look_result::unavailable;
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  const int flags = fstat(st->source_fd, attrs) == 0 && S_ISREG(attrs->st_mode) &&
                            file_identity{attrs->st_dev, attrs->st_ino} == files.source &&
                            fcntl(st->source_fd, F_SETLK, &lock) == 0
                        ? fcntl(st->source_fd, F_GETFL)
                        : -1;
  if (flags < 0 || fcntl(st->source_fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    close(st->source_fd);  // releases the lock too
    st->source_fd = -1;
    return look_result::unavailable;
  }
  st->locked = true;
  *offset = 0;
  bool short_block = false;
  for (;;) {
    const ssize_t got = read_some(st->source_fd, st->block, BLOCK_SIZE);
    if (got < 0) return look_result::read_failed;
    if (got == 0) return look_result::unchanged;
    if (short_block) return look_result::found;
    for (size_t at = 0; at < static_cast<size_t>(got); at += CHUNK_SIZE) {
      const size_t n = std::min(CHUNK_SIZE, static_cast<size_t>(got) - at);
      char* chunk = st->block + at;
      const char kept = chunk[n];
      chunk[n] = '\0';
      int64_t count = 0;
      const int64_t length = substitute(sub, chunk, n, &st->out, &count, st);
      chunk[n] = kept;
      shrink_output(st, sub);
      // A chunk that could not be substituted is rewritten, which reports it.
      if (count > 0 || length < 0) {
        // The rewrite goes over this chunk again, with no boundary before it.
        st->tail.valid = false;
        *offset += static_cast<off_t>(at);
        return look_result::found;
      }
    }
    *offset += got;
    short_block = static_cast<size_t>(got) < BLOCK_SIZE;
  }
}

// Writes the trace of `chunks` chunks without an occurrence, each as long as
// a full chunk except that the last has `last` bytes: what the chunk loop
// would have said about them.
void trace_unchanged(long first, long chunks, size_t last) {
  if (!opt_verbose) return;
  for (long i = 0; i < chunks; ++i) {
    const size_t n = i + 1 == chunks ? last : CHUNK_SIZE;
    note("Loop %ld: Read: %zu, Counter: 0", first + i, n);
    note("\tWrite: %zu, Counter: 0", n);
  }
}

// Copies the source's bytes from `at` to `end`, which need no change, to the
// target, in the kernel where it can.
bool copy_range(frame_state* st, off_t at, off_t end) {
  const off_t length = end;
  while (at < length) {
    const ssize_t done = copy_file_range(st->source_fd, &at, st->target_fd, nullptr,
                                         static_cast<size_t>(length - at), 0);
    if (done > 0) continue;
    if (done < 0 && errno == EINTR) continue;
    if (done == 0 || errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
        errno == EOPNOTSUPP || errno == EBADF)
      break;
    return false;
  }
  while (at < length) {
    const size_t want = std::min(BLOCK_SIZE, static_cast<size_t>(length - at));
    const ssize_t got = pread(st->source_fd, st->block, want, at);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EIO;  // the file shrank under the lock
      return false;
    }
    if (write_all(st->target_fd, st->block, static_cast<size_t>(got)) < 0) return false;
    at += got;
  }
  return true;
}

// Writes the file's name, which the line of its count begins with.
void print_name(in_place_files* files) {
  if (!opt_quiet) write_text(STDOUT_FILENO, files->file);
  files->name_printed = true;
}

// Prints the count after the name, as every finished call does.
void print_count(int64_t count) {
  if (!opt_quiet) {
    char text[32];
    const int len = snprintf(text, sizeof text, " %" PRId64, count);
    (void)write_all(STDOUT_FILENO, text, static_cast<size_t>(len));
  }
  fflush(stdout);
}

// Checks after the move aside that the copy is the file the look read: a
// link that resolves elsewhere from its new directory, or anything put in
// its place meanwhile, is refused.  Reports and returns false otherwise.
bool copy_is_looked_file(const frame_state& st, const in_place_files& files) {
  struct stat now;
  struct stat held;
  if (stat(files.copy, &now) < 0) {
    report(files.copy, "stat");
    return false;
  }
  if (fstat(st.source_fd, &held) < 0) {
    report(files.copy, "fstat");
    return false;
  }
  if (now.st_dev != held.st_dev || now.st_ino != held.st_ino) {
    note("%s\tfile didn't change! %s is no longer the same file", files.file, files.copy);
    return false;
  }
  return true;
}

int rewrite(const char* source, const char* target, const substitution& sub,
            in_place_files* files, long* cuts) {
  const bool is_stdin = source == ENGINE_STDIN;
  const bool is_stdout = target == ENGINE_STDOUT;
  const bool fixed = sub.literal && sub.old_len == sub.replacement_len;
  const size_t output_start = fixed ? CHUNK_SIZE + 1 : OUTPUT_START;

  frame_state st;
  st.block = static_cast<char*>(malloc(BLOCK_SIZE + 1));
  st.stage = static_cast<char*>(malloc(STAGE_SIZE));
  st.out.data = static_cast<char*>(malloc(output_start));
  st.out.cap = output_start;
  st.scratch = static_cast<char*>(malloc(CUT_SCRATCH));
  if (st.block == nullptr || st.stage == nullptr || st.out.data == nullptr ||
      st.scratch == nullptr) {
    errno = ENOMEM;
    report(is_stdout ? source : target, "memory");
    release(&st, true, true);
    return 1;
  }

  struct stat attrs {};
  off_t prefix = 0;  // bytes at the start that the look found need no change
  look_result looked = look_result::unavailable;
  if (files != nullptr) {
    looked = look(&st, sub, *files, &attrs, &prefix);
    if (looked == look_result::read_failed) {
      print_name(files);
      report(files->file, "read");
      release(&st, is_stdin, is_stdout);
      return ENGINE_FAILED_HERE;
    }
    if (looked == look_result::unchanged) {
      print_name(files);
      if (opt_verbose) write_text(STDERR_FILENO, "\n");
      const long chunks = static_cast<long>((prefix + CHUNK_SIZE - 1) / CHUNK_SIZE);
      trace_unchanged(1, chunks, static_cast<size_t>(prefix - (chunks - 1) * CHUNK_SIZE));
      release(&st, is_stdin, is_stdout);
      print_count(0);
      if (cuts != nullptr) *cuts = st.cuts;
      return ENGINE_UNCHANGED;
    }
    const in_place_files::move_result moved = files->move_aside(files);
    if (moved != in_place_files::MOVED) {
      release(&st, is_stdin, is_stdout);
      return moved == in_place_files::LEFT_ALONE ? ENGINE_NOT_MOVED : ENGINE_FAILED_HERE;
    }
    print_name(files);
    if (looked == look_result::found && !copy_is_looked_file(st, *files)) {
      release(&st, is_stdin, is_stdout);
      return ENGINE_GAVE_UP;
    }
  }

  if (is_stdin) {
    st.source_fd = STDIN_FILENO;
  } else if (looked == look_result::unavailable) {
    // Without blocking: a FIFO put in the file's place must not hang the run.
    st.source_fd =
        open(source, O_RDONLY | O_CLOEXEC | O_NOCTTY | (files != nullptr ? O_NONBLOCK : 0));
    if (st.source_fd < 0) {
      report(source, "open");
      release(&st, is_stdin, is_stdout);
      return ENGINE_GAVE_UP;
    }
    if (fstat(st.source_fd, &attrs) < 0) {
      report(source, "fstat");
      release(&st, is_stdin, is_stdout);
      return ENGINE_GAVE_UP;
    }
    if (files != nullptr && !source_is_checked_file(&st, source, target, attrs, *files)) {
      release(&st, is_stdin, is_stdout);
      return ENGINE_GAVE_UP;
    }
  }

  if (is_stdout) {
    st.target_fd = STDOUT_FILENO;
  } else if (is_stdin) {
    // No attributes to carry over from a stream.
    st.target_fd = open(target, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (st.target_fd < 0) {
      report(target, "open");
      release(&st, is_stdin, is_stdout);
      return ENGINE_GAVE_UP;
    }
  } else if (!prepare_target(&st, source, target, attrs, files)) {
    release(&st, is_stdin, is_stdout);
    return ENGINE_GAVE_UP;
  }

  // The caller has just written the file name without a line end; this line
  // end goes out even in quiet mode.
  if (opt_verbose) write_text(STDERR_FILENO, "\n");

  // The chunks before the first occurrence are the file's own bytes: said in
  // the trace as the loop would, chunk by chunk, and copied without being
  // read again here.
  const long skipped = static_cast<long>(prefix / static_cast<off_t>(CHUNK_SIZE));
  const off_t step = opt_verbose ? static_cast<off_t>(CHUNK_SIZE) : prefix;
  for (off_t at = 0; at < prefix; at += step) {
    trace_unchanged(static_cast<long>(at / static_cast<off_t>(CHUNK_SIZE)) + 1,
                    opt_verbose ? 1 : 0, CHUNK_SIZE);
    if (!copy_range(&st, at, std::min(prefix, at + step))) {
      report(target, errno == EIO ? "read" : "write");
      release(&st, is_stdin, is_stdout);
      return ENGINE_GAVE_UP;
    }
    st.written = std::min(prefix, at + step);
    if (files != nullptr && opt_unlink_lock) start_writeback(&st);
  }
  if (looked == look_result::found && lseek(st.source_fd, prefix, SEEK_SET) < 0) {
    report(source, "lseek");
    release(&st, is_stdin, is_stdout);
    return ENGINE_GAVE_UP;
  }

  // Reading ahead is only safe from a regular file: a pipe or a terminal
  // must deliver each chunk as it comes.  With the trace, every chunk is
  // written right after its two lines, so that no write runs ahead of the
  // trace and a failing write is reported after its own chunk's lines.
  struct stat input {};
  const bool regular_input = is_stdin ? fstat(STDIN_FILENO, &input) == 0 && S_ISREG(input.st_mode)
                                      : S_ISREG(attrs.st_mode);
  const bool collect = regular_input && !opt_verbose;
  const size_t read_size = regular_input ? BLOCK_SIZE : CHUNK_SIZE;

  long chunk_number = skipped;
  int64_t count = 0;
  for (;;) {
    const ssize_t got = read_some(st.source_fd, st.block, read_size);
    if (got < 0) {
      report(source, "read");
      release(&st, is_stdin, is_stdout);
      return 1;
    }
    if (got == 0) break;
    for (size_t at = 0; at < static_cast<size_t>(got); at += CHUNK_SIZE) {
      const size_t n = static_cast<size_t>(got) - at < CHUNK_SIZE ? static_cast<size_t>(got) - at
                                                                  : CHUNK_SIZE;
      char* chunk = st.block + at;
      // The chunk is searched as a zero-terminated text: terminate it in
      // place and put the next chunk's first byte back afterwards.
      const char kept = chunk[n];
      chunk[n] = '\0';
      if (opt_verbose) {
        ++chunk_number;
        note("Loop %ld: Read: %zu, Counter: %" PRId64, chunk_number, n, count);
      }
      const int64_t length = substitute(sub, chunk, n, &st.out, &count, &st);
      chunk[n] = kept;
      if (length < 0) {
        report(target, "memory");
        release(&st, is_stdin, is_stdout);
        return 1;
      }
      if (opt_verbose) note("\tWrite: %" PRId64 ", Counter: %" PRId64, length, count);
      const bool written = opt_simulate ? emit_chunk(&st, collect, chunk, n)
                                        : emit_chunk(&st, collect, st.out.data,
                                                     static_cast<size_t>(length));
      if (!written) {
        report(target, "write");
        release(&st, is_stdin, is_stdout);
        return 1;
      }
      if (files != nullptr && opt_unlink_lock) start_writeback(&st);
      shrink_output(&st, sub);
    }
  }
  if (!flush_stage(&st)) {
    report(target, "write");
    release(&st, is_stdin, is_stdout);
    return 1;
  }

  if (st.locked && !release_lock(&st, source)) {
    release(&st, is_stdin, is_stdout);
    return 1;
  }
  if (!is_stdin) {
    close(st.source_fd);
    st.source_fd = -1;
  }
  if (!is_stdout) {
    if (opt_keep_times && !is_stdin) {
      // Whole seconds, as the old file's times were read.
      struct timespec times[2] = {{attrs.st_atime, 0}, {attrs.st_mtime, 0}};
      (void)futimens(st.target_fd, times);
    }
    const int closed = close(st.target_fd);
    st.target_fd = -1;
    if (closed < 0) {
      report(target, "close");
      release(&st, is_stdin, is_stdout);
      return 1;
    }
  }

  print_count(count);
  if (cuts != nullptr) *cuts = st.cuts;
  release(&st, is_stdin, is_stdout);
  return ENGINE_DONE;
}

}  // namespace

int rewrite_regex(const char* source, const char* target, const regex_t* pattern,
                  const char* replacement, in_place_files* files, long* cuts) {
  const substitution sub{false, pattern, nullptr, 0, replacement, strlen(replacement)};
  return rewrite(source, target, sub, files, cuts);
}

int rewrite_with_pattern(const char* source, const char* target, in_place_files* files,
                         long* cuts) {
  return opt_literal ? rewrite_literal(source, target, old_literal, new_pattern, files, cuts)
                     : rewrite_regex(source, target, compiled_regex, new_pattern, files, cuts);
}

int rewrite_literal(const char* source, const char* target, const char* old_text,
                    const char* replacement, in_place_files* files, long* cuts) {
  const substitution sub{true, nullptr, old_text, strlen(old_text), replacement,
                         strlen(replacement)};
  return rewrite(source, target, sub, files, cuts);
}

}  // namespace zamplet
