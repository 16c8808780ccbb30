// The frame of one rewrite: the source (after the look at a file under its
// own name, look.cc), the target (target.cc), the sink the output goes to
// (sink.h), and the count.  What lies between is a fixed string's chunk loop
// (chunk_loop.cc) or the search over the whole input (search_output.cc).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/diff.h"
#include "engine/engine.h"
#include "engine/scan.h"
#include "engine/sink.h"
#include "engine/steps.h"
#include "support/support.h"

namespace zamplet {

namespace {
// The standard streams, told apart by address, never by name, so that files
// called "stdin" or "stdout" are ordinary files.
const char STREAM_IN[] = "stdin";
const char STREAM_OUT[] = "stdout";
}  // namespace

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

namespace {

// Gives the count to the report; in place, the count of a rewritten file
// makes the rewrite final with it.
void give_count(frame_state& st, bool final) {
  if (!st.report->counted(st.count, st.cuts, final)) report_write_failed(errno);
}

// Allocates the buffers of one call; false (errno ENOMEM) when memory is short.
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
  return false;
}

// Ends the call for a file without an occurrence, left exactly as it is: its
// line, the trace its rewrite would have made, and the count 0.
outcome report_unchanged(frame_state& st) {
  st.report->line_begins();
  if (st.job->trace) write_text(STDERR_FILENO, "\n");
  const long chunks = static_cast<long>((st.prefix + CHUNK_SIZE - 1) / CHUNK_SIZE);
  if (st.job->whole && st.job->trace)
    trace_whole_unchanged(st);
  else if (st.job->trace)
    trace_unchanged(1, chunks, static_cast<size_t>(st.prefix - (chunks - 1) * CHUNK_SIZE));
  // The file and its lock are let go before the count, which may wait.
  close(st.source_fd);
  st.source_fd = -1;
  st.count = 0;
  give_count(st, false);
  return outcome::unchanged;
}

// In place: the look at the file under its own name, which may end the call
// for a file without an occurrence, then the move aside.  The way on is
// `moved`; anything else is the call's result.
outcome look_and_move(frame_state& st) {
  in_place_conversation* files = st.files;
  st.looked = look(&st, *st.sub, files->file, files->source, &st.attrs, &st.prefix);
  if (st.looked == look_result::read_failed || st.looked == look_result::lock_refused) {
    const int err = errno;
    files->line_begins();
    errno = err;
    report(files->file, st.looked == look_result::read_failed ? "read" : "fcntl");
    return outcome::failed;
  }
  // A binary file passed over by -I gets no line at all.
  if (st.looked == look_result::binary) return outcome::passed_over;
  if (st.looked == look_result::unchanged) return report_unchanged(st);
  const outcome moved = files->move_aside();
  if (moved != outcome::moved) return moved;
  files->line_begins();
  // A simulation reads the file under its own name and writes nothing.
  st.simulated = st.job->only_reads();
  st.moved = !st.simulated;
  if (st.simulated) st.source = files->file;
  if (st.looked == look_result::found && !st.simulated && !copy_is_looked_file(st, *files))
    return outcome::gave_up;
  return outcome::moved;
}

// Takes the source: in place, the look and the move aside; then the named
// copy or standard input.  `moved` is the way on; anything else ends the call.
outcome take_source(frame_state& st) {
  in_place_conversation* files = st.files;
  if (files != nullptr) {
    const outcome moved = look_and_move(st);
    if (moved != outcome::moved) return moved;
  }
  const outcome failure = st.simulated ? outcome::failed : outcome::gave_up;
  if (st.source_is_stream) {
    st.source_fd = STDIN_FILENO;
  } else if (st.looked == look_result::unavailable) {
    // Without blocking: a FIFO put in the file's place must not hang the run.
    st.source_fd =
        open(st.source, O_RDONLY | O_CLOEXEC | O_NOCTTY | (files != nullptr ? O_NONBLOCK : 0));
    if (st.source_fd < 0) {
      report(st.source, "open");
      return failure;
    }
    if (fstat(st.source_fd, &st.attrs) < 0) {
      report(st.source, "fstat");
      return failure;
    }
    if (files != nullptr && !source_is_checked_file(&st, st.source, st.target, st.attrs, *files))
      return failure;
  }
  return outcome::moved;
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

// An expression is searched once over the input, and so is everything with
// --whole; a fixed string otherwise chunk by chunk.
bool one_search(const frame_state& st) { return st.job->whole || !st.sub->literal; }

// The sink of this call: the diff stands in for everything with --diff; a
// simulation in place writes nothing, in filter mode the unchanged text.
std::unique_ptr<output_sink> make_sink(frame_state& st) {
  const rewrite_job& job = *st.job;
  if (job.diff)
    return std::make_unique<diff_sink>(st.files != nullptr ? st.files->file : STREAM_IN,
                                       job.color);
  if (st.simulated) return std::make_unique<null_sink>();
  // The one search collects its own blocks, in the stage; the chunk loop
  // lets the sink collect its chunks there.
  char* stage = one_search(st) ? nullptr : st.stage;
  return std::make_unique<descriptor_sink>(st.target_fd, stage, st.block, BLOCK_SIZE,
                                           job.simulate, st.files != nullptr && job.delete_copy);
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
  if (st.job->keep_times) {
    // Whole seconds, as the old file's times were read.
    struct timespec times[2] = {{st.attrs.st_atime, 0}, {st.attrs.st_mtime, 0}};
    (void)futimens(st.target_fd, times);
  }
  const int closed = close(st.target_fd);
  st.target_fd = -1;
  if (closed < 0) report(st.target, "close");
  return closed == 0;
}

// Copies from the source to the sink.
bool copy(frame_state& st) {
  // A sink that numbers lines reads the file again from its start.
  if (st.sink->sees_whole_input() && st.prefix > 0) {
    st.prefix = 0;
    st.cuts = 0;
  }
  if (one_search(st)) return copy_whole(st);
  return copy_unchanged_start(st) && copy_chunks(st);
}

// How one chunk is substituted, from the job.
substitution substitution_of(const rewrite_job& job) {
  const bool literal = job.old_text != nullptr;
  return {literal,          job.pattern, job.old_text, literal ? strlen(job.old_text) : 0,
          job.replacement, strlen(job.replacement)};
}

outcome rewrite_steps(frame_state& st) {
  const outcome failure = st.files != nullptr ? outcome::failed : outcome::gave_up;
  if (!allocate(st)) {
    // Nothing has been moved yet: the file stays as it is.
    if (st.files == nullptr) {
      report(st.source, "memory");
      return failure;
    }
    st.files->line_begins();
    errno = ENOMEM;
    report(st.files->file, "memory");
    return failure;
  }
  const outcome taken = take_source(st);
  if (taken != outcome::moved) return taken;
  if (!open_target(st)) return outcome::gave_up;
  const std::unique_ptr<output_sink> sink = make_sink(st);
  st.sink = sink.get();
  // The caller has just written the file name without a line end; this line
  // end goes out even in quiet mode.
  if (st.job->trace) write_text(STDERR_FILENO, "\n");
  if (!copy(st) || !finish(st)) return st.simulated ? outcome::failed : outcome::gave_up;
  sink->finish();
  if (st.files != nullptr) st.files->written = sink->written();
  give_count(st, st.files != nullptr && !st.simulated);
  return st.simulated ? outcome::counted : outcome::rewritten;
}

outcome rewrite(const rewrite_job& job, in_place_conversation* files, input_report* reports) {
  const substitution sub = substitution_of(job);
  frame_state st;
  st.job = &job;
  st.sub = &sub;
  st.files = files;
  st.report = reports;
  // In place the copy is read and the file's name written; otherwise
  // standard input is rewritten to standard output.
  st.source = files != nullptr ? files->copy : STREAM_IN;
  st.target = files != nullptr ? files->file : STREAM_OUT;
  st.source_is_stream = st.target_is_stream = files == nullptr;
  try {
    return rewrite_steps(st);
  } catch (const std::bad_alloc&) {
    // A structure that grows with the input (a diff's change, say) found no
    // memory: this input fails, with its old content, and the run goes on.
    if (files != nullptr) files->line_begins();
    errno = ENOMEM;
    report(files != nullptr ? files->file : st.source, "memory");
    return files != nullptr && !st.moved ? outcome::failed : outcome::gave_up;
  }
}

}  // namespace
}  // namespace steps

