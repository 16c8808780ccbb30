// A POSIX expression, as the C library reads it in the C locale (parse.cc),
// written again in RE2's syntax; and what is known of every match: a string
// it must contain, how long it can be, the bytes it can be made of.
//
// Only what is certain to mean the same to both is taken.  Every byte set
// (a literal, a dot, a bracket expression) is spelt out as the bytes the
// library matches, with case folding and the newline rule already applied,
// so that RE2 sees plain byte classes.  Anything else makes the translation
// fail, and the library keeps the expression.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <regex.h>
#include <string>
#include <vector>

#include "engine/matcher.h"
#include "engine/parse.h"

namespace zamplet {

namespace {

bool is_anchor(const node& n) {
  return n.kind == node_kind::line_start || n.kind == node_kind::line_end;
}

// Where the library's anchors mean what RE2's do.  Without -n the library
// lets an anchor inside the expression hold next to a newline that the match
// itself takes, which RE2 never does: there an anchor is taken only where no
// byte of the match can come before a '^' or after a '$'.  Under repetition
// the library's anchors follow rules of their own (a '^' holding again in
// later rounds), so no repeated part may hold one.
bool anchors_agree(const std::vector<node>& nodes, size_t at, bool leading, bool trailing,
                   bool repeated, bool anywhere) {
  const node& n = nodes[at];
  switch (n.kind) {
    case node_kind::bytes:
      return true;
    case node_kind::line_start:
      return (leading || anywhere) && !repeated;
    case node_kind::line_end:
      return (trailing || anywhere) && !repeated;
    case node_kind::alternatives:
      for (size_t part : n.parts)
        if (!anchors_agree(nodes, part, leading, trailing, repeated, anywhere)) return false;
      return true;
    case node_kind::repeat:
      return anchors_agree(nodes, n.parts[0], leading, trailing, true, anywhere);
    case node_kind::back_reference:
      return false;
    case node_kind::sequence:
      for (size_t i = 0; i < n.parts.size(); ++i) {
        bool before = leading, after = trailing;
        for (size_t j = 0; j < i; ++j) before = before && is_anchor(nodes[n.parts[j]]);
        for (size_t j = i + 1; j < n.parts.size(); ++j)
          after = after && is_anchor(nodes[n.parts[j]]);
        if (!anchors_agree(nodes, n.parts[i], before, after, repeated, anywhere)) return false;
      }
      return true;
  }
  return false;
}

// Writes one byte for RE2, as an escape: nothing in it is special.
void put_byte(std::string* out, int c) {
  char text[8];
  snprintf(text, sizeof text, "\\x{%02x}", c);
  *out += text;
}

// False when the set cannot be written exactly for a text that may hold a
// zero byte.
bool put_set(std::string* out, const byte_set& set, bool zero_in_text) {
  int members = 0;
  int only = 0;
  for (int c = 0; c < 256; ++c)
    if (set[c]) {
      ++members;
      only = c;
    }
  if (members == 1 && only < 0x80) {
    put_byte(out, only);
    return true;
  }
  // A byte of 0x80 and above stays a class of two: RE2 (as packaged) loses
  // its Latin-1 meaning when it factors literal prefixes out of alternatives.
  // A zero byte adds no match where it never lies inside a searched text;
  // where it may, the library keeps the expression.
  if (members == 1 && zero_in_text) return false;
  *out += '[';
  if (members == 1) put_byte(out, 0);
  for (int c = 0; c < 256;) {
    if (!set[c]) {
      ++c;
      continue;
    }
    int last = c;
    while (last + 1 < 256 && set[last + 1]) ++last;
    put_byte(out, c);
    if (last > c) {
      *out += '-';
      put_byte(out, last);
    }
    c = last + 1;
  }
  *out += ']';
  return true;
}

// What the translation writes to: the syntax, and where each of the
// library's groups is among RE2's, whose groups are every parenthesis the
// translation opens.
struct translation {
  std::string* out;
  bool zero_in_text;
  const std::vector<size_t>* groups;  // the node of each library group
  std::vector<int> group_index;       // RE2's number of each library group
  int opened = 0;                     // RE2's groups opened so far
};

bool write_plain_node(const std::vector<node>& nodes, size_t at, translation* t);

// Writes the node, in the parentheses of each library group that is it.
bool write_node(const std::vector<node>& nodes, size_t at, translation* t) {
  int wrapped = 0;
  for (size_t g = 0; g < t->groups->size(); ++g) {
    if ((*t->groups)[g] != at) continue;
    *t->out += '(';
    t->group_index[g] = ++t->opened;
    ++wrapped;
  }
  if (!write_plain_node(nodes, at, t)) return false;
  t->out->append(static_cast<size_t>(wrapped), ')');
  return true;
}

bool write_plain_node(const std::vector<node>& nodes, size_t at, translation* t) {
  std::string* out = t->out;
  const bool zero_in_text = t->zero_in_text;
  const node& n = nodes[at];
  switch (n.kind) {
    case node_kind::back_reference:
      return false;
    case node_kind::bytes:
      return put_set(out, n.set, zero_in_text);
    case node_kind::line_start:
      *out += '^';
      break;
    case node_kind::line_end:
      *out += '$';
      break;
    case node_kind::sequence:
      for (size_t part : n.parts)
        if (!write_node(nodes, part, t)) return false;
      break;
    case node_kind::alternatives:
      *out += '(';
      ++t->opened;
      for (size_t i = 0; i < n.parts.size(); ++i) {
        if (i > 0) *out += '|';
        if (!write_node(nodes, n.parts[i], t)) return false;
      }
      *out += ')';
      break;
    case node_kind::repeat: {
      *out += '(';
      ++t->opened;
      if (!write_node(nodes, n.parts[0], t)) return false;
      *out += ')';
      if (n.max == UNBOUNDED && n.min <= 1) {
        *out += n.min == 0 ? '*' : '+';
      } else if (n.min == 0 && n.max == 1) {
        *out += '?';
      } else {
        *out += '{' + std::to_string(n.min);
        if (n.max != n.min) *out += ',' + (n.max == UNBOUNDED ? "" : std::to_string(n.max));
        *out += '}';
      }
      break;
    }
  }
  return true;
}

size_t saturated_sum(size_t a, size_t b) { return b > SIZE_MAX - a ? SIZE_MAX : a + b; }
size_t saturated_product(size_t a, size_t b) {
  return a != 0 && b > SIZE_MAX / a ? SIZE_MAX : a * b;
}

size_t plus(size_t a, size_t b) { return a == SIZE_MAX || b == SIZE_MAX ? SIZE_MAX : a + b; }

// What is known of the texts a node matches: the one text it always
// matches, if it has only one, and a string each of them contains, which
// begins at most `lead` bytes after the match's start.
struct literal_facts {
  bool exact = false;
  std::string text;      // when exact
  std::string contains;  // in every match; "" when nothing is known
  size_t lead = 0;
};

constexpr size_t EXACT_MAX = 256;

literal_facts facts_of(const std::vector<node>& nodes, size_t at);

// A sequence's facts: adjacent exact parts join, and the longest known
// string wins.
literal_facts sequence_facts(const std::vector<node>& nodes, const node& n) {
  literal_facts f;
  std::string run;
  size_t run_lead = 0;  // the most bytes before the run
  size_t before = 0;    // the most bytes before the part
  bool all_exact = true;
  for (size_t part : n.parts) {
    const literal_facts p = facts_of(nodes, part);
    if (p.contains.size() > f.contains.size()) {
      f.contains = p.contains;
      f.lead = plus(before, p.lead);
    }
    if (p.exact && run.size() + p.text.size() <= EXACT_MAX) {
      if (run.empty()) run_lead = before;
      run += p.text;
    } else {
      all_exact = false;
      run.clear();
    }
    if (run.size() > f.contains.size()) {
      f.contains = run;
      f.lead = run_lead;
    }
    before = plus(before, p.exact ? p.text.size() : text_bound(nodes, part, true));
  }
  if (all_exact) {
    f.exact = true;
    f.text = run;
  }
  return f;
}

literal_facts facts_of(const std::vector<node>& nodes, size_t at) {
  const node& n = nodes[at];
  literal_facts f;
  switch (n.kind) {
    case node_kind::bytes: {
      int members = 0, only = 0;
      for (int c = 0; c < 256; ++c)
        if (n.set[c]) {
          ++members;
          only = c;
        }
      if (members == 1) {
        f.exact = true;
        f.text = std::string(1, static_cast<char>(only));
        f.contains = f.text;
      }
      return f;
    }
    case node_kind::line_start:
    case node_kind::line_end:
      f.exact = true;  // they match the empty text
      return f;
    case node_kind::sequence:
      return sequence_facts(nodes, n);
    case node_kind::alternatives:
    case node_kind::back_reference:
      return f;  // no string common to the choices is looked for
    case node_kind::repeat: {
      if (n.min == 0) return f;
      // The first round holds it.
      const literal_facts p = facts_of(nodes, n.parts[0]);
      f.contains = p.contains;
      f.lead = p.lead;
      if (p.exact && n.max == n.min && p.text.size() * static_cast<size_t>(n.min) <= EXACT_MAX) {
        f.exact = true;
        for (int i = 0; i < n.min; ++i) f.text += p.text;
        f.contains = f.text;
        f.lead = 0;
      }
      return f;
    }
  }
  return f;
}

}  // namespace

// Nested counts could overflow; no text is that
// long, so sums and products stop at SIZE_MAX.
size_t text_bound(const std::vector<node>& nodes, size_t at, bool most) {
  const node& n = nodes[at];
  switch (n.kind) {
    case node_kind::bytes:
      return 1;
    case node_kind::line_start:
    case node_kind::line_end:
      return 0;
    case node_kind::sequence: {
      size_t sum = 0;
      for (size_t part : n.parts) sum = saturated_sum(sum, text_bound(nodes, part, most));
      return sum;
    }
    case node_kind::alternatives: {
      size_t bound = most ? 0 : SIZE_MAX;
      for (size_t part : n.parts) {
        const size_t one = text_bound(nodes, part, most);
        bound = most ? std::max(bound, one) : std::min(bound, one);
      }
      return bound;
    }
    case node_kind::back_reference:
      return text_bound(nodes, n.parts[0], most);
    case node_kind::repeat: {
      const size_t one = text_bound(nodes, n.parts[0], most);
      if (one == 0) return 0;
      if (!most) return saturated_product(one, static_cast<size_t>(n.min));
      if (n.max == UNBOUNDED || one == SIZE_MAX) return SIZE_MAX;
      return saturated_product(one, static_cast<size_t>(n.max));
    }
  }
  return most ? SIZE_MAX : 0;
}

// Adds to `takes` every byte the node may match.
void bytes_taken(const std::vector<node>& nodes, size_t at, byte_set* takes) {
  const node& n = nodes[at];
  if (n.kind == node_kind::bytes)
    for (int c = 0; c < 256; ++c) (*takes)[c] = (*takes)[c] || n.set[c];
  for (size_t part : n.parts) bytes_taken(nodes, part, takes);
}


void analyse_expression(const char* pattern, int cflags, bool zero_in_text,
                        expression_analysis* analysis) {
  *analysis = expression_analysis{};
  parsed_expression parse;
  if (!parse_expression(pattern, cflags, &parse)) return;
  const std::vector<node>& nodes = parse.nodes;
  const size_t root = parse.root;
  analysis->back_references = parse.back_references;
  expression_facts& facts = analysis->facts;
  analysis->parsed = true;
  facts.longest = text_bound(nodes, root, true);
  facts.shortest = text_bound(nodes, root, false);
  bytes_taken(nodes, root, &facts.takes);
  const literal_facts literal = facts_of(nodes, root);
  facts.required = literal.contains;
  facts.lead = literal.lead;
  analysis->literals_blind = (cflags & REG_ICASE) != 0;
  literal_choices(parse, analysis->literals_blind, &analysis->literals);
  // With -n an anchor holds at every line end for both, wherever it stands.
  const bool newline = (cflags & REG_NEWLINE) != 0;
  if (parse.library_only || !anchors_agree(nodes, root, true, true, false, newline)) return;
  translation t{&analysis->syntax, zero_in_text, &parse.groups,
                std::vector<int>(parse.groups.size(), 0), 0};
  analysis->translated = write_node(nodes, root, &t);
  if (!analysis->translated) {
    analysis->syntax.clear();
    return;
  }
  analysis->group_index = t.group_index;
  analysis->groups_follow = groups_follow_from_match(parse);
}

}  // namespace zamplet
