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

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#ifdef __x86_64__
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "support/support.h"

namespace zamplet {

namespace {

constexpr int CONTEXT = static_cast<int>(diff_sink::CONTEXT_LINES);
// How much of the diff is collected before it is written.
constexpr size_t OUT_BATCH = 64 * 1024;
// The lines of a hunk kept apart; the text of a hunk is kept in bounded
// memory by itself.
constexpr size_t HUNK_LINES = 16 * 1024;
// The largest change aligned line by line (old lines x new lines); a larger
// one is written as all its old lines removed and all its new lines added,
// which is as correct and needs no table.
constexpr size_t ALIGN_CELLS = 1 << 18;

// The line ends in text[0, len): the unchanged text between two changes is
// counted, never copied, so its count is most of what a rare occurrence
// costs.  A vector of bytes at a time, each place's matches added up in a
// byte for at most 255 rounds, then summed; 32 bytes at a time where the
// processor has AVX2, else 16.
#ifdef __x86_64__
__attribute__((target("avx2"))) long count_line_ends_avx2(const char* text, size_t len) {
  long count = 0;
  size_t at = 0;
  const __m256i newline = _mm256_set1_epi8('\n');
  while (len - at >= 32) {
    __m256i sums = _mm256_setzero_si256();
    const size_t rounds = std::min<size_t>((len - at) / 32, 255);
    for (size_t r = 0; r < rounds; ++r, at += 32) {
      const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + at));
      sums = _mm256_sub_epi8(sums, _mm256_cmpeq_epi8(bytes, newline));
    }
    const __m256i total = _mm256_sad_epu8(sums, _mm256_setzero_si256());
    count += _mm256_extract_epi64(total, 0) + _mm256_extract_epi64(total, 1) +
             _mm256_extract_epi64(total, 2) + _mm256_extract_epi64(total, 3);
  }
  return count + std::count(text + at, text + len, '\n');
}
#endif

