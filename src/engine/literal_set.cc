// The search of an expression whose every match is one of a set of fixed
// strings: an alternation of words, with or without the library's word
// operators around them, case-blind or not.  It finds what the library
// finds, the leftmost start and of the strings that match there the
// longest, without an automaton: a table of the byte pairs that may begin a
// match passes over the text, and only where it agrees are the strings that
// begin with that byte compared, the longest first.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/matcher.h"
#include "engine/parse.h"

namespace zamplet {

// Every choice, grouped by its first byte (upper case where blind) and the
// longest first within a group.
struct literal_set {
  bool blind = false;
  std::vector<literal_choice> choices;
  uint32_t from[257] = {};  // the choices that begin with byte b: [from[b], from[b + 1])
  // Bit b0 + 256 * b1 is set where a match may begin with the bytes b0 b1
  // (any b1 after a choice of one byte).
  uint64_t pairs[1024] = {};
  int lone = -1;  // the one byte that every match begins with, where there is one
};

namespace {

// A larger set, or a longer string, is left to the automata.
constexpr size_t CHOICES_MAX = 4096;
constexpr size_t CHOICE_LONGEST = 255;
constexpr int DEPTH_MAX = 64;
constexpr unsigned ALWAYS = 15;  // the condition of no word operator
// Where the byte every match begins with is near, a look at a few bytes
// finds it sooner than a call.
constexpr size_t NEAR = 16;

// ASCII only: the C locale folds no other byte.
int upper(int c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }
int lower(int c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

// The library's word bytes in the C locale.
bool word_byte(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

// The condition that a word operator sets on its place (see literal_choice);
// 0 for any other node.
unsigned condition_of(const node& n) {
  if (n.kind != node_kind::line_end) return 0;
  switch (n.op) {
    case '<': return 1u << 1;               // no word byte before, one after
    case '>': return 1u << 2;               // a word byte before, none after
    case 'b': return (1u << 1) | (1u << 2);  // one of the two is a word byte
    case 'B': return 1u | (1u << 3);         // both or neither
    default: return 0;                       // a line or buffer anchor
  }
}

// The one byte that a set stands for (upper case where blind), or -1.
int one_byte(const byte_set& set, bool blind) {
  int first = -1, members = 0;
  for (int c = 0; c < 256; ++c)
    if (set[c]) {
      if (first < 0) first = c;
      ++members;
    }
  if (first <= 0) return -1;
  if (!blind) return members == 1 ? first : -1;
  for (int c = 0; c < 256; ++c)
    if (set[c] != (upper(c) == upper(first))) return -1;
  return upper(first);
}

// Appends the fixed text of a node made of single bytes alone.
bool append_text(const std::vector<node>& nodes, size_t at, bool blind, std::string* text) {
  const node& n = nodes[at];
  if (n.kind == node_kind::sequence) {
    for (size_t part : n.parts)
      if (!append_text(nodes, part, blind, text)) return false;
    return true;
  }
  const int b = n.kind == node_kind::bytes ? one_byte(n.set, blind) : -1;
  if (b < 0 || text->size() >= CHOICE_LONGEST) return false;
  *text += static_cast<char>(b);
  return true;
}

bool collect(const std::vector<node>& nodes, size_t at, unsigned before, unsigned after, bool blind,
             int depth, std::vector<literal_choice>* out);

// The parts of a sequence: word operators at either end, and between them
// one fixed text or one choice among several.
bool collect_sequence(const std::vector<node>& nodes, const std::vector<size_t>& parts,
                      unsigned before, unsigned after, bool blind, int depth,
                      std::vector<literal_choice>* out) {
  size_t first = 0, last = parts.size();
  for (; first < last && condition_of(nodes[parts[first]]) != 0; ++first)
    before &= condition_of(nodes[parts[first]]);
  for (; last > first && condition_of(nodes[parts[last - 1]]) != 0; --last)
    after &= condition_of(nodes[parts[last - 1]]);
  if (last - first == 1 && nodes[parts[first]].kind == node_kind::alternatives)
    return collect(nodes, parts[first], before, after, blind, depth + 1, out);
  literal_choice choice;
  choice.before = before;
  choice.after = after;
  for (size_t i = first; i < last; ++i)
    if (!append_text(nodes, parts[i], blind, &choice.text)) return false;
  // An empty text, or conditions that never hold, are left to the library.
  if (choice.text.empty() || before == 0 || after == 0) return false;
  out->push_back(std::move(choice));
  return out->size() <= CHOICES_MAX;
}

bool collect(const std::vector<node>& nodes, size_t at, unsigned before, unsigned after, bool blind,
             int depth, std::vector<literal_choice>* out) {
  if (depth > DEPTH_MAX) return false;
  const node& n = nodes[at];
  if (n.kind == node_kind::alternatives) {
    for (size_t part : n.parts)
      if (!collect(nodes, part, before, after, blind, depth + 1, out)) return false;
    return true;
  }
  if (n.kind == node_kind::sequence)
    return collect_sequence(nodes, n.parts, before, after, blind, depth, out);
  return collect_sequence(nodes, {at}, before, after, blind, depth, out);
}

// Whether the choice matches at text[p, length): its bytes and the word
// conditions at both of its ends.
bool matches_at(const literal_set& s, const literal_choice& c, const unsigned char* t,
                size_t length, size_t p) {
  const size_t k = c.text.size();
  if (k > length - p) return false;
  // The strings are short: compared here rather than by a call.
  const unsigned char* want = reinterpret_cast<const unsigned char*>(c.text.data());
  if (s.blind) {
    for (size_t i = 0; i < k; ++i)
      if (upper(t[p + i]) != want[i]) return false;
  } else {
    for (size_t i = 0; i < k; ++i)
      if (t[p + i] != want[i]) return false;
  }
  if (c.before != ALWAYS) {
    const unsigned first = p > 0 && word_byte(t[p - 1]) ? 2 : 0;
    if ((c.before >> (first + (word_byte(t[p]) ? 1 : 0)) & 1) == 0) return false;
  }
  if (c.after == ALWAYS) return true;
  const unsigned last = word_byte(t[p + k - 1]) ? 2 : 0;
  const unsigned next = p + k < length && word_byte(t[p + k]) ? 1 : 0;
  return (c.after >> (last + next) & 1) != 0;
}

// The first place in [p, stop) whose byte pair may begin a match, or stop.
// The byte at `stop` is read, which the search's contract allows.
size_t next_pair(const literal_set& s, const unsigned char* t, size_t p, size_t stop) {
  for (; p < stop; ++p) {
    const unsigned v = t[p] | static_cast<unsigned>(t[p + 1]) << 8;
    if ((s.pairs[v >> 6] >> (v & 63) & 1) != 0) return p;
  }
  return stop;
}

void set_pair(literal_set* s, int b0, int b1) {
  const unsigned v = static_cast<unsigned>(b0) | static_cast<unsigned>(b1) << 8;
  s->pairs[v >> 6] |= uint64_t{1} << (v & 63);
}

}  // namespace

bool literal_choices(const parsed_expression& parse, bool blind,
                     std::vector<literal_choice>* out) {
  out->clear();
  if (!parse.back_references && collect(parse.nodes, parse.root, ALWAYS, ALWAYS, blind, 0, out))
    return true;
  out->clear();
  return false;
}

const literal_set* compile_literals(const std::vector<literal_choice>& choices, bool blind) {
  auto* s = new literal_set;
  s->blind = blind;
  s->choices = choices;
  std::stable_sort(s->choices.begin(), s->choices.end(),
                   [](const literal_choice& a, const literal_choice& b) {
                     const auto fa = static_cast<unsigned char>(a.text[0]);
                     const auto fb = static_cast<unsigned char>(b.text[0]);
                     return fa != fb ? fa < fb : a.text.size() > b.text.size();
                   });
  bool firsts[256] = {};
  for (const literal_choice& c : s->choices) {
    const int b0 = static_cast<unsigned char>(c.text[0]);
    ++s->from[b0 + 1];
    for (int first : {b0, blind ? lower(b0) : b0}) {
      firsts[first] = true;
      if (c.text.size() == 1) {
        for (int b1 = 0; b1 < 256; ++b1) set_pair(s, first, b1);
        continue;
      }
      const int b1 = static_cast<unsigned char>(c.text[1]);
      set_pair(s, first, b1);
      if (blind) set_pair(s, first, lower(b1));
    }
  }
  for (int b = 0; b < 256; ++b) s->from[b + 1] += s->from[b];
  const int distinct = static_cast<int>(std::count(firsts, firsts + 256, true));
  if (distinct == 1) s->lone = static_cast<int>(std::find(firsts, firsts + 256, true) - firsts);
  return s;
}

void free_literals(const literal_set* set) { delete set; }

bool literal_search(const literal_set* set, const char* text, size_t length, size_t pos,
                    size_t limit, size_t* start, size_t* end) {
  const literal_set& s = *set;
  const auto* t = reinterpret_cast<const unsigned char*>(text);
  const size_t stop = std::min(limit, length);
  for (size_t p = pos; p < stop; ++p) {
    if (s.lone >= 0) {
      const size_t near = std::min(stop, p + NEAR);
      while (p < near && t[p] != s.lone) ++p;
      if (p == near) {
        const void* hit = memchr(t + p, s.lone, stop - p);
        if (hit == nullptr) return false;
        p = static_cast<size_t>(static_cast<const unsigned char*>(hit) - t);
      }
    } else {
      p = next_pair(s, t, p, stop);
      if (p == stop) return false;
    }
    const int b = s.blind ? upper(t[p]) : t[p];
    for (uint32_t i = s.from[b]; i < s.from[b + 1]; ++i) {
      if (!matches_at(s, s.choices[i], t, length, p)) continue;
      *start = p;
      *end = p + s.choices[i].text.size();
      return true;
    }
  }
  return false;
}

}  // namespace zamplet
