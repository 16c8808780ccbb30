// Fixed-string substitution over one chunk.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/output.h"

namespace zamplet {

namespace {

// The state a chunk leaves for the boundary behind it, the search having
// resumed at `pos` after the last occurrence.  An occurrence can only be cut
// if the chunk ends with a part of it; otherwise the end of the text, which
// takes a pass over the rest of the chunk, is not looked for and given as 0.
search_state end_state(const char* old_text, size_t old_len, const char* chunk, size_t n,
                       size_t pos) {
  const bool may_cut = n > 0 && memchr(old_text, static_cast<unsigned char>(chunk[n - 1]), old_len);
  return {pos, may_cut ? pos + strnlen(chunk + pos, n - pos) : 0};
}

}  // namespace

int64_t substitute_literal(const char* old_text, size_t old_len, const char* chunk, size_t n,
                           const char* replacement, size_t replacement_len, chunk_output* out,
                           int64_t* count, search_state* state, std::vector<size_t>* hits) {
  size_t pos = 0;
  if (hits != nullptr) hits->clear();
  size_t length = 0;
  if (old_len == replacement_len) {
    // Every occurrence keeps its length: the output is the chunk with the
    // occurrences overwritten, and it fits the chunk-sized buffer.
    memcpy(out->data, chunk, n);
    while (const char* hit = strstr(chunk + pos, old_text)) {
      const size_t at = static_cast<size_t>(hit - chunk);
      ++*count;
      if (hits != nullptr) hits->push_back(at);
      memcpy(out->data + at, replacement, replacement_len);
      pos = at + old_len;
    }
    if (state != nullptr) *state = end_state(old_text, old_len, chunk, n, pos);
    return static_cast<int64_t>(n);
  }
  // strstr stops at the first zero byte, so nothing behind one is replaced.
  while (const char* hit = strstr(chunk + pos, old_text)) {
    const size_t at = static_cast<size_t>(hit - chunk);
    ++*count;
    if (hits != nullptr) hits->push_back(at);
    if (!output_append(out, &length, chunk + pos, at - pos)) return -1;
    if (!output_append(out, &length, replacement, replacement_len)) return -1;
    pos = at + old_len;
  }
  output_append_tail(out, &length, chunk + pos, n - pos);
  if (state != nullptr) *state = end_state(old_text, old_len, chunk, n, pos);
  return static_cast<int64_t>(length);
}

bool literal_cut(const char* old_text, size_t old_len, const chunk_tail& tail, const char* next,
                 size_t n, char* scratch) {
  // A cut occurrence begins behind the last one and less than old_len bytes
  // before the boundary, and the search must reach the boundary: no zero byte
  // between where it resumed and the chunk's end.
  if (old_len < 2 || tail.state.start >= tail.n || tail.state.text_end < tail.n) return false;
  size_t from = tail.n - std::min(old_len - 1, tail.kept);
  if (from < tail.state.start) from = tail.state.start;
  const size_t before = tail.n - from;
  memcpy(scratch, tail.bytes + (tail.kept - before), before);
  const size_t after = std::min(old_len - 1, n);
  memcpy(scratch + before, next, after);
  const void* hit = memmem(scratch, before + after, old_text, old_len);
  if (hit == nullptr || static_cast<const char*>(hit) - scratch >= static_cast<ptrdiff_t>(before))
    return false;
  return true;
}

}  // namespace zamplet
