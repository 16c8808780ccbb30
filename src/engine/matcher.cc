// The matcher seam: the C library's search, and the choice of RE2 beside it.
#include "engine/matcher.h"

#include <algorithm>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace zamplet {

int regex_failure = 0;

// The most groups a template asks for: the match and \1 to \9.
constexpr size_t TEMPLATE_REGISTERS = 10;

namespace {

// A long text is searched by RE2 a span of this many bytes at a time, where
// matches are at most SPAN_LONGEST bytes long.
constexpr size_t SPAN = 4096;
constexpr size_t SPAN_LONGEST = 256;
// A run of the bytes a match takes is searched alone when it is at most
// this long; a longer one is searched with the rest of the text, so that
// finding a run's end costs no more than a bounded look ahead.
constexpr size_t RUN_MOST = 512;
// After such a run, this many searches go to RE2 with the rest of the text.
constexpr unsigned RUN_PAUSE = 64;

#ifdef __GLIBC__
// The one register of a bounded search, owned here: the library fills it
// and allocates nothing.
regoff_t bounded_start[1];
regoff_t bounded_end[1];
struct re_registers bounded_registers {1, bounded_start, bounded_end};
#endif

// What a search that found no match with library code `rc` says: none, or
// the library's failure, whose code stays in regex_failure.
int failed(int rc) {
  if (rc == REG_NOMATCH) return MATCH_NONE;
  regex_failure = rc;
  return MATCH_ERROR;
}

// The library's search from `pos` of text[0, length): where it can, it tries
// no start at or beyond `limit`, instead of scanning the rest of the text for
// a match the caller would discard.
int library_search(const regex_t* pattern, const char* text, size_t length, size_t pos,
                   size_t limit, int eflags, bool zero_in_text, size_t* start, size_t* end) {
  if (pos == 0 && limit > length && !zero_in_text) {
    // The whole text: the plain POSIX call.
    regmatch_t match;
    const int rc = regexec(pattern, text, 1, &match, eflags);
    if (rc != 0) return failed(rc);
    *start = static_cast<size_t>(match.rm_so);
    *end = static_cast<size_t>(match.rm_eo);
    return MATCH_FOUND;
  }
#ifdef __GLIBC__
  if (limit > length) limit = length + 1;
  auto* buffer = const_cast<regex_t*>(pattern);
  const unsigned saved_bol = buffer->not_bol;
  const unsigned saved_eol = buffer->not_eol;
  const unsigned saved_regs = buffer->regs_allocated;
  buffer->not_bol = (eflags & REG_NOTBOL) != 0;
  buffer->not_eol = (eflags & REG_NOTEOL) != 0;
  buffer->regs_allocated = REGS_FIXED;
  const regoff_t found =
      re_search(buffer, text, static_cast<regoff_t>(length), static_cast<regoff_t>(pos),
                static_cast<regoff_t>(limit - 1 - pos), &bounded_registers);
  buffer->not_bol = saved_bol;
  buffer->not_eol = saved_eol;
  buffer->regs_allocated = saved_regs;
  if (found == -1) return MATCH_NONE;
  // -2 is the library's internal failure, which regexec reports as REG_ESPACE.
  if (found < 0 || bounded_registers.num_regs < 1) return failed(REG_ESPACE);
  *start = static_cast<size_t>(found);
  *end = static_cast<size_t>(bounded_registers.end[0]);
  return MATCH_FOUND;
#else
  // Without a bounded search the span from `pos` is searched, the bytes
  // before it giving the context.
  regmatch_t match;
  match.rm_so = static_cast<regoff_t>(pos);
  match.rm_eo = static_cast<regoff_t>(length);
  const int rc = regexec(pattern, text, 1, &match, eflags | REG_STARTEND);
  if (rc != 0) return failed(rc);
  *start = static_cast<size_t>(match.rm_so);
  *end = static_cast<size_t>(match.rm_eo);
  return MATCH_FOUND;
#endif
}

// The library's groups of the match that begins at `start`, as offsets
// from it.
int library_groups(const regex_t* pattern, const char* text, size_t length, size_t start,
                   int eflags, size_t count, regmatch_t* groups) {
#ifdef __GLIBC__
  // Only the one start is tried.
  regoff_t starts[TEMPLATE_REGISTERS], ends[TEMPLATE_REGISTERS];
  struct re_registers registers {static_cast<unsigned>(count), starts, ends};
  auto* buffer = const_cast<regex_t*>(pattern);
  const unsigned saved_bol = buffer->not_bol;
  const unsigned saved_eol = buffer->not_eol;
  const unsigned saved_regs = buffer->regs_allocated;
  buffer->not_bol = (eflags & REG_NOTBOL) != 0;
  buffer->not_eol = (eflags & REG_NOTEOL) != 0;
  buffer->regs_allocated = REGS_FIXED;
  for (size_t i = 0; i < count; ++i) starts[i] = ends[i] = -1;
  const regoff_t found = re_search(buffer, text, static_cast<regoff_t>(length),
                                   static_cast<regoff_t>(start), 0, &registers);
  buffer->not_bol = saved_bol;
  buffer->not_eol = saved_eol;
  buffer->regs_allocated = saved_regs;
  if (found < 0) return failed(REG_ESPACE);
  for (size_t i = 0; i < count; ++i) {
    groups[i].rm_so = starts[i] < 0 ? -1 : starts[i] - static_cast<regoff_t>(start);
    groups[i].rm_eo = starts[i] < 0 ? -1 : ends[i] - static_cast<regoff_t>(start);
  }
  return MATCH_FOUND;
#else
  groups[0].rm_so = static_cast<regoff_t>(start);
  groups[0].rm_eo = static_cast<regoff_t>(length);
  const int rc = regexec(pattern, text, count, groups, eflags | REG_STARTEND);
  if (rc != 0) return failed(rc == REG_NOMATCH ? REG_ESPACE : rc);
  for (size_t i = 0; i < count; ++i) {
    if (groups[i].rm_so < 0) continue;
    groups[i].rm_so -= static_cast<regoff_t>(start);
    groups[i].rm_eo -= static_cast<regoff_t>(start);
  }
  return MATCH_FOUND;
#endif
}

}  // namespace

