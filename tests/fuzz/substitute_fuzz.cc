// Fuzz target of both engines: the per-chunk substitution of a fixed string,
// and the one search of a whole input under the chunk rule for expressions.
//
// Input: byte 0 holds the MODE_* bits, byte 1 the pattern's length (taken
// modulo PATTERN_LIMIT + 1), byte 2 the replacement's length, byte 3 the
// chunk size (1 + byte % 64) in its low six bits and the READY_* answers in
// its top two, byte 4 the seed of the generator of read sizes and answers;
// the pattern and the replacement follow, and what is left (at most
// TEXT_LIMIT bytes) is the text.  The pattern and the replacement end at a
// zero byte, as an operand on the command line does; the text may hold zero
// bytes anywhere.  A fixed string is searched in the text's first CHUNK_SIZE
// bytes as one chunk, and bytes 3 and 4 count for nothing.
//
// A fixed string's result is compared with a plain reference that finds the
// occurrences on its own and rebuilds the output from them; an expression's
// with the shared model of the chunk rule, given the same chunk starts.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex.h>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "chunk_model.h"
#include "engine/scan.h"

namespace {

using zamplet::CHUNK_SIZE;
using zamplet::OUTPUT_START;
using zamplet::OUTPUT_STEP;

constexpr uint8_t MODE_LITERAL = 1;   // -w; -e, -i and -n then count for nothing
constexpr uint8_t MODE_EXTENDED = 2;  // -e
constexpr uint8_t MODE_ICASE = 4;     // -i
constexpr uint8_t MODE_NEWLINE = 8;   // -n
constexpr uint8_t MODE_LONG = 16;     // the replacement repeated 16 times
// Expressions only:
constexpr uint8_t MODE_READ_CHUNKS = 32;  // each read is one chunk, as from a pipe
constexpr uint8_t MODE_NARROW = 64;       // a window just long enough for every match
constexpr uint8_t MODE_FULL_READS = 128;  // every read fills the room it is given
// How `ready` answers, from the top two bits of byte 3.
constexpr int READY_NONE = 0;   // no ready(): reads until the lookahead is in
constexpr int READY_ALWAYS = 1;
constexpr int READY_SOME = 2;   // not ready one time in four
constexpr int READY_NEVER = 3;  // settles before every read
constexpr size_t PATTERN_LIMIT = 16;
constexpr size_t REPLACEMENT_MAX = 4096;  // the longest NEWPATTERN the program takes
constexpr size_t TEXT_LIMIT = 4096;
constexpr size_t HEADER = 5;
// Output allowed per input.  A fixed string's buffer grows in small steps
// and every step under the address sanitizer copies it whole, so megabytes
// of output would cost seconds per input; the unit tests cover the
// full-chunk extremes.
constexpr size_t OUTPUT_BUDGET = 256 * 1024;

#define CHECK(cond) ((cond) ? (void)0 : check_failed(#cond, __LINE__))

[[noreturn]] void check_failed(const char* what, int line) {
  fprintf(stderr, "substitute_fuzz.cc:%d: check failed: %s\n", line, what);
  abort();
}

using hit_list = std::vector<std::pair<size_t, size_t>>;  // [start, end) of each occurrence

// Takes up to `len` bytes at *at, cut at a zero byte.
std::string take_text(const uint8_t* data, size_t size, size_t* at, size_t len) {
  if (len > size - *at) len = size - *at;
  std::string s(reinterpret_cast<const char*>(data + *at), len);
  *at += len;
  s.resize(strnlen(s.c_str(), s.size()));
  return s;
}

// The C library's matcher is exponential on back-references, and its
// compiler on stacked or nested repetitions (^.*+++++ alone takes it over ten
// seconds); such patterns would time out there, not in the engine.
bool tame_pattern(const std::string& p) {
  int repetitions = 0;
  for (size_t i = 0; i < p.size(); ++i) {
    const bool digit_next = i + 1 < p.size() && p[i + 1] >= '0' && p[i + 1] <= '9';
    if (strchr("*+?{", p[i]) != nullptr && ++repetitions > 4) return false;
    if (p[i] == '\\' && digit_next) return false;
    if (p[i] >= '0' && p[i] <= '9' && digit_next) return false;
  }
  return true;
}

// Non-overlapping occurrences of `old_text`, left to right, up to `end`.
hit_list literal_hits(const std::string& old_text, const char* text, size_t end) {
  hit_list hits;
  for (size_t p = 0; p + old_text.size() <= end;) {
    if (memcmp(text + p, old_text.data(), old_text.size()) == 0) {
      hits.emplace_back(p, p + old_text.size());
      p += old_text.size();
    } else {
      ++p;
    }
  }
  return hits;
}

// The chunk with every occurrence replaced; the rest is copied as it is.
std::string rebuild(const char* chunk, size_t n, const hit_list& hits, const std::string& repl) {
  std::string out;
  size_t q = 0;
  for (const auto& [s, e] : hits) {
    out.append(chunk + q, s - q);
    out += repl;
    q = e;
  }
  return out.append(chunk + q, n - q);
}

// The capacity that the growth rule reaches for an output of `need` bytes.
size_t grown_cap(size_t need) {
  size_t cap = OUTPUT_START;
  while (need + CHUNK_SIZE >= cap) cap += OUTPUT_STEP;
  return cap;
}

// The fixed string through substitute_literal, one chunk of the text.
void check_literal(const std::string& pattern, const std::string& repl, const uint8_t* text,
                   size_t text_len) {
  const size_t n = std::min(text_len, CHUNK_SIZE);
  // At most one occurrence per byte.
  if ((strnlen(reinterpret_cast<const char*>(text), n) + 1) * repl.size() > OUTPUT_BUDGET) return;

  // Exact-sized copies, so that a read past any of them is caught.
  char* chunk = static_cast<char*>(malloc(n + 1));
  memcpy(chunk, text, n);
  chunk[n] = '\0';
  char* old_text = strdup(pattern.c_str());
  char* replacement = strdup(repl.c_str());
  const size_t end = strnlen(chunk, n);

  // The capacity that the frame gives the output at the start of a chunk.
  const bool fixed = pattern.size() == repl.size();
  const size_t start_cap = fixed ? CHUNK_SIZE + 1 : OUTPUT_START;
  zamplet::chunk_output out{static_cast<char*>(malloc(start_cap)), start_cap};
  const int64_t count_before = 7;  // the count runs over the chunks of a file
  int64_t count = count_before;

  const int64_t length = zamplet::substitute_literal(old_text, pattern.size(), chunk, n,
                                                     replacement, repl.size(), &out, &count);
  const hit_list hits = literal_hits(pattern, chunk, end);

  CHECK(memcmp(chunk, text, n) == 0 && chunk[n] == '\0');  // the input is left alone
  if (length < 0) {
    CHECK(length == -1 && errno == ENOMEM);
  } else {
    const size_t len = static_cast<size_t>(length);
    const size_t k = hits.size();
    size_t matched = 0;
    for (const auto& [s, e] : hits) matched += e - s;
    CHECK(count - count_before == static_cast<int64_t>(k));
    CHECK(len <= n + k * repl.size());
    CHECK(len == n - matched + k * repl.size());
    CHECK(len == n - k * pattern.size() + k * repl.size());
    if (fixed) CHECK(len == n && out.cap == start_cap);
    // Behind the first zero byte nothing is searched: it comes out unchanged.
    CHECK(len >= n - end && memcmp(out.data + len - (n - end), chunk + end, n - end) == 0);
    const std::string want = rebuild(chunk, n, hits, repl);
    CHECK(want.size() == len && memcmp(want.data(), out.data, len) == 0);
    if (!fixed) {
      // Grown in whole steps, never beyond what the output needed, and at
      // least as far as the copy before the untested tail required.
      const size_t tail = n - (k == 0 ? 0 : hits.back().second);
      CHECK(out.cap >= OUTPUT_START && (out.cap - OUTPUT_START) % OUTPUT_STEP == 0);
      CHECK(out.cap <= grown_cap(len) && out.cap >= grown_cap(len - tail));
    }
  }

  free(out.data);
  free(replacement);
  free(old_text);
  free(chunk);
}

// A small deterministic generator, so that one input always runs alike.
struct generator {
  uint32_t state;
  uint32_t next() {
    state = state * 1103515245u + 12345u;
    return state >> 16;
  }
};

// The text handed out in reads of the sizes the generator picks, with the
// `ready` answers it picks; the offset where each read began is recorded.
struct fuzz_input {
  const char* text;
  size_t len;
  size_t at;
  size_t chunk_size;
  bool full_reads;
  int ready_mode;
  generator gen;
  std::vector<size_t> starts;
};

// The scan's view of a fuzz input.
class fuzz_reader final : public zamplet::whole_input {
 public:
  explicit fuzz_reader(fuzz_input* in) : in_(in) {}
  ssize_t read(char* into, size_t room) override {
    size_t n = std::min(room, in_->len - in_->at);
    // Short reads of up to three chunks, so that they fall across chunks.
    if (!in_->full_reads && n > 1) n = 1 + in_->gen.next() % std::min(n, 3 * in_->chunk_size);
    if (n > 0) in_->starts.push_back(in_->at);
    memcpy(into, in_->text + in_->at, n);
    in_->at += n;
    return static_cast<ssize_t>(n);
  }
  bool may_wait() const override { return in_->ready_mode != READY_NONE; }
  bool ready() override {
    switch (in_->ready_mode) {
      case READY_ALWAYS: return true;
      case READY_SOME: return in_->gen.next() % 4 != 0;
      case READY_NEVER: return false;
      default: return true;
    }
  }

