// The searches over one input, internal to the engine (and the unit tests'
// way in): a fixed string's substitution over one chunk with its boundary
// check, and the one search over a whole input that an expression and
// --whole go through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>
#include <deque>
#include <regex.h>
#include <sys/types.h>

#include "engine/engine.h"

namespace zamplet {

// Bytes asked for by one read; every chunk is searched on its own.
constexpr size_t CHUNK_SIZE = 1023;
// Capacity of the output buffer at the start of every chunk.
constexpr size_t OUTPUT_START = 5120;
// Step by which the output buffer grows while one chunk is rewritten.
constexpr size_t OUTPUT_STEP = 1024;


// --whole: an input searched as one text, every occurrence replaced.
// The input is held WHOLE_BUFFER bytes at a time.
constexpr size_t WHOLE_BUFFER = 1 << 20;
constexpr size_t CHUNK_RULE_BUFFER = 1 << 18;  // the same search under the chunk rule
// The window of an expression that only the C library searches: its memory
// grows with the square of the text for some expressions (back-references).
constexpr size_t LIBRARY_WINDOW = 1024;

// Where the search of a whole input sends what it decides, in input order.
// The pointers are into the search's buffer and stay valid until moving().
class whole_output {
 public:
  virtual ~whole_output() = default;
  // Input bytes that reach the output unchanged; false: output failed.
  virtual bool kept(const char* data, size_t len) = 0;
  // The input bytes of one occurrence, which the replacement takes the
  // place of; false ends the search (whole_end::stopped).
  virtual bool replaced(const char* data, size_t len) = 0;
  // Every byte given so far is about to move: what was given must go out,
  // unless moved() follows it where the bytes are still wanted.  False:
  // output failed.
  virtual bool moving() = 0;
  // The bytes held by the search moved `shift` bytes towards its buffer's
  // start; the search's own chunk (the one its place is in, and the one
  // before that place) stays in the buffer.
  virtual void moved(size_t shift) { (void)shift; }
  // The search is about to wait for input: what was given must go out.
  virtual bool waiting() { return moving(); }
  // With the chunk rule: the bytes given so far end a chunk.  Called at
  // every chunk boundary that the output passes and once at the input's end
  // (never for an empty input); an empty occurrence at a boundary comes
  // after it, in the chunk that begins there.
  virtual bool chunk_end() { return true; }
};

// Where the input comes from.
class whole_input {
 public:
  virtual ~whole_input() = default;
  // Like read(2): more bytes on every call, 0 at the end, -1 (errno set) on
  // failure.
  virtual ssize_t read(char* into, size_t room) = 0;
  // True for an input whose reads may wait (a pipe, a terminal): each read
  // is taken as it comes, and before a read that would wait (ready() false)
  // the search hands out everything that no later input can change.
  virtual bool may_wait() const { return false; }
  virtual bool ready() { return true; }
};

enum class whole_end { done, stopped, read_failed, matcher_failed, output_failed, no_memory };

// One input's search.  Set what is searched and, if wanted, the sizes; the
// rest is the search's own.  Searched with the run's matcher, its texts
// must be allowed zero bytes (make_matcher's zero_in_text).
struct whole_scan {
  whole_scan() = default;
  whole_scan(const whole_scan&) = delete;
  whole_scan& operator=(const whole_scan&) = delete;
  ~whole_scan();
  // The fixed string when `old_text` is given, the expression otherwise.
  const matcher* pattern = nullptr;
  const char* old_text = nullptr;
  size_t old_len = 0;
  size_t window = WHOLE_WINDOW;
  size_t capacity = WHOLE_BUFFER;  // raised to what the window needs
  // The chunk rule: a match is replaced only when it lies inside one chunk
  // and ends no later than that chunk's first zero byte; the others stay as
  // they are, and those that a boundary cuts are counted in `left_alone`.
  // Chunks are `chunk_size` bytes apart from input offset 0, or, with
  // `read_chunks` (a pipe, a terminal), each read is one, of at most
  // `chunk_size` bytes.
  bool chunks = false;
  bool read_chunks = false;
  size_t chunk_size = CHUNK_SIZE;
  // The search begins `skip` bytes into the input read, which are there for
  // their context only; `base` is then the input offset of the first byte
  // read.  With the chunk rule the bytes skipped must reach back to the
  // start of the chunk where the search begins (and one byte before it).
  size_t skip = 0;
  off_t base = 0;  // the input offset of buf[0]
  int64_t count = 0;    // occurrences replaced
  // Matches not replaced: longer than the window, or cut by a boundary.
  long left_alone = 0;
  char* buf = nullptr;
  size_t pos = 0, end = 0;  // the search's place and the bytes held
  bool eof = false;
  size_t last_end = SIZE_MAX;  // where the last match ended, if in the buffer
  // After a match too long to replace, which may run on past what is held:
  // the bytes up to `long_end` (an input offset; -1, no such bound) are kept,
  // and with `long_run` only while they are bytes a match can be made of.
  bool passing_long = false;
  off_t long_end = -1;
  bool long_run = false;
  // With read_chunks: the input offsets where the chunks held begin.
  std::deque<off_t> edges;
  off_t told = -1;  // the last boundary given to chunk_end()
  mutable off_t chunk_hint = -1;  // where the last fixed-size chunk asked about begins
  off_t zero_chunk = -1, zero_at = 0;  // a chunk's start and its first zero byte
  // With --backrefs: how many of a match's groups the replacement needs
  // (the whole match first), and those of the match given to replaced().
  size_t groups_wanted = 0;
  regmatch_t groups[10] = {};
};

// The chunk rule's side of the search of one input.  Tells `out` of every
// boundary up to input offset `at`, that one included.
bool tell_edges(whole_scan* s, whole_output* out, off_t at);
// Where the chunk that holds input offset `at` begins: a boundary begins
// the chunk there, and the input's end belongs to the last chunk.
off_t chunk_start(const whole_scan* s, off_t at);
// Gives out the bytes from the search's place up to `to` unchanged, telling
// each boundary they pass, and moves the place there.
bool keep_to(whole_scan* s, whole_output* out, size_t to);
// Whether the chunk rule lets the match buf[start, end) be replaced: it
// lies inside one chunk and ends no later than that chunk's first zero
// byte.  A chunk is whole in the buffer whenever a match in it is decided.
bool in_one_chunk(whole_scan* s, size_t start, size_t end);
// The input offset up to which a match that begins at buf[start] may end
// and be replaced under the chunk rule.
off_t replace_bound(whole_scan* s, size_t start);
// Whether the match buf[start, end), not replaced, is one that a chunk
// boundary cut: it crosses one, and no zero byte would have kept it anyway.
bool cut_by_boundary(whole_scan* s, size_t start, size_t end);

// Searches the input to its end, or until out->replaced() says stop.
whole_end scan_whole(whole_scan* scan, whole_input& in, whole_output* out);

// Growable output of one chunk.  `cap` follows the growth rule: before a copy
// that makes the output `need` bytes long, it grows by OUTPUT_STEP while
// need >= cap - CHUNK_SIZE, so that the tail of any chunk always fits.
struct chunk_output {
  char* data = nullptr;
  size_t cap = 0;
};

// Where the search for a fixed string that the boundary behind a chunk
// repeats began.  Positions are offsets in the chunk.
struct search_state {
  size_t start = 0;            // where the search resumed after the last occurrence
  size_t text_end = 0;         // 0 when no occurrence can be cut
};

// Fixed-string substitution; `old_len` must be at least 1.  When
// old_len == replacement_len the output has exactly n bytes and `out` needs
// only CHUNK_SIZE + 1 bytes: no growth test is made.
// `state`, when given, receives in `start` where the search resumed after
// the last occurrence (0 when there was none) and the end of the text;
// `hits`, when given, where each occurrence starts.
int64_t substitute_literal(const char* old_text, size_t old_len, const char* chunk, size_t n,
                           const char* replacement, size_t replacement_len, chunk_output* out,
                           int64_t* count, search_state* state = nullptr,
                           std::vector<size_t>* hits = nullptr);

// Occurrences of a fixed string cut by chunk boundaries.  Chunks are searched
// on their own, so an occurrence that begins in one chunk and ends in the
// next is never replaced; the engine counts them so that the user hears of
// them.  (An expression's search filters its matches instead: see
// whole_scan's chunk rule.)
// The end of one chunk, kept until the next chunk has been read: its last
// bytes and the state its substitution left.
struct chunk_tail {
  bool valid = false;
  size_t n = 0;         // the chunk's length
  size_t kept = 0;      // how many of its last bytes are in `bytes`
  search_state state;   // offsets in the chunk
  char bytes[static_cast<size_t>(PATTERN_MAX)];
};

// Keeps the end of `chunk` (n bytes) for the check of the boundary behind
// it; `keep` is how many bytes at most the check needs.
void remember_tail(chunk_tail* tail, const char* chunk, size_t n, const search_state& state,
                   size_t keep);

// True when the boundary between the chunk in `tail` and `next` (n bytes,
// zero-terminated) cuts an occurrence.  `scratch` holds CUT_SCRATCH bytes.
constexpr size_t CUT_SCRATCH = 2 * static_cast<size_t>(PATTERN_MAX) + CHUNK_SIZE + 3;
bool literal_cut(const char* old_text, size_t old_len, const chunk_tail& tail, const char* next,
                 size_t n, char* scratch);

}  // namespace zamplet
