// The unified diff of --diff.  A change begins at the start of the line in
// which a stretch's new bytes first differ from its old ones (a stretch is a
// chunk, or one occurrence) and ends at the line end after the last
// differing stretch where both texts are in step, once a whole unchanged
// line follows it: lines that change one after the other are one change,
// as diff -u shows them, removed lines before added ones.  Its old and new lines
// are aligned by their longest common subsequence (when small enough), and
// the edits go into hunks as diff -u makes them: three lines of context,
// hunks that would touch or overlap merged, removed lines before added ones.
#include "engine/diff.h"

#include <string_view>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "support/support.h"

namespace zamplet {

namespace {

constexpr int CONTEXT = static_cast<int>(diff_sink::CONTEXT_LINES);
// How much of the diff is collected before it is written.
constexpr size_t OUT_BATCH = 64 * 1024;
// How much of a hunk is held before its start goes to a temporary file.
constexpr size_t HUNK_IN_MEMORY = 256 * 1024;
// The largest change aligned line by line (old lines x new lines); a larger
// one is written as all its old lines removed and all its new lines added,
// which is as correct and needs no table.
constexpr size_t ALIGN_CELLS = 1 << 18;

// The line ends in text[0, len): the unchanged text between two changes is
// counted, never copied, so its count is most of what a rare occurrence
// costs.  Sixteen bytes at a time, each place's matches added up in a byte
// for at most 255 rounds, then summed.
long count_line_ends(const char* text, size_t len) {
  long count = 0;
  size_t at = 0;
#ifdef __SSE2__
  const __m128i newline = _mm_set1_epi8('\n');
  while (len - at >= 16) {
    __m128i sums = _mm_setzero_si128();
    const size_t rounds = std::min<size_t>((len - at) / 16, 255);
    for (size_t r = 0; r < rounds; ++r, at += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
      sums = _mm_sub_epi8(sums, _mm_cmpeq_epi8(bytes, newline));
    }
    const __m128i total = _mm_sad_epu8(sums, _mm_setzero_si128());
    count += _mm_cvtsi128_si32(total) + _mm_extract_epi16(total, 4);
  }
#endif
  return count + std::count(text + at, text + len, '\n');
}

// The lines of `text`, each with its line end, as views into it.
void lines_of(const std::string& text, std::vector<std::string_view>* lines) {
  lines->clear();
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    const size_t next = end == std::string::npos ? text.size() : end + 1;
    lines->emplace_back(text.data() + at, next - at);
    at = next;
  }
}

// A name as the headers give it, the way diff -u does: bare when patch reads
// it back whole, otherwise in double quotes with C escapes, so that no blank,
// line end, quote or unprintable byte ends the name early or makes it
// another file's.  The tab after it stands where diff -u puts the date.
std::string header_name(const char* name) {
  const char* const LETTERS = "abtnvfr";  // of the bytes 7 to 13: \a to \r
  bool quote = false;
  for (const char* p = name; *p != '\0' && !quote; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    quote = c <= ' ' || c >= 0x7f || c == '\\' || c == '"';
  }
  if (!quote) return std::string(name) + '\t';
  std::string text = "\"";
  for (const char* p = name; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '\\' || c == '"') {
      text += '\\';
      text += static_cast<char>(c);
    } else if (c >= 7 && c <= 13) {
      text += '\\';
      text += LETTERS[c - 7];
    } else if (c < ' ' || c >= 0x7f) {
      // Always three digits, so that a digit after it stays a digit.
      text += '\\';
      for (int shift : {6, 3, 0}) text += static_cast<char>('0' + ((c >> shift) & 7));
    } else {
      text += static_cast<char>(c);
    }
  }
  return text + "\"\t";
}

const char* const COLOR_META = "\033[1m";
const char* const COLOR_FRAG = "\033[36m";
const char* const COLOR_OLD = "\033[31m";
const char* const COLOR_NEW = "\033[32m";
const char* const COLOR_RESET = "\033[m";

}  // namespace

diff_sink::diff_sink(const char* name, bool color) : name_(name), color_(color) {}

