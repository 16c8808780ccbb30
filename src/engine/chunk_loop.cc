// A fixed string's chunk loop: every chunk of 1023 bytes searched on its
// own, the occurrences a boundary cuts counted, each chunk traced and given
// to the sink (collected into larger writes from a regular file).
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

#include "engine/scan.h"
#include "engine/output.h"
#include "engine/sink.h"
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

// Substitutes the fixed string over one zero-terminated chunk, after
// counting whether the boundary in front of it cut an occurrence, and keeps
// its end for the next one.
int64_t substitute(const substitution& sub, const char* chunk, size_t n, chunk_output* out,
                   int64_t* count, frame_state* st, std::vector<size_t>* hits) {
  if (st->tail.valid && literal_cut(sub.old_text, sub.old_len, st->tail, chunk, n, st->scratch))
    ++st->cuts;
  search_state state;
  const int64_t length = substitute_literal(sub.old_text, sub.old_len, chunk, n, sub.replacement,
                                            sub.replacement_len, out, count, &state, hits);
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
  for (long i = 0; i < chunks; ++i) {
    const size_t n = i + 1 == chunks ? last : CHUNK_SIZE;
    trace_read(first + i, n, 0);
    trace_wrote(n, 0);
  }
}

// Copies the chunks before the first occurrence, the file's own bytes: said
// in the trace as the loop would, chunk by chunk, and copied without being
// read again here.  The source is then read on from there.
bool copy_unchanged_start(frame_state& st) {
  const off_t prefix = st.prefix;
  const bool trace = st.job->trace;
  const off_t step = trace ? static_cast<off_t>(CHUNK_SIZE) : prefix;
  for (off_t at = 0; at < prefix; at += step) {
    if (trace) trace_unchanged(static_cast<long>(at / static_cast<off_t>(CHUNK_SIZE)) + 1, 1,
                               CHUNK_SIZE);
    if (!st.sink->copy(st.source_fd, at, std::min(prefix, at + step))) {
      report(st.target, errno == EIO ? "read" : "write");
      return false;
    }
  }
  if (st.looked == look_result::found && lseek(st.source_fd, prefix, SEEK_SET) < 0) {
    report(st.source, "lseek");
    return false;
  }
  return true;
}

// The unchanged bytes from `*run` on and the chunk's occurrences (starting
// at `hits`) one by one, a diff aligning only the lines each occurrence
// touches; `*run` is left after the last occurrence, where the unchanged
// bytes go on.
bool write_apart(frame_state& st, const char** run, const char* chunk,
                 const std::vector<size_t>& hits, bool collect) {
  const substitution& sub = *st.sub;
  output_sink& sink = *st.sink;
  for (const size_t at : hits) {
    const size_t same = static_cast<size_t>(chunk + at - *run);
    if (!sink.write(*run, same, *run, same, collect) ||
        !sink.write(chunk + at, sub.old_len, sub.replacement, sub.replacement_len, collect))
      return false;
    *run = chunk + at + sub.old_len;
  }
  return true;
}

// The unchanged bytes from `*run` to `end`, written apart.
bool write_run(frame_state& st, const char** run, const char* end, bool collect) {
  const size_t same = static_cast<size_t>(end - *run);
  *run = end;
  return same == 0 || st.sink->write(end - same, same, end - same, same, collect);
}

// The chunk loop of a fixed string: read, trace, substitute, write, until
// the end of the input.  False (reported) on failure.
bool copy_chunks(frame_state& st) {
  const substitution& sub = *st.sub;
  const bool trace = st.job->trace;
  // Reading ahead is only safe from a regular file: a pipe or a terminal
  // must deliver each chunk as it comes.  With the trace, every chunk is
  // written right after its two lines, so that no write runs ahead of the
  // trace and a failing write is reported after its own chunk's lines.
  struct stat input {};
  const bool regular_input = st.source_is_stream
                                 ? fstat(STDIN_FILENO, &input) == 0 && S_ISREG(input.st_mode)
                                 : S_ISREG(st.attrs.st_mode);
  const bool collect = regular_input && !trace;
  const size_t read_size = regular_input ? BLOCK_SIZE : CHUNK_SIZE;
  const bool apart = st.sink->wants_each_occurrence();
  std::vector<size_t> hits;  // where a chunk's occurrences start, for `apart`

  long chunk_number = static_cast<long>(st.prefix / static_cast<off_t>(CHUNK_SIZE));
  for (;;) {
    const ssize_t got = read_some(st.source_fd, st.block, read_size);
    if (got < 0) {
      report(st.source, "read");
      return false;
    }
    if (got == 0) break;
    // Apart, a block's unchanged bytes go to the sink as one stretch, from
    // one occurrence to the next, not chunk by chunk.
    const char* run = st.block;
    for (size_t at = 0; at < static_cast<size_t>(got); at += CHUNK_SIZE) {
      const size_t n = std::min(CHUNK_SIZE, static_cast<size_t>(got) - at);
      char* chunk = st.block + at;
      // The chunk is searched as a zero-terminated text: terminate it in
      // place and put the next chunk's first byte back afterwards.
      const char kept = chunk[n];
      chunk[n] = '\0';
      if (trace) trace_read(++chunk_number, n, st.count);
      const int64_t length =
          substitute(sub, chunk, n, &st.out, &st.count, &st, apart ? &hits : nullptr);
      chunk[n] = kept;
      if (length < 0) {
        report(st.target, "memory");
        return false;
      }
      if (trace) trace_wrote(static_cast<size_t>(length), st.count);
      const bool written =
          apart ? write_apart(st, &run, chunk, hits, collect) &&
                      (collect || write_run(st, &run, chunk + n, collect))
                : st.sink->write(chunk, n, st.out.data, static_cast<size_t>(length), collect);
      if (!written) {
        report(st.target, "write");
        return false;
      }
      shrink_output(&st, sub);
    }
    if (apart && !write_run(st, &run, st.block + got, collect)) {
      report(st.target, "write");
      return false;
    }
  }
  if (!st.sink->flush()) {
    report(st.target, "write");
    return false;
  }
  return true;
}

}  // namespace steps
}  // namespace zamplet
