// Regular-expression substitution over one chunk.
#include <cstdint>
#include <cstring>

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

int64_t substitute_regex(const regex_t* pattern, bool newline, const char* chunk, size_t n,
                         const char* replacement, size_t replacement_len, chunk_output* out,
                         int64_t* count, search_state* state) {
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
    regmatch_t match;
    if (regexec(pattern, chunk + pos, 1, &match, eflags) != 0) break;
    const size_t start = pos + static_cast<size_t>(match.rm_so);
    const size_t end = pos + static_cast<size_t>(match.rm_eo);

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

bool regex_cut(const regex_t* pattern, bool newline, const chunk_tail& tail, const char* next,
               size_t n, char* scratch) {
  const search_state& was = tail.state;
  // The search of the first chunk ended at a zero byte before the boundary.
  if (was.text_end < tail.n) return false;
  // The repeated search begins where the first chunk's did, or no earlier
  // than CUT_LOOKBACK bytes before the boundary, and then not at a line start.
  size_t from = was.start;
  int eflags = was.eflags;
  size_t last_end = was.last_end;
  if (tail.n - from > tail.kept) {
    from = tail.n - tail.kept;
    eflags = REG_NOTBOL;
    last_end = SIZE_MAX;
  }
  // The two chunks joined, from there on, as the zero-terminated text that a
  // search would see; offsets below count from `from`.
  const size_t before = tail.n - from;
  memcpy(scratch, tail.bytes + (tail.kept - before), before);
  const size_t after = strnlen(next, n);
  memcpy(scratch + before, next, after);
  scratch[before + after] = '\0';
  const size_t text_end = before + after;
  if (last_end != SIZE_MAX) last_end -= from;

  size_t pos = 0;
  while (pos <= text_end) {
    regmatch_t match;
    if (regexec(pattern, scratch + pos, 1, &match, eflags) != 0) return false;
    const size_t start = pos + static_cast<size_t>(match.rm_so);
    const size_t end = pos + static_cast<size_t>(match.rm_eo);
    if (start >= before) return false;
    if (end > before) return true;
    // A match within the first chunk: go on as the substitution does.
    if (start == end && start == last_end) {
      eflags = flags_after(newline, scratch[start]);
      pos = start + 1;
      continue;
    }
    last_end = end;
    if (start != end) {
      pos = end;
      eflags = 0;
      continue;
    }
    eflags = flags_after(newline, scratch[end]);
    pos = end + 1;
  }
  return false;
}

}  // namespace zamplet
