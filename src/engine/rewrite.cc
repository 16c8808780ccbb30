// The frame of one rewrite: the source (after the look at a file under its
// own name, look.cc), the target (target.cc), the count and the cut note.
// What lies between is a fixed string's chunk loop (chunk_loop.cc) or the
// search over the whole input (search_output.cc).
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

// The way on after a step that did not end the call.
constexpr int GO_ON = -1;

// Ends the call for a file without an occurrence, left exactly as it is: its
// line, the trace its rewrite would have made, and the count 0.
int report_unchanged(frame_state& st, long* cuts) {
  print_name(st.files);
  if (opt_verbose) write_text(STDERR_FILENO, "\n");
  const long chunks = static_cast<long>((st.prefix + CHUNK_SIZE - 1) / CHUNK_SIZE);
  if (opt_whole && opt_verbose)
    trace_whole_unchanged(st);
  else
    trace_unchanged(1, chunks, static_cast<size_t>(st.prefix - (chunks - 1) * CHUNK_SIZE));
  // The file and its lock are let go before the count, which may wait.
  close(st.source_fd);
  st.source_fd = -1;
  print_count(0, st.files, false);
  if (cuts != nullptr) *cuts = st.cuts;
  return ENGINE_UNCHANGED;
}

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
    if (st.looked == look_result::unchanged) return report_unchanged(st, cuts);
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
