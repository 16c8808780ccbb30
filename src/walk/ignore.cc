// git's ignore rules for the walk: the lines of its ignore files, and the
// match of a walked path against them, directory by directory.  Globs are
// matched by hand, byte by byte, with no locale and no regular expressions.
#include "walk/ignore.h"

#include <string.h>

#include <algorithm>
#include <string_view>

namespace zamplet {

namespace {

// Whether `c` is in the POSIX class `name`, in ASCII; -1 for a name that is
// no class, which makes the bracket expression match nothing.
int in_class(std::string_view name, unsigned char c) {
  const bool upper = c >= 'A' && c <= 'Z', lower = c >= 'a' && c <= 'z';
  const bool digit = c >= '0' && c <= '9', print = c >= 0x20 && c < 0x7f;
  if (name == "alpha") return upper || lower;
  if (name == "alnum") return upper || lower || digit;
  if (name == "digit") return digit;
  if (name == "upper") return upper;
  if (name == "lower") return lower;
  if (name == "xdigit") return digit || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f');
  if (name == "space") return c == ' ' || (c >= '\t' && c <= '\r');
  if (name == "blank") return c == ' ' || c == '\t';
  if (name == "cntrl") return c < 0x20 || c == 0x7f;
  if (name == "print") return print;
  if (name == "graph") return print && c != ' ';
  if (name == "punct") return print && c != ' ' && !upper && !lower && !digit;
  return -1;
}

// The ":]" that closes a class name opened by the "[:" at `p`, or null.
const char* class_end(const char* p, const char* end) {
  for (const char* q = p + 2; q + 1 < end; ++q)
    if (q[0] == ':' && q[1] == ']') return q;
  return nullptr;
}

// Reads the bracket expression opened at `p`: single bytes, ranges "a-z"
// and classes "[:alpha:]", the whole set taken as its complement after a
// leading "!" or "^".  A "]" right after the opening is a member, a
// backslash escapes the byte after it, and the end of a range is a plain
// byte even when it is "[".  Returns just past the closing "]", or null when
// nothing closes it; `member` says whether `c` is in the set, or is -1 when
// a class name is unknown, which makes the pattern match nothing.
const char* scan_bracket(const char* p, const char* end, unsigned char c, int* member) {
  const char* q = p + 1;
  const bool negated = q < end && (*q == '!' || *q == '^');
  if (negated) ++q;
  int in = 0;
  for (bool first = true; q < end && (first || *q != ']'); first = false) {
    const char* close = *q == '[' && q + 1 < end && q[1] == ':' ? class_end(q, end) : nullptr;
    if (close != nullptr) {
      const int r = in_class(std::string_view(q + 2, static_cast<std::size_t>(close - q - 2)), c);
      in = r < 0 ? -1 : in == 0 ? r : in;
      q = close + 2;
      continue;
    }
    if (*q == '\\' && q + 1 < end) ++q;
    const unsigned char low = static_cast<unsigned char>(*q++);
    unsigned char high = low;
    if (q + 1 < end && *q == '-' && q[1] != ']') {
      if (*++q == '\\' && q + 1 < end) ++q;
      high = static_cast<unsigned char>(*q++);
    }
    // The first byte of a range is always in it, even when the range is
    // reversed, as git has it: "[z-a]" holds "z".
    if (in == 0 && (c == low || (low <= c && c <= high))) in = 1;
  }
  if (q >= end) return nullptr;
  *member = in < 0 ? -1 : (in == 1) != negated;
  return q + 1;
}

// Whether the name [t, t_end) matches the glob [p, p_end): "*" takes any
// bytes, "?" one byte, a bracket expression one byte of its set, and a
// backslash the byte after it as it is.  An unclosed bracket matches
// nothing.  On a mismatch only the last "*" takes one more byte: every other
// token takes exactly one byte, so an earlier "*" could not do better, and
// the cost stays within the product of the two lengths.
bool name_matches(const char* p, const char* p_end, const char* t, const char* t_end) {
  const char* star_p = nullptr;
  const char* star_t = nullptr;
  while (t < t_end) {
    if (p < p_end && *p == '*') {
      star_p = ++p;
      star_t = t;
      continue;
    }
    if (p < p_end) {
      const char* next = p + 1;
      bool same = *p == '?' || *p == *t;
      if (*p == '[') {
        int member = 0;
        next = scan_bracket(p, p_end, static_cast<unsigned char>(*t), &member);
        if (next == nullptr || member < 0) return false;
        same = member == 1;
      } else if (*p == '\\') {
        if (p + 1 == p_end) return false;
        same = p[1] == *t;
        next = p + 2;
      }
      if (same) {
        p = next;
        ++t;
        continue;
      }
    }
    if (star_p == nullptr) return false;
    p = star_p;
    t = ++star_t;
  }
  while (p < p_end && *p == '*') ++p;
  return p == p_end;
}

}  // namespace

// Splits an anchored pattern at its slashes (an escaped one included, which
// can only ever meet a slash of the path) but never inside a bracket
// expression.  A run of two or more stars alone between slashes stands for
// any number of names; at the end it needs at least one, since "dir/**" is
// everything inside dir and not dir itself, and so it does before an
// escaped slash, where git never lets it match nothing.
void ignore_rules::split_segments(pattern* p) {
  const std::string& g = p->glob;
  std::size_t begin = 0;
  for (std::size_t i = 0; i <= g.size();) {
    const bool escaped_slash = g.compare(i, 2, "\\/") == 0;
    if (i == g.size() || g[i] == '/' || escaped_slash) {
      const bool stars = i - begin >= 2 && g.find_first_not_of('*', begin) >= i;
      if (stars && (i == g.size() || escaped_slash))
        p->segments.push_back(segment{begin, i, false});
      p->segments.push_back(segment{begin, i, stars});
      i += escaped_slash ? 2 : 1;
      begin = i;
    } else if (g[i] == '\\') {
      i = std::min(i + 2, g.size());
    } else {
      int member = 0;
      const char* close =
          g[i] == '[' ? scan_bracket(g.data() + i, g.data() + g.size(), 0, &member) : nullptr;
      i = close != nullptr ? static_cast<std::size_t>(close - g.data()) : i + 1;
    }
  }
}

// Adds the pattern of one line of an ignore file to `file`.  Blank lines and
// comments add nothing; unescaped trailing spaces are dropped.
void ignore_rules::add_pattern(std::string_view line, rule_file* file) {
  if (line.empty() || line[0] == '#') return;
  std::size_t keep = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\\' && i + 1 < line.size()) keep = ++i + 1;
    else if (line[i] != ' ') keep = i + 1;
  }
  line = line.substr(0, keep);
  pattern p{};
  p.negative = !line.empty() && line[0] == '!';
  if (p.negative) line.remove_prefix(1);
  p.dir_only = !line.empty() && line.back() == '/';
  if (p.dir_only) line.remove_suffix(1);
  if (line.empty()) return;
  p.anywhere = line.find('/') == std::string_view::npos;
  if (line[0] == '/') line.remove_prefix(1);
  p.glob = line;
  if (p.anywhere) file->patterns.push_back(std::move(p));
  else add_anchored(std::move(p), file, std::string::npos);
}