void diff_sink::feed(const char* old_data, size_t old_len, const char* new_data,
                     size_t new_len) {
  if (old_len == new_len && memcmp(old_data, new_data, old_len) == 0) {
    feed_same(old_data, old_len);
    return;
  }
  if (!in_change_) {
    in_change_ = true;
    old_change_ = partial_;
    new_change_ = partial_;
    partial_.clear();
  } else if (change_in_step_) {
    // The line begun after the change's end changes too: the change goes on.
    old_change_ += partial_;
    new_change_ += partial_;
    partial_.clear();
  }
  change_in_step_ = false;
  old_change_.append(old_data, old_len);
  new_change_.append(new_data, new_len);
  // Where both texts end alike from a line end on, they are in step there:
  // the change ends at that line end, and what follows is a line begun.
  size_t common = 0;
  const size_t shorter = std::min(old_change_.size(), new_change_.size());
  while (common < shorter &&
         old_change_[old_change_.size() - 1 - common] ==
             new_change_[new_change_.size() - 1 - common]) {
    if (old_change_[old_change_.size() - 1 - common] == '\n') {
      std::string begun = old_change_.substr(old_change_.size() - common);
      old_change_.resize(old_change_.size() - common);
      new_change_.resize(new_change_.size() - common);
      change_in_step_ = true;
      partial_ = std::move(begun);
      return;
    }
    ++common;
  }
}

void diff_sink::feed_same(const char* data, size_t len) {
  if (in_change_ && !change_in_step_) {
    // The rest of the change's last line.
    const void* end = memchr(data, '\n', len);
    const size_t taken =
        end == nullptr ? len : static_cast<size_t>(static_cast<const char*>(end) - data) + 1;
    old_change_.append(data, taken);
    new_change_.append(data, taken);
    if (end == nullptr) return;
    change_in_step_ = true;
    data += taken;
    len -= taken;
  }
  if (in_change_) {
    // A whole unchanged line after the change ends it.
    if (memchr(data, '\n', len) == nullptr) {
      partial_.append(data, len);
      return;
    }
    close_change();
  }
  while (len > 0) {
    // Outside a hunk only the last lines can be context: the ones before
    // them are counted, never copied.
    if (!hunk_open_ && partial_.empty()) skip_unchanged(&data, &len);
    const void* end = memchr(data, '\n', len);
    if (end == nullptr) {
      partial_.append(data, len);
      return;
    }
    const size_t taken = static_cast<size_t>(static_cast<const char*>(end) - data) + 1;
    partial_.append(data, taken);
    edit(op::same, std::move(partial_));
    partial_.clear();
    data += taken;
    len -= taken;
  }
}

void diff_sink::skip_unchanged(const char** data, size_t* len) {
  const char* begin = *data;
  const char* end = begin + *len;
  const void* last = memrchr(begin, '\n', *len);
  if (last == nullptr) return;
  // The start of the last CONTEXT complete lines.
  const char* keep = static_cast<const char*>(last);
  for (int k = 0; k < CONTEXT && keep != nullptr; ++k) {
    const void* before = memrchr(begin, '\n', static_cast<size_t>(keep - begin));
    keep = static_cast<const char*>(before);
  }
  if (keep == nullptr) return;  // no more complete lines than that
  ++keep;
  const long skipped = count_line_ends(begin, static_cast<size_t>(keep - begin));
  old_line_ += skipped;
  new_line_ += skipped;
  before_count_ = 0;
  *data = keep;
  *len = static_cast<size_t>(end - keep);
}

