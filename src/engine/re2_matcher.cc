// RE2's side of the matcher: the translated expression compiled once, and
// the search of a span with the library's execution flags.
#include <algorithm>
#include <re2/re2.h>
#include <regex.h>

#include "engine/matcher.h"

namespace zamplet {

// What RE2 may take for the compiled program and its automata together.
// Memory does not grow with the input: the automata's states are a cache
// within this bound, and a program that does not fit is refused at start-up,
// which leaves the expression with the library.
constexpr int64_t FAST_MAX_MEM = 2 << 20;

// The most groups RE2 reports for one match: the translation's own
// parentheses count among them.
constexpr int FAST_GROUPS_MAX = 64;

struct fast_matcher {
  explicit fast_matcher(const std::string& syntax, const RE2::Options& options)
      : re(syntax, options) {}
  RE2 re;
};

const fast_matcher* compile_fast(const std::string& syntax, bool newline) {
  RE2::Options options;
  options.set_encoding(RE2::Options::EncodingLatin1);  // one byte, one character
  options.set_posix_syntax(true);
  options.set_longest_match(true);  // POSIX's leftmost-longest whole match
  options.set_log_errors(false);    // a refusal only means the library searches
  options.set_max_mem(FAST_MAX_MEM);
  // The translation spells every byte set out, so RE2's rules for dot,
  // classes and case never apply; only ^ and $ take their meaning from here.
  options.set_case_sensitive(true);
  options.set_perl_classes(false);
  options.set_word_boundary(false);
  options.set_never_nl(false);
  options.set_dot_nl(true);
  options.set_one_line(!newline);
  auto* fast = new fast_matcher(syntax, options);
  if (!fast->re.ok()) {
    delete fast;
    return nullptr;
  }
  return fast;
}

void free_fast(const fast_matcher* fast) { delete fast; }

bool fast_search(const fast_matcher* fast, const char* text, size_t length, size_t pos,
                 int eflags, size_t* start, size_t* end) {
  // RE2 decides ^ and $ by the bytes around the span it searches.  The byte
  // before the text makes offset 0 no line start, and the zero byte behind
  // it makes `length` no line end.
  const char* context = text;
  size_t from = pos;
  if ((eflags & REG_NOTBOL) != 0 && pos == 0) {
    --context;
    from = 1;
  }
  const size_t stop = from - pos + length;
  const size_t size = stop + ((eflags & REG_NOTEOL) != 0 ? 1 : 0);
  re2::StringPiece found;
  if (!fast->re.Match(re2::StringPiece(context, size), from, stop, RE2::UNANCHORED, &found, 1))
    return false;
  *start = static_cast<size_t>(found.data() - text);
  *end = *start + found.size();
  return true;
}

bool fast_groups(const fast_matcher* fast, const char* text, size_t length, size_t start,
                 size_t end, int eflags, const int* index, size_t count, regmatch_t* groups) {
  // The same text and context as the search that found the match.
  const char* context = text;
  size_t shift = 0;
  if ((eflags & REG_NOTBOL) != 0 && start == 0) {
    --context;
    shift = 1;
  }
  const size_t size = shift + length + ((eflags & REG_NOTEOL) != 0 ? 1 : 0);
  int wanted = 0;
  for (size_t i = 0; i < count; ++i) wanted = std::max(wanted, index[i]);
  re2::StringPiece found[FAST_GROUPS_MAX];
  if (wanted >= FAST_GROUPS_MAX) return false;
  if (!fast->re.Match(re2::StringPiece(context, size), shift + start, shift + end,
                      RE2::ANCHOR_BOTH, found, wanted + 1))
    return false;
  const char* at = context + shift + start;
  if (found[0].data() != at || found[0].size() != end - start) return false;
  for (size_t i = 0; i < count; ++i) {
    const re2::StringPiece& g = found[index[i]];
    groups[i].rm_so = g.data() == nullptr ? -1 : static_cast<regoff_t>(g.data() - at);
    groups[i].rm_eo = g.data() == nullptr ? -1 : groups[i].rm_so + static_cast<regoff_t>(g.size());
  }
  return true;
}

}  // namespace zamplet
