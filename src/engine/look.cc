// The look at a file under its own name: a file without an occurrence is
// only read, and one with an occurrence is moved aside only when it appears.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

#include "engine/scan.h"
#include "engine/steps.h"
#include "support/support.h"

namespace zamplet::steps {

// Opens `file` under its own name for a look: read-only, without blocking
// (a FIFO must not hang the run) and, where permitted, without changing its
// access time, so that a file left alone keeps every time it had.
int open_for_look(const char* file) {
  const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  const int fd = open(file, flags | O_NOATIME);
  return fd >= 0 || errno != EPERM ? fd : open(file, flags);
}

// Notes where the first occurrence begins, and stops the search there.
class first_occurrence final : public whole_output {
 public:
  explicit first_occurrence(const whole_scan& scan) : scan_(scan) {}
  bool kept(const char*, size_t) override { return true; }
  bool replaced(const char* data, size_t) override {
    at_ = scan_.base + (data - scan_.buf);
    return false;
  }
  bool moving() override { return true; }
  off_t at() const { return at_; }

 private:
  const whole_scan& scan_;
  off_t at_ = 0;
};

// The look of an expression, or with --whole: the file searched as one text
// (under the chunk rule without --whole) up to its first occurrence, whose
// offset goes to *offset; the rewrite resumes there.
// With -v the rewrite traces every block from the start instead.  The
// matches left alone before it are counted in st->cuts.
look_result look_whole(frame_state* st, const substitution& sub, off_t* offset) {
  if (st->job->skip_binary) {
    const ssize_t got = pread(st->source_fd, st->block, BINARY_PROBE, 0);
    if (got < 0) return look_result::read_failed;
    if (memchr(st->block, '\0', static_cast<size_t>(got)) != nullptr) return look_result::binary;
  }
  whole_scan scan;
  scan.pattern = sub.pattern;
  if (sub.literal) {
    scan.old_text = sub.old_text;
    scan.old_len = sub.old_len;
  }
  scan.chunks = !st->job->whole;
  if (scan.chunks) scan.capacity = CHUNK_RULE_BUFFER;
  first_occurrence first(scan);
  descriptor_input input(st->source_fd, false);
  switch (scan_whole(&scan, input, &first)) {
    case whole_end::done:
      *offset = scan.base + static_cast<off_t>(scan.end);
      st->cuts = scan.left_alone;
      return look_result::unchanged;
    case whole_end::stopped:
      *offset = st->job->trace ? 0 : first.at();
      st->cuts = st->job->trace ? 0 : scan.left_alone;
      return look_result::found;
    case whole_end::read_failed:
      return look_result::read_failed;
    default:
      // The rewrite meets the failure again, and reports it.
      return look_result::found;
  }
}

// Looks for the first occurrence in the file under its own name, holding the
// read lock that a rewrite takes.  `unavailable`: the file could not be
// opened, was not the checked regular file, or could not be locked; nothing
// is held.  `unchanged`: no chunk holds an occurrence; `*offset` is the size
// read.  `found`: `*offset` is where the first chunk to rewrite begins, and
// every chunk before it is a full chunk without an occurrence (a short read
// that is not the end counts as found there, so that this stays true).
// `read_failed`: errno says why.  `lock_refused`: another process holds a
// conflicting lock; errno says why, and nothing is held.
look_result look(frame_state* st, const substitution& sub, const char* file,
                 const file_identity& checked, struct stat* attrs, off_t* offset) {
  st->source_fd = open_for_look(file);
  if (st->source_fd < 0) return look_result::unavailable;
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  const bool is_checked = fstat(st->source_fd, attrs) == 0 && S_ISREG(attrs->st_mode) &&
                          file_identity{attrs->st_dev, attrs->st_ino} == checked;
  if (is_checked && fcntl(st->source_fd, SET_LOCK, &lock) < 0) {
    // Another process holds a lock that a rewrite would have to share: the
    // file is left exactly as it is, whatever it holds.
    const int err = errno;
    close(st->source_fd);
    st->source_fd = -1;
    errno = err;
    return look_result::lock_refused;
  }
  const int flags = is_checked ? fcntl(st->source_fd, F_GETFL) : -1;
  if (flags < 0 || fcntl(st->source_fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    close(st->source_fd);  // releases the lock too
    st->source_fd = -1;
    return look_result::unavailable;
  }
  st->locked = true;
  *offset = 0;
  if (st->job->whole || !sub.literal) return look_whole(st, sub, offset);
  bool short_block = false;
  for (;;) {
    const ssize_t got = read_some(st->source_fd, st->block, BLOCK_SIZE);
    if (got < 0) return look_result::read_failed;
    if (got == 0) return look_result::unchanged;
    if (st->job->skip_binary && *offset == 0 &&
        memchr(st->block, '\0', std::min(BINARY_PROBE, static_cast<size_t>(got))) != nullptr)
      return look_result::binary;
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

// Checks after the move aside that the copy is the file the look read: a
// link that resolves elsewhere from its new directory, or anything put in
// its place meanwhile, is refused.  Reports and returns false otherwise.
bool copy_is_looked_file(const frame_state& st, const in_place_conversation& files) {
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

}  // namespace zamplet::steps
