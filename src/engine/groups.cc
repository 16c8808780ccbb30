// Whether a match's groups follow from its span alone.
//
// Searches differ in which way they match a text that an expression can
// match in several ways ("ab" by (a|ab)(b?) as a+b or ab+""), and with it in
// the groups they report.  Where every text is matched in one way only, any
// search that finds the span finds the same groups.  The test here is
// sufficient, built from the bytes a part may begin with and the bytes that
// may lengthen one of its texts into another:
// - a sequence splits a text in one way when no part's text can be
//   lengthened by the byte that what follows it begins with (the first
//   place where two splits differ gives a part a text u in one and ux in
//   the other, and x then begins what follows);
// - alternatives take no text in common;
// - a repetition's operand is never empty, and cannot be lengthened by the
//   byte it begins with.
// Anchors and word operators take no byte; treated as matching the empty
// text they only allow more ways, so the test stays sufficient.
#include <algorithm>
#include <vector>

#include "engine/parse.h"

namespace zamplet {

namespace {

bool meets(const byte_set& a, const byte_set& b) {
  for (size_t c = 0; c < a.size(); ++c)
    if (a[c] && b[c]) return true;
  return false;
}

void add_to(byte_set* to, const byte_set& from) {
  for (size_t c = 0; c < from.size(); ++c) (*to)[c] = (*to)[c] || from[c];
}

class span_test {
 public:
  explicit span_test(const std::vector<node>& nodes) : nodes_(nodes) {}

  bool empty_possible(size_t at) const { return text_bound(nodes_, at, false) == 0; }
  bool one_length(size_t at) const {
    return text_bound(nodes_, at, false) == text_bound(nodes_, at, true);
  }

  // The bytes a non-empty text of the node may begin with.
  byte_set first(size_t at) const {
    byte_set set{};
    const node& n = nodes_[at];
    switch (n.kind) {
      case node_kind::bytes:
        return n.set;
      case node_kind::sequence:
        for (size_t part : n.parts) {
          add_to(&set, first(part));
          if (!empty_possible(part)) break;
        }
        return set;
      case node_kind::alternatives:
        for (size_t part : n.parts) add_to(&set, first(part));
        return set;
      case node_kind::repeat:
        return n.max == 0 ? set : first(n.parts[0]);
      case node_kind::back_reference:
        return first(n.parts[0]);
      default:
        return set;
    }
  }

  // The bytes that may follow one of the node's texts inside a longer one:
  // none when all its texts are as long, else at most every byte it takes.
  byte_set lengthening(size_t at) const {
    byte_set set{};
    if (!one_length(at)) bytes_taken(nodes_, at, &set);
    return set;
  }

  // The bytes of a fixed-length text of sets: each place's set.
  bool places(size_t at, std::vector<byte_set>* out) const {
    const node& n = nodes_[at];
    if (n.kind == node_kind::bytes) {
      out->push_back(n.set);
      return true;
    }
    if (n.kind != node_kind::sequence) return false;
    for (size_t part : n.parts)
      if (!places(part, out)) return false;
    return true;
  }

  // Whether two alternatives can take no text in common.
  bool apart(size_t a, size_t b) const {
    if (!(empty_possible(a) && empty_possible(b)) && !meets(first(a), first(b))) return true;
    if (!one_length(a) || !one_length(b)) return false;
    if (text_bound(nodes_, a, false) != text_bound(nodes_, b, false)) return true;
    std::vector<byte_set> pa, pb;
    if (!places(a, &pa) || !places(b, &pb) || pa.size() != pb.size()) return false;
    for (size_t i = 0; i < pa.size(); ++i)
      if (!meets(pa[i], pb[i])) return true;
    return false;
  }

  bool one_way(size_t at) const {
    const node& n = nodes_[at];
    switch (n.kind) {
      case node_kind::bytes:
      case node_kind::line_start:
      case node_kind::line_end:
        return true;
      case node_kind::back_reference:
        return false;
      case node_kind::sequence:
        for (size_t i = 0; i < n.parts.size(); ++i) {
          if (!one_way(n.parts[i])) return false;
          byte_set next{};
          for (size_t j = i + 1; j < n.parts.size(); ++j) {
            add_to(&next, first(n.parts[j]));
            if (!empty_possible(n.parts[j])) break;
          }
          if (meets(lengthening(n.parts[i]), next)) return false;
        }
        return true;
      case node_kind::alternatives:
        for (size_t i = 0; i < n.parts.size(); ++i) {
          if (!one_way(n.parts[i])) return false;
          for (size_t j = i + 1; j < n.parts.size(); ++j)
            if (!apart(n.parts[i], n.parts[j])) return false;
        }
        return true;
      case node_kind::repeat: {
        const size_t operand = n.parts[0];
        if (n.max == 0) return true;
        if (!one_way(operand) || empty_possible(operand)) return false;
        return n.max == 1 || !meets(lengthening(operand), first(operand));
      }
    }
    return false;
  }

  // Adds to `inside` every node that a repetition may repeat.
  void repeated(size_t at, bool repeating, std::vector<bool>* inside) const {
    const node& n = nodes_[at];
    if (repeating) (*inside)[at] = true;
    const bool more = repeating || (n.kind == node_kind::repeat && n.max != 0 && n.max != 1);
    for (size_t part : n.parts) repeated(part, more, inside);
  }

 private:
  const std::vector<node>& nodes_;
};

}  // namespace

bool groups_follow_from_match(const parsed_expression& parse) {
  const span_test test(parse.nodes);
  if (!test.one_way(parse.root)) return false;
  std::vector<bool> inside(parse.nodes.size(), false);
  test.repeated(parse.root, false, &inside);
  return std::none_of(parse.groups.begin(), parse.groups.end(),
                      [&](size_t g) { return g < inside.size() && inside[g]; });
}

}  // namespace zamplet
