// The two rewrite engines: one source streamed into one target in chunks of
// at most CHUNK_SIZE bytes, every occurrence in each chunk replaced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <regex.h>
#include <sys/types.h>

#include "engine/matcher.h"
#include "support/state.h"

namespace zamplet {

// Bytes asked for by one read; every chunk is searched on its own.
constexpr size_t CHUNK_SIZE = 1023;
// Capacity of the output buffer at the start of every chunk.
constexpr size_t OUTPUT_START = 5120;
// Step by which the output buffer grows while one chunk is rewritten.
constexpr size_t OUTPUT_STEP = 1024;


// The standard streams.  The engine recognises them by address, never by
// name, so that files called "stdin" or "stdout" are ordinary files.
extern const char ENGINE_STDIN[];   // "stdin"
extern const char ENGINE_STDOUT[];  // "stdout"

// What stays the same of a file under every name it gets.
struct file_identity {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const file_identity&) const = default;
};

// What an in-place caller tells the engine about one file and learns back.
//
// The engine first looks at the file under its own name `file`, with the
// read lock a rewrite takes: a file in which the pattern does not occur is
// left exactly as it is (not moved, not re-created, not re-timed) and only
// reported, with the count 0.  At the first occurrence the engine calls
// `move_aside`, which moves the file to the intermediate name `copy` and
// records the move for the stop handler; it returns MOVED, or LEFT_ALONE /
// MOVE_FAILED after saying why.  When the file cannot be opened under its
// name, or is not the file the caller checked, it is moved aside at once and
// the copy read as before, so that every message names what it always named;
// a lock that another process holds, or a read that fails, leaves it as it
// is, with a message.
//
// The copy must be the regular file with the identity `source`, the file the
// caller checked: whatever else stands under the intermediate name (another
// file, a FIFO, a link that resolves elsewhere) is refused.  The target is
// created exclusively, so `target_created` tells whether the name now holds
// the engine's own file, `target` which one.
struct in_place_files {
  // WOULD_MOVE: with -s, nothing is moved, and nothing stands in the way.
  enum move_result { MOVED, WOULD_MOVE, LEFT_ALONE, MOVE_FAILED };
  file_identity source;
  const char* file = nullptr;
  const char* copy = nullptr;
  move_result (*move_aside)(in_place_files* files) = nullptr;
  // Called, with the stop signals blocked, the moment the new file takes
  // the target's name (`target` already says which file it is): from then
  // on a stop may put the copy back over it.
  void (*name_taken)(const in_place_files& files) = nullptr;
  // Called once the new file is complete and closed, to write its count
  // (`text`, nothing when empty) and make the rewrite final in one step for
  // the stop handler.  False (errno set) when the count could not be written.
  bool (*counted)(const char* text, size_t len) = nullptr;
  const void* context = nullptr;  // for move_aside
  bool name_printed = false;      // the engine wrote `file` to standard output
  bool target_created = false;
  file_identity target;
  off_t written = 0;              // the new file's length, once complete
};

// Results of an engine call.
constexpr int ENGINE_DONE = 0;         // the target holds the new content
constexpr int ENGINE_GAVE_UP = 1;      // after moving the file aside; it must be moved back
constexpr int ENGINE_UNCHANGED = 2;    // in place: no occurrence, the file left as it is
constexpr int ENGINE_NOT_MOVED = 3;    // in place: move_aside left the file alone
constexpr int ENGINE_FAILED_HERE = 4;  // in place: failed before any move, file as it was
constexpr int ENGINE_SIMULATED = 5;    // in place with -s: counted, the file only read
constexpr int ENGINE_PASSED_OVER = 6;  // in place with -I: a binary file, left alone unsaid

// Rewrites `source` into `target` replacing every match of `pattern` by
// `replacement`.  Returns ENGINE_DONE when the whole input was read,
// rewritten and written; ENGINE_GAVE_UP when it gave up, after saying why
// with note().  For an in-place rewrite `files` is given, with `source` the
// intermediate name and `target` the file's own, and the other results may
// come back; in filter mode it is null.  When the count was printed (done or
// unchanged), `cuts`, if given, receives the number of chunk boundaries that
// cut an occurrence (with --whole, of the matches left alone as too long).
int rewrite_regex(const char* source, const char* target, const matcher* pattern,
                  const char* replacement, in_place_files* files = nullptr,
                  long* cuts = nullptr);
// The same with the fixed text `old_text` in place of the expression.
int rewrite_literal(const char* source, const char* target, const char* old_text,
                    const char* replacement, in_place_files* files = nullptr,
                    long* cuts = nullptr);

// The rewrite with OLDPATTERN and NEWPATTERN as the run prepared them: the
// fixed string with -w, the compiled expression otherwise.
int rewrite_with_pattern(const char* source, const char* target, in_place_files* files = nullptr,
                         long* cuts = nullptr);

// Tells the user that chunk boundaries of the input `name` cut `cuts`
// occurrences, if they cut any, and counts them for the end of the run; with
// --whole, `cuts` counts the matches left alone as longer than WHOLE_WINDOW,
// and the note says so.
void report_cuts(const char* name, long cuts);
// Once at the end of a run whose chunk boundaries cut any occurrence: how
// many, in how many inputs, and that --whole replaces them.
void report_cut_total();

// --whole: an input searched as one text, every occurrence replaced.
// A match is replaced when it is at most WHOLE_WINDOW bytes long; longer ones
// are left alone and counted.  The input is held WHOLE_BUFFER bytes at a time.
constexpr size_t WHOLE_WINDOW = 65536;
constexpr size_t WHOLE_BUFFER = 1 << 20;
constexpr size_t CHUNK_RULE_BUFFER = 1 << 18;  // the same search under the chunk rule

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

// Where the input comes from: like read(2), more bytes on every call, 0 at
// the end, -1 (errno set) on failure.  `ready`, when given, tells whether a
// read would return at once; before a read that would wait, the search
// hands out everything that no later input can change.
struct whole_input {
  ssize_t (*read)(void* context, char* into, size_t room);
  void* context;
  bool (*ready)(void* context) = nullptr;
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
  // With read_chunks: the input offsets where the chunks held begin.
  std::deque<off_t> edges;
  off_t told = -1;  // the last boundary given to chunk_end()
  off_t zero_chunk = -1, zero_at = 0;  // a chunk's start and its first zero byte
};

// Searches the input to its end, or until out->replaced() says stop.
whole_end scan_whole(whole_scan* scan, const whole_input& in, whole_output* out);

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
// the last occurrence (0 when there was none) and the end of the text.
int64_t substitute_literal(const char* old_text, size_t old_len, const char* chunk, size_t n,
                           const char* replacement, size_t replacement_len, chunk_output* out,
                           int64_t* count, search_state* state = nullptr);

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
