// --backrefs: NEWPATTERN as a template of the match and its groups.
//
// & is the whole match and \1 to \9 its groups (a group that took no part
// is empty); \U and \L turn the rest into capitals or small letters until
// \E (or the other), \u and \l the next byte that goes out; \n, \t, \\ and
// \& are a newline, a tab, a backslash and an ampersand.  A case change
// of the next byte waits over one empty group right after it (not a
// second), and \U, \L and \E cancel one still waiting.  Only ASCII letters change case.
// Each occurrence's expansion starts afresh.
#include "engine/template.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "engine/engine.h"

namespace zamplet {

namespace {

using piece = template_piece;

// The escape \c spelt for a message: the byte itself where it is printable.
std::string escape_text(unsigned char c) {
  char spelt[8];
  if (c > ' ' && c < 0x7f)
    snprintf(spelt, sizeof spelt, "\\%c", c);
  else
    snprintf(spelt, sizeof spelt, "\\%03o", c);
  return spelt;
}

void add_text(replacement_template* t, const char* bytes, size_t len) {
  if (!t->pieces.empty() && t->pieces.back().what == piece::kind::text &&
      t->pieces.back().from + t->pieces.back().len == t->text.size()) {
    t->pieces.back().len += len;
  } else {
    t->pieces.push_back({piece::kind::text, t->text.size(), len, 0});
  }
  t->text.append(bytes, len);
}

void add_group(replacement_template* t, int group) {
  t->pieces.push_back({piece::kind::group, 0, 0, group});
  if (group > t->highest_group) t->highest_group = group;
}

void add_case(replacement_template* t, piece::kind what) {
  t->pieces.push_back({what, 0, 0, 0});
  t->changes_case = true;
}

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::string parse_template(const char* source, size_t groups, replacement_template* out) {
  *out = replacement_template{};
  for (const char* p = source; *p != '\0'; ++p) {
    if (*p == '&') {
      add_group(out, 0);
      continue;
    }
    if (*p != '\\') {
      add_text(out, p, 1);
      continue;
    }
    const char c = *++p;
    switch (c) {
      case '\0':
        return "a lone backslash at its end";
      case 'n': add_text(out, "\n", 1); break;
      case 't': add_text(out, "\t", 1); break;
      case '\\':
      case '&': add_text(out, p, 1); break;
      case 'U': add_case(out, piece::kind::upper); break;
      case 'L': add_case(out, piece::kind::lower); break;
      case 'E': add_case(out, piece::kind::as_is); break;
      case 'u': add_case(out, piece::kind::upper_next); break;
      case 'l': add_case(out, piece::kind::lower_next); break;
      case '0':
        return "\\0 names no group (the whole match is &)";
      default:
        if (c < '1' || c > '9') return "unknown escape " + escape_text(static_cast<unsigned char>(c));
        if (static_cast<size_t>(c - '0') > groups)
          return std::string("\\") + c + " names a group that OLDPATTERN does not have (it has " +
                 std::to_string(groups) + ")";
        add_group(out, c - '0');
    }
  }
  return "";
}

size_t expansion_size(const replacement_template& t, const regmatch_t* groups) {
  size_t size = 0;
  for (const piece& p : t.pieces) {
    if (p.what == piece::kind::text) {
      size += p.len;
    } else if (p.what == piece::kind::group && groups[p.group].rm_so >= 0) {
      size += static_cast<size_t>(groups[p.group].rm_eo - groups[p.group].rm_so);
    }
  }
  return size;
}

void expand(const replacement_template& t, const char* match, const regmatch_t* groups,
            char* out) {
  piece::kind mode = piece::kind::as_is;  // upper, lower or as_is
  piece::kind next = piece::kind::as_is;  // upper_next, lower_next or as_is
  bool fresh = false;  // `next` was asked for by the piece just before
  for (const piece& p : t.pieces) {
    const bool just_asked = fresh;
    fresh = false;
    const char* bytes = nullptr;
    size_t len = 0;
    switch (p.what) {
      case piece::kind::text:
        bytes = t.text.data() + p.from;
        len = p.len;
        break;
      case piece::kind::group:
        if (groups[p.group].rm_so < 0) break;  // empty, like a group that took no text
        bytes = match + groups[p.group].rm_so;
        len = static_cast<size_t>(groups[p.group].rm_eo - groups[p.group].rm_so);
        break;
      case piece::kind::upper_next:
      case piece::kind::lower_next:
        next = p.what;
        fresh = true;
        continue;
      default:
        mode = p.what;
        next = piece::kind::as_is;
        continue;
    }
    // A change of the next byte waits over one empty group right after
    // it, not over a second.
    if (len == 0) {
      if (!just_asked) next = piece::kind::as_is;
      continue;
    }
    if (mode == piece::kind::as_is) {
      memcpy(out, bytes, len);
    } else {
      for (size_t i = 0; i < len; ++i) {
        const char c = bytes[i];
        out[i] = mode == piece::kind::upper ? upper(c) : lower(c);
      }
    }
    if (next != piece::kind::as_is) {
      out[0] = next == piece::kind::upper_next ? upper(bytes[0]) : lower(bytes[0]);
      next = piece::kind::as_is;
    }
    out += len;
  }
}

const replacement_template* read_template(const char* text, size_t groups,
                                          std::string* problem) {
  // The run's templates live as long as the run.
  static std::vector<std::unique_ptr<replacement_template>> read;
  auto t = std::make_unique<replacement_template>();
  *problem = parse_template(text, groups, t.get());
  if (!problem->empty()) return nullptr;
  read.push_back(std::move(t));
  return read.back().get();
}

}  // namespace zamplet
