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
//
// The chunk rule is a filter on these matches: one that crosses a chunk
// boundary, or ends after its chunk's first zero byte, is kept as it is.
// The search itself never changes, so a boundary can only leave an
// occurrence alone, never make one.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/types.h>

#include "engine/scan.h"
#include "engine/matcher.h"

namespace zamplet {

whole_scan::~whole_scan() { free(buf); }

namespace {

constexpr size_t NONE = SIZE_MAX;

// Moves the unsearched bytes, with the one before them for the context (and,
// with the chunk rule, the start of the chunk they are in), to the buffer's
// front, and reads until the search has its lookahead or the input ends;
// only once with `once`.
whole_end refill(whole_scan* s, whole_input& in, whole_output* out, bool once) {
  size_t keep = s->pos > 1 ? s->pos - 1 : 0;
  if (s->chunks && keep > 0) {
    // The chunk of the last byte given out stays too, for the output that
    // holds it until the chunk ends.
    const off_t first = chunk_start(s, s->base + static_cast<off_t>(s->pos) - 1);
    keep = std::min(keep, static_cast<size_t>(first - s->base));
    while (s->edges.size() > 1 && s->edges[1] <= first) s->edges.pop_front();
  }
  if (keep > 0) {
    if (!out->moving()) return whole_end::output_failed;
    memmove(s->buf, s->buf + keep, s->end - keep);
    s->base += static_cast<off_t>(keep);
    s->pos -= keep;
    s->end -= keep;
    s->last_end = s->last_end != NONE && s->last_end >= keep ? s->last_end - keep : NONE;
    out->moved(keep);
  }
  const size_t lookahead = 2 * s->window + 1;
  do {
    size_t room = s->capacity - s->end;
    if (s->read_chunks) room = std::min(room, s->chunk_size);
    const ssize_t got = in.read(s->buf + s->end, room);
    if (got < 0) return whole_end::read_failed;
    if (got == 0) s->eof = true;
    if (got > 0 && s->read_chunks) s->edges.push_back(s->base + static_cast<off_t>(s->end));
    s->end += static_cast<size_t>(got);
  } while (!once && !s->eof && s->end - s->pos < lookahead);
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
    if (!keep_to(s, out, s->end - wait)) return whole_end::output_failed;
    *finished = s->eof;
    return whole_end::done;
  }
  const size_t at = static_cast<size_t>(hit - s->buf);
  ++s->count;
  if (!keep_to(s, out, at)) return whole_end::output_failed;
  if (!out->replaced(hit, s->old_len)) return whole_end::stopped;
  s->pos = at + s->old_len;
  return whole_end::done;
}

// Keeps the bytes that a match too long to replace may still take: up to
// its bound, and where it is known, only through the bytes a match can be
// made of.  Its true end is not known once its start has left the buffer,
// so nothing it may hold is ever replaced.
whole_end pass_long_match(whole_scan* s, whole_output* out, bool* finished) {
  const matcher& m = *s->pattern;
  size_t to = s->end;
  if (s->long_end >= 0 && s->long_end - s->base < static_cast<off_t>(to))
    to = static_cast<size_t>(std::max<off_t>(s->long_end - s->base, 0));
  size_t p = s->pos;
  if (s->long_run)
    while (p < to && m.takes[static_cast<unsigned char>(s->buf[p])]) ++p;
  else
    p = std::max(p, to);
  if (!keep_to(s, out, p)) return whole_end::output_failed;
  if (p < s->end) s->passing_long = false;  // a byte no match takes, or the bound
  else if (s->long_end >= 0 && s->long_end <= s->base + static_cast<off_t>(s->end))
    s->passing_long = false;
  s->last_end = NONE;
  *finished = s->eof && s->pos >= s->end;
  return whole_end::done;
}

// Whether the match found at buf[start, end), in the text searched up to
// `length`, is the whole match: nothing behind `length` could lengthen it
// (the input ends there, its bound falls short of it, or a byte no match
// takes lies between).
bool match_is_whole(const whole_scan* s, size_t start, size_t end, size_t length) {
  const matcher& m = *s->pattern;
  if (s->eof && length == s->end) return true;
  if (m.longest != SIZE_MAX && start + m.longest < length) return true;
  if (!m.takes_known) return false;
  for (size_t i = end; i < length; ++i)
    if (!m.takes[static_cast<unsigned char>(s->buf[i])]) return true;
  return false;
}

// Begins passing over a match found at buf[start, ...) that is too long to
// replace and may run on: it ends where no match of the expression can end
// any more.
void begin_long_match(whole_scan* s, size_t start) {
  const matcher& m = *s->pattern;
  s->passing_long = true;
  s->long_run = m.takes_known;
  s->long_end = m.longest != SIZE_MAX && m.longest <= static_cast<size_t>(INT64_MAX / 2)
                    ? s->base + static_cast<off_t>(start + m.longest)
                    : -1;
}

// Takes the match [start, end) found in the held text, of which `searched`
// bytes were searched: replaces it, or leaves it alone when it is too long,
// cut by the chunk rule, or an empty match that repeats the last one.
whole_end take_match(whole_scan* s, whole_output* out, size_t start, size_t end, size_t searched,
                     int eflags, bool* finished) {
  const bool empty = start == end;
  // An empty match where the last one ended only repeats it.
  const bool repeat = empty && start == s->last_end;
  const bool too_long = end - start > s->window;
  if (repeat || too_long || !in_one_chunk(s, start, end)) {
    // Left as it is: too long to be certain of or to replace, or cut by
    // the chunk rule; the search goes on behind it.
    if (!repeat && (s->chunks ? cut_by_boundary(s, start, end) : too_long)) ++s->left_alone;
    if (!keep_to(s, out, end)) return whole_end::output_failed;
    s->last_end = end;
    if (too_long && !match_is_whole(s, start, end, searched)) begin_long_match(s, start);
  } else {
    ++s->count;
    if (!keep_to(s, out, start)) return whole_end::output_failed;
    if (s->chunks && !tell_edges(s, out, s->base + static_cast<off_t>(start)))
      return whole_end::output_failed;
    if (s->groups_wanted > 0 &&
        matcher_groups(*s->pattern, s->buf, searched, start, end, eflags, s->groups_wanted,
                       s->groups) == MATCH_ERROR)
      return whole_end::matcher_failed;
    if (!out->replaced(s->buf + start, end - start)) return whole_end::stopped;
    s->last_end = end;
    s->pos = end;
  }
  if (!empty) return whole_end::done;
  // After an empty match the byte behind it is kept, and the search resumes
  // after it.
  if (end >= s->end) {
    *finished = true;
    return whole_end::done;
  }
  return keep_to(s, out, end + 1) ? whole_end::done : whole_end::output_failed;
}

// After a match replaced under the chunk rule, the matches that follow it
// in the same chunk, the common case of a frequent expression: each is
// replaced without asking again where its chunk ends or which boundary
// lies before it (none does), and the next search follows at once, while
// the search has its lookahead and with the step's own `stop` and flags,
// so that it finds what the next step would.  The first match that is not
// such goes the general way; none found is left to the next step.
whole_end take_span(whole_scan* s, whole_output* out, size_t first_start, size_t stop,
                    size_t searched, int eflags, bool* finished) {
  const matcher& m = *s->pattern;
  const size_t bound = static_cast<size_t>(replace_bound(s, first_start) - s->base);
  while ((s->eof || s->end - s->pos > 2 * s->window) && s->pos < stop) {
    size_t start = 0, end = 0;
    const int found = matcher_search(m, s->buf, searched, s->pos, stop, eflags, &start, &end);
    if (found == MATCH_ERROR) return whole_end::matcher_failed;
    if (found != MATCH_FOUND || start >= stop) return whole_end::done;
    if (start == end || end > bound || end - start > s->window)
      return take_match(s, out, start, end, searched, eflags, finished);
    ++s->count;
    if (start > s->pos && !out->kept(s->buf + s->pos, start - s->pos))
      return whole_end::output_failed;
    if (s->groups_wanted > 0 &&
        matcher_groups(m, s->buf, searched, start, end, eflags, s->groups_wanted, s->groups) ==
            MATCH_ERROR)
      return whole_end::matcher_failed;
    if (!out->replaced(s->buf + start, end - start)) return whole_end::stopped;
    s->last_end = end;
    s->pos = end;
  }
  return whole_end::done;
}

// The search for the expression from `pos`, with the rules above; only a
// match beginning before `sure` is decided while input remains.  The
// library searches at most twice the window from where a match may begin.
whole_end step_regex(whole_scan* s, whole_output* out, size_t sure, bool* finished) {
  const matcher& m = *s->pattern;
  const bool exact = s->eof;  // the rest of the input is all in the buffer
  if (exact && s->base == 0 && s->end == 0) {  // an empty input has no match
    *finished = true;
    return whole_end::done;
  }
  if (s->passing_long) return pass_long_match(s, out, finished);
  // With newline special, an input that ends with one has no line after it:
  // neither ^ nor $ holds at its very end.
  const bool no_last_line = exact && m.newline && s->end > 0 && s->buf[s->end - 1] == '\n';
  size_t stop = exact ? (no_last_line ? s->end : s->end + 1) : sure;
  size_t start = 0;
  size_t end = 0;
  int found = MATCH_NONE;
  bool cut_short = false;  // the text searched ends before what is held
  size_t searched = s->end;
  int eflags = 0;
  const size_t from = first_possible(m, s->buf, s->end, s->pos);
  if (from != SIZE_MAX && from < stop) {
    size_t length = s->end;
    if (m.short_texts && s->end - from > 2 * s->window + 1) {
      length = searched = from + 2 * s->window + 1;
      stop = std::min(stop, from + s->window + 1);
      cut_short = true;
    }
    // Offset 0 is a line start only at the input's start; a later start of
    // the search takes its context from the byte before it.
    eflags = (s->base > 0 ? REG_NOTBOL : 0) |
             (exact && !no_last_line && !cut_short ? 0 : REG_NOTEOL);
    if (!cut_short || may_match(m, s->buf + from, length - from)) {
      found = matcher_search(m, s->buf, length, from, stop, eflags, &start, &end);
      if (found == MATCH_ERROR) return whole_end::matcher_failed;
    }
    if (found == MATCH_FOUND && start >= stop) found = MATCH_NONE;
  }
  if (found == MATCH_NONE) {
    // No match of at most the window begins before `sure` (or `stop`).
    const size_t until = cut_short ? stop : exact ? s->end : std::max(sure, s->pos);
    if (!keep_to(s, out, until)) return whole_end::output_failed;
    *finished = exact && !cut_short;
    return whole_end::done;
  }
  const int64_t before = s->count;
  const whole_end taken = take_match(s, out, start, end, searched, eflags, finished);
  if (taken != whole_end::done || *finished || s->count == before || !s->chunks || start == end ||
      cut_short)
    return taken;
  return take_span(s, out, start, stop, searched, eflags, finished);
}

// Where, with the input held so far, the decided matches end: every match
// that begins before the place returned ends before the last byte held, so
// no later input can change it.  A match lies within one run of the bytes
// it can be made of and is at most `longest` bytes long.
size_t settled(const whole_scan* s) {
  const matcher& m = *s->pattern;
  size_t sure = s->end > s->window ? s->end - s->window : 0;
  if (m.longest < s->end) sure = std::max(sure, s->end - m.longest);
  if (m.takes_known) {
    for (size_t j = s->end; j > s->pos && j > sure; --j) {
      if (!m.takes[static_cast<unsigned char>(s->buf[j - 1])]) {
        sure = j;
        break;
      }
    }
  }
  return sure;
}

// Before a read that would wait: everything decided goes out.
whole_end settle(whole_scan* s, whole_output* out, bool* finished) {
  if (s->old_text != nullptr) {
    for (size_t was = NONE; was != s->pos && !*finished;) {
      was = s->pos;
      const whole_end stepped = step_literal(s, out, finished);
      if (stepped != whole_end::done) return stepped;
    }
  } else {
    const size_t sure = settled(s);
    while (s->pos < sure && !*finished) {
      const whole_end stepped = step_regex(s, out, sure, finished);
      if (stepped != whole_end::done) return stepped;
    }
  }
  return out->waiting() ? whole_end::done : whole_end::output_failed;
}

}  // namespace

