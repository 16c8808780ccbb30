// --diff: the change a run would make, as a unified diff with three lines of
// context, built from the chunks as the rewrite sees them.  Internal to the
// engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <string>
#include <vector>

#include "engine/sink.h"
#include "engine/spill_text.h"

namespace zamplet {

// A line of a change, for the alignment: where it lies, and a hash of its
// bytes, so that lines are compared only when they are probably equal.
struct change_line {
  size_t at, len;
  uint64_t hash;
};

// Receives a file's old text and new text chunk by chunk, both in step at
// every chunk boundary, and writes the hunks to standard output as the
// report (write_report).  Only the lines of a change and of the hunk being
// built are held, never the file, and of those only a bounded part in
// memory: the rest waits in temporary files, whatever the lines' length.
class diff_sink final : public output_sink {
 public:
  static constexpr size_t CONTEXT_LINES = 3;  // of context around each change
  // `name` is the file's name as the run prints it, in both headers (quoted
  // where patch would misread it); with `color` the lines are coloured.
  explicit diff_sink(const char* name, bool color = false);
  // One chunk: its old bytes and the bytes the rewrite makes of them.
  void feed(const char* old_data, size_t old_len, const char* new_data, size_t new_len);
  bool write(const char* old, size_t old_len, const char* data, size_t len, bool) override {
    feed(old, old_len, data, len);
    return true;
  }
  // The end of the input: what is pending is written.
  bool finish() override;
  // The hunks number the lines from the file's first.
  bool sees_whole_input() const override { return true; }
  bool wants_each_occurrence() const override { return true; }

 private:
  enum class op : char { same = ' ', removed = '-', added = '+' };
  // A line's text, with its line end if it has one: `len` bytes at `bytes`,
  // or (bytes null) `len` bytes of `text` from `at`.
  struct text_ref {
    const char* bytes;
    const spill_text* text;
    size_t at, len;
  };
  static text_ref bytes_of(const char* bytes, size_t len) { return {bytes, nullptr, 0, len}; }
  static text_ref part_of(const spill_text& text, size_t at, size_t len) {
    return {nullptr, &text, at, len};
  }
  // A line of the hunk: it lies in hunk_text_ as the diff shows it, from
  // `from` on, `len` bytes, so that a hunk's lines take no allocation each
  // and go out as they are.
  struct line {
    op kind;
    size_t from, len;
  };
  // The text of an unchanged line of the hunk, after its mark.
  text_ref text_of(const line& l) const { return part_of(hunk_text_, l.from + 1, l.len - 1); }
  void add_to_hunk(op kind, const text_ref& text);
  // Keeps the hunk's first `lines` lines.
  void cut_hunk(size_t lines);
  void feed_same(const char* data, size_t len);
  void skip_unchanged(const char** data, size_t* len);
  void close_change();
  // Aligns the lines of old_change_ in [old_from, old_to) with those of
  // new_change_ in [new_from, new_to).
  void align(size_t old_from, size_t old_to, size_t new_from, size_t new_to);
  // Each line of `text` in [from, to) as an edit of `kind`.
  void edit_lines(op kind, const spill_text& text, size_t from, size_t to);
  void edit(op kind, const text_ref& text);
  // Keeps an unchanged line as one of the last CONTEXT before a hunk.
  void remember(const text_ref& text);
  void write_hunk();
  // Appends the line to the hunk as the diff shows it.
  void format_line(op kind, const text_ref& text);
  void flush_out();

  const char* name_;
  bool headers_written_ = false;
  bool color_;
  // A change: old and new bytes from a line start where both texts are in
  // step, up to the end of a line where they are in step again.
  bool in_change_ = false;
  // The change ends at a line end where both texts are in step, unless the
  // line begun after it (in partial_) changes too.
  bool change_in_step_ = false;
  spill_text old_change_, new_change_;
  spill_text partial_;  // the unchanged line begun, outside a change
  spill_text after_change_;  // the unchanged text after a change, set apart
  // The hunk being built, and the unchanged lines before it.
  long old_line_ = 1, new_line_ = 1;  // numbers of the next lines
  bool hunk_open_ = false;
  std::vector<line> hunk_;
  spill_text hunk_text_;
  long hunk_old_start_ = 0, hunk_new_start_ = 0;
  int same_after_change_ = 0;
  // The last unchanged lines, oldest at before_first_, reused as a ring.
  spill_text before_[CONTEXT_LINES];
  size_t before_first_ = 0, before_count_ = 0;
  // The lines of a change being aligned, and the table, kept for their
  // capacity.
  std::vector<change_line> old_lines_, new_lines_;
  std::vector<unsigned> longest_;
  std::vector<size_t> removed_, added_;
  std::string out_;  // written a batch at a time
  // The lines of a long hunk no longer kept apart, as counts.
  long folded_old_ = 0, folded_new_ = 0;
};

}  // namespace zamplet