using namespace steps;

size_t longest_replaced(const rewrite_job& job) {
  const bool short_texts = job.old_text == nullptr && job.pattern->short_texts;
  return short_texts ? std::min(WHOLE_WINDOW, LIBRARY_WINDOW) : WHOLE_WINDOW;
}

look_hint look_for_occurrence(const rewrite_job& job, const char* file,
                              const file_identity& checked) {
  look_hint hint;
  if (job.trace) return hint;
  const substitution sub = substitution_of(job);
  frame_state st;
  st.job = &job;
  st.sub = &sub;
  off_t prefix = 0;
  try {
    if (!allocate(st)) return hint;
    switch (look(&st, sub, file, checked, &hint.seen, &prefix)) {
      case look_result::unchanged:
        hint.found = look_hint::unchanged;
        hint.cuts = st.cuts;
        break;
      case look_result::binary:
        hint.found = look_hint::binary;
        break;
      default:
        break;
    }
  } catch (const std::bad_alloc&) {
    // The file's own turn meets the shortage again, and reports it.
  }
  return hint;
}

outcome rewrite_stream(const rewrite_job& job, input_report* report) {
  return rewrite(job, nullptr, report);
}

outcome rewrite_file(const rewrite_job& job, in_place_conversation* files) {
  return rewrite(job, files, files);
}

}  // namespace zamplet