long count_line_ends(const char* text, size_t len) {
#ifdef __x86_64__
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return count_line_ends_avx2(text, len);
#endif
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

// A hash of bytes that come in pieces, eight at a time, the same however
// they are cut: lines are compared byte by byte only when their hashes agree.
class line_hash {
 public:
  void add(const char* data, size_t len) {
    while (pending_ > 0 && pending_ < 8 && len > 0) {
      word_[pending_++] = *data++;
      --len;
    }
    if (pending_ == 8) mix(word_), pending_ = 0;
    for (; len >= 8; data += 8, len -= 8) mix(data);
    for (; len > 0; --len) word_[pending_++] = *data++;
  }
  uint64_t value() {
    for (size_t i = pending_; i < 8; ++i) word_[i] = 0;
    if (pending_ > 0) mix(word_);
    return hash_ ^ (hash_ >> 29);
  }

 private:
  void mix(const char* bytes) {
    uint64_t word;
    memcpy(&word, bytes, 8);
    hash_ = (hash_ ^ word) * 0x9E3779B97F4A7C15ull;
    hash_ ^= hash_ >> 32;
  }
  uint64_t hash_ = 0x243F6A8885A308D3ull;
  char word_[8];
  size_t pending_ = 0;
};

// The lines of `text` in [from, to), with their hashes.
void lines_of(const spill_text& text, size_t from, size_t to, std::vector<change_line>* lines) {
  lines->clear();
  while (from < to) {
    const size_t next = std::min(text.find('\n', from, to) + 1, to);
    line_hash hash;
    text.read(from, next - from, [&hash](const char* piece, size_t len) { hash.add(piece, len); });
    lines->push_back({from, next - from, hash.value()});
    from = next;
  }
}

bool same_line(const spill_text& a, const change_line& x, const spill_text& b,
               const change_line& y) {
  if (x.len != y.len || x.hash != y.hash) return false;
  if (a.all_in_memory() && b.all_in_memory())
    return memcmp(a.data() + x.at, b.data() + y.at, x.len) == 0;
  bool same = true;
  size_t at = y.at;
  a.read(x.at, x.len, [&](const char* piece, size_t len) {
    for (size_t i = 0; i < len && same; ++i) same = piece[i] == b.at(at + i);
    at += len;
  });
  return same;
}

// The number of lines in [from, to) of `text`, the last one counted even
// without its line end.
size_t count_lines(const spill_text& text, size_t from, size_t to) {
  if (from == to) return 0;
  size_t lines = 0;
  text.read(from, to - from, [&lines](const char* piece, size_t len) {
    lines += static_cast<size_t>(count_line_ends(piece, len));
  });
  return lines + (text.at(to - 1) != '\n' ? 1 : 0);
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
  if (old_len == new_len && (old_data == new_data || memcmp(old_data, new_data, old_len) == 0)) {
    feed_same(old_data, old_len);
    return;
  }
  // A change begins with the line begun; after a change's end, the line
  // begun after it changes too, and the change goes on.
  if (!in_change_ || change_in_step_) {
    old_change_.append(partial_, 0, partial_.size());
    new_change_.append(partial_, 0, partial_.size());
    partial_.clear();
  }
  in_change_ = true;
  change_in_step_ = false;
  old_change_.append(old_data, old_len);
  new_change_.append(new_data, new_len);
  // Where both texts end alike from a line end on, they are in step there:
  // the change ends at the first such line end.  Whole lines after it are
  // unchanged and end the change; what follows the last line end is a line
  // begun.
  const size_t old_size = old_change_.size(), new_size = new_change_.size();
  const size_t shorter = std::min(old_size, new_size);
  size_t first_end = SIZE_MAX, last_end = SIZE_MAX;  // just past the line ends
  for (size_t common = 0; common < shorter; ++common) {
    const char c = old_change_.at(old_size - 1 - common);
    if (c != new_change_.at(new_size - 1 - common)) break;
    if (c != '\n') continue;
    first_end = old_size - common;
    if (last_end == SIZE_MAX) last_end = first_end;
  }
  if (first_end == SIZE_MAX) return;
  const size_t common = old_size - first_end;
  spill_text& after = after_change_;
  after.clear();
  after.append(old_change_, first_end, common);
  old_change_.truncate(first_end);
  new_change_.truncate(new_size - common);
  change_in_step_ = true;
  const size_t whole_lines = last_end - first_end;
  if (whole_lines > 0) {
    close_change();
    edit_lines(op::same, after, 0, whole_lines);
  }
  partial_.append(after, whole_lines, common - whole_lines);
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
    if (partial_.empty()) {
      edit(op::same, bytes_of(data, taken));
    } else {
      partial_.append(data, taken);
      edit(op::same, part_of(partial_, 0, partial_.size()));
      partial_.clear();
    }
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
  const spill_text& o = old_change_;
  const spill_text& n = new_change_;
  const size_t old_size = o.size(), new_size = n.size();
  // The whole lines both texts begin with are context, and so are the
  // whole lines both end with; what lies between is aligned.
  size_t head = 0, tail = 0;
  const size_t most = std::min(old_size, new_size);
  auto bounds = [&](auto old_at, auto new_at) {
    for (size_t at = 0; at < most && old_at(at) == new_at(at); ++at)
      if (old_at(at) == '\n') head = at + 1;
    for (size_t k = 1; k <= most - head && old_at(old_size - k) == new_at(new_size - k); ++k)
      if ((old_size == k || old_at(old_size - k - 1) == '\n') &&
          (new_size == k || new_at(new_size - k - 1) == '\n'))
        tail = k;
  };
  if (o.all_in_memory() && n.all_in_memory())
    bounds([a = o.data()](size_t i) { return a[i]; }, [b = n.data()](size_t i) { return b[i]; });
  else
    bounds([&o](size_t i) { return o.at(i); }, [&n](size_t i) { return n.at(i); });
  edit_lines(op::same, o, 0, head);
  const size_t m = count_lines(o, head, old_size - tail);
  const size_t k = count_lines(n, head, new_size - tail);
  if (m == 1 && k == 1) {
    // The common case, a line changed in place, needs no table.
    edit(op::removed, part_of(o, head, old_size - tail - head));
    edit(op::added, part_of(n, head, new_size - tail - head));
  } else if (m > 0 && k > 0 && (m + 1) * (k + 1) <= ALIGN_CELLS) {
    align(head, old_size - tail, head, new_size - tail);
  } else {
    // Too large to align (or one side empty): all old lines removed, then
    // all new ones added, which is as correct and needs no table.
    edit_lines(op::removed, o, head, old_size - tail);
    edit_lines(op::added, n, head, new_size - tail);
  }
  edit_lines(op::same, o, old_size - tail, old_size);
  old_change_.clear();
  new_change_.clear();
}

void diff_sink::align(size_t old_from, size_t old_to, size_t new_from, size_t new_to) {
  std::vector<change_line>& old_lines = old_lines_;
  std::vector<change_line>& new_lines = new_lines_;
  lines_of(old_change_, old_from, old_to, &old_lines);
  lines_of(new_change_, new_from, new_to, &new_lines);
  const size_t m = old_lines.size(), n = new_lines.size();
  auto same = [&](size_t i, size_t j) {
    return same_line(old_change_, old_lines[i], new_change_, new_lines[j]);
  };
  std::vector<unsigned>& longest = longest_;  // of old[i..] and new[j..]
  longest.assign((m + 1) * (n + 1), 0);
  auto at = [&](size_t i, size_t j) -> unsigned& { return longest[i * (n + 1) + j]; };
  for (size_t i = m; i-- > 0;)
    for (size_t j = n; j-- > 0;)
      at(i, j) = same(i, j) ? at(i + 1, j + 1) + 1 : std::max(at(i + 1, j), at(i, j + 1));
  // Removed lines go before added ones between two common lines.
  std::vector<size_t>& removed = removed_;
  std::vector<size_t>& added = added_;
  removed.clear();
  added.clear();
  auto flush = [&] {
    for (size_t r : removed)
      edit(op::removed, part_of(old_change_, old_lines[r].at, old_lines[r].len));
    for (size_t a : added) edit(op::added, part_of(new_change_, new_lines[a].at, new_lines[a].len));
    removed.clear();
    added.clear();
  };
  size_t i = 0, j = 0;
  while (i < m || j < n) {
    if (i == m || j == n) {
      if (i < m) removed.push_back(i++);
      else added.push_back(j++);
    } else if (same(i, j) && at(i, j) == at(i + 1, j + 1) + 1) {
      flush();
      edit(op::same, part_of(old_change_, old_lines[i].at, old_lines[i].len));
      ++i;
      ++j;
    } else if (at(i + 1, j) >= at(i, j + 1)) {
      removed.push_back(i++);
    } else {
      added.push_back(j++);
    }
  }
  flush();
}

void diff_sink::edit_lines(op kind, const spill_text& text, size_t from, size_t to) {
  while (from < to) {
    const size_t next = std::min(text.find('\n', from, to) + 1, to);
    edit(kind, part_of(text, from, next - from));
    from = next;
  }
}

void diff_sink::edit(op kind, const text_ref& text) {
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
    for (size_t k = 0; k < before_count_; ++k) {
      const spill_text& before = before_[(before_first_ + k) % CONTEXT_LINES];
      add_to_hunk(op::same, part_of(before, 0, before.size()));
    }
    before_count_ = 0;
  }
  add_to_hunk(kind, text);
  same_after_change_ = 0;
  if (kind == op::removed) ++old_line_;
  else ++new_line_;
  if (hunk_.size() > HUNK_LINES) {
    // The lines of a long hunk are kept only as counts: none of them is
    // cut from it or remembered as context any more.
    for (const auto& l : hunk_) {
      if (l.kind != op::added) ++folded_old_;
      if (l.kind != op::removed) ++folded_new_;
    }
    hunk_.clear();
  }
}

