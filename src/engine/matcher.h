// The search for OLDPATTERN as an expression.  The C library's compiled
// expression is always there; beside it, where RE2's automaton matches every
// text exactly as the library does under the run's flags, RE2 does the
// searching.  The choice is made once, when the matcher is built, and is
// invisible: both give the same match for every search.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <regex.h>
#include <string>
#include <vector>

namespace zamplet {

struct fast_matcher;  // RE2's side, in re2_matcher.cc
struct literal_set;   // a set of fixed strings' search, in literal_set.cc
struct parsed_expression;

struct matcher {
  const regex_t* regex = nullptr;      // the library's compiled expression
  const fast_matcher* fast = nullptr;  // RE2's, or null where the library searches
  // Where every match is one of a set of fixed strings: their search, which
  // then does every search in the place of RE2 and the library.
  const literal_set* literals = nullptr;
  bool newline = false;                // compiled with REG_NEWLINE
  // Searched texts may hold zero bytes, which are then ordinary bytes; a
  // text otherwise ends at its first one.
  bool zero_in_text = false;
  // A string that every match contains, derived from the parsed expression;
  // empty when none is known.  A text without it holds no match.
  std::string required;
  // How far at most from a match's start its first byte of `required` lies:
  // SIZE_MAX when there is no bound.
  size_t required_lead = SIZE_MAX;
  // The most bytes a match takes, SIZE_MAX when there is no bound.
  size_t longest = SIZE_MAX;
  // Every byte of every match is one of these, where `takes_known`; a match
  // therefore lies within one run of them.  `runs` says that some byte
  // beside the zero byte is missing, so that runs are worth looking for.
  std::array<bool, 256> takes{};
  bool takes_known = false;
  bool runs = false;
  size_t shortest = 0;  // the fewest bytes a match takes
  // The library's memory grows with the square of the text searched for an
  // expression with back-references: it is given short texts.
  bool short_texts = false;
  // How many searches still go without runs after one met a run too long
  // to be searched alone: where the text is one long run, looking for its
  // end again at every match would cost more than the search.  Only the
  // speed depends on it, never a result.
  mutable unsigned run_pause = 0;
  // RE2's number of each of the library's groups, where RE2 searches and a
  // match's groups follow from its span, so that RE2 finds the library's.
  std::vector<int> fast_groups;
};

// Which matchers a build may use.
enum class matcher_choice {
  best,     // a literal set, RE2 and the required string where they are exact
  library,  // the C library alone, as the reference
};

// Builds the matcher of `pattern`, which `regex` holds compiled with `cflags`,
// for texts that may hold zero bytes when `zero_in_text`.  Never fails: what
// RE2 cannot take stays with the library.
matcher make_matcher(const regex_t* regex, const char* pattern, int cflags,
                     matcher_choice choice = matcher_choice::best, bool zero_in_text = false);
// Frees what make_matcher allocated (the run keeps its one matcher to the end).
void free_matcher(matcher* m);
// Whether this build has RE2 at all.
bool fast_matcher_built();

constexpr int MATCH_NONE = 0;
constexpr int MATCH_FOUND = 1;
constexpr int MATCH_ERROR = -1;  // the library gave up; its code is in regex_failure
// The library's code for the last failed search (REG_ESPACE, say).  RE2's
// search never fails: where its automaton runs out of memory, it finishes
// the same search another way, so only the library's searches set this.
extern int regex_failure;
// The text of the library's last failure, for "regexec error:TEXT".
std::string matcher_error(const matcher& m);

// Finds the leftmost-longest match in text[0, length) that begins at `pos`
// or later, as offsets in `text` in *start and *end.  text[length] is a zero
// byte, unless the matcher takes zero bytes in texts; there the byte at
// text[length] must be readable.  ^ holds at offset 0 unless `eflags` has
// REG_NOTBOL, and at a later offset only after a newline when newline is special; $ holds at `length`
// unless REG_NOTEOL, and before a newline when newline is special.  With
// REG_NOTBOL and `pos` 0 the byte before `text` must be readable, and must
// not be a newline when newline is special.  Only a match that begins before
// `limit` matters: a match found farther on may be reported as none.
int matcher_search(const matcher& m, const char* text, size_t length, size_t pos, size_t limit,
                   int eflags, size_t* start, size_t* end);

// The groups of the match text[start, end) that matcher_search() found in
// text[0, length) with `eflags`: groups[0] to groups[count - 1], as offsets
// from `start`, exactly as the C library's search reports them (rm_so -1
// for a group that took no part).  MATCH_FOUND, or MATCH_ERROR when the
// library gave up.
int matcher_groups(const matcher& m, const char* text, size_t length, size_t start, size_t end,
                   int eflags, size_t count, regmatch_t* groups);

// The first place of `needle` (k >= 1 bytes) in text[0, length), or null.
const char* find_bytes(const char* text, size_t length, const char* needle, size_t k);

// The first place at or after `pos` where a match of text[0, length) may
// begin, judged by the required string; SIZE_MAX when none can.
size_t first_possible(const matcher& m, const char* text, size_t length, size_t pos);

// False when text[0, length) cannot hold a match: it lacks the required
// string.  True when there is no required string.
bool may_match(const matcher& m, const char* text, size_t length);

// What the parsed expression tells of every text it matches.
struct expression_facts {
  std::string required;          // a string every match contains, or ""
  size_t lead = SIZE_MAX;        // how far from a match's start it may begin
  size_t longest = SIZE_MAX;     // the most bytes a match takes
  size_t shortest = 0;           // the fewest
  std::array<bool, 256> takes{};  // the bytes a match may be made of
};

// One of the fixed strings that an expression's every match is, with the
// word conditions at its two ends.  A condition is a truth table of the
// two bytes around the place, bit (2 * before + after) set where it holds
// for that pair, each byte counted 1 when it is a word byte (a letter, a
// digit or '_'); no byte, before a text or behind it, counts 0.
struct literal_choice {
  std::string text;  // never empty; upper case where the set is case-blind
  unsigned before = 15, after = 15;
};

// The literal choices of a parsed expression: true, with them in *out, where
// every match is one of a few fixed strings, each led and followed only by
// the library's word operators; case-blind when `blind`, where every byte
// set must then be one byte in both cases, and each one byte otherwise.
bool literal_choices(const parsed_expression& parse, bool blind,
                     std::vector<literal_choice>* out);

// The search of literal choices, compiled once; literal_search() finds the
// library's match: the leftmost start, and of the choices that match there
// the longest.  Zero bytes in the text are ordinary bytes.
const literal_set* compile_literals(const std::vector<literal_choice>& choices, bool blind);
void free_literals(const literal_set* set);
// As matcher_search(), whose contract it keeps; the library's word
// conditions take no context from outside text[0, length), so `eflags` do
// not matter.
bool literal_search(const literal_set* set, const char* text, size_t length, size_t pos,
                    size_t limit, size_t* start, size_t* end);

// What one parse of OLDPATTERN gives.
struct expression_analysis {
  // The parse read the expression: the facts hold.  Where it did not (a
  // back-reference, an equivalence class, a collating element, an unusual
  // context), nothing is known, and the C library alone searches.
  bool parsed = false;
  // `syntax` is the expression in RE2's syntax, with explicit byte sets so
  // that RE2's own case folding, dot and class rules never come into play;
  // false where its meaning to the C library is not certain to be kept (the
  // library's word operators besides the above).
  bool translated = false;
  bool back_references = false;  // parsed, with back-references
  std::string syntax;
  // Where translated: RE2's number of each of the library's groups, and
  // whether a match's groups follow from its span alone, so that RE2's
  // groups of the span are the library's.
  std::vector<int> group_index;
  bool groups_follow = false;
  expression_facts facts;
  // Where every match is one of a set of fixed strings: the strings, and
  // whether they are case-blind.  Empty otherwise.
  std::vector<literal_choice> literals;
  bool literals_blind = false;
};

// Reads `pattern`, compiled with `cflags`, once.  With `zero_in_text` the
// translation also holds for texts with zero bytes.
void analyse_expression(const char* pattern, int cflags, bool zero_in_text,
                        expression_analysis* analysis);

// RE2's side, present when the build has RE2.
// Compiles the translated `syntax`; null when RE2 refuses it or it does not
// fit the memory bound.
const fast_matcher* compile_fast(const std::string& syntax, bool newline);
void free_fast(const fast_matcher* fast);
bool fast_search(const fast_matcher* fast, const char* text, size_t length, size_t pos,
                 int eflags, size_t* start, size_t* end);
// RE2's groups of the match text[start, end) in the search of text[0,
// length) with `eflags`: for each i < count, RE2's group index[i] into
// groups[i], as offsets from `start`.  False when RE2 does not match that
// span.
bool fast_groups(const fast_matcher* fast, const char* text, size_t length, size_t start,
                 size_t end, int eflags, const int* index, size_t count, regmatch_t* groups);

}  // namespace zamplet
