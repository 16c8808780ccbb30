// The parse of a POSIX expression as the C library reads it in the C locale.
#include "engine/parse.h"

#include <cctype>
#include <cstring>
#include <regex.h>
#include <string>
#include <utility>

namespace zamplet {

namespace {

// RE2 refuses larger repetition counts.
constexpr int REPEAT_MAX = 1000;
// Nesting beyond this is left to the library rather than to recursion here.
constexpr int DEPTH_MAX = 64;

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
  parser(const char* pattern, int cflags)
      : p_(reinterpret_cast<const unsigned char*>(pattern)),
        extended_((cflags & REG_EXTENDED) != 0),
        icase_((cflags & REG_ICASE) != 0),
        newline_((cflags & REG_NEWLINE) != 0) {}

  // The root node, or false when the expression is not taken.
  bool parse(size_t* root) {
    *root = alternatives(0);
    return ok_ && *p_ == '\0';
  }
  const std::vector<node>& nodes() const { return nodes_; }
  // The library's word operators and classes, and back-references, are
  // read for the facts alone: RE2 never searches what holds them.
  bool met_library_only() const { return met_library_only_; }
  bool met_back_references() const { return met_back_references_; }
  const std::vector<size_t>& groups() const { return groups_; }

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

  // One of the library's word operators, read for the facts alone.  Word
  // and buffer boundaries take no byte; \w and \s take the C locale's word
  // and space bytes, and their capitals any other byte.
  bool word_operator(size_t* out, bool* anchor) {
    const unsigned char e = p_[1];
    p_ += 2;
    if (strchr("wWsS", e) == nullptr) {
      // Read as an anchor is: nothing repeats it, and a basic '*' after it
      // is a literal.
      *anchor = true;
      node boundary{node_kind::line_end};
      boundary.op = static_cast<char>(e);
      *out = add(std::move(boundary));
      return true;
    }
    node n{node_kind::bytes};
    for (int b = 0; b < 256; ++b)
      n.set[b] = (tolower(e) == 'w' ? isalnum(b) || b == '_' : isspace(b) != 0) == (islower(e) != 0);
    *out = add(std::move(n));
    return true;
  }

  // \1 to \9: the text the group matched, read for the facts alone.  A
  // group not yet closed is left to the library.
  bool back_reference(size_t* out) {
    const size_t number = static_cast<size_t>(p_[1] - '1');
    if (number >= groups_.size() || groups_[number] == NO_GROUP) return false;
    p_ += 2;
    met_library_only_ = true;
    met_back_references_ = true;
    node n{node_kind::back_reference};
    n.parts.push_back(groups_[number]);
    *out = add(std::move(n));
    return true;
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
      const size_t number = groups_.size();
      groups_.push_back(NO_GROUP);
      *out = alternatives(depth + 1);
      if (!ok_ || !at_close()) return false;
      p_ += extended_ ? 1 : 2;
      groups_[number] = *out;
      return true;
    }
    if (c == '\\' && p_[1] >= '1' && p_[1] <= '9') return back_reference(out);
    if (c == '\\' && p_[1] != '\0' && strchr("<>bB`'wWsS", p_[1])) {
      met_library_only_ = true;
      return word_operator(out, anchor);
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
  bool extended_, icase_, newline_;
  bool met_library_only_ = false;
  bool met_back_references_ = false;
  static constexpr size_t NO_GROUP = SIZE_MAX;
  std::vector<size_t> groups_;  // each group's node, once it is closed
  bool ok_ = true;
  std::vector<node> nodes_;
};

}  // namespace

bool parse_expression(const char* pattern, int cflags, parsed_expression* out) {
  parser parse(pattern, cflags);
  if (!parse.parse(&out->root)) return false;
  out->nodes = parse.nodes();
  out->library_only = parse.met_library_only();
  out->back_references = parse.met_back_references();
  out->groups = parse.groups();
  return true;
}

}  // namespace zamplet
