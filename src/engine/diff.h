// --diff: the change a run would make, as a unified diff with three lines of
// context, built from the chunks as the rewrite sees them.  Internal to the
// engine.
#pragma once

#include <cstddef>
#include <sys/types.h>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "engine/sink.h"

namespace zamplet {

// Receives a file's old text and new text chunk by chunk, both in step at
// every chunk boundary, and writes the hunks to standard output as the
// report (write_report).  Only the lines of a change and of the hunk being
// built are held, never the file.
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
  // A line of the hunk: its text, with its line end if it has one, lies in
  // hunk_text_, so that a hunk's lines take no allocation each.
  struct line {
    op kind;
    size_t from, len;
  };
  std::string_view text_of(const line& l) const { return {hunk_text_.data() + l.from, l.len}; }
  void add_to_hunk(op kind, std::string_view text);
  // Keeps the hunk's first `lines` lines.
  void cut_hunk(size_t lines);
  void feed_same(const char* data, size_t len);
  void skip_unchanged(const char** data, size_t* len);
  void close_change();
  void edit(op kind, std::string_view text);
  // Keeps an unchanged line as one of the last CONTEXT before a hunk.
  void remember(std::string_view text);
  void write_hunk();
  void format_line(op kind, std::string_view text, std::string* into) const;
  void spill();
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
  std::string old_change_, new_change_;
  std::string partial_;  // the unchanged line begun, outside a change
  // The hunk being built, and the unchanged lines before it.
  long old_line_ = 1, new_line_ = 1;  // numbers of the next lines
  bool hunk_open_ = false;
  std::vector<line> hunk_;
  std::string hunk_text_;
  long hunk_old_start_ = 0, hunk_new_start_ = 0;
  int same_after_change_ = 0;
  // The last unchanged lines, oldest at before_first_, reused as a ring.
  std::string before_[CONTEXT_LINES];
  size_t before_first_ = 0, before_count_ = 0;
  // The lines of a change being aligned, kept for their capacity.
  std::vector<std::string_view> old_lines_, new_lines_;
  std::string out_;  // written a batch at a time
  // A long hunk's start, already formatted, in an unnamed temporary file.
  size_t hunk_bytes_ = 0;
  int spill_fd_ = -1;
  long spilled_old_ = 0, spilled_new_ = 0;
  off_t spill_size_ = 0;
  bool spill_stopped_ = false;  // the temporary file failed: memory holds the rest
};

}  // namespace zamplet