void diff_sink::close_change() {
  in_change_ = false;
  change_in_step_ = false;
  std::vector<std::string_view>& old_lines = old_lines_;
  std::vector<std::string_view>& new_lines = new_lines_;
  lines_of(old_change_, &old_lines);
  lines_of(new_change_, &new_lines);
  // The lines both ends share are context; what lies between is aligned.
  size_t head = 0;
  while (head < old_lines.size() && head < new_lines.size() &&
         old_lines[head] == new_lines[head])
    ++head;
  size_t tail = 0;
  while (tail < old_lines.size() - head && tail < new_lines.size() - head &&
         old_lines[old_lines.size() - 1 - tail] == new_lines[new_lines.size() - 1 - tail])
    ++tail;
  for (size_t i = 0; i < head; ++i) edit(op::same, old_lines[i]);
  const size_t m = old_lines.size() - head - tail;
  const size_t n = new_lines.size() - head - tail;
  std::vector<unsigned> longest;  // longest[i][j]: of old[i..] and new[j..]
  if (m > 0 && n > 0 && (m + 1) * (n + 1) <= ALIGN_CELLS) {
    longest.assign((m + 1) * (n + 1), 0);
    for (size_t i = m; i-- > 0;)
      for (size_t j = n; j-- > 0;)
        longest[i * (n + 1) + j] =
            old_lines[head + i] == new_lines[head + j]
                ? longest[(i + 1) * (n + 1) + j + 1] + 1
                : std::max(longest[(i + 1) * (n + 1) + j], longest[i * (n + 1) + j + 1]);
  }
  auto at = [&](size_t i, size_t j) { return longest[i * (n + 1) + j]; };
  // Removed lines go before added ones between two common lines.
  std::vector<std::string_view> removed, added;
  auto flush = [&] {
    for (std::string_view text : removed) edit(op::removed, text);
    for (std::string_view text : added) edit(op::added, text);
    removed.clear();
    added.clear();
  };
  size_t i = 0, j = 0;
  while (i < m || j < n) {
    if (longest.empty() || i == m || j == n) {
      if (i < m) removed.push_back(old_lines[head + i++]);
      else added.push_back(new_lines[head + j++]);
    } else if (old_lines[head + i] == new_lines[head + j] && at(i, j) == at(i + 1, j + 1) + 1) {
      flush();
      edit(op::same, old_lines[head + i]);
      ++i;
      ++j;
    } else if (at(i + 1, j) >= at(i, j + 1)) {
      removed.push_back(old_lines[head + i++]);
    } else {
      added.push_back(new_lines[head + j++]);
    }
  }
  flush();
  for (size_t k = old_lines.size() - tail; k < old_lines.size(); ++k) edit(op::same, old_lines[k]);
  old_change_.clear();
  new_change_.clear();
}

void diff_sink::edit(op kind, std::string_view text) {
  if (kind == op::same) {
    if (!hunk_open_) {
      remember(text);
    } else {
      add_to_hunk(kind, text);
      // Far enough from the last edit that the next hunk would not touch
      // this one: it ends with its context, and the rest leads the next.
      if (++same_after_change_ == 2 * CONTEXT + 1) {
        for (auto l = hunk_.end() - CONTEXT; l != hunk_.end(); ++l) remember(text_of(*l));
        cut_hunk(hunk_.size() - (CONTEXT + 1));
        write_hunk();
      }
    }
    ++old_line_;
    ++new_line_;
    return;
  }
  if (!hunk_open_) {
    hunk_open_ = true;
    hunk_old_start_ = old_line_ - static_cast<long>(before_count_);
    hunk_new_start_ = new_line_ - static_cast<long>(before_count_);
    for (size_t k = 0; k < before_count_; ++k)
      add_to_hunk(op::same, before_[(before_first_ + k) % CONTEXT_LINES]);
    before_count_ = 0;
  }
  hunk_bytes_ += text.size();
  add_to_hunk(kind, text);
  same_after_change_ = 0;
  if (kind == op::removed) ++old_line_;
  else ++new_line_;
  if (hunk_bytes_ > HUNK_IN_MEMORY) spill();
}

void diff_sink::add_to_hunk(op kind, std::string_view text) {
  hunk_.push_back({kind, hunk_text_.size(), text.size()});
  hunk_text_.append(text);
}

void diff_sink::cut_hunk(size_t lines) {
  if (lines < hunk_.size()) hunk_text_.resize(hunk_[lines].from);
  hunk_.resize(lines);
}

void diff_sink::remember(std::string_view text) {
  const size_t at = (before_first_ + before_count_) % CONTEXT_LINES;
  before_[at].assign(text);
  if (before_count_ < CONTEXT_LINES) ++before_count_;
  else before_first_ = (before_first_ + 1) % CONTEXT_LINES;
}

