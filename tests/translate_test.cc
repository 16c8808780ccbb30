// The one parse of OLDPATTERN: which expressions RE2 is given (every other
// stays with the C library), and what the parse tells of every match, which
// a search over a pipe relies on to write what no later input can change.
#include <gtest/gtest.h>

#include <cstdint>
#include <regex.h>
#include <string>
#include <vector>

#include "engine/matcher.h"

namespace {

constexpr size_t NO_BOUND = SIZE_MAX;
constexpr size_t UNKNOWN = SIZE_MAX - 1;  // the parse does not read it at all

TEST(Translate, WhatRe2IsGivenAndWhatEveryMatchTakes) {
  struct row {
    const char* pattern;
    int cflags;
    bool to_re2;
    const char* why;       // why the library keeps it, or what RE2 gets
    size_t longest;        // UNKNOWN where the facts are not known
    std::string takes;     // bytes every match may take (some of them)
    std::string not_taken; // bytes no match takes
  };
  const std::vector<row> rows = {
      {"[a-z]+_t", REG_EXTENDED, true, "classes and repetition", NO_BOUND, "az_t", " A\n"},
      {"size_t", 0, true, "a literal", 6, "size_t", "x "},
      {"x\\{2\\}y", 0, true, "a basic count", 3, "xy", "z"},
      {"[^a]", REG_NEWLINE, true, "a negated list: no newline with -n", 1, "b\x80", "a\n"},
      {".", 0, true, "a dot: never a zero byte", 1, "\n\xff", std::string(1, '\0')},
      {"a", REG_ICASE, true, "case folded to both letters", 1, "aA", "b"},
      {"\\<size\\>", 0, false, "the library's word operators", 4, "size", "_ "},
      {"\\bfo\\w", REG_EXTENDED, false, "word operator and word class", 3, "fo_9Z", " .\n"},
      {"\\W\\s", REG_EXTENDED, false, "non-word and space classes", 2, " .\n\t", ""},
      {"\\b*x", 0, false, "a basic '*' after an anchor is a literal", 2, "*x", "a"},
      {"\\(a\\)\\1", 0, false, "a back-reference: facts alone", 2, "a", "b"},
      {"\\(a*\\)\\1b", 0, false, "a back-reference of any length", NO_BOUND, "ab", "c"},
      {"[[=a=]]", 0, false, "an equivalence class", UNKNOWN, "", ""},
      {"a{1001}", REG_EXTENDED, false, "a count beyond RE2's 1000", UNKNOWN, "", ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.pattern) + ": " + r.why);
    regex_t re;
    ASSERT_EQ(regcomp(&re, r.pattern, r.cflags), 0);
    regfree(&re);
    zamplet::expression_analysis analysis;
    zamplet::analyse_expression(r.pattern, r.cflags, true, &analysis);
    EXPECT_EQ(analysis.translated, r.to_re2);
    EXPECT_EQ(analysis.parsed, r.longest != UNKNOWN);
    if (!analysis.parsed) continue;
    EXPECT_EQ(analysis.facts.longest, r.longest);
    const auto& takes = analysis.facts.takes;
    for (unsigned char c : r.takes) EXPECT_TRUE(takes[c]) << "byte " << int(c);
    for (unsigned char c : r.not_taken) EXPECT_FALSE(takes[c]) << "byte " << int(c);
  }
}

}  // namespace
