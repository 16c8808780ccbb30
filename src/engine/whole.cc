// --whole: one input searched as a single text, in a buffer of bounded size.
//
// Every match of at most `window` bytes is found exactly where a search of
// the whole input as one string would find it.  The buffer holds more than
// twice the window ahead of the search, so:
// - a match found that begins more than `window` bytes before the buffer's
//   end and ends before it is the leftmost-longest one: any match beginning
//   earlier, or a longer one at the same place, within the window, would
//   also lie in the buffer and have been found;
// - when no match begins that early, no match of at most `window` bytes
//   begins before the last `window` bytes, which are searched again once
//   more input is in.
// A match found that is longer, or reaches the buffer's end while input
// remains, is left alone and counted; the search goes on behind it.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "engine/engine.h"
#include "engine/matcher.h"

namespace zamplet {

whole_scan::~whole_scan() { free(buf); }

namespace {

constexpr size_t NONE = SIZE_MAX;

// Moves the unsearched bytes, and the one before them for the context, to
// the buffer's front, and reads until the search has its lookahead or the
// input ends.
whole_end refill(whole_scan* s, const whole_input& in, whole_output* out) {
  if (s->pos > 1) {
    if (!out->moving()) return whole_end::output_failed;
    const size_t keep = s->pos - 1;
    memmove(s->buf, s->buf + keep, s->end - keep);
    s->base += static_cast<off_t>(keep);
    s->pos -= keep;
    s->end -= keep;
    s->last_end = s->last_end != NONE && s->last_end >= keep ? s->last_end - keep : NONE;
  }
  const size_t lookahead = 2 * s->window + 1;
  while (!s->eof && s->end - s->pos < lookahead) {
    const ssize_t got = in.read(in.context, s->buf + s->end, s->capacity - s->end);
    if (got < 0) return whole_end::read_failed;
    if (got == 0) s->eof = true;
    s->end += static_cast<size_t>(got);
  }
  // What a matcher may look at behind the text: no line end.
  s->buf[s->end] = '\0';
  return whole_end::done;
}

// The search for the fixed string from `pos`: an occurrence lies in the
// buffer entirely or not at all, so only its length minus one byte at the
// end waits for more input.
whole_end step_literal(whole_scan* s, whole_output* out, bool* finished) {
  const char* hit = find_bytes(s->buf + s->pos, s->end - s->pos, s->old_text, s->old_len);
  if (hit == nullptr) {
    const size_t wait = s->eof ? 0 : std::min(s->old_len - 1, s->end - s->pos);
    const size_t until = s->end - wait;
    if (!out->kept(s->buf + s->pos, until - s->pos)) return whole_end::output_failed;
    s->pos = until;
    *finished = s->eof;
    return whole_end::done;
  }
  const size_t at = static_cast<size_t>(hit - s->buf);
  ++s->count;
  if (!out->kept(s->buf + s->pos, at - s->pos)) return whole_end::output_failed;
  if (!out->replaced(hit, s->old_len)) return whole_end::stopped;
  s->pos = at + s->old_len;
  return whole_end::done;
}

// The search for the expression from `pos`, with the rules above.
whole_end step_regex(whole_scan* s, whole_output* out, bool* finished) {
  const matcher& m = *s->pattern;
  const bool exact = s->eof;  // the rest of the input is all in the buffer
  const size_t w = s->window;
  size_t start = 0;
  size_t end = 0;
  int found = MATCH_NONE;
  const size_t from = first_possible(m, s->buf, s->end, s->pos);
  if (from != SIZE_MAX) {
    // Offset 0 is a line start only at the input's start; a later start of
    // the search takes its context from the byte before it.
    const int eflags = (s->base > 0 ? REG_NOTBOL : 0) | (exact ? 0 : REG_NOTEOL);
    found = matcher_search(m, s->buf, s->end, from, SIZE_MAX, eflags, &start, &end);
    if (found == MATCH_ERROR) return whole_end::matcher_failed;
  }
  if (found == MATCH_NONE || (!exact && start + w >= s->end)) {
    if (exact) {
      if (!out->kept(s->buf + s->pos, s->end - s->pos)) return whole_end::output_failed;
      s->pos = s->end;
      *finished = true;
      return whole_end::done;
    }
    // No match of at most w bytes begins before the last w bytes.
    const size_t until = s->end - w;
    if (!out->kept(s->buf + s->pos, until - s->pos)) return whole_end::output_failed;
    s->pos = until;
    return whole_end::done;
  }
  if (end - start > w) {
    // Too long to be certain of, or to replace: its bytes stay as they are.
    ++s->left_alone;
    if (!out->kept(s->buf + s->pos, end - s->pos)) return whole_end::output_failed;
    s->pos = end;
    s->last_end = end;
    return whole_end::done;
  }
  if (start == end && start == s->last_end) {
    // An empty match where the last one ended only repeats it: the byte
    // there is kept and the search goes on behind it.
    if (start >= s->end) {
      *finished = true;
      return whole_end::done;
    }
    if (!out->kept(s->buf + s->pos, start + 1 - s->pos)) return whole_end::output_failed;
    s->pos = start + 1;
    return whole_end::done;
  }
  ++s->count;
  if (!out->kept(s->buf + s->pos, start - s->pos)) return whole_end::output_failed;
  if (!out->replaced(s->buf + start, end - start)) return whole_end::stopped;
  s->last_end = end;
  s->pos = end;
  if (start != end) return whole_end::done;
  // An empty match: the byte behind it is kept, and the search resumes after it.
  if (end >= s->end) {
    *finished = true;
    return whole_end::done;
  }
  if (!out->kept(s->buf + end, 1)) return whole_end::output_failed;
  s->pos = end + 1;
  return whole_end::done;
}

}  // namespace

whole_end scan_whole(whole_scan* s, const whole_input& in, whole_output* out) {
  if (s->buf == nullptr) {
    // Room for the lookahead behind the byte of context.
    s->capacity = std::max(s->capacity, 2 * s->window + 2);
    s->buf = static_cast<char*>(malloc(s->capacity + 1));
    if (s->buf == nullptr) {
      errno = ENOMEM;
      return whole_end::no_memory;
    }
    s->end = 0;
    s->pos = 0;
    s->eof = false;
    s->last_end = NONE;
    // A resumed search reads the byte before its start for the context.
    if (s->resumed) {
      const whole_end filled = refill(s, in, out);
      if (filled != whole_end::done) return filled;
      if (s->end == 0) return whole_end::done;
      s->pos = 1;
    }
  }
  bool finished = false;
  while (!finished) {
    if (!s->eof && s->end - s->pos < 2 * s->window + 1) {
      const whole_end filled = refill(s, in, out);
      if (filled != whole_end::done) return filled;
    }
    const whole_end stepped = s->old_text != nullptr ? step_literal(s, out, &finished)
                                                     : step_regex(s, out, &finished);
    if (stepped != whole_end::done) return stepped;
  }
  return whole_end::done;
}

}  // namespace zamplet
