// A POSIX expression, as the C library reads it in the C locale, parsed and
// written again in RE2's syntax; and a string every match must contain.
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

namespace zamplet {

namespace {

// RE2 refuses larger repetition counts.
constexpr int REPEAT_MAX = 1000;
// Nesting beyond this is left to the library rather than to recursion here.
constexpr int DEPTH_MAX = 64;
constexpr int UNBOUNDED = -1;

using byte_set = std::array<bool, 256>;

enum class node_kind { bytes, line_start, line_end, sequence, alternatives, repeat };

struct node {
  explicit node(node_kind k) : kind(k) {}
  node_kind kind;
  byte_set set{};           // bytes
  std::vector<size_t> parts;  // sequence, alternatives; repeat: its one operand
  int min = 0, max = 0;     // repeat
};

// The C locale's classes, which [:name:] names.
bool in_class(const std::string& name, int c) {
  if (name == "alpha") return isalpha(c);
  if (name == "upper") return isupper(c);
  if (name == "lower") return islower(c);
  if (name == "digit") return isdigit(c);
  if (name == "xdigit") return isxdigit(c);
  if (name == "alnum") return isalnum(c);
  if (name == "space") return isspace(c);
  if (name == "blank") return c == ' ' || c == '\t';
  if (name == "punct") return ispunct(c);
  if (name == "print") return isprint(c);
  if (name == "graph") return isgraph(c);
  if (name == "cntrl") return iscntrl(c);
  return false;
}

bool known_class(const std::string& name) {
  static const char* const NAMES[] = {"alpha", "upper", "lower", "digit", "xdigit", "alnum",
                                      "space", "blank", "punct", "print", "graph", "cntrl"};
  for (const char* n : NAMES)
    if (name == n) return true;
  return false;
}

// ASCII only: the C locale folds no other byte.
int upper(int c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }

class parser {
 public:
  // With `word_operators` the library's word operators are read too, for
  // the facts alone: RE2 never searches what holds them.
  parser(const char* pattern, int cflags, bool word_operators = false)
      : p_(reinterpret_cast<const unsigned char*>(pattern)),
        extended_((cflags & REG_EXTENDED) != 0),
        icase_((cflags & REG_ICASE) != 0),
        newline_((cflags & REG_NEWLINE) != 0),
        word_operators_(word_operators) {}

  // The root node, or false when the expression is not taken.
  bool parse(size_t* root) {
    *root = alternatives(0);
    return ok_ && *p_ == '\0';
  }
  const std::vector<node>& nodes() const { return nodes_; }

 private:
  size_t add(node n) {
    nodes_.push_back(std::move(n));
    return nodes_.size() - 1;
  }
  size_t refuse() {
    ok_ = false;
    return 0;
  }

  bool at_close() const {
    return extended_ ? *p_ == ')' : p_[0] == '\\' && p_[1] == ')';
  }
  bool at_bar() const { return extended_ ? *p_ == '|' : p_[0] == '\\' && p_[1] == '|'; }

  // branch ( '|' branch )*, up to the end or the group's close.
  size_t alternatives(int depth) {
    if (depth > DEPTH_MAX) return refuse();
    node alt{node_kind::alternatives};
    for (;;) {
      alt.parts.push_back(branch(depth));
      if (!ok_) return 0;
      if (!at_bar()) break;
      p_ += extended_ ? 1 : 2;
    }
    if (alt.parts.size() == 1) return alt.parts[0];
    return add(std::move(alt));
  }

  // One or more pieces; an empty branch is left to the library.
  size_t branch(int depth) {
    node seq{node_kind::sequence};
    bool start = true;  // where an expression begins: a basic '*' is a literal here
    while (ok_ && *p_ != '\0' && !at_bar() && !at_close()) {
      size_t piece;
      bool anchor = false;
      if (!atom(depth, start, seq.parts.empty(), &piece, &anchor)) return refuse();
      // After an anchor an expression begins again: nothing repeats the
      // anchor, and a basic '*' there is a literal.
      start = anchor;
      if (!anchor) piece = repetitions(piece);
      else if (repetition_next() && (extended_ || *p_ != '*')) return refuse();
      seq.parts.push_back(piece);
    }
    if (seq.parts.empty()) return refuse();
    if (seq.parts.size() == 1) return seq.parts[0];
    return add(std::move(seq));
  }

  bool repetition_next() const {
    if (extended_) return *p_ == '*' || *p_ == '+' || *p_ == '?' || *p_ == '{';
    return *p_ == '*' || (p_[0] == '\\' && (p_[1] == '{' || p_[1] == '+' || p_[1] == '?'));
  }

  // A decimal count of at most REPEAT_MAX, or -1.
  int count() {
    if (!isdigit(*p_)) return -1;
    int n = 0;
    while (isdigit(*p_)) {
      n = n * 10 + (*p_ - '0');
      if (n > REPEAT_MAX) return -1;
      ++p_;
    }
    return n;
  }