// Adds an anchored pattern to `file`.  git compares the leading bytes of an
// anchored pattern that hold no glob character as they are, and matches only
// the rest as a glob, in which a "**" right after those bytes counts as a
// leading one even in the middle of a name: "a**/b" matches "ab", "a/b",
// "ax/b" and "ax/y/b", and "a**" whatever begins with "a".  Such a pattern
// becomes the two it stands for, "a*/**/b" and "ab" (or "a*/**" and "a*"),
// adjacent and of one sign, so that either matching decides as it would.
// In "ab" only a "**" where "b" begins, after the slash that was dropped,
// leads in its turn: git never takes a "**" after "b" for a leading one.
void ignore_rules::add_anchored(pattern p, rule_file* file, std::size_t lead_at) {
  const std::string& g = p.glob;
  const std::size_t literal = g.find_first_of("*?[\\");
  if (literal != std::string::npos && literal > 0 && g[literal - 1] != '/' &&
      (lead_at == std::string::npos || literal == lead_at) && g.compare(literal, 2, "**") == 0) {
    const std::size_t after = g.find_first_not_of('*', literal);
    const bool ends = after == std::string::npos;
    const bool escaped = !ends && g.compare(after, 2, "\\/") == 0;
    if (ends || escaped || g[after] == '/') {
      const std::string head = g.substr(0, literal);
      const std::string rest = ends ? "" : g.substr(after + (escaped ? 2 : 1));
      pattern wide = p;
      wide.glob = head + (ends ? "*/**" : "*/**/" + rest);
      add_anchored(std::move(wide), file, 0);
      // Before an escaped slash the "**" never matches nothing.
      if (!escaped) {
        p.glob = head + (ends ? "*" : rest);
        add_anchored(std::move(p), file, literal);
      }
      return;
    }
  }
  split_segments(&p);
  file->patterns.push_back(std::move(p));
}

