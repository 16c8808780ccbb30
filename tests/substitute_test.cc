// Unit tests of the per-chunk substitution of both engines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <regex.h>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "scan_support.h"
#include "engine/scan.h"
#include "engine/template.h"

using zamplet::chunk_output;
using zamplet_test::collected;
using zamplet_test::memory_input;

namespace {

struct result {
  std::string out;
  int64_t count = 0;
  size_t cap = 0;
  int64_t length = 0;
};

// Both matchers: the C library alone, and the best this build has.
const zamplet::matcher_choice CHOICES[] = {zamplet::matcher_choice::library,
                                           zamplet::matcher_choice::best};

// One chunk through substitute_literal; equal lengths get only 1024 bytes.
result literal_chunk(const std::string& old_text, const std::string& chunk,
                     const std::string& replacement, int64_t start_count = 0) {
  const size_t cap = old_text.size() == replacement.size() ? zamplet::CHUNK_SIZE + 1
                                                           : zamplet::OUTPUT_START;
  chunk_output out{static_cast<char*>(malloc(cap)), cap};
  result r;
  r.count = start_count;
  r.length = zamplet::substitute_literal(old_text.c_str(), old_text.size(), chunk.c_str(),
                                         chunk.size(), replacement.c_str(), replacement.size(),
                                         &out, &r.count);
  if (r.length >= 0) r.out.assign(out.data, static_cast<size_t>(r.length));
  r.cap = out.cap;
  free(out.data);
  return r;
}

struct whole_result {
  std::string out;
  int64_t count = 0;
  long left_alone = 0;
  size_t longest = 0;
};

whole_result scan(const zamplet::matcher& m, const std::string& text, size_t window,
                  std::mt19937* rng) {
  zamplet::whole_scan s;
  s.pattern = &m;
  s.window = window;
  s.capacity = rng != nullptr ? 2 * window + 2 + (*rng)() % (3 * window) : text.size() + 1;
  memory_input in(&text, rng);
  collected c;
  EXPECT_EQ(zamplet::scan_whole(&s, in, &c), zamplet::whole_end::done);
  return {c.out, s.count, s.left_alone, c.longest};
}

// A text searched under the chunk rule, in chunks of `chunk_size` bytes;
// `left_alone` counts the cut occurrences.
whole_result chunk_rule(const char* pattern, int cflags, const std::string& text,
                        const std::string& replacement,
                        zamplet::matcher_choice choice = zamplet::matcher_choice::best,
                        size_t chunk_size = zamplet::CHUNK_SIZE) {
  regex_t re;
  if (regcomp(&re, pattern, cflags) != 0) {
    ADD_FAILURE() << "regcomp " << pattern;
    return {};
  }
  zamplet::matcher m = zamplet::make_matcher(&re, pattern, cflags, choice, true);
  zamplet::whole_scan s;
  s.pattern = &m;
  s.chunks = true;
  s.chunk_size = chunk_size;
  memory_input in(&text);
  collected c(replacement);
  EXPECT_EQ(zamplet::scan_whole(&s, in, &c), zamplet::whole_end::done);
  // One chunk_end per chunk: the trace has a line pair for each.
  EXPECT_EQ(c.chunks, static_cast<long>((text.size() + chunk_size - 1) / chunk_size));
  zamplet::free_matcher(&m);
  regfree(&re);
  return {c.out, s.count, s.left_alone, c.longest};
}

}  // namespace

// The chunk rule over one chunk: the empty matches of the whole-input search.
TEST(ChunkRule, EmptyMatches) {
  struct row {
    const char* pattern;
    int cflags;
    std::string chunk, replacement, out;
    int64_t count;
  };
  const std::vector<row> rows = {
      {"x*", 0, "abc", "-", "-a-b-c-", 4},
      {"a*", 0, "baaac", "-", "-b-c-", 3},
      {"b*", 0, "abba", "-", "-a-a-", 3},
      {"^", 0, "abc", "-", "-abc", 1},
      {"$", 0, "abc", "-", "abc-", 1},
      {"^", 0, "ab\ncd", "-", "-ab\ncd", 1},
      {"^", REG_NEWLINE, "ab\ncd", "-", "-ab\n-cd", 2},
      // No line follows the last newline: neither ^ nor $ holds there.
      {"^", REG_NEWLINE, "ab\n\ncd\n", "-", "-ab\n-\n-cd\n", 3},
      {"$", REG_NEWLINE, "ab\ncd\n", "-", "ab-\ncd-\n", 2},
      {"$", REG_NEWLINE, "ab\ncd", "-", "ab-\ncd-", 2},
      // ^ holds at the input's start only, not behind a replaced match.
      {"^a", 0, "aaab", "X", "Xaab", 1},
      {"x*", 0, "", "-", "", 0},  // an empty input has no match
      {"x*", 0, "abc", "", "abc", 4},
      {"a*", REG_EXTENDED, "aab", "<>", "<>b<>", 2},
      {"x*", 0, std::string("a\0bc", 4), "-", std::string("-a-\0bc", 6), 2},
      {"b", 0, std::string("ab\0b", 4), "X", std::string("aX\0b", 4), 1},
  };
  for (const auto& r : rows) {
    for (const auto choice : CHOICES) {
      SCOPED_TRACE(std::string(r.pattern) + " on " + r.chunk);
      auto got = chunk_rule(r.pattern, r.cflags, r.chunk, r.replacement, choice);
      EXPECT_EQ(got.out, r.out);
      EXPECT_EQ(got.count, r.count);
    }
  }
}