  // The operators that follow an atom, each applied to what is before it.
  size_t repetitions(size_t operand) {
    while (ok_ && repetition_next()) {
      node rep{node_kind::repeat};
      rep.parts.push_back(operand);
      const bool brace = extended_ ? *p_ == '{' : p_[0] == '\\' && p_[1] == '{';
      if (!brace) {
        const bool escaped = !extended_ && *p_ == '\\';
        const unsigned char op = escaped ? p_[1] : *p_;
        p_ += escaped ? 2 : 1;
        rep.min = op == '+' ? 1 : 0;
        rep.max = op == '?' ? 1 : UNBOUNDED;
      } else {
        p_ += extended_ ? 1 : 2;
        rep.min = count();
        if (rep.min < 0) return refuse();
        rep.max = rep.min;
        if (*p_ == ',') {
          ++p_;
          rep.max = UNBOUNDED;
          if (isdigit(*p_)) {
            rep.max = count();
            if (rep.max < rep.min) return refuse();  // also a count beyond the bound
          }
        }
        if (extended_ ? *p_ != '}' : !(p_[0] == '\\' && p_[1] == '}')) return refuse();
        p_ += extended_ ? 1 : 2;
      }
      operand = add(std::move(rep));
    }
    return operand;
  }

  // With -i the library compares the upper-case forms of pattern and text:
  // a byte matches when its upper-case form is the pattern's.
  size_t one_byte(int c) {
    node n{node_kind::bytes};
    for (int b = 0; b < 256; ++b) n.set[b] = icase_ ? upper(b) == upper(c) : b == c;
    return add(std::move(n));
  }

  // The bytes a dot matches: all, but a newline when it is special, and
  // never a zero byte, which the library's POSIX syntax keeps from a dot.
  size_t dot() {
    node n{node_kind::bytes};
    n.set.fill(true);
    n.set[0] = false;
    if (newline_) n.set['\n'] = false;
    return add(std::move(n));
  }

  // One atom.  `start` says that an expression begins here, `first` that it
  // is the branch's first; anchors are reported in *anchor.
  bool atom(int depth, bool start, bool first, size_t* out, bool* anchor) {
    const unsigned char c = *p_;
    if (c == '^' && (extended_ || first)) {
      ++p_;
      *anchor = true;
      *out = add(node{node_kind::line_start});
      return true;
    }
    const bool last = p_[1] == '\0' || (p_[1] == '\\' && (p_[2] == ')' || p_[2] == '|'));
    if (c == '$' && (extended_ || last)) {
      ++p_;
      *anchor = true;
      *out = add(node{node_kind::line_end});
      return true;
    }
    if (c == '.') {
      ++p_;
      *out = dot();
      return true;
    }
    if (c == '[') {
      ++p_;
      *out = bracket();
      return ok_;
    }
    if (c == '*') {
      if (extended_ || !start) return false;
      ++p_;
      *out = one_byte('*');
      return true;
    }
    if (extended_ && (c == '+' || c == '?' || c == '{' || c == '}' || c == ')' || c == '|'))
      return false;
    const bool open = extended_ ? c == '(' : c == '\\' && p_[1] == '(';
    if (open) {
      p_ += extended_ ? 1 : 2;
      *out = alternatives(depth + 1);
      if (!ok_ || !at_close()) return false;
      p_ += extended_ ? 1 : 2;
      return true;
    }
    if (c == '\\' && word_operators_ && p_[1] != '\0' && strchr("<>bB`'wWsS", p_[1])) {
      // Word and buffer boundaries take no byte; \w and \s take the C
      // locale's word and space bytes, and their capitals any other byte.
      const unsigned char e = p_[1];
      p_ += 2;
      if (strchr("wWsS", e) == nullptr) {
        // Read as an anchor is: nothing repeats it, and a basic '*' after
        // it is a literal.
        *anchor = true;
        *out = add(node{node_kind::line_end});
        return true;
      }
      node n{node_kind::bytes};
      for (int b = 0; b < 256; ++b)
        n.set[b] = (tolower(e) == 'w' ? isalnum(b) || b == '_' : isspace(b) != 0) == (islower(e) != 0);
      *out = add(std::move(n));
      return true;
    }
    if (c == '\\') {
      // Only an escaped special character is certain to be itself: letters
      // and digits are operators or back-references to the library.
      const unsigned char e = p_[1];
      if (e == '\0' || strchr(".[]\\*^$+?{}()|/", e) == nullptr) return false;
      if (!extended_ && strchr("(){}|+?", e) != nullptr) return false;
      p_ += 2;
      *out = one_byte(e);
      return true;
    }
    ++p_;
    *out = one_byte(c);
    return true;
  }

