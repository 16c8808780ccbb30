// NEWPATTERN read as a template (--backrefs), and its expansion for one
// match.  Internal to the engine; the driver only reads one (engine.h).
#pragma once

#include <cstddef>
#include <regex.h>
#include <string>
#include <vector>

namespace zamplet {

// The most groups a template can name: \1 to \9.
constexpr int TEMPLATE_GROUPS = 9;

struct template_piece {
  enum class kind {
    text,        // text[from, from + len) as it stands
    group,       // the text of group `group`, 0 being the whole match
    upper,       // \U: the rest in capitals, until \E, \L or the end
    lower,       // \L: the rest in small letters
    as_is,       // \E: the rest as it is
    upper_next,  // \u: the next byte that goes out in capitals
    lower_next,  // \l: in small letters
  };
  kind what;
  size_t from = 0;
  size_t len = 0;
  int group = 0;
};

struct replacement_template {
  std::string text;  // the bytes the text pieces refer to
  std::vector<template_piece> pieces;
  // The highest group named: -1 when the template never names the match,
  // 0 when it names only the whole match (&).
  int highest_group = -1;
  bool changes_case = false;
};

// Reads `source` as a template for an expression with `groups` groups.
// Returns "" or the problem, in one line.
std::string parse_template(const char* source, size_t groups, replacement_template* out);

// The groups of one match, as offsets into the match's own bytes: groups[0]
// is the whole match, a group that took no part has rm_so -1.  Only the
// groups up to the template's highest are read.
// How many bytes the expansion of the template takes for that match.
size_t expansion_size(const replacement_template& t, const regmatch_t* groups);
// Writes the expansion, expansion_size() bytes, to `out`.
void expand(const replacement_template& t, const char* match, const regmatch_t* groups,
            char* out);

}  // namespace zamplet
