// The rewrite by one search over the whole input (whole.cc): with --whole
// every match is replaced, under the chunk rule those inside one chunk.
// Its output goes to the sink in collected blocks, traced by block or by
// chunk, and held whole per chunk while -v traces.
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
#include <vector>

#include "engine/scan.h"
#include "engine/output.h"
#include "engine/sink.h"
#include "engine/steps.h"
#include "engine/template.h"
#include "support/support.h"

namespace zamplet::steps {

// Whether a read of the descriptor would return at once (or fail, or find
// the end) rather than wait.
bool descriptor_input::ready() {
  struct pollfd p {};
  p.fd = fd_;
  p.events = POLLIN;
  return poll(&p, 1, 0) != 0;
}

// The output of a whole search, given to `sink` in blocks of at most
// STAGE_SIZE bytes (a longer unchanged stretch is one block of its own).
// Every block ends where input and output are in step.  With --whole each
// block is traced as the chunk loop traces a chunk; with the chunk rule each
// chunk is, and with the trace each chunk goes out right after its lines.
class whole_writer final : public whole_output {
 public:
  // With the chunk rule and the trace, each chunk is held until its lines
  // are out, as the chunk loop wrote it: the stage grows for a chunk that
  // needs more, as the chunk loop's output did, and the chunk's input stays
  // in the search's buffer when it moves.
  whole_writer(frame_state& st, output_sink* sink, bool chunks, const regmatch_t* groups)
      : st_(st),
        groups_(groups),
        sink_(sink),
        trace_(st.job->trace),
        chunks_(chunks),
        hold_(chunks && trace_),
        apart_(sink->wants_each_occurrence()),
        stage_(st.stage) {}
  ~whole_writer() override { shrink_stage(); }
  whole_writer(const whole_writer&) = delete;
  whole_writer& operator=(const whole_writer&) = delete;

  bool kept(const char* data, size_t len) override {
    // Once a block is half full, it ends at the last line end of what is
    // kept, where input and output are in step: a diff closes its change
    // there, and so holds no more than a block of it.
    if (!hold_ && staged_ + len >= STAGE_SIZE / 2 && len < STAGE_SIZE) {
      if (const void* line_end = memrchr(data, '\n', len)) {
        const size_t head = static_cast<size_t>(static_cast<const char*>(line_end) - data) + 1;
        if (!kept_stretch(data, head) || !flush()) return false;
        data += head;
        len -= head;
      }
    }
    return kept_stretch(data, len);
  }
  bool kept_stretch(const char* data, size_t len) {
    if (len == 0) return true;
    chunk_old_ += len;
    chunk_new_ += len;
    // A long unchanged stretch goes out as it is, after what is collected,
    // not through the stage.
    if (len >= STAGE_SIZE && !hold_) return flush() && block(data, len, data, len);
    if (!room_for(len)) return false;
    append(data, len, data, len);
    return true;
  }
  bool replaced(const char* data, size_t len) override {
    const substitution& sub = *st_.sub;
    chunk_old_ += len;
    if (st_.job->backrefs != nullptr) return expanded(data, len, *st_.job->backrefs);
    chunk_new_ += sub.replacement_len;
    if (!room_for(sub.replacement_len)) return false;
    append(data, len, sub.replacement, sub.replacement_len);
    ++count_;
    return true;
  }
  // The replacement of a match by the template, with the match's groups.
  bool expanded(const char* data, size_t len, const replacement_template& t) {
    const size_t size = expansion_size(t, groups_);
    chunk_new_ += size;
    if (!room_for(size)) return false;
    expand(t, data, groups_, stage_ + staged_);
    appended(data, len, size, true);
    ++count_;
    return true;
  }
  bool moving() override { return hold_ || flush(); }
  void moved(size_t shift) override {
    if (old_len_ > 0) old_ -= shift;
  }
  bool waiting() override { return flush(); }
  bool chunk_end() override {
    if (trace_) {
      trace_read(++number_, chunk_old_, traced_);
      trace_wrote(chunk_new_, count_);
    }
    traced_ = count_;
    chunk_old_ = 0;
    chunk_new_ = 0;
    if (!trace_) return true;
    const bool ok = flush();
    shrink_stage();
    return ok;
  }

  // Writes what is collected as one block.
  bool flush() {
    if (old_len_ == 0 && staged_ == 0) return true;
    const bool ok = pieces_.size() > 1 ? block_in_pieces() : block(old_, old_len_, stage_, staged_);
    pieces_.clear();
    staged_ = 0;
    old_len_ = 0;
    if (!hold_) shrink_stage();
    return ok;
  }
  bool write_failed() const { return write_failed_; }

 private:
  // Makes room in the stage for `len` more bytes: by writing what it holds
  // (unless a chunk is held), and then, if that is not enough, by growing
  // it.  False (errno set) on failure.
  bool room_for(size_t len) {
    if (staged_ + len <= stage_size_) return true;
    if (!hold_ && !flush()) return false;
    // A template's expansion can be longer than the stage.
    if (staged_ + len <= stage_size_) return true;
    size_t size = stage_size_;
    while (staged_ + len > size) size *= 2;
    char* bigger = static_cast<char*>(realloc(stage_, size));
    if (bigger == nullptr) {
      errno = ENOMEM;
      return false;
    }
    stage_ = st_.stage = bigger;
    stage_size_ = size;
    return true;
  }
  // Gives back what a held chunk took beyond the stage's size.
  void shrink_stage() {
    if (stage_size_ == STAGE_SIZE || staged_ > STAGE_SIZE) return;
    if (char* smaller = static_cast<char*>(realloc(stage_, STAGE_SIZE))) {
      stage_ = st_.stage = smaller;
      stage_size_ = STAGE_SIZE;
    }
  }