void diff_sink::spill() {
  if (spill_stopped_) return;
  if (spill_fd_ < 0) {
    const char* dir = getenv("TMPDIR");
    spill_fd_ = open(dir != nullptr && *dir != '\0' ? dir : "/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC,
                     0600);
    spill_size_ = 0;
    if (spill_fd_ < 0) {
      spill_stopped_ = true;  // the hunk stays in memory
      return;
    }
  }
  std::string text;
  long old_count = 0, new_count = 0;
  for (const auto& l : hunk_) {
    if (l.kind != op::added) ++old_count;
    if (l.kind != op::removed) ++new_count;
    format_line(l.kind, text_of(l), &text);
  }
  if (write_all(spill_fd_, text.data(), text.size()) < 0) {
    // What did not fit stays in memory, and so does the rest of the hunk.
    (void)!ftruncate(spill_fd_, spill_size_);
    (void)lseek(spill_fd_, spill_size_, SEEK_SET);
    spill_stopped_ = true;
    return;
  }
  spill_size_ += static_cast<off_t>(text.size());
  spilled_old_ += old_count;
  spilled_new_ += new_count;
  cut_hunk(0);
  hunk_bytes_ = 0;
}

void diff_sink::format_line(op kind, std::string_view text, std::string* into) const {
  const char* color = kind == op::removed ? COLOR_OLD : kind == op::added ? COLOR_NEW : nullptr;
  if (color_ && color != nullptr) *into += color;
  *into += static_cast<char>(kind);
  const bool ended = !text.empty() && text.back() == '\n';
  into->append(text, 0, ended ? text.size() - 1 : text.size());
  if (color_ && color != nullptr) *into += COLOR_RESET;
  *into += '\n';
  if (!ended) *into += "\\ No newline at end of file\n";
}

void diff_sink::flush_out() {
  if (!out_.empty()) write_report(out_.data(), out_.size());
  out_.clear();
}

void diff_sink::write_hunk() {
  long old_count = spilled_old_, new_count = spilled_new_;
  for (const auto& l : hunk_) {
    if (l.kind != op::added) ++old_count;
    if (l.kind != op::removed) ++new_count;
  }
  if (!opt_quiet) {
    if (!headers_written_) {
      const std::string name = header_name(name_);
      for (const char* mark : {"--- ", "+++ "}) {
        if (color_) out_ += COLOR_META;
        out_ += mark + name;
        if (color_) out_ += COLOR_RESET;
        out_ += '\n';
      }
      headers_written_ = true;
    }
    // An empty range is given by the line before it, as diff -u does.
    auto range = [](long start, long count) {
      char text[48];
      if (count == 1) snprintf(text, sizeof text, "%ld", start);
      else snprintf(text, sizeof text, "%ld,%ld", count == 0 ? start - 1 : start, count);
      return std::string(text);
    };
    std::string header = "@@ -" + range(hunk_old_start_, old_count) + " +" +
                         range(hunk_new_start_, new_count) + " @@";
    if (color_) header = COLOR_FRAG + header + COLOR_RESET;
    out_ += header + "\n";
    // The start of a long hunk waits in the temporary file.
    if (spill_fd_ >= 0) {
      flush_out();
      char block[64 * 1024];
      off_t at = 0;
      ssize_t got;
      while ((got = pread(spill_fd_, block, sizeof block, at)) > 0) {
        write_report(block, static_cast<size_t>(got));
        at += got;
      }
      if (got < 0) report_write_failed(errno);
    }
    for (const auto& l : hunk_) {
      format_line(l.kind, text_of(l), &out_);
      if (out_.size() >= OUT_BATCH) flush_out();
    }
  }
  if (spill_fd_ >= 0) close(spill_fd_);
  spill_fd_ = -1;
  spilled_old_ = spilled_new_ = 0;
  spill_stopped_ = false;
  hunk_open_ = false;
  cut_hunk(0);
  hunk_bytes_ = 0;
  same_after_change_ = 0;
}

bool diff_sink::finish() {
  if (in_change_) close_change();
  if (!partial_.empty()) {
    edit(op::same, std::move(partial_));
    partial_.clear();
  }
  if (hunk_open_) {
    // The last hunk ends with at most its context.
    if (same_after_change_ > CONTEXT)
      cut_hunk(hunk_.size() - static_cast<size_t>(same_after_change_ - CONTEXT));
    write_hunk();
  }
  flush_out();
  return true;
}

}  // namespace zamplet
