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
};

// Parses `pattern`, compiled with `cflags`, into `nodes` with its root in
// *root; false when it holds what is not read here.  *library_only says
// whether it holds what only the library searches: its word operators, \w,
// \s (and capitals), back-references; *back_references, whether it holds
// back-references.
bool parse_expression(const char* pattern, int cflags, std::vector<node>* nodes, size_t* root,
                      bool* library_only, bool* back_references);

}  // namespace zamplet