TEST(SubstituteLiteral, Table) {
  struct row {
    std::string old_text, chunk, replacement, out;
    int64_t count;
  };
  const std::vector<row> rows = {
      {"aa", "aaa", "X", "Xa", 1},
      {"aa", "aaaaa", "bb", "bbbba", 2},
      {"a.b", "a.b axb", "X", "X axb", 1},
      {"ab", "xabyab", "", "xy", 2},
      {"abc", "ab", "Z", "ab", 0},
      {"a", std::string("ba\0a", 4), "X", std::string("bX\0a", 4), 1},
      {"a", std::string("\0a", 2), "XYZ", std::string("\0a", 2), 0},
      {"x", "", "yy", "", 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.old_text + " on " + r.chunk);
    auto got = literal_chunk(r.old_text, r.chunk, r.replacement);
    EXPECT_EQ(got.out, r.out);
    EXPECT_EQ(got.count, r.count);
  }
}

TEST(SubstituteLiteral, EqualLengthsFitTheChunkBuffer) {
  std::string chunk;
  while (chunk.size() < zamplet::CHUNK_SIZE) chunk += "abc";
  chunk.resize(zamplet::CHUNK_SIZE);
  auto got = literal_chunk("abc", chunk, "XYZ");
  std::string expect;  // 1023 = 341 * 3: every triple is whole
  for (int i = 0; i < 341; ++i) expect += "XYZ";
  EXPECT_EQ(got.out, expect);
  EXPECT_EQ(got.out.size(), zamplet::CHUNK_SIZE);
  EXPECT_EQ(got.count, 341);
  EXPECT_LE(got.cap, zamplet::CHUNK_SIZE + 1);  // no growth for equal lengths
}

TEST(SubstituteLiteral, LongReplacementOverFullChunk) {
  std::string repl;
  for (int i = 0; i < 4096; ++i) repl += static_cast<char>('a' + i % 19);
  auto got = literal_chunk("#", std::string(zamplet::CHUNK_SIZE, '#'), repl);
  ASSERT_EQ(got.length, 1023 * 4096);
  EXPECT_EQ(got.count, 1023);
  std::string expect;
  for (int i = 0; i < 1023; ++i) expect += repl;
  EXPECT_TRUE(got.out == expect);
  // The buffer grew to what the output needs, not far beyond it.
  EXPECT_LE(got.cap, got.out.size() + zamplet::CHUNK_SIZE + zamplet::OUTPUT_STEP + 1);
}

namespace {

std::string random_text(std::mt19937& rng, size_t len, const char* alphabet) {
  const size_t k = strlen(alphabet);
  std::string s;
  for (size_t i = 0; i < len; ++i) s += alphabet[rng() % k];
  return s;
}

}  // namespace

TEST(SubstituteLiteral, MatchesReferenceOnRandomInputs) {
  std::mt19937 rng(20240611u);
  for (int iter = 0; iter < 4000; ++iter) {
    const std::string old_text = random_text(rng, 1 + rng() % 3, "ab");
    const std::string replacement = random_text(rng, rng() % 5, "abc");
    std::string chunk = random_text(rng, rng() % 48, "aab");
    if (!chunk.empty() && rng() % 8 == 0) chunk[rng() % chunk.size()] = '\0';
    if (iter % 200 == 0) chunk = random_text(rng, zamplet::CHUNK_SIZE, "ab");
    // The shared reference: non-overlapping, left to right, up to the first
    // zero byte, everything from there copied unchanged.
    const zamplet_test::literal_result model =
        zamplet_test::literal_model(chunk, old_text, replacement);
    const int64_t want_count = 5 + model.count;
    const std::string& want = model.text;
    auto got = literal_chunk(old_text, chunk, replacement, 5);
    ASSERT_EQ(got.out, want) << "old=" << old_text << " new=" << replacement
                             << " chunk=" << chunk << " iter=" << iter;
    ASSERT_EQ(got.count, want_count) << "iter=" << iter;
  }
}

