// The reference of an expression's rewrite under the chunk rule, written
// apart from the engine: one search over the whole input with the C
// library's regexec, then the chunk rule applied to its matches.  Free of
// GoogleTest, so that the fuzz target shares it with the unit tests.
#pragma once

#include <cstddef>
#include <regex.h>
#include <string>
#include <utility>
#include <vector>

namespace zamplet_test {

// [start, end) of each match, in input order.
using match_list = std::vector<std::pair<size_t, size_t>>;

// The matches of `re` (compiled with REG_NEWLINE when `newline`) in `input`
// searched as one text: leftmost-longest from where the last match ended;
// an empty match where the last one ended is none, and behind an empty match
// the search resumes one byte on.  An empty input has none; with newline
// special, an input ending with a newline has no line after it, so nothing
// matches at its very end and $ holds there only before that newline.
match_list whole_matches(const regex_t* re, bool newline, const std::string& input);

struct chunk_rule_result {
  std::string text;
  long count = 0;  // matches replaced
  long cuts = 0;   // matches left because a boundary cuts them
};

// `input` rewritten under the chunk rule: a match is replaced when it lies
// inside one chunk and ends no later than that chunk's first zero byte; one
// that crosses a boundary is cut, unless its chunk has a zero byte before
// it, or it holds one.  Chunks begin at
// `starts` (ascending, the first 0), or every `chunk_size` bytes when it is
// empty.
chunk_rule_result chunk_rule_model(const regex_t* re, bool newline, const std::string& input,
                                   const std::string& replacement, size_t chunk_size,
                                   const std::vector<size_t>& starts = {});

}  // namespace zamplet_test
