// Appending to a chunk's output under the growth rule; shared by both
// substitutions.  Internal to the engine.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "engine/scan.h"

namespace zamplet {

// Grows `out` by OUTPUT_STEP bytes at a time until an output of `need` bytes
// leaves more than CHUNK_SIZE bytes free, so the tail of the chunk, which is
// copied without a test, always fits.  Returns false (errno ENOMEM) when the
// buffer cannot grow; its contents are then unchanged.
inline bool output_reserve(chunk_output* out, size_t need) {
  size_t cap = out->cap;
  while (need + CHUNK_SIZE >= cap) cap += OUTPUT_STEP;
  if (cap == out->cap) return true;
  char* bigger = static_cast<char*>(realloc(out->data, cap));
  if (bigger == nullptr) {
    errno = ENOMEM;
    return false;
  }
  out->data = bigger;
  out->cap = cap;
  return true;
}

// Appends `len` bytes at offset *length, growing first.
inline bool output_append(chunk_output* out, size_t* length, const char* data, size_t len) {
  if (!output_reserve(out, *length + len)) return false;
  memcpy(out->data + *length, data, len);
  *length += len;
  return true;
}

// Appends the tail of a chunk (at most CHUNK_SIZE bytes), which always fits.
inline void output_append_tail(chunk_output* out, size_t* length, const char* data, size_t len) {
  memcpy(out->data + *length, data, len);
  *length += len;
}

}  // namespace zamplet