namespace {

// Whether the boundary between chunks `a` and `b` cuts an occurrence, as the
// engine sees it: `a` substituted first, its end kept, then `b` checked.
bool cut_between(const std::string& old_text, int cflags, const std::string& a,
                 const std::string& b,
                 zamplet::matcher_choice choice = zamplet::matcher_choice::best) {
  const bool literal = cflags < 0;
  regex_t re{};
  if (!literal && regcomp(&re, old_text.c_str(), cflags) != 0) {
    ADD_FAILURE() << "regcomp " << old_text;
    return false;
  }
  if (!literal) {
    regfree(&re);
    // An expression's search filters its matches: the two chunks as one input.
    return chunk_rule(old_text.c_str(), cflags, a + b, "X", choice).left_alone > 0;
  }
  chunk_output out{static_cast<char*>(malloc(zamplet::OUTPUT_START)), zamplet::OUTPUT_START};
  int64_t count = 0;
  zamplet::search_state state;
  zamplet::substitute_literal(old_text.c_str(), old_text.size(), a.c_str(), a.size(), "X", 1, &out,
                              &count, &state);
  auto* tail = new zamplet::chunk_tail;
  zamplet::remember_tail(tail, a.c_str(), a.size(), state, old_text.size() - 1);
  std::vector<char> scratch(zamplet::CUT_SCRATCH);
  const bool cut = zamplet::literal_cut(old_text.c_str(), old_text.size(), *tail, b.c_str(),
                                        b.size(), scratch.data());
  delete tail;
  free(out.data);
  return cut;
}

// A full first chunk that ends with `end`.
std::string ending(const std::string& end, char fill = '.') {
  return std::string(zamplet::CHUNK_SIZE - end.size(), fill) + end;
}

}  // namespace

TEST(CutMatches, BoundariesOfBothEngines) {
  constexpr int LITERAL = -1;
  struct row {
    const char* what;
    std::string old_text;
    int cflags;
    std::string a, b;
    bool cut;
  };
  std::string zero = ending("siz");
  zero[100] = '\0';
  const std::vector<row> rows = {
      {"cut", "size_t", LITERAL, ending("siz"), "e_t;", true},
      {"cut", "size_t", 0, ending("siz"), "e_t;", true},
      {"ends at the boundary", "size_t", LITERAL, ending("size_t"), " x", false},
      {"ends at the boundary", "size_t", REG_EXTENDED, ending("size_t"), " x", false},
      {"begins at the boundary", "size_t", LITERAL, ending(""), "size_t", false},
      {"begins at the boundary", "size_t", 0, ending(""), "size_t", false},
      {"half replaced", "u?int(8|16)_t", REG_EXTENDED, ending(" u"), "int8_t x", true},
      {"half replaced", "uint8_t", LITERAL, ending(" u"), "int8_t x", true},
      {"greedy match cut short", "o+", REG_EXTENDED, ending("foo"), "ooh", true},
      {"greedy match cut short", "oo", LITERAL, ending("o"), "o", true},
      {"after a replacement", "ab", LITERAL, ending("abab"), "b", false},
      {"after a replacement", "ab", LITERAL, ending("aba"), "b", true},
      {"longer than a chunk", std::string(1500, 'a'), LITERAL, ending("", 'a'),
       std::string(1023, 'a'), true},
      {"longer than a chunk", "a\\{1500\\}", 0, ending("", 'a'), std::string(1023, 'a'), true},
      {"unbounded, within reach", "x[a-z]*y", 0, ending("xabc"), "defy", true},
      {"none at all", "size_t", LITERAL, ending(""), "nothing", false},
      {"none at all", "size_t", 0, ending(""), "nothing", false},
      {"zero byte ends the first chunk's search", "size_t", LITERAL, zero, "e_t", false},
      {"zero byte ends the first chunk's search", "size_t", 0, zero, "e_t", false},
      {"$ at the chunk's end is no line end when joined", "ab$", 0, ending("ab"), "ab", false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.what) + (r.cflags == LITERAL ? " (fixed string)" : " (expression)"));
    for (const auto choice : CHOICES)
      EXPECT_EQ(cut_between(r.old_text, r.cflags, r.a, r.b, choice), r.cut);
  }
}

// --whole's search over small windows and buffers, against the same search
// with the input held entirely: wherever every match of the whole input is
// at most a window long, the two must give the same output, and both
// matchers the same for texts with zero bytes and newlines.

