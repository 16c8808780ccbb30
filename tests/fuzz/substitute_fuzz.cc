// Fuzz target for the per-chunk substitution of both engines.
//
// Input: byte 0 holds the MODE_* bits, byte 1 the pattern's length (taken
// modulo PATTERN_LIMIT + 1), byte 2 the replacement's length; the pattern and
// the replacement follow, and what is left (at most CHUNK_SIZE bytes) is the
// chunk.  The pattern and the replacement end at a zero byte, as an operand
// on the command line does; the chunk may hold zero bytes anywhere.
//
// Every result is compared with a plain reference that finds the occurrences
// on its own and rebuilds the output from them.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex.h>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"

namespace {

using zamplet::CHUNK_SIZE;
using zamplet::OUTPUT_START;
using zamplet::OUTPUT_STEP;

constexpr uint8_t MODE_LITERAL = 1;   // -w; the three bits below then count for nothing
constexpr uint8_t MODE_EXTENDED = 2;  // -e
constexpr uint8_t MODE_ICASE = 4;     // -i
constexpr uint8_t MODE_NEWLINE = 8;   // -n
constexpr uint8_t MODE_LONG = 16;     // the replacement repeated 16 times
constexpr size_t PATTERN_LIMIT = 16;
constexpr size_t REPLACEMENT_MAX = 4096;  // the longest NEWPATTERN the program takes
// Output allowed per input.  The buffer grows in small steps and every step
// under the address sanitizer copies it whole, so megabytes of output would
// cost seconds per input; the unit tests cover the full-chunk extremes.
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

// Occurrences of the expression up to `end`: the leftmost match from the
// scan position.  An empty match right where the previous occurrence ended is
// none.  Behind a non-empty match the search resumes there, ^ holding; behind
// an empty one the byte there is kept and the search resumes past it, ^
// holding only after a newline when newline is special.
hit_list regex_hits(const regex_t* re, bool newline, const char* text, size_t end) {
  hit_list hits;
  size_t p = 0;
  bool bol = true;
  for (;;) {
    regmatch_t m;
    if (regexec(re, text + p, 1, &m, bol ? 0 : REG_NOTBOL) != 0) break;
    CHECK(m.rm_so >= 0 && m.rm_so <= m.rm_eo && p + static_cast<size_t>(m.rm_eo) <= end);
    const size_t s = p + static_cast<size_t>(m.rm_so), e = p + static_cast<size_t>(m.rm_eo);
    if (s != e || hits.empty() || hits.back().second != s) hits.emplace_back(s, e);
    if (s != e) {
      p = e;
      bol = true;
      continue;
    }
    if (s == end) break;
    bol = newline && text[s] == '\n';
    p = s + 1;
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t mode = data[0];
  const bool literal = (mode & MODE_LITERAL) != 0;
  const int cflags = (mode & MODE_EXTENDED ? REG_EXTENDED : 0) |
                     (mode & MODE_ICASE ? REG_ICASE : 0) | (mode & MODE_NEWLINE ? REG_NEWLINE : 0);
  size_t at = 3;
  const std::string pattern = take_text(data, size, &at, data[1] % (PATTERN_LIMIT + 1));
  std::string repl = take_text(data, size, &at, data[2]);
  if (mode & MODE_LONG) {
    const std::string once = repl;
    for (int i = 1; i < 16; ++i) repl += once;
    if (repl.size() > REPLACEMENT_MAX) repl.resize(REPLACEMENT_MAX);
  }
  const size_t n = size - at < CHUNK_SIZE ? size - at : CHUNK_SIZE;
  // The program refuses an empty fixed string.
  if (literal && pattern.empty()) return 0;
  if (!literal && !tame_pattern(pattern)) return 0;
  // At most one occurrence per byte and one at the end of the text.
  if ((strnlen(reinterpret_cast<const char*>(data + at), n) + 1) * repl.size() > OUTPUT_BUDGET)
    return 0;

  regex_t re;
  if (!literal && regcomp(&re, pattern.c_str(), cflags) != 0) return 0;

  // Exact-sized copies, so that a read past any of them is caught.
  char* chunk = static_cast<char*>(malloc(n + 1));
  memcpy(chunk, data + at, n);
  chunk[n] = '\0';
  char* old_text = strdup(pattern.c_str());
  char* replacement = strdup(repl.c_str());
  const size_t end = strnlen(chunk, n);

  // The capacity that the frame gives the output at the start of a chunk.
  const bool fixed = literal && pattern.size() == repl.size();
  const size_t start_cap = fixed ? CHUNK_SIZE + 1 : OUTPUT_START;
  zamplet::chunk_output out{static_cast<char*>(malloc(start_cap)), start_cap};
  const int64_t count_before = 7;  // the count runs over the chunks of a file
  int64_t count = count_before;

  hit_list hits;
  int64_t length;
  if (literal) {
    length = zamplet::substitute_literal(old_text, pattern.size(), chunk, n, replacement,
                                         repl.size(), &out, &count);
    hits = literal_hits(pattern, chunk, end);
  } else {
    const bool newline = (cflags & REG_NEWLINE) != 0;
    // The best matcher of the build against the reference, which asks the
    // library itself.
    zamplet::matcher m = zamplet::make_matcher(&re, pattern.c_str(), cflags);
    length = zamplet::substitute_regex(&m, chunk, n, replacement, repl.size(), &out, &count);
    hits = regex_hits(&re, newline, chunk, end);
    zamplet::free_matcher(&m);
    regfree(&re);
  }

  CHECK(memcmp(chunk, data + at, n) == 0 && chunk[n] == '\0');  // the input is left alone
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
    if (literal) CHECK(len == n - k * pattern.size() + k * repl.size());
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
  return 0;
}