void diff_sink::add_to_hunk(op kind, const text_ref& text) {
  const size_t from = hunk_text_.size();
  format_line(kind, text);
  hunk_.push_back({kind, from, hunk_text_.size() - from});
}

void diff_sink::cut_hunk(size_t lines) {
  if (lines < hunk_.size()) hunk_text_.truncate(hunk_[lines].from);
  hunk_.resize(lines);
}

void diff_sink::remember(const text_ref& text) {
  const size_t at = (before_first_ + before_count_) % CONTEXT_LINES;
  spill_text& kept = before_[at];
  kept.clear();
  if (text.bytes != nullptr) kept.append(text.bytes, text.len);
  else kept.append(*text.text, text.at, text.len);
  if (before_count_ < CONTEXT_LINES) ++before_count_;
  else before_first_ = (before_first_ + 1) % CONTEXT_LINES;
}

void diff_sink::format_line(op kind, const text_ref& text) {
  spill_text& into = hunk_text_;
  const char* color = kind == op::removed ? COLOR_OLD : kind == op::added ? COLOR_NEW : nullptr;
  if (color_ && color != nullptr) into.append(color, strlen(color));
  const char mark = static_cast<char>(kind);
  into.append(&mark, 1);
  const char last = text.len == 0 ? '\0'
                    : text.bytes != nullptr ? text.bytes[text.len - 1]
                                            : text.text->at(text.at + text.len - 1);
  const bool ended = last == '\n';
  if (ended && !color_) {
    // The line with its line end, after its mark.
    if (text.bytes != nullptr) into.append(text.bytes, text.len);
    else into.append(*text.text, text.at, text.len);
    return;
  }
  const size_t shown = ended ? text.len - 1 : text.len;
  if (text.bytes != nullptr) into.append(text.bytes, shown);
  else into.append(*text.text, text.at, shown);
  if (color_ && color != nullptr) into.append(COLOR_RESET, strlen(COLOR_RESET));
  static const char NO_NEWLINE[] = "\n\\ No newline at end of file\n";
  if (ended) into.append("\n", 1);
  else into.append(NO_NEWLINE, sizeof NO_NEWLINE - 1);
}

