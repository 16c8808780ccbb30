#include "chunk_model.h"

#include <algorithm>
#include <cstring>

namespace zamplet_test {

match_list whole_matches(const regex_t* re, bool newline, const std::string& input) {
  match_list found;
  const size_t n = input.size();
  if (n == 0) return found;
  const bool no_last_line = newline && input.back() == '\n';
  const size_t stop = no_last_line ? n : n + 1;  // matches begin before this
  size_t last_end = SIZE_MAX;
  for (size_t pos = 0; pos < stop;) {
    // The input as one text, searched from `pos` with the bytes before it
    // as the context of ^ and the word operators.
    regmatch_t m;
    m.rm_so = static_cast<regoff_t>(pos);
    m.rm_eo = static_cast<regoff_t>(n);
    if (regexec(re, input.data(), 1, &m, REG_STARTEND | (no_last_line ? REG_NOTEOL : 0)) != 0)
      break;
    const size_t s = static_cast<size_t>(m.rm_so), e = static_cast<size_t>(m.rm_eo);
    if (s >= stop) break;
    if (s != e || s != last_end) found.emplace_back(s, e);
    last_end = e;
    if (s != e) {
      pos = e;
      continue;
    }
    if (e >= n) break;
    pos = e + 1;
  }
  return found;
}

chunk_rule_result chunk_rule_model(const regex_t* re, bool newline, const std::string& input,
                                   const std::string& replacement, size_t chunk_size,
                                   const std::vector<size_t>& starts) {
  std::vector<size_t> edges = starts;
  for (size_t at = 0; edges.empty() || (starts.empty() && chunk_size > 0 && at < input.size()); at += chunk_size)
    edges.push_back(at);
  chunk_rule_result r;
  size_t copied = 0;
  for (const auto& [s, e] : whole_matches(re, newline, input)) {
    // The chunk of the match's start; the input's end is in the last chunk.
    const size_t k = static_cast<size_t>(std::upper_bound(edges.begin(), edges.end(), s) -
                                         edges.begin()) - 1;
    const size_t limit = k + 1 < edges.size() ? edges[k + 1] : input.size();
    const size_t zero = std::min(limit, input.find('\0', edges[k]));
    if (e > limit) {
      // Cut, unless a zero byte would have kept it: before it in its chunk,
      // or inside it.
      if (input.find('\0', edges[k]) >= e) ++r.cuts;
      continue;
    }
    if (e > zero) continue;
    r.text += input.substr(copied, s - copied) + replacement;
    copied = e;
    ++r.count;
  }
  r.text += input.substr(copied);
  return r;
}

}  // namespace zamplet_test