  // After '['.  Ranges run between single bytes below 0x80; equivalence
  // classes and collating elements stay with the library.
  size_t bracket() {
    node n{node_kind::bytes};
    bool negated = false;
    if (*p_ == '^') {
      negated = true;
      ++p_;
    }
    bool first = true;
    for (;;) {
      const unsigned char c = *p_;
      if (c == '\0') return refuse();
      if (c == ']' && !first) {
        ++p_;
        break;
      }
      first = false;
      if (c == '[' && (p_[1] == '=' || p_[1] == '.')) return refuse();
      if (c == '[' && p_[1] == ':') {
        const char* close = strstr(reinterpret_cast<const char*>(p_ + 2), ":]");
        if (close == nullptr) return refuse();
        std::string name(reinterpret_cast<const char*>(p_ + 2),
                         static_cast<size_t>(close - reinterpret_cast<const char*>(p_ + 2)));
        if (!known_class(name)) return refuse();
        // Case-blind, both cases of letters count as either.
        if (icase_ && (name == "upper" || name == "lower")) name = "alpha";
        for (int b = 0; b < 256; ++b)
          if (in_class(name, b)) n.set[icase_ ? upper(b) : b] = true;
        p_ = reinterpret_cast<const unsigned char*>(close + 2);
        if (*p_ == '-' && p_[1] != ']') return refuse();
        continue;
      }
      if (p_[1] == '-' && p_[2] != ']' && p_[2] != '\0') {
        const unsigned char to = p_[2];
        if (c == '-' || to == '-' || to == '[' || c >= 0x80 || to >= 0x80) return refuse();
        const int lo = icase_ ? upper(c) : c;
        const int hi = icase_ ? upper(to) : to;
        if (lo > hi) return refuse();
        for (int b = lo; b <= hi; ++b) n.set[b] = true;
        p_ += 3;
        if (*p_ == '-' && p_[1] != ']') return refuse();
        continue;
      }
      n.set[icase_ ? upper(c) : c] = true;
      ++p_;
    }
    byte_set set{};
    for (int b = 0; b < 256; ++b) set[b] = n.set[icase_ ? upper(b) : b] != negated;
    if (negated && newline_) set['\n'] = false;
    n.set = set;
    bool any = false;
    for (bool b : n.set) any = any || b;
    if (!any) return refuse();
    return add(std::move(n));
  }

  const unsigned char* p_;
  bool extended_, icase_, newline_, word_operators_;
  bool ok_ = true;
  std::vector<node> nodes_;
};

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

bool write_node(const std::vector<node>& nodes, size_t at, std::string* out, bool zero_in_text) {
  const node& n = nodes[at];
  switch (n.kind) {
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
        if (!write_node(nodes, part, out, zero_in_text)) return false;
      break;
    case node_kind::alternatives:
      *out += '(';
      for (size_t i = 0; i < n.parts.size(); ++i) {
        if (i > 0) *out += '|';
        if (!write_node(nodes, n.parts[i], out, zero_in_text)) return false;
      }
      *out += ')';
      break;
    case node_kind::repeat: {
      *out += '(';
      if (!write_node(nodes, n.parts[0], out, zero_in_text)) return false;
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

// The most bytes a node matches, SIZE_MAX when there is no bound, or with
// `most` false the fewest.  Nested counts could overflow; no text is that
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
    case node_kind::sequence: {
      // Adjacent exact parts join; the longest known string wins.
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
    case node_kind::alternatives:
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

// Adds to `takes` every byte the node may match.
void bytes_taken(const std::vector<node>& nodes, size_t at, byte_set* takes) {
  const node& n = nodes[at];
  if (n.kind == node_kind::bytes)
    for (int c = 0; c < 256; ++c) (*takes)[c] = (*takes)[c] || n.set[c];
  for (size_t part : n.parts) bytes_taken(nodes, part, takes);
}

}  // namespace

bool translate_expression(const char* pattern, int cflags, std::string* syntax,
                          expression_facts* facts, bool zero_in_text) {
  parser parse(pattern, cflags);
  size_t root = 0;
  if (!parse.parse(&root)) return false;
  // With -n an anchor holds at every line end for both, wherever it stands.
  const bool newline = (cflags & REG_NEWLINE) != 0;
  if (!anchors_agree(parse.nodes(), root, true, true, false, newline)) return false;
  syntax->clear();
  if (!write_node(parse.nodes(), root, syntax, zero_in_text)) return false;
  const literal_facts literal = facts_of(parse.nodes(), root);
  facts->required = literal.contains;
  facts->lead = literal.lead;
  facts->longest = text_bound(parse.nodes(), root, true);
  facts->shortest = text_bound(parse.nodes(), root, false);
  facts->takes.fill(false);
  bytes_taken(parse.nodes(), root, &facts->takes);
  return true;
}

bool expression_extent(const char* pattern, int cflags, std::array<bool, 256>* takes,
                       size_t* longest) {
  parser parse(pattern, cflags, true);
  size_t root = 0;
  if (!parse.parse(&root)) return false;
  takes->fill(false);
  bytes_taken(parse.nodes(), root, takes);
  *longest = text_bound(parse.nodes(), root, true);
  return true;
}

}  // namespace zamplet
