// The rewrite that both engines share: the source, the target, the chunk loop
// with its trace, the count, and the cut matches.  The engines differ only in
// how one chunk is substituted; the target and its attributes are in
// target.cc, the look at an unchanged file in look.cc.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "engine/diff.h"
#include "engine/engine.h"
#include "engine/output.h"
#include "engine/steps.h"
#include "support/support.h"

namespace zamplet {

const char ENGINE_STDIN[] = "stdin";
const char ENGINE_STDOUT[] = "stdout";

static_assert(WHOLE_WINDOW == 65536, "the note names the window's size");

namespace {
// The occurrences that chunk boundaries cut in this run, and in how many inputs.
long cut_total = 0;
long cut_inputs = 0;
}  // namespace

void report_cuts(const char* name, long cuts) {
  if (cuts <= 0) return;
  if (opt_whole) {
    note("%s\tmatches longer than 65536 bytes left alone: %ld", name, cuts);
    return;
  }
  note("%s\t%ld occurrences cut by chunk boundaries left unchanged", name, cuts);
  cut_total += cuts;
  ++cut_inputs;
}

void report_cut_total() {
  if (cut_total > 0)
    note("%ld occurrences in %ld files were left unchanged because chunk boundaries cut them; "
         "--whole replaces every occurrence",
         cut_total, cut_inputs);
}

void remember_tail(chunk_tail* tail, const char* chunk, size_t n, const search_state& state,
                   size_t keep) {
  tail->valid = true;
  tail->n = n;
  tail->kept = std::min(keep, n);
  tail->state = state;
  memcpy(tail->bytes, chunk + n - tail->kept, tail->kept);
}

namespace steps {

// Reports a failed call as "NAME\tCALL error:TEXT" with the current errno.
void report(const char* name, const char* call) { note_failed(name, call, errno); }

frame_state::~frame_state() {
  const int saved = errno;
  if (source_fd >= 0 && !source_is_stream) close(source_fd);
  if (target_fd >= 0 && !target_is_stream) close(target_fd);
  free(block);
  free(stage);
  free(out.data);
  free(scratch);
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

// Writes the file's name, which the line of its count begins with.
void print_name(in_place_files* files) {
  if (!opt_quiet && !opt_diff) write_report(files->file);
  files->name_printed = true;
}

// Prints the count after the name, as every finished call does.  In place
// it is part of the report, and the count of a rewritten file goes through
// the caller's `counted`, which makes the rewrite final with it.
void print_count(int64_t count, in_place_files* files, bool rewritten) {
  char text[32];
  size_t len = 0;
  // A diff stands in for the names and counts.
  if (!opt_quiet && !opt_diff)
    len = static_cast<size_t>(snprintf(text, sizeof text, " %" PRId64, count));
  if (rewritten && files->counted != nullptr) {
    if (!files->counted(text, len)) report_write_failed(errno);
  } else if (len > 0 && files != nullptr) {
    write_report(text);
  } else if (len > 0) {
    (void)write_all(STDOUT_FILENO, text, len);
  }
  fflush(stdout);
}

// Allocates the buffers of one call; false (reported) when memory is short.
bool allocate(frame_state& st) {
  const substitution& sub = *st.sub;
  const bool fixed = sub.literal && sub.old_len == sub.replacement_len;
  const size_t output_start = fixed ? CHUNK_SIZE + 1 : OUTPUT_START;
  st.block = static_cast<char*>(malloc(BLOCK_SIZE + 1));
  st.stage = static_cast<char*>(malloc(STAGE_SIZE));
  st.out.data = static_cast<char*>(malloc(output_start));
  st.out.cap = output_start;
  st.scratch = static_cast<char*>(malloc(CUT_SCRATCH));
  if (st.block != nullptr && st.stage != nullptr && st.out.data != nullptr &&
      st.scratch != nullptr)
    return true;
  errno = ENOMEM;
  if (st.files == nullptr) report(st.source, "memory");
  return false;
}

void trace_whole_unchanged(frame_state& st);

// The way on after a step that did not end the call.
constexpr int GO_ON = -1;

// Takes the source: in place, the look at the file under its own name, which
// may end the call for a file without an occurrence, then the move aside;
// otherwise the named copy or standard input.  GO_ON, or the call's result.
int take_source(frame_state& st, long* cuts) {
  in_place_files* files = st.files;
  if (files != nullptr) {
    st.looked = look(&st, *st.sub, *files, &st.attrs, &st.prefix);
    if (st.looked == look_result::read_failed || st.looked == look_result::lock_refused) {
      const int err = errno;
      print_name(files);
      errno = err;
      report(files->file, st.looked == look_result::read_failed ? "read" : "fcntl");
      return ENGINE_FAILED_HERE;
    }
    // A binary file passed over by -I gets no line at all.
    if (st.looked == look_result::binary) return ENGINE_PASSED_OVER;
    if (st.looked == look_result::unchanged) {
      print_name(files);
      if (opt_verbose) write_text(STDERR_FILENO, "\n");
      const long chunks = static_cast<long>((st.prefix + CHUNK_SIZE - 1) / CHUNK_SIZE);
      if (opt_whole && opt_verbose)
        trace_whole_unchanged(st);
      else
        trace_unchanged(1, chunks, static_cast<size_t>(st.prefix - (chunks - 1) * CHUNK_SIZE));
      // The file and its lock are let go before the count, which may wait.
      close(st.source_fd);
      st.source_fd = -1;
      print_count(0, files, false);
      if (cuts != nullptr) *cuts = st.cuts;
      return ENGINE_UNCHANGED;
    }
    const in_place_files::move_result moved = files->move_aside(files);
    if (moved == in_place_files::LEFT_ALONE) return ENGINE_NOT_MOVED;
    if (moved == in_place_files::MOVE_FAILED) return ENGINE_FAILED_HERE;
    print_name(files);
    // A simulation reads the file under its own name and writes nothing.
    st.simulated = moved == in_place_files::WOULD_MOVE;
    if (st.simulated) st.source = files->file;
    // A diff needs the lines before the first occurrence too: the file is
    // read again from its start.
    if (st.simulated && st.diff != nullptr) {
      st.prefix = 0;
      st.cuts = 0;
    }
    if (st.looked == look_result::found && !st.simulated && !copy_is_looked_file(st, *files))
      return ENGINE_GAVE_UP;
  }
  if (st.source_is_stream) {
    st.source_fd = STDIN_FILENO;
  } else if (st.looked == look_result::unavailable) {
    // Without blocking: a FIFO put in the file's place must not hang the run.
    st.source_fd =
        open(st.source, O_RDONLY | O_CLOEXEC | O_NOCTTY | (files != nullptr ? O_NONBLOCK : 0));
    if (st.source_fd < 0) {
      report(st.source, "open");
      return st.simulated ? ENGINE_FAILED_HERE : ENGINE_GAVE_UP;
    }
    if (fstat(st.source_fd, &st.attrs) < 0) {
      report(st.source, "fstat");
      return st.simulated ? ENGINE_FAILED_HERE : ENGINE_GAVE_UP;
    }
    if (files != nullptr && !source_is_checked_file(&st, st.source, st.target, st.attrs, *files))
      return st.simulated ? ENGINE_FAILED_HERE : ENGINE_GAVE_UP;
  }
  return GO_ON;
}

// Opens the target: standard output, or the new file with the old one's
// attributes.  False (reported) on failure.
bool open_target(frame_state& st) {
  // Standard input is only ever rewritten to standard output.
  if (st.target_is_stream) {
    st.target_fd = STDOUT_FILENO;
    return true;
  }
  if (st.simulated) return true;
  return prepare_target(&st, st.source, st.target, st.attrs, st.files);
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

// The input of a whole search: the source descriptor.
ssize_t read_source(void* context, char* into, size_t room) {
  return read_some(*static_cast<const int*>(context), into, room);
}

// Whether a read of the descriptor would return at once (or fail, or find
// the end) rather than wait.
bool source_ready(void* context) {
  struct pollfd p {};
  p.fd = *static_cast<const int*>(context);
  p.events = POLLIN;
  return poll(&p, 1, 0) != 0;
}

// The output of a whole search, written in blocks of at most STAGE_SIZE
// bytes (a longer unchanged stretch is one block of its own).  Every block
// ends where input and output are in step, so it is given to the diff and
// written as one.  With --whole each block is traced as the chunk loop
// traces a chunk; with the chunk rule each chunk is, and with the trace
// each chunk is written right after its lines.  With `write` false only
// the trace is made.
class whole_writer final : public whole_output {
 public:
  // With the chunk rule and the trace, each chunk is held until its lines
  // are out, as the chunk loop wrote it: the stage grows for a chunk that
  // needs more, as the chunk loop's output did, and the chunk's input stays
  // in the search's buffer when it moves.
  whole_writer(frame_state& st, bool write, bool chunks)
      : st_(st), write_(write), chunks_(chunks), hold_(chunks && opt_verbose) {}
  ~whole_writer() override { shrink_stage(); }

  bool kept(const char* data, size_t len) override {
    if (len == 0) return true;
    chunk_old_ += len;
    chunk_new_ += len;
    if (!room_for(len)) return false;
    // A long unchanged stretch goes out as it is, not through the stage.
    if (len >= STAGE_SIZE && !hold_) return block(data, len, data, len);
    append(data, len, data, len);
    return true;
  }
  bool replaced(const char* data, size_t len) override {
    const substitution& sub = *st_.sub;
    chunk_old_ += len;
    chunk_new_ += sub.replacement_len;
    if (!room_for(sub.replacement_len)) return false;
    append(data, len, sub.replacement, sub.replacement_len);
    ++count_;
    return true;
  }
  bool moving() override { return hold_ || flush(); }
  void moved(size_t shift) override {
    if (old_len_ > 0) old_ -= shift;
  }
  bool waiting() override { return flush(); }
  bool chunk_end() override {
    if (opt_verbose) {
      note("Loop %ld: Read: %zu, Counter: %" PRId64, ++number_, chunk_old_, traced_);
      note("\tWrite: %zu, Counter: %" PRId64, chunk_new_, count_);
    }
    traced_ = count_;
    chunk_old_ = 0;
    chunk_new_ = 0;
    if (!opt_verbose) return true;
    const bool ok = flush();
    shrink_stage();
    return ok;
  }

  // Writes what is collected as one block.
  bool flush() {
    if (old_len_ == 0 && st_.staged == 0) return true;
    const bool ok = block(old_, old_len_, st_.stage, st_.staged);
    st_.staged = 0;
    old_len_ = 0;
    return ok;
  }
  bool write_failed() const { return write_failed_; }

 private:
  // Makes room in the stage for `len` more bytes: by writing what it holds,
  // or while a chunk is held, by growing it.  False (errno set) on failure.
  bool room_for(size_t len) {
    if (st_.staged + len <= stage_size_) return true;
    if (!hold_) return flush();
    size_t size = stage_size_;
    while (st_.staged + len > size) size *= 2;
    char* bigger = static_cast<char*>(realloc(st_.stage, size));
    if (bigger == nullptr) {
      errno = ENOMEM;
      return false;
    }
    st_.stage = bigger;
    stage_size_ = size;
    return true;
  }
  // Gives back what a held chunk took beyond the stage's size.
  void shrink_stage() {
    if (stage_size_ == STAGE_SIZE || st_.staged > STAGE_SIZE) return;
    if (char* smaller = static_cast<char*>(realloc(st_.stage, STAGE_SIZE))) {
      st_.stage = smaller;
      stage_size_ = STAGE_SIZE;
    }
  }

  void append(const char* old_data, size_t old_len, const char* new_data, size_t new_len) {
    if (old_len_ == 0) old_ = old_data;
    memcpy(st_.stage + st_.staged, new_data, new_len);
    st_.staged += new_len;
    old_len_ += old_len;
  }
  bool block(const char* old_data, size_t old_len, const char* new_data, size_t new_len) {
    if (opt_verbose && !chunks_) {
      note("Loop %ld: Read: %zu, Counter: %" PRId64, ++number_, old_len, traced_);
      note("\tWrite: %zu, Counter: %" PRId64, new_len, count_);
      traced_ = count_;
    }
    if (st_.diff != nullptr) st_.diff->feed(old_data, old_len, new_data, new_len);
    if (!write_ || st_.simulated) return true;
    // A simulation writes the unchanged text to standard output.
    const char* data = opt_simulate ? old_data : new_data;
    const size_t len = opt_simulate ? old_len : new_len;
    if (write_all(st_.target_fd, data, len) < 0) {
      write_failed_ = true;
      return false;
    }
    st_.written += static_cast<off_t>(len);
    if (st_.files != nullptr && opt_unlink_lock) start_writeback(&st_);
    return true;
  }

  frame_state& st_;
  bool write_;
  bool chunks_;                // the chunk rule: traced by chunk, not by block
  bool hold_;                  // each chunk held until its trace lines are out
  size_t stage_size_ = STAGE_SIZE;
  const char* old_ = nullptr;  // where the block's input begins
  size_t old_len_ = 0;
  size_t chunk_old_ = 0;  // the current chunk's input and output lengths
  size_t chunk_new_ = 0;
  int64_t count_ = 0;   // occurrences given so far
  int64_t traced_ = 0;  // in the blocks (chunks) traced
  long number_ = 0;
  bool write_failed_ = false;
};

// Sets up the search of the whole input from the descriptor's offset: with
// --whole, or an expression under the chunk rule.
void prepare_scan(const frame_state& st, whole_scan* scan) {
  const substitution& sub = *st.sub;
  scan->pattern = sub.pattern;
  if (sub.literal) {
    scan->old_text = sub.old_text;
    scan->old_len = sub.old_len;
  }
  scan->chunks = !opt_whole;
  // Under the chunk rule a smaller buffer does: the search still holds twice
  // its window ahead, and memory stays what the chunk loop took.
  if (scan->chunks) scan->capacity = CHUNK_RULE_BUFFER;
}

// Whether the input is a regular file, which returns what is asked of it
// except at its end; a pipe's or a terminal's reads are chunks of their own.
bool regular_input(const frame_state& st) {
  struct stat input {};
  return st.source_is_stream ? fstat(STDIN_FILENO, &input) == 0 && S_ISREG(input.st_mode)
                             : S_ISREG(st.attrs.st_mode);
}

// The rewrite by one search over the input: the start that needs no change
// copied as it is, then the rest searched as one text, with --whole or under
// the chunk rule.  False (reported) on failure.
bool copy_whole(frame_state& st) {
  whole_scan scan;
  prepare_scan(st, &scan);
  const bool regular = regular_input(st);
  scan.read_chunks = scan.chunks && !regular;
  if (st.prefix > 0) {
    if (!st.simulated && !copy_range(&st, 0, st.prefix)) {
      report(st.target, errno == EIO ? "read" : "write");
      return false;
    }
    st.written = st.prefix;
    // The search resumes at the first occurrence, reading the byte before it
    // for the context, and under the chunk rule from the start of its chunk.
    const off_t chunk = static_cast<off_t>(CHUNK_SIZE);
    const off_t from = scan.chunks ? st.prefix - st.prefix % chunk : st.prefix;
    scan.base = from > 0 ? from - 1 : 0;
    scan.skip = static_cast<size_t>(st.prefix - scan.base);
  }
  // The look has read on; the search reads from its own start.
  if (st.looked == look_result::found && lseek(st.source_fd, scan.base, SEEK_SET) < 0) {
    report(st.source, "lseek");
    return false;
  }
  whole_writer writer(st, true, scan.chunks);
  // What a pipe or a terminal has sent goes out before the next read waits.
  const whole_input input{read_source, &st.source_fd, regular ? nullptr : source_ready};
  const whole_end end = scan_whole(&scan, input, &writer);
  st.count = scan.count;
  st.cuts += scan.left_alone;
  if (end == whole_end::done && writer.flush()) return true;
  if (end == whole_end::read_failed) {
    report(st.source, "read");
  } else if (end == whole_end::matcher_failed) {
    char text[256];
    regerror(regex_failure, st.sub->pattern->regex, text, sizeof text);
    note("%s\tregexec error:%s", st.target_is_stream ? st.source : st.target, text);
  } else {
    const bool memory = end == whole_end::no_memory || !writer.write_failed();
    report(st.target, memory ? "memory" : "write");
  }
  return false;
}

// The trace of a file without an occurrence, with --whole: the blocks that
// its rewrite would have written.
void trace_whole_unchanged(frame_state& st) {
  if (lseek(st.source_fd, 0, SEEK_SET) < 0) return;
  whole_scan scan;
  prepare_scan(st, &scan);
  whole_writer writer(st, false, false);
  if (scan_whole(&scan, {read_source, &st.source_fd}, &writer) == whole_end::done)
    writer.flush();
}

// Releases the lock, closes both files and, with -d, gives the target the
// old times.  False (reported) on failure.
bool finish(frame_state& st) {
  if (st.locked && !release_lock(&st, st.source)) return false;
  if (!st.source_is_stream) {
    close(st.source_fd);
    st.source_fd = -1;
  }
  if (st.target_is_stream || st.simulated) return true;
  if (opt_keep_times && !st.source_is_stream) {
    // Whole seconds, as the old file's times were read.
    struct timespec times[2] = {{st.attrs.st_atime, 0}, {st.attrs.st_mtime, 0}};
    (void)futimens(st.target_fd, times);
  }
  const int closed = close(st.target_fd);
  st.target_fd = -1;
  if (closed < 0) report(st.target, "close");
  return closed == 0;
}

int rewrite(const char* source, const char* target, const substitution& sub,
            in_place_files* files, long* cuts) {
  frame_state st;
  st.source = source;
  st.target = target;
  st.sub = &sub;
  st.files = files;
  st.source_is_stream = source == ENGINE_STDIN;
  st.target_is_stream = target == ENGINE_STDOUT;
  // With --diff nothing is written but the diff, in every mode.
  std::optional<diff_sink> diff;
  if (opt_diff) {
    diff.emplace(files != nullptr ? files->file : ENGINE_STDIN);
    st.diff = &*diff;
    st.simulated = files == nullptr;
  }
  if (!allocate(st)) {
    // Nothing has been moved yet: the file stays as it is.
    if (files == nullptr) return ENGINE_GAVE_UP;
    print_name(files);
    errno = ENOMEM;
    report(files->file, "memory");
    return ENGINE_FAILED_HERE;
  }
  const int taken = take_source(st, cuts);
  if (taken != GO_ON) return taken;
  if (!open_target(st)) return ENGINE_GAVE_UP;
  // The caller has just written the file name without a line end; this line
  // end goes out even in quiet mode.
  if (opt_verbose) write_text(STDERR_FILENO, "\n");
  // An expression is searched once over the input, a fixed string chunk by
  // chunk (where it can have no false occurrence).
  const bool one_search = opt_whole || !sub.literal;
  const bool copied = one_search ? copy_whole(st) : copy_unchanged_start(st) && copy_chunks(st);
  if (!copied || !finish(st))
    return st.simulated && files != nullptr ? ENGINE_FAILED_HERE : ENGINE_GAVE_UP;
  if (st.diff != nullptr) st.diff->finish();
  if (st.simulated && files != nullptr) {
    print_count(st.count, files, false);
    if (cuts != nullptr) *cuts = st.cuts;
    return ENGINE_SIMULATED;
  }
  if (files != nullptr) files->written = st.written;
  print_count(st.count, files, files != nullptr);
  if (cuts != nullptr) *cuts = st.cuts;
  return ENGINE_DONE;
}

}  // namespace steps

using namespace steps;

int rewrite_regex(const char* source, const char* target, const matcher* pattern,
                  const char* replacement, in_place_files* files, long* cuts) {
  const substitution sub{false, pattern, nullptr, 0, replacement, strlen(replacement)};
  return rewrite(source, target, sub, files, cuts);
}

int rewrite_with_pattern(const char* source, const char* target, in_place_files* files,
                         long* cuts) {
  return opt_literal ? rewrite_literal(source, target, old_literal, new_pattern, files, cuts)
                     : rewrite_regex(source, target, compiled_matcher, new_pattern, files, cuts);
}

int rewrite_literal(const char* source, const char* target, const char* old_text,
                    const char* replacement, in_place_files* files, long* cuts) {
  const substitution sub{true, nullptr, old_text, strlen(old_text), replacement,
                         strlen(replacement)};
  return rewrite(source, target, sub, files, cuts);
}

}  // namespace zamplet