// Sixteen places at a time are tried at once by the needle's first and last
// byte, and only where both agree are the bytes between compared: far
// faster than a general search on the short strings that expressions
// require and that fixed strings are.
const char* find_bytes(const char* text, size_t length, const char* needle, size_t k) {
  if (k > length) return nullptr;
  if (k == 1) return static_cast<const char*>(memchr(text, needle[0], length));
  size_t at = 0;
#ifdef __SSE2__
  const __m128i first = _mm_set1_epi8(needle[0]);
  const __m128i last = _mm_set1_epi8(needle[k - 1]);
  for (; at + k - 1 + 16 <= length; at += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at + k - 1));
    unsigned mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, last))));
    while (mask != 0) {
      const unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
      if (memcmp(text + at + bit + 1, needle + 1, k - 2) == 0) return text + at + bit;
      mask &= mask - 1;
    }
  }
#endif
  return static_cast<const char*>(memmem(text + at, length - at, needle, k));
}

size_t first_possible(const matcher& m, const char* text, size_t length, size_t pos) {
  // A literal set's own search is faster than the required string's.
  if (m.required.empty() || m.literals != nullptr) return pos;
  const char* hit = find_bytes(text + pos, length - pos, m.required.data(), m.required.size());
  if (hit == nullptr) return SIZE_MAX;
  // A match holds an occurrence at most `lead` bytes after its start, and
  // none lies before this first one.
  const size_t at = static_cast<size_t>(hit - text);
  return m.required_lead != SIZE_MAX && at - pos > m.required_lead ? at - m.required_lead : pos;
}

bool may_match(const matcher& m, const char* text, size_t length) {
  return m.required.empty() ||
         find_bytes(text, length, m.required.data(), m.required.size()) != nullptr;
}

