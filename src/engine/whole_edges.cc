// --whole's chunk rule: where the chunk boundaries fall in the input, which
// of them the output has been told of, and which matches they let through.
#include <algorithm>
#include <cstring>
#include <sys/types.h>

#include "engine/scan.h"

namespace zamplet {

namespace {

// The start of the fixed-size chunk that holds input offset `at`.  The
// last one found is kept: most questions are about the same chunk, and a
// division for each of them is a good part of what a frequent match costs.
off_t fixed_chunk_start(const whole_scan* s, off_t at) {
  const off_t size = static_cast<off_t>(s->chunk_size);
  if (s->chunk_hint < 0 || at < s->chunk_hint || at - s->chunk_hint >= size)
    s->chunk_hint = at - at % size;
  return s->chunk_hint;
}

// The input offset of the first boundary after the last one told, or -1
// when none is known yet.  The input's end is no boundary.
off_t next_edge(const whole_scan* s) {
  const off_t held = s->base + static_cast<off_t>(s->end);
  if (s->read_chunks) {
    const auto after = std::upper_bound(s->edges.begin(), s->edges.end(), s->told);
    return after == s->edges.end() ? -1 : *after;
  }
  const off_t next = fixed_chunk_start(s, s->told) + static_cast<off_t>(s->chunk_size);
  return next > held || (s->eof && next == held) ? -1 : next;
}

// Where the chunk that begins at `start` ends.
off_t chunk_limit(const whole_scan* s, off_t start) {
  const off_t held = s->base + static_cast<off_t>(s->end);
  if (s->read_chunks) {
    const auto after = std::upper_bound(s->edges.begin(), s->edges.end(), start);
    return after == s->edges.end() ? held : *after;
  }
  const off_t limit = start + static_cast<off_t>(s->chunk_size);
  return s->eof ? std::min(limit, held) : limit;
}

}  // namespace

off_t chunk_start(const whole_scan* s, off_t at) {
  if (s->read_chunks) return *(std::upper_bound(s->edges.begin(), s->edges.end(), at) - 1);
  const off_t size = static_cast<off_t>(s->chunk_size);
  const off_t start = fixed_chunk_start(s, at);
  const bool input_end = s->eof && at == s->base + static_cast<off_t>(s->end);
  return input_end && start == at && at > 0 ? start - size : start;
}

// Tells `out` of every boundary up to input offset `at`, that one included.
bool tell_edges(whole_scan* s, whole_output* out, off_t at) {
  for (off_t next = next_edge(s); next >= 0 && next <= at; next = next_edge(s)) {
    s->told = next;
    if (!out->chunk_end()) return false;
  }
  return true;
}

// Gives out the bytes from the search's place up to `to` unchanged, telling
// each boundary they pass, and moves the place there.
bool keep_to(whole_scan* s, whole_output* out, size_t to) {
  while (s->pos < to) {
    size_t stop = to;
    if (s->chunks) {
      if (!tell_edges(s, out, s->base + static_cast<off_t>(s->pos))) return false;
      const off_t next = next_edge(s);
      if (next >= 0 && static_cast<size_t>(next - s->base) < to)
        stop = static_cast<size_t>(next - s->base);
    }
    if (!out->kept(s->buf + s->pos, stop - s->pos)) return false;
    s->pos = stop;
  }
  return true;
}

// The input offset up to which a match that begins at buf[start] may end
// and be replaced under the chunk rule: its chunk's end, or the chunk's
// first zero byte.  A chunk is whole in the buffer whenever a match in it
// is decided; until then, the bytes held so far.
off_t replace_bound(whole_scan* s, size_t start) {
  const off_t first = chunk_start(s, s->base + static_cast<off_t>(start));
  const off_t limit = chunk_limit(s, first);
  if (s->zero_chunk != first) {
    // Only the chunk's bytes held so far are looked at; what is found is
    // kept for the chunk's next match once the chunk is held whole.
    const off_t held = std::min(limit, s->base + static_cast<off_t>(s->end));
    const char* from = s->buf + (first - s->base);
    const void* zero = memchr(from, '\0', static_cast<size_t>(held - first));
    const off_t at = zero == nullptr ? limit : first + (static_cast<const char*>(zero) - from);
    if (zero == nullptr && held < limit) return held;
    s->zero_chunk = first;
    s->zero_at = at;
  }
  return std::min(limit, s->zero_at);
}

// Whether the chunk rule lets the match buf[start, end) be replaced: it
// lies inside one chunk and ends no later than that chunk's first zero
// byte.
bool in_one_chunk(whole_scan* s, size_t start, size_t end) {
  return !s->chunks || s->base + static_cast<off_t>(end) <= replace_bound(s, start);
}

// Whether the match buf[start, end), not replaced, is one that a chunk
// boundary cut: it crosses one, and no zero byte would have kept it anyway
// (in front of it in its chunk, or inside it).
bool cut_by_boundary(whole_scan* s, size_t start, size_t end) {
  const off_t first = chunk_start(s, s->base + static_cast<off_t>(start));
  if (s->base + static_cast<off_t>(end) <= chunk_limit(s, first)) return false;
  const void* zero = memchr(s->buf + (first - s->base), '\0', end - (first - s->base));
  return zero == nullptr;
}

}  // namespace zamplet