TEST(WholeScan, SmallWindowsFindWhatOneTextHas) {
  static const struct {
    const char* pattern;
    int cflags;
  } ROWS[] = {
      {"a*", 0}, {"^a", 0}, {"a$", REG_NEWLINE}, {"b[^a]*b", 0}, {"b[^a]*b", REG_NEWLINE},
      {"a.b", 0}, {"a.b", REG_NEWLINE}, {"(ab|b)+", REG_EXTENDED}, {"x*", REG_EXTENDED},
      {"[[:cntrl:]]a", REG_EXTENDED}, {"a\n", REG_ICASE}, {"^$", REG_NEWLINE},
      {"a{2,3}", REG_EXTENDED | REG_ICASE}, {"u?int(8|16)_t", REG_EXTENDED},
      {"\xe9", 0}, {"[^b]a", REG_EXTENDED | REG_NEWLINE}, {"b\\(a\\)\\1", 0},
      {"[ab]*b_a", REG_EXTENDED},
  };
  static const char ALPHABET[] = "aaabbAB\n\0\xe9xu_int816";
  // Every tenth text is long and of a few letters: runs of matchable bytes
  // longer than the matcher searches alone.
  static const char FEW[] = "aab_";
  std::mt19937 rng(20261210u);
  long compared = 0;
  for (const auto& row : ROWS) {
    regex_t re;
    ASSERT_EQ(regcomp(&re, row.pattern, row.cflags), 0) << row.pattern;
    zamplet::matcher library = zamplet::make_matcher(&re, row.pattern, row.cflags,
                                                     zamplet::matcher_choice::library, true);
    zamplet::matcher best = zamplet::make_matcher(&re, row.pattern, row.cflags,
                                                  zamplet::matcher_choice::best, true);
    for (int trial = 0; trial < 300; ++trial) {
      const bool few = trial % 10 == 0;
      std::string text(few ? 600 + rng() % 1500 : rng() % 300, 'a');
      for (auto& c : text)
        c = few ? FEW[rng() % (sizeof FEW - 1)] : ALPHABET[rng() % (sizeof ALPHABET - 1)];
      const whole_result exact = scan(library, text, text.size() + 1, nullptr);
      const whole_result fast = scan(best, text, text.size() + 1, nullptr);
      EXPECT_EQ(fast.out, exact.out) << row.pattern << " on '" << text << "'";
      const size_t window = 4 + rng() % 13;
      for (const zamplet::matcher* m : {&library, &best}) {
        const whole_result windowed = scan(*m, text, window, &rng);
        if (exact.longest > window) {
          EXPECT_TRUE(windowed.left_alone > 0 || windowed.out != exact.out) << row.pattern;
          continue;
        }
        ++compared;
        EXPECT_EQ(windowed.out, exact.out) << row.pattern << " window " << window;
        EXPECT_EQ(windowed.count, exact.count);
        EXPECT_EQ(windowed.left_alone, 0);
      }
      if (HasFailure()) break;
    }
    zamplet::free_matcher(&best);
    regfree(&re);
    if (HasFailure()) break;
  }
  EXPECT_GT(compared, 5000);
}

// A template's expansion for one match, with the groups a search reports:
// the match, groups that took part or not, case changes as GNU sed makes
// them (a change of the next byte waits over an empty group, and \U, \L
// and \E cancel it), and the escapes that stand for themselves.
TEST(Template, ExpandsEveryForm) {
  // "xyZ" matched, group 1 "y" (1-2), group 2 "" (3-3), group 3 took no part.
  const regmatch_t groups[] = {{0, 3}, {1, 2}, {3, 3}, {-1, -1}};
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"[&]", "[xyZ]"},          {"\\1-\\2-\\3", "y--"},   {"\\&\\\\\\n\\t", "&\\\n\t"},
      {"\\U&\\E&", "XYZxyZ"},   {"\\L&", "xyz"},           {"\\u\\2\\3\\1", "y"},
      {"\\u\\l&", "xyZ"},       {"\\l\\U&", "XYZ"},      {"\\U\\l&", "xYZ"},
      {"\\L\\u&x", "Xyzx"},     {"\\u\\Ea", "a"},        {"a\\u", "a"},
      {"\\u\\n\\1", "\ny"},     {"\\U\\1_\\Ex", "Y_x"}, {"", ""},
  };
  for (const auto& [text, expected] : rows) {
    zamplet::replacement_template t;
    ASSERT_EQ(zamplet::parse_template(text.c_str(), 3, &t), "") << text;
    std::string out(zamplet::expansion_size(t, groups), '?');
    zamplet::expand(t, "xyZ", groups, out.data());
    EXPECT_EQ(out, expected) << text;
  }
}