#ifndef ZAMPLET_HAVE_RE2
// Without RE2 the library does every search.
const fast_matcher* compile_fast(const std::string&, bool) { return nullptr; }
void free_fast(const fast_matcher*) {}
bool fast_groups(const fast_matcher*, const char*, size_t, size_t, size_t, int, const int*, size_t,
                 regmatch_t*) {
  return false;
}
bool fast_search(const fast_matcher*, const char*, size_t, size_t, int, size_t*, size_t*) {
  return false;
}
bool fast_matcher_built() { return false; }
#else
bool fast_matcher_built() { return true; }
#endif

namespace {

// Whether a backslash and a digit stand in `pattern`: a back-reference,
// unless in a bracket (which only makes the search's texts shorter).
bool has_back_reference(const char* pattern) {
  for (const char* p = pattern; *p != '\0'; ++p)
    if (p[0] == '\\' && p[1] >= '1' && p[1] <= '9') return true;
  return false;
}

}  // namespace

matcher make_matcher(const regex_t* regex, const char* pattern, int cflags,
                     matcher_choice choice, bool zero_in_text) {
  matcher m;
  m.regex = regex;
  m.newline = (cflags & REG_NEWLINE) != 0;
  m.zero_in_text = zero_in_text;
  expression_analysis analysis;
  analyse_expression(pattern, cflags, zero_in_text, &analysis);
  const expression_facts& facts = analysis.facts;
  if (choice == matcher_choice::best && !analysis.literals.empty())
    m.literals = compile_literals(analysis.literals, analysis.literals_blind);
  if (choice == matcher_choice::library || !analysis.translated) {
    // What a match can be made of, and how long it can be, still tell a
    // search over a pipe what no later input can change; the required
    // string spares the library the texts that cannot match.
    m.takes_known = analysis.parsed;
    m.short_texts = analysis.back_references || (!analysis.parsed && has_back_reference(pattern));
    if (m.takes_known) {
      m.takes = facts.takes;
      m.longest = facts.longest;
      m.shortest = facts.shortest;
      m.required = facts.required;
      m.required_lead = facts.lead;
    }
    return m;
  }
  m.required = facts.required;
  m.required_lead = facts.lead;
  m.longest = facts.longest;
  m.shortest = facts.shortest;
  m.takes = facts.takes;
  m.takes_known = true;
  for (int c = 1; c < 256; ++c) m.runs = m.runs || !facts.takes[c];
  m.fast = compile_fast(analysis.syntax, m.newline);
  if (m.fast != nullptr && analysis.groups_follow) {
    m.fast_groups.push_back(0);
    m.fast_groups.insert(m.fast_groups.end(), analysis.group_index.begin(),
                         analysis.group_index.end());
  }
  return m;
}

int matcher_groups(const matcher& m, const char* text, size_t length, size_t start, size_t end,
                   int eflags, size_t count, regmatch_t* groups) {
  groups[0].rm_so = 0;
  groups[0].rm_eo = static_cast<regoff_t>(end - start);
  if (count <= 1) return MATCH_FOUND;
  count = std::min(count, TEMPLATE_REGISTERS);
  if (!m.fast_groups.empty() && count <= m.fast_groups.size() &&
      fast_groups(m.fast, text, length, start, end, eflags, m.fast_groups.data(), count, groups))
    return MATCH_FOUND;
  return library_groups(m.regex, text, length, start, eflags, count, groups);
}

std::string matcher_error(const matcher& m) {
  char text[256];
  regerror(regex_failure, m.regex, text, sizeof text);
  return text;
}

void free_matcher(matcher* m) {
  free_fast(m->fast);
  m->fast = nullptr;
  free_literals(m->literals);
  m->literals = nullptr;
}

