// Fixed-string substitution over one chunk.
#include <cstdint>
#include <cstring>

#include "engine/output.h"

namespace zamplet {

int64_t substitute_literal(const char* old_text, size_t old_len, const char* chunk, size_t n,
                           const char* replacement, size_t replacement_len, chunk_output* out,
                           int64_t* count) {
  size_t pos = 0;
  size_t length = 0;
  if (old_len == replacement_len) {
    // Every occurrence keeps its length: the output is the chunk with the
    // occurrences overwritten, and it fits the chunk-sized buffer.
    memcpy(out->data, chunk, n);
    while (const char* hit = strstr(chunk + pos, old_text)) {
      const size_t at = static_cast<size_t>(hit - chunk);
      ++*count;
      memcpy(out->data + at, replacement, replacement_len);
      pos = at + old_len;
    }
    return static_cast<int64_t>(n);
  }
  // strstr stops at the first zero byte, so nothing behind one is replaced.
  while (const char* hit = strstr(chunk + pos, old_text)) {
    const size_t at = static_cast<size_t>(hit - chunk);
    ++*count;
    if (!output_append(out, &length, chunk + pos, at - pos)) return -1;
    if (!output_append(out, &length, replacement, replacement_len)) return -1;
    pos = at + old_len;
  }
  output_append_tail(out, &length, chunk + pos, n - pos);
  return static_cast<int64_t>(length);
}

}  // namespace zamplet