void diff_sink::flush_out() {
  if (!out_.empty()) write_report(out_.data(), out_.size());
  out_.clear();
}

void diff_sink::write_hunk() {
  long old_count = folded_old_, new_count = folded_new_;
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
    auto range = [](std::string* into, long start, long count) {
      char text[24];
      into->append(text, std::to_chars(text, text + sizeof text, count == 0 ? start - 1 : start).ptr);
      if (count == 1) return;
      into->push_back(',');
      into->append(text, std::to_chars(text, text + sizeof text, count).ptr);
    };
    std::string header = "@@ -";
    range(&header, hunk_old_start_, old_count);
    header += " +";
    range(&header, hunk_new_start_, new_count);
    header += " @@";
    if (color_) header = COLOR_FRAG + header + COLOR_RESET;
    out_ += header + "\n";
    hunk_text_.read(0, hunk_text_.size(), [this](const char* piece, size_t len) {
      if (len >= OUT_BATCH) {
        flush_out();
        write_report(piece, len);
        return;
      }
      out_.append(piece, len);
      if (out_.size() >= OUT_BATCH) flush_out();
    });
  }
  folded_old_ = folded_new_ = 0;
  hunk_open_ = false;
  hunk_.clear();
  hunk_text_.clear();
  same_after_change_ = 0;
}

bool diff_sink::finish() {
  if (in_change_) close_change();
  if (!partial_.empty()) {
    edit(op::same, part_of(partial_, 0, partial_.size()));
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