// Adds every pattern of the ignore file `text` to `file`, in their order.
// Lines may end in CR LF; a UTF-8 byte order mark at the start is skipped.
void ignore_rules::add_patterns(const std::string& text, rule_file* file) {
  std::string_view rest(text);
  if (rest.substr(0, 3) == "\xEF\xBB\xBF") rest.remove_prefix(3);
  while (!rest.empty()) {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    std::string_view line = rest.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    add_pattern(line, file);
    rest.remove_prefix(std::min(end + 1, rest.size()));
  }
}

// Whether the names `first` to `count` - 1 of the entry match the anchored
// pattern `p`, segment by segment.  A mismatch lets only the last "**" take
// one more name, which bounds the work as in name_matches.
bool ignore_rules::path_matches(const pattern& p, std::size_t first, std::size_t count) const {
  const char* g = p.glob.data();
  const std::size_t n = p.segments.size();
  std::size_t i = 0, k = first, star_i = 0, star_k = 0;
  bool starred = false;
  while (k < count) {
    if (i < n && p.segments[i].any_depth) {
      starred = true;
      star_i = ++i;
      star_k = k;
      continue;
    }
    if (i < n && name_matches(g + p.segments[i].begin, g + p.segments[i].end,
                              rel_.data() + names_[k], rel_.data() + names_[k + 1] - 1)) {
      ++i;
      ++k;
      continue;
    }
    if (!starred) return false;
    i = star_i;
    k = ++star_k;
  }
  while (i < n && p.segments[i].any_depth) ++i;
  return i == n;
}

// What the last pattern of `file` that matches the entry made of the first
// `count` names says: 1 ignored, 0 re-included, -1 when none matches.
int ignore_rules::last_match(const rule_file& file, std::size_t count, bool is_dir) const {
  for (auto p = file.patterns.rbegin(); p != file.patterns.rend(); ++p) {
    if (p->dir_only && !is_dir) continue;
    bool match;
    if (p->anywhere) {
      const char* name = rel_.data() + names_[count - 1];
      match = name_matches(p->glob.data(), p->glob.data() + p->glob.size(), name,
                           rel_.data() + names_[count] - 1);
    } else {
      match = path_matches(*p, file.depth, count);
    }
    if (match) return p->negative ? 0 : 1;
  }
  return -1;
}

// Whether the rules ignore the entry made of the first `count` names,
// leaving aside whether a directory above it is ignored: the deepest file
// first, info/exclude and the global file last.
bool ignore_rules::matched(std::size_t count, bool is_dir) const {
  for (auto file = levels_.rbegin(); file != levels_.rend(); ++file) {
    const int r = last_match(*file, count, is_dir);
    if (r >= 0) return r == 1;
  }
  for (auto file = fixed_.rbegin(); file != fixed_.rend(); ++file) {
    const int r = last_match(*file, count, is_dir);
    if (r >= 0) return r == 1;
  }
  return false;
}

// Where each name of rel_ begins, and one past the end of the last, plus
// one: name k is [names_[k], names_[k + 1] - 1).
void ignore_rules::split_names() {
  names_.clear();
  names_.push_back(0);
  for (std::size_t i = 0; i < rel_.size(); ++i)
    if (rel_[i] == '/') names_.push_back(i + 1);
  names_.push_back(rel_.size() + 1);
}

// Whether the walk leaves `path` out; see ignore.h.
bool ignore_rules::ignored(const char* path, bool is_dir) {
  if (levels_.empty() || strnlen(path, start_length_) < start_length_) return false;
  std::size_t rest = start_length_;
  while (path[rest] == '/') ++rest;
  if (path[rest] == '\0') return false;
  rel_.assign(prefix_).append(path + rest);
  split_names();
  const std::size_t count = names_.size() - 1;
  // Leave the directories the walk has left, then enter those above the entry.
  while (levels_.size() > start_levels_) {
    const rule_file& back = levels_.back();
    if (back.depth < count && rel_.compare(0, back.dir.size(), back.dir) == 0) break;
    levels_.pop_back();
    last_dir_.clear();
  }
  while (levels_.back().depth + 1 < count) {
    const std::size_t depth = levels_.back().depth + 1;
    push_directory(std::string(path, rest + names_[depth] - prefix_.size()), depth, false);
  }
  const bool result = levels_.back().excluded || matched(count, is_dir);
  if (is_dir) {
    last_dir_.assign(rel_);
    last_dir_ignored_ = result;
  }
  return result;
}

}  // namespace zamplet
