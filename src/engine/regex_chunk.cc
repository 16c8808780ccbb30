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
                         int64_t* count) {
  // The search sees the chunk as a zero-terminated text: a zero byte ends it,
  // and what follows reaches the output unchanged.
  const size_t text_end = strnlen(chunk, n);
  size_t pos = 0;
  size_t length = 0;
  int eflags = 0;
  // Where the previous match of this chunk ended; an empty match there would
  // only repeat it.  SIZE_MAX while there was none.
  size_t last_end = SIZE_MAX;

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
  return static_cast<int64_t>(length);
}

}  // namespace zamplet