 private:
  fuzz_input* in_;
};

// Rebuilds the output from what the scan hands out, and checks that it
// hands out the input in order: kept and replaced bytes are the input's own
// at the place reached, and each chunk end falls where a chunk ends.
class fuzz_output final : public zamplet::whole_output {
 public:
  fuzz_output(const char* text, const std::string& replacement)
      : text(text), replacement(replacement) {}
  bool kept(const char* data, size_t len) override {
    CHECK(memcmp(data, text + consumed, len) == 0);
    out.append(data, len);
    consumed += len;
    return true;
  }
  bool replaced(const char* data, size_t len) override {
    CHECK(memcmp(data, text + consumed, len) == 0);
    out += replacement;
    consumed += len;
    return true;
  }
  bool moving() override { return true; }
  bool chunk_end() override {
    ends.push_back(consumed);
    return true;
  }
  const char* text;
  const std::string& replacement;
  std::string out;
  size_t consumed = 0;
  std::vector<size_t> ends;  // the input consumed at each chunk_end
};

// The expression through scan_whole under the chunk rule, against the model.
void check_expression(const std::string& pattern, int cflags, const std::string& repl,
                      uint8_t mode, uint8_t chunk_byte, uint8_t seed, const uint8_t* data,
                      size_t text_len) {
  const size_t n = std::min(text_len, TEXT_LIMIT);
  // At most one occurrence per byte and one at the end of the text.
  if ((n + 1) * repl.size() > OUTPUT_BUDGET) return;
  regex_t re;
  if (regcomp(&re, pattern.c_str(), cflags) != 0) return;
  const bool newline = (cflags & REG_NEWLINE) != 0;

  // An exact-sized copy, so that a read past it is caught.
  char* text = static_cast<char*>(malloc(n == 0 ? 1 : n));
  memcpy(text, data, n);
  const std::string input(text, n);

  const size_t chunk_size = 1 + chunk_byte % 64;
  fuzz_input in{text, n, 0, chunk_size, (mode & MODE_FULL_READS) != 0, chunk_byte >> 6,
                {seed * 2654435761u + 1u}, {}};
  zamplet::matcher m = zamplet::make_matcher(&re, pattern.c_str(), cflags,
                                             zamplet::matcher_choice::best, true);
  fuzz_output out(text, repl);
  zamplet::whole_scan scan;
  scan.pattern = &m;
  scan.chunks = true;
  scan.read_chunks = (mode & MODE_READ_CHUNKS) != 0;
  scan.chunk_size = chunk_size;
  scan.capacity = 0;  // the least the window needs
  if (mode & MODE_NARROW) {
    // A match longer than the window is outside what the search is exact
    // for; a window just long enough for every match keeps it exact while
    // the buffer moves as often as it can.
    size_t longest = 0;
    for (const auto& [s, e] : zamplet_test::whole_matches(&re, newline, input))
      longest = std::max(longest, e - s);
    scan.window = longest + in.gen.next() % 8;
  }
  fuzz_reader reader(&in);
  const zamplet::whole_end end = zamplet::scan_whole(&scan, reader, &out);
  CHECK(end == zamplet::whole_end::done);
  CHECK(memcmp(text, data, n) == 0);  // the input is left alone
  CHECK(out.consumed == n);

  // Chunks begin where reads began, or every chunk_size bytes from 0.
  std::vector<size_t> starts;
  if (scan.read_chunks) {
    starts = in.starts;
  } else {
    for (size_t at = 0; at < n; at += chunk_size) starts.push_back(at);
  }
  // Every chunk ends once, at the next chunk's start or the input's end.
  std::vector<size_t> want_ends(starts.begin() + (starts.empty() ? 0 : 1), starts.end());
  if (n > 0) want_ends.push_back(n);
  CHECK(out.ends == want_ends);

  const zamplet_test::chunk_rule_result want =
      zamplet_test::chunk_rule_model(&re, newline, input, repl, chunk_size, starts);
  CHECK(out.out == want.text);
  CHECK(scan.count == want.count);
  CHECK(scan.left_alone == want.cuts);

  zamplet::free_matcher(&m);
  regfree(&re);
  free(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < HEADER) return 0;
  const uint8_t mode = data[0];
  const bool literal = (mode & MODE_LITERAL) != 0;
  const int cflags = (mode & MODE_EXTENDED ? REG_EXTENDED : 0) |
                     (mode & MODE_ICASE ? REG_ICASE : 0) | (mode & MODE_NEWLINE ? REG_NEWLINE : 0);
  size_t at = HEADER;
  const std::string pattern = take_text(data, size, &at, data[1] % (PATTERN_LIMIT + 1));
  std::string repl = take_text(data, size, &at, data[2]);
  if (mode & MODE_LONG) {
    const std::string once = repl;
    for (int i = 1; i < 16; ++i) repl += once;
    if (repl.size() > REPLACEMENT_MAX) repl.resize(REPLACEMENT_MAX);
  }
  if (literal) {
    // The program refuses an empty fixed string.
    if (!pattern.empty()) check_literal(pattern, repl, data + at, size - at);
  } else if (tame_pattern(pattern)) {
    check_expression(pattern, cflags, repl, mode, data[3], data[4], data + at, size - at);
  }
  return 0;
}
