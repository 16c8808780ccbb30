// Regular-expression substitution over one chunk.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/matcher.h"
#include "engine/output.h"

namespace zamplet {

namespace {

// Execution flags for a search that resumes right behind the byte `copied`:
// the start of the rest is no beginning of line, unless newline is special
// and the byte was a newline.
int flags_after(bool newline, char copied) {
  return newline && copied == '\n' ? 0 : REG_NOTBOL;
}

}  // namespace

int64_t substitute_regex(const matcher* pattern, const char* chunk, size_t n,
                         const char* replacement, size_t replacement_len, chunk_output* out,
                         int64_t* count, search_state* state) {
  const bool newline = pattern->newline;
  // The search sees the chunk as a zero-terminated text: a zero byte ends it,
  // and what follows reaches the output unchanged.
  const size_t text_end = strnlen(chunk, n);
  size_t pos = 0;
  size_t length = 0;
  int eflags = 0;
  // Where the previous match of this chunk ended; an empty match there would
  // only repeat it.  SIZE_MAX while there was none.
  size_t last_end = SIZE_MAX;

  // The search that found the last replacement so far, or the first one.
  search_state repeat{0, 0, SIZE_MAX, text_end};

  while (pos <= text_end) {
    // A rest without the required string holds no match either, and no
    // match begins too far before its first occurrence.
    const size_t from = first_possible(*pattern, chunk + pos, text_end - pos, 0);
    if (from == SIZE_MAX) break;
    // The rest of the chunk as a text of its own; with REG_NOTBOL a byte
    // was stepped over, which the matcher may look at.
    size_t start = 0;
    size_t end = 0;
    const int found = matcher_search(*pattern, chunk + pos, text_end - pos, from, SIZE_MAX,
                                     eflags, &start, &end);
    if (found == MATCH_NONE) break;
    // The matcher failed (out of memory, say): no match is not the answer.
    if (found == MATCH_ERROR) return SUBSTITUTE_MATCHER_FAILED;
    start += pos;
    end += pos;

    if (start == end && start == last_end) {
      // Not a match: step over one byte so that the search always advances.
      if (start >= text_end) break;
      if (!output_append(out, &length, chunk + pos, start + 1 - pos)) return -1;
      eflags = flags_after(newline, chunk[start]);
      pos = start + 1;
      continue;
    }

    ++*count;
    repeat = {pos, eflags, last_end, text_end};
    if (!output_append(out, &length, chunk + pos, start - pos)) return -1;
    if (!output_append(out, &length, replacement, replacement_len)) return -1;
    last_end = end;
    if (start != end) {
      pos = end;
      eflags = 0;
      continue;
    }
    // An empty match: the byte behind it is kept and the search resumes after it.
    pos = end;
    if (end >= text_end) break;
    if (!output_append(out, &length, chunk + end, 1)) return -1;
    eflags = flags_after(newline, chunk[end]);
    pos = end + 1;
  }

  output_append_tail(out, &length, chunk + pos, n - pos);
  if (state != nullptr) *state = repeat;
  return static_cast<int64_t>(length);
}

size_t longest_match(const char* pattern, bool extended) {
  size_t i = 0;
  for (; pattern[i] != '\0'; ++i) {
    const char c = pattern[i];
    if (c == '*' || (extended && (c == '+' || c == '{'))) return SIZE_MAX;
    if (c == '\\') {
      const char e = pattern[i + 1];
      if (e == '\0') break;
      if ((e >= '1' && e <= '9') || (!extended && (e == '{' || e == '+'))) return SIZE_MAX;
      ++i;
    } else if (c == '[') {
      // A bracket expression matches one byte: skip it, with a leading '^'
      // or ']' and the [:class:], [=e=] and [.e.] forms inside.
      size_t j = i + 1;
      if (pattern[j] == '^') ++j;
      if (pattern[j] == ']') ++j;
      while (pattern[j] != '\0' && pattern[j] != ']') {
        if (pattern[j] == '[' && (pattern[j + 1] == ':' || pattern[j + 1] == '=' ||
                                  pattern[j + 1] == '.')) {
          const char* close = strchr(pattern + j + 2, pattern[j + 1]);
          while (close != nullptr && close[1] != ']') close = strchr(close + 1, pattern[j + 1]);
          if (close == nullptr) return SIZE_MAX;
          j = static_cast<size_t>(close - pattern) + 2;
        } else {
          ++j;
        }
      }
      if (pattern[j] == '\0') return SIZE_MAX;
      i = j;
    }
  }
  return i;
}

bool regex_cut(const matcher* pattern, size_t longest, const chunk_tail& tail, const char* next,
               size_t n, char* scratch) {
  const bool newline = pattern->newline;
  const search_state& was = tail.state;
  // The search of the first chunk ended at a zero byte before the boundary;
  // or no match is long enough to reach over it.
  if (was.text_end < tail.n || longest < 2) return false;
  // The repeated search begins where the first chunk's did, or no earlier
  // than a cut match could begin, and then not at a line start.
  const size_t reach = std::min(tail.kept, longest - 1);
  size_t from = was.start;
  int eflags = was.eflags;
  size_t last_end = was.last_end;
  if (tail.n - from > reach) {
    from = tail.n - reach;
    eflags = REG_NOTBOL;
    last_end = SIZE_MAX;
  }
  // The two chunks joined, from there on, as the zero-terminated text that a
  // search would see; offsets below count from `from`.  A match that begins
  // before the boundary ends within `longest` bytes of its start, so the
  // second chunk is needed only that far, and its end then is no line end.
  // The zero byte in front of the text is what a matcher sees before it: no
  // line end.
  scratch[0] = '\0';
  char* const text = scratch + 1;
  const size_t before = tail.n - from;
  memcpy(text, tail.bytes + (tail.kept - before), before);
  const size_t next_text = strnlen(next, n);
  const size_t after = std::min(next_text, longest - 1);
  memcpy(text + before, next, after);
  text[before + after] = '\0';
  const size_t text_end = before + after;
  // Without the required string the joined text holds no match at all.
  if (!may_match(*pattern, text, text_end)) return false;
  if (after < next_text) eflags |= REG_NOTEOL;
  const int last_flag = after < next_text ? REG_NOTEOL : 0;
  if (last_end != SIZE_MAX) last_end -= from;

  size_t pos = 0;
  while (pos < before) {
    size_t start = 0;
    size_t end = 0;
    if (matcher_search(*pattern, text, text_end, pos, before, eflags, &start, &end) !=
        MATCH_FOUND)
      return false;
    if (start >= before) return false;
    if (end > before) return true;
    // A match within the first chunk: go on as the substitution does.
    if (start == end && start == last_end) {
      eflags = flags_after(newline, text[start]) | last_flag;
      pos = start + 1;
      continue;
    }
    last_end = end;
    if (start != end) {
      pos = end;
      eflags = last_flag;
      continue;
    }
    eflags = flags_after(newline, text[end]) | last_flag;
    pos = end + 1;
  }
  return false;
}

}  // namespace zamplet
