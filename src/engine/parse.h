// The parse of a POSIX expression as the C library reads it in the C locale:
// a tree of byte sets, anchors, sequences, alternatives and repetitions,
// every byte set spelt out with case folding and the newline rule applied.
// What it does not read with certainty is refused.  Internal to the engine;
// the translation for RE2 and the facts of every match are made from it.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace zamplet {

constexpr int UNBOUNDED = -1;  // a repetition's maximum without a bound

using byte_set = std::array<bool, 256>;

// line_end also stands for the library's word and buffer boundaries, which
// take no byte either; a back_reference's one part is the group it repeats.
enum class node_kind { bytes, line_start, line_end, sequence, alternatives, repeat, back_reference };

struct node {
  explicit node(node_kind k) : kind(k) {}
  node_kind kind;
  byte_set set{};           // bytes
  std::vector<size_t> parts;  // sequence, alternatives; repeat: its one operand
  int min = 0, max = 0;     // repeat
  char op = 0;              // line_end of a word or buffer operator: its letter
};

// One parse of an expression.
struct parsed_expression {
  std::vector<node> nodes;
  size_t root = 0;
  // It holds what only the library searches: its word operators, \w, \s
  // (and capitals), back-references.
  bool library_only = false;
  bool back_references = false;
  std::vector<size_t> groups;  // the node of each group, in the library's order
};

// Parses `pattern`, compiled with `cflags`; false when it holds what is not
// read here.
bool parse_expression(const char* pattern, int cflags, parsed_expression* out);

// The most bytes a node matches, SIZE_MAX when there is no bound, or with
// `most` false the fewest.
size_t text_bound(const std::vector<node>& nodes, size_t at, bool most);
// Adds to `takes` every byte the node may match.
void bytes_taken(const std::vector<node>& nodes, size_t at, byte_set* takes);

// Whether every text the expression matches is matched in one way only, so
// that the parts of a match, its groups among them, follow from where it
// begins and ends, whatever rules a search follows between several ways;
// and no group lies in a repetition that may repeat it.  Anchors and word
// operators count as matching the empty text.  A sufficient test: false
// can also mean not proven.
bool groups_follow_from_match(const parsed_expression& parse);

}  // namespace zamplet