whole_end scan_whole(whole_scan* s, whole_input& in, whole_output* out) {
  if (s->buf == nullptr) {
    // Room for the lookahead behind the byte of context, and with the chunk
    // rule for the start of a chunk and one more read.  The library is given
    // texts of twice LIBRARY_WINDOW at most, which keeps its memory bounded.
    if (s->pattern != nullptr && s->old_text == nullptr && s->pattern->short_texts)
      s->window = std::min(s->window, LIBRARY_WINDOW);
    if (s->chunks) s->window = std::max(s->window, s->chunk_size);
    const size_t chunk_room = s->chunks ? 2 * s->chunk_size : 0;
    s->capacity = std::max(s->capacity, 2 * s->window + 2 + chunk_room);
    s->buf = static_cast<char*>(malloc(s->capacity + 1));
    if (s->buf == nullptr) {
      errno = ENOMEM;
      return whole_end::no_memory;
    }
    s->end = 0;
    s->pos = 0;
    s->eof = false;
    s->last_end = NONE;
    s->told = s->base + static_cast<off_t>(s->skip);
    // A resumed search reads the bytes before its start for the context.
    if (s->skip > 0) {
      const whole_end filled = refill(s, in, out, false);
      if (filled != whole_end::done) return filled;
      if (s->end == 0) return whole_end::done;
      s->pos = std::min(s->skip, s->end);
    }
  }
  const size_t lookahead = 2 * s->window + 1;
  bool finished = false;
  while (!finished) {
    if (!s->eof && s->end - s->pos < lookahead) {
      const bool waits = in.may_wait() && !in.ready();
      if (waits) {
        const whole_end settled_now = settle(s, out, &finished);
        if (settled_now != whole_end::done) return settled_now;
      }
      const whole_end filled = refill(s, in, out, in.may_wait());
      if (filled != whole_end::done) return filled;
      continue;
    }
    const size_t sure = s->eof ? 0 : s->end - s->window;
    const whole_end stepped = s->old_text != nullptr ? step_literal(s, out, &finished)
                                                     : step_regex(s, out, sure, &finished);
    if (stepped != whole_end::done) return stepped;
  }
  // The last chunk ends with the input.
  if (s->chunks && s->base + static_cast<off_t>(s->end) > 0 && !out->chunk_end())
    return whole_end::output_failed;
  return whole_end::done;
}

}  // namespace zamplet
