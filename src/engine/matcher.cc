// The matcher seam: the C library's search, and the choice of RE2 beside it.
#include "engine/matcher.h"

#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace zamplet {

int regex_failure = 0;

namespace {

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
                   size_t limit, int eflags, size_t* start, size_t* end) {
  if (pos == 0 && limit > length) {
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
  // Without a bounded search the text from `pos` is searched as a text of
  // its own; only the bytes before it are then no context.
  regmatch_t match;
  const int rc = regexec(pattern, text + pos, 1, &match, eflags);
  if (rc != 0) return failed(rc);
  *start = pos + static_cast<size_t>(match.rm_so);
  *end = pos + static_cast<size_t>(match.rm_eo);
  return MATCH_FOUND;
#endif
}

// Whether `needle` (at least one byte) occurs in text[0, length).  Sixteen
// places at a time are tried at once by their first and last byte, and only
// where both agree are the bytes between compared: far faster than a general
// search on the short strings that expressions require.
bool contains(const char* text, size_t length, const std::string& needle) {
  const size_t k = needle.size();
  if (k > length) return false;
  size_t at = 0;
#ifdef __SSE2__
  if (k >= 2) {
    const __m128i first = _mm_set1_epi8(needle[0]);
    const __m128i last = _mm_set1_epi8(needle[k - 1]);
    for (; at + k - 1 + 16 <= length; at += 16) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at + k - 1));
      unsigned mask = static_cast<unsigned>(
          _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, last))));
      while (mask != 0) {
        const unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
        if (memcmp(text + at + bit + 1, needle.data() + 1, k - 2) == 0) return true;
        mask &= mask - 1;
      }
    }
  }
#endif
  return memmem(text + at, length - at, needle.data(), k) != nullptr;
}

}  // namespace

bool may_match(const matcher& m, const char* text, size_t length) {
  return m.required.empty() || contains(text, length, m.required);
}

#ifndef ZAMPLET_HAVE_RE2
// Without RE2 the library does every search.
const fast_matcher* compile_fast(const std::string&, bool) { return nullptr; }
void free_fast(const fast_matcher*) {}
bool fast_search(const fast_matcher*, const char*, size_t, size_t, int, size_t*, size_t*) {
  return false;
}
bool fast_matcher_built() { return false; }
#else
bool fast_matcher_built() { return true; }
#endif

matcher make_matcher(const regex_t* regex, const char* pattern, int cflags,
                     matcher_choice choice) {
  matcher m;
  m.regex = regex;
  m.newline = (cflags & REG_NEWLINE) != 0;
  std::string syntax;
  std::string required;
  if (choice == matcher_choice::library ||
      !translate_expression(pattern, cflags, &syntax, &required))
    return m;
  m.required = required;
  m.fast = compile_fast(syntax, m.newline);
  return m;
}

void free_matcher(matcher* m) {
  free_fast(m->fast);
  m->fast = nullptr;
}

int matcher_search(const matcher& m, const char* text, size_t length, size_t pos, size_t limit,
                   int eflags, size_t* start, size_t* end) {
  if (m.fast == nullptr)
    return library_search(m.regex, text, length, pos, limit, eflags, start, end);
  return fast_search(m.fast, text, length, pos, eflags, start, end) ? MATCH_FOUND : MATCH_NONE;
}

}  // namespace zamplet