namespace {

// Searches the runs of matchable bytes that hold the required string, one
// at a time, from *pos.  A match lies within one run, and a run without
// the required string holds none, so the leftmost match in the first run
// that has one is the text's; RE2 then reads a few dozen bytes instead of
// the text up to its end.  True with the answer in *result; false when a
// run longer than RUN_MOST begins at *pos, moved to its start, which the
// caller searches with the rest of the text.
bool search_runs(const matcher& m, const char* text, size_t length, size_t* pos, size_t limit,
                 int eflags, size_t* start, size_t* end, int* result) {
  const auto taken = [&m, text](size_t i) { return m.takes[static_cast<unsigned char>(text[i])]; };
  const size_t k = m.required.size();
  for (size_t at = *pos;;) {
    const char* hit = find_bytes(text + at, length - at, m.required.data(), k);
    if (hit == nullptr) {
      *result = MATCH_NONE;
      return true;
    }
    const size_t found = static_cast<size_t>(hit - text);
    // No match begins more than `lead` bytes before the string.
    size_t from = m.required_lead != SIZE_MAX && found - at > m.required_lead
                      ? found - m.required_lead
                      : at;
    size_t lo = found;
    while (lo > from && taken(lo - 1)) --lo;
    if (lo >= limit) {
      *result = MATCH_NONE;
      return true;
    }
    size_t hi = found + k;
    while (hi < length && hi - lo <= RUN_MOST && taken(hi)) ++hi;
    if (hi - lo > RUN_MOST) {
      m.run_pause = RUN_PAUSE;
      *pos = lo;
      return false;
    }
    // A run too short for any match is passed over without a search.
    if (hi - lo < m.shortest) {
      if (hi >= length) {
        *result = MATCH_NONE;
        return true;
      }
      at = hi;
      continue;
    }
    // ^ at the run's start and $ at its end are decided by the bytes
    // around it, which stay in view; only the text's own ends take eflags.
    int flags = lo == *pos ? eflags : 0;
    if (hi < length) flags |= REG_NOTEOL;
    else flags |= eflags & REG_NOTEOL;
    if (fast_search(m.fast, text, hi, lo, flags, start, end)) {
      *result = MATCH_FOUND;
      return true;
    }
    if (hi >= length) {
      *result = MATCH_NONE;
      return true;
    }
    at = hi;
  }
}

}  // namespace

int matcher_search(const matcher& m, const char* text, size_t length, size_t pos, size_t limit,
                   int eflags, size_t* start, size_t* end) {
  if (m.literals != nullptr) {
    // The library's whole-text search ends at the first zero byte.
    if (!m.zero_in_text && pos == 0 && limit > length) length = strnlen(text, length);
    return literal_search(m.literals, text, length, pos, limit, start, end) ? MATCH_FOUND
                                                                             : MATCH_NONE;
  }
  if (m.fast == nullptr)
    return library_search(m.regex, text, length, pos, limit, eflags, m.zero_in_text, start, end);
  if (m.run_pause > 0) {
    --m.run_pause;
  } else if (m.runs && !m.required.empty()) {
    int result = MATCH_NONE;
    const size_t from = pos;
    if (search_runs(m, text, length, &pos, limit, eflags, start, end, &result)) return result;
    if (pos != from) eflags &= ~REG_NOTBOL;
  }
  if (m.required.empty() || m.longest > SPAN_LONGEST || length - pos <= SPAN)
    return fast_search(m.fast, text, length, pos, eflags, start, end) ? MATCH_FOUND : MATCH_NONE;
  // A long text, and a match of a few bytes that holds the required string:
  // the automaton searches a span from the string's next occurrence only,
  // and the string's search skips what lies between.  A match beginning at
  // least `longest` bytes before a span's end lies in it entirely, so the
  // first one found there is the one the whole text has.
  const size_t most = m.longest;
  for (size_t at = pos;;) {
    at = first_possible(m, text, length, at);
    if (at == SIZE_MAX || at >= limit) return MATCH_NONE;
    const size_t span_end = length - at > SPAN ? at + SPAN : length;
    // Matches beginning up to here are certain; the text's own end is one.
    const size_t sure = span_end == length ? length : span_end - most;
    // Before the span's end the byte there gives the context of a $.
    const int flags = span_end == length ? eflags : eflags | REG_NOTEOL;
    size_t s = 0, e = 0;
    const bool found = fast_search(m.fast, text, span_end, at, flags, &s, &e);
    if (found && s <= sure) {
      *start = s;
      *end = e;
      return MATCH_FOUND;
    }
    if (span_end == length) return MATCH_NONE;
    at = sure + 1;
  }
}

}  // namespace zamplet