  void append(const char* old_data, size_t old_len, const char* new_data, size_t new_len) {
    memcpy(stage_ + staged_, new_data, new_len);
    appended(old_data, old_len, new_len, new_data != old_data);
  }
  // Counts bytes just put in the stage, for the input bytes they stand for.
  void appended(const char* old_data, size_t old_len, size_t new_len, bool occurrence) {
    if (old_len_ == 0) old_ = old_data;
    staged_ += new_len;
    old_len_ += old_len;
    if (!apart_) return;
    // Unchanged stretches side by side are one piece.
    if (!occurrence && !pieces_.empty() && !pieces_.back().occurrence) {
      pieces_.back().old_len += old_len;
      pieces_.back().new_len += new_len;
    } else {
      pieces_.push_back({old_len, new_len, occurrence});
    }
  }
  bool block(const char* old_data, size_t old_len, const char* new_data, size_t new_len) {
    trace_block(old_len, new_len);
    return send(old_data, old_len, new_data, new_len);
  }
  // The collected block, traced as one, given to the sink piece by piece.
  bool block_in_pieces() {
    trace_block(old_len_, staged_);
    const char* old_data = old_;
    const char* new_data = stage_;
    for (const piece& p : pieces_) {
      if (!send(old_data, p.old_len, new_data, p.new_len)) return false;
      old_data += p.old_len;
      new_data += p.new_len;
    }
    return true;
  }
  void trace_block(size_t old_len, size_t new_len) {
    if (!trace_ || chunks_) return;
    trace_read(++number_, old_len, traced_);
    trace_wrote(new_len, count_);
    traced_ = count_;
  }
  bool send(const char* old_data, size_t old_len, const char* new_data, size_t new_len) {
    if (sink_->write(old_data, old_len, new_data, new_len, false)) return true;
    write_failed_ = true;
    return false;
  }

  frame_state& st_;
  const regmatch_t* groups_;  // the groups of the match given to replaced()
  output_sink* sink_;
  bool trace_;
  bool chunks_;  // the chunk rule: traced by chunk, not by block
  bool hold_;    // each chunk held until its trace lines are out
  bool apart_;   // the sink takes each occurrence apart from what surrounds it
  // With apart_: the stretches of the block being collected, unchanged or
  // one occurrence each.
  struct piece {
    size_t old_len, new_len;
    bool occurrence;
  };
  std::vector<piece> pieces_;
  char* stage_;  // the block being collected: its output
  size_t staged_ = 0;
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
  scan->chunks = !st.job->whole;
  // The library's report of a group can depend on how many are asked for:
  // all are, up to the last a template can name, so that \1 is the same
  // text whichever other groups the template names.
  if (st.job->backrefs != nullptr && st.job->backrefs->highest_group > 0)
    scan->groups_wanted = std::min<size_t>(st.sub->pattern->regex->re_nsub + 1, 10);
  else if (st.job->backrefs != nullptr)
    scan->groups_wanted = 1;
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
    if (!st.sink->copy(st.source_fd, 0, st.prefix)) {
      report(st.target, errno == EIO ? "read" : "write");
      return false;
    }
    // The search resumes at the first occurrence, reading the byte before it
    // for the context, and under the chunk rule from the start of its chunk;
    // at a boundary, from the chunk before it too, which holds the place when
    // it is the input's end.
    const off_t chunk = static_cast<off_t>(CHUNK_SIZE);
    off_t from = scan.chunks ? st.prefix - st.prefix % chunk : st.prefix;
    if (scan.chunks && from == st.prefix) from -= chunk;
    scan.base = from > 0 ? from - 1 : 0;
    scan.skip = static_cast<size_t>(st.prefix - scan.base);
  }
  // The look has read on; the search reads from its own start.
  if (st.looked == look_result::found && lseek(st.source_fd, scan.base, SEEK_SET) < 0) {
    report(st.source, "lseek");
    return false;
  }
  whole_writer writer(st, st.sink, scan.chunks, scan.groups);
  // What a pipe or a terminal has sent goes out before the next read waits.
  descriptor_input input(st.source_fd, !regular);
  const whole_end end = scan_whole(&scan, input, &writer);
  st.count = scan.count;
  st.cuts += scan.left_alone;
  if (end == whole_end::done && writer.flush()) return true;
  if (end == whole_end::read_failed) {
    report(st.source, "read");
  } else if (end == whole_end::matcher_failed) {
    note("%s\tregexec error:%s", st.target_is_stream ? st.source : st.target,
         matcher_error(*st.sub->pattern).c_str());
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
  null_sink nowhere;
  whole_writer writer(st, &nowhere, false, scan.groups);
  descriptor_input input(st.source_fd, false);
  if (scan_whole(&scan, input, &writer) == whole_end::done)
    writer.flush();
}

}  // namespace zamplet::steps
