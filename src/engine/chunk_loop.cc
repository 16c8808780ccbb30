// A fixed string's chunk loop: every chunk of 1023 bytes searched on its
// own, the occurrences a boundary cuts counted, each chunk traced, given to
// the diff and written (collected into larger writes from a regular file).
// The staging of writes, the writeback hint and the copy of bytes that need
// no change serve the search over the whole input too.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/diff.h"
#include "engine/engine.h"
#include "engine/output.h"
#include "engine/steps.h"
#include "support/support.h"

namespace zamplet {

void remember_tail(chunk_tail* tail, const char* chunk, size_t n, const search_state& state,
                   size_t keep) {
  tail->valid = true;
  tail->n = n;
  tail->kept = std::min(keep, n);
  tail->state = state;
  memcpy(tail->bytes, chunk + n - tail->kept, tail->kept);
}

namespace steps {

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

// Substitutes the fixed string over one zero-terminated chunk, after
// counting whether the boundary in front of it cut an occurrence, and keeps
// its end for the next one.
int64_t substitute(const substitution& sub, const char* chunk, size_t n, chunk_output* out,
                   int64_t* count, frame_state* st) {
  if (st->tail.valid && literal_cut(sub.old_text, sub.old_len, st->tail, chunk, n, st->scratch))
    ++st->cuts;
  search_state state;
  const int64_t length = substitute_literal(sub.old_text, sub.old_len, chunk, n, sub.replacement,
                                            sub.replacement_len, out, count, &state);
  remember_tail(&st->tail, chunk, n, state, sub.old_len - 1);
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

// Copies the chunks before the first occurrence, the file's own bytes: said
// in the trace as the loop would, chunk by chunk, and copied without being
// read again here.  The source is then read on from there.
bool copy_unchanged_start(frame_state& st) {
  const off_t prefix = st.prefix;
  const off_t step = opt_verbose ? static_cast<off_t>(CHUNK_SIZE) : prefix;
  for (off_t at = 0; at < prefix; at += step) {
    trace_unchanged(static_cast<long>(at / static_cast<off_t>(CHUNK_SIZE)) + 1,
                    opt_verbose ? 1 : 0, CHUNK_SIZE);
    if (!st.simulated && !copy_range(&st, at, std::min(prefix, at + step))) {
      report(st.target, errno == EIO ? "read" : "write");
      return false;
    }
    st.written = std::min(prefix, at + step);
    if (st.files != nullptr && opt_unlink_lock && !st.simulated) start_writeback(&st);
  }
  if (st.looked == look_result::found && lseek(st.source_fd, prefix, SEEK_SET) < 0) {
    report(st.source, "lseek");
    return false;
  }
  return true;
}

// The chunk loop of a fixed string: read, trace, substitute, write, until
// the end of the input.  False (reported) on failure.
bool copy_chunks(frame_state& st) {
  const substitution& sub = *st.sub;
  // Reading ahead is only safe from a regular file: a pipe or a terminal
  // must deliver each chunk as it comes.  With the trace, every chunk is
  // written right after its two lines, so that no write runs ahead of the
  // trace and a failing write is reported after its own chunk's lines.
  struct stat input {};
  const bool regular_input = st.source_is_stream
                                 ? fstat(STDIN_FILENO, &input) == 0 && S_ISREG(input.st_mode)
                                 : S_ISREG(st.attrs.st_mode);
  const bool collect = regular_input && !opt_verbose;
  const size_t read_size = regular_input ? BLOCK_SIZE : CHUNK_SIZE;

  long chunk_number = static_cast<long>(st.prefix / static_cast<off_t>(CHUNK_SIZE));
  for (;;) {
    const ssize_t got = read_some(st.source_fd, st.block, read_size);
    if (got < 0) {
      report(st.source, "read");
      return false;
    }
    if (got == 0) break;
    for (size_t at = 0; at < static_cast<size_t>(got); at += CHUNK_SIZE) {
      const size_t n = std::min(CHUNK_SIZE, static_cast<size_t>(got) - at);
      char* chunk = st.block + at;
      // The chunk is searched as a zero-terminated text: terminate it in
      // place and put the next chunk's first byte back afterwards.
      const char kept = chunk[n];
      chunk[n] = '\0';
      if (opt_verbose) {
        ++chunk_number;
        note("Loop %ld: Read: %zu, Counter: %" PRId64, chunk_number, n, st.count);
      }
      const int64_t length = substitute(sub, chunk, n, &st.out, &st.count, &st);
      chunk[n] = kept;
      if (length < 0) {
        report(st.target, "memory");
        return false;
      }
      if (opt_verbose) note("\tWrite: %" PRId64 ", Counter: %" PRId64, length, st.count);
      if (st.diff != nullptr) st.diff->feed(chunk, n, st.out.data, static_cast<size_t>(length));
      // A simulation writes the unchanged text to standard output, and
      // nothing at all in place.
      const bool written = st.simulated ||
                           (opt_simulate ? emit_chunk(&st, collect, chunk, n)
                                         : emit_chunk(&st, collect, st.out.data,
                                                      static_cast<size_t>(length)));
      if (!written) {
        report(st.target, "write");
        return false;
      }
      if (st.files != nullptr && opt_unlink_lock && !st.simulated) start_writeback(&st);
      shrink_output(&st, sub);
    }
  }
  if (!flush_stage(&st)) {
    report(st.target, "write");
    return false;
  }
  return true;
}

}  // namespace steps
}  // namespace zamplet
