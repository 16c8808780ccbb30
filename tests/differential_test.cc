// Reading a regular file in large blocks and collecting the output of many
// chunks into one write must be invisible: random texts and patterns give
// the same bytes, counts and trace lines as a pipe that delivers one chunk
// per read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>
#include <random>
#include <regex.h>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "chunk_model.h"
#include "e2e_support.h"
#include "scan_support.h"
#include "engine/scan.h"

using namespace zamplet_test;

namespace {

using zamplet::chunk_output;

// Pieces of expressions over a small alphabet, so that matches are frequent
// and land on chunk and block boundaries.
const strings BASIC_ATOMS = {"a", "b", "ab", "a*", "b*", ".", "[ab]", "[^a]", "^", "$",
                             "\\(ab\\)*", "a\\{2\\}", "x*", "\n", "A"};
const strings EXTENDED_ATOMS = {"a", "b", "a+", "b?", "(ab|ba)", "[ab]+", "^a", "b$",
                                "(a|)", ".", "a{1,3}", "x*", "[[:space:]]", "A"};

struct trial {
  strings flags;
  std::string old_text, new_text, input;
};

std::string random_text(std::mt19937& rng, size_t size) {
  static const char ALPHABET[] = "aaabbb AB\nx";
  std::string text(size, 'a');
  for (auto& c : text) c = ALPHABET[rng() % (sizeof ALPHABET - 1)];
  // A rare zero byte ends the searchable part of its chunk.
  if (size > 0 && rng() % 8 == 0) text[rng() % size] = '\0';
  return text;
}

trial random_trial(std::mt19937& rng) {
  trial t;
  const bool literal = rng() % 3 == 0;
  if (literal) {
    t.flags.push_back("-w");
    static const strings WORDS = {"a", "ab", "ba", "aab", "b b", "a\nb", "bbbb"};
    t.old_text = WORDS[rng() % WORDS.size()];
  } else {
    const bool extended = rng() % 2 == 0;
    if (extended) t.flags.push_back("-e");
    if (rng() % 3 == 0) t.flags.push_back("-i");
    if (rng() % 3 == 0) t.flags.push_back("-n");
    const strings& atoms = extended ? EXTENDED_ATOMS : BASIC_ATOMS;
    for (unsigned i = 0, n = 1 + rng() % 3; i < n; ++i) t.old_text += atoms[rng() % atoms.size()];
  }
  static const strings REPLACEMENTS = {"", "NULL", "X", "ab", "YYYYYYYY", "\n"};
  t.new_text = rng() % 10 == 0 ? std::string(1500 + rng() % 3000, 'Z')
                               : REPLACEMENTS[rng() % REPLACEMENTS.size()];
  // Sizes around the chunk and the block of 64 chunks, and larger ones; a
  // long replacement, which may follow every byte, only over a few chunks.
  static const size_t SIZES[] = {0, 1, 1022, 1023, 1024, 2046, 65472, 65473, 130944};
  size_t size = rng() % 2 == 0 ? SIZES[rng() % 9] : rng() % 200000;
  if (t.new_text.size() > 100) size %= 3 * 1023;
  t.input = random_text(rng, size);
  return t;
}

bool has(const strings& flags, const std::string& flag) {
  return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

strings with(const trial& t, const strings& extra, const strings& files = {}) {
  strings args = t.flags;
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back(t.old_text);
  args.push_back(t.new_text);
  args.insert(args.end(), files.begin(), files.end());
  return args;
}

// True when the lines of `after` are those of `before` in the same places,
// some changed, and no changed line equals any line of the other text: then
// the shortest diff is unique (the unchanged lines kept where they are),
// whatever lines repeat.
bool changed_in_place(const std::string& before, const std::string& after) {
  auto lines = [](const std::string& text) {
    std::vector<std::string_view> all;
    for (size_t at = 0; at < text.size();) {
      const size_t end = std::min(text.find('\n', at), text.size());
      all.push_back(std::string_view(text).substr(at, end + 1 - at));
      at = end + 1;
    }
    return all;
  };
  const auto old_lines = lines(before), new_lines = lines(after);
  if (old_lines.size() != new_lines.size()) return false;
  const std::set<std::string_view> old_set(old_lines.begin(), old_lines.end());
  const std::set<std::string_view> new_set(new_lines.begin(), new_lines.end());
  for (size_t i = 0; i < old_lines.size(); ++i)
    if (old_lines[i] != new_lines[i] &&
        (new_set.count(old_lines[i]) != 0 || old_set.count(new_lines[i]) != 0))
      return false;
  return true;
}

// Names for the file of a diff: ones that patch would end early or read as
// another file's unless the headers quote them, and a symbolic link, which
// the run replaces by a regular file and patch only with --follow-symlinks.
const strings DIFF_NAMES = {"in", "notes old.txt", "a\tb", "a\nb", " lead", "trail ", "--- x",
                            "+++ y", "@@ -1 +1 @@", "back\\slash", "quo\"te", "\xff\xfe",
                            "bell\a" "7\001", "link"};
const strings BARE_NAMES = {"in", "link"};
// What patch could take those names for, and where the link leads: each
// holds the same text, so a diff applied to the wrong one would go through.
const strings MISREAD_AS = {"notes", "a", "b", "lead", "trail", "x", "y", "back", "quo", "target"};

// Fills `dir` with all the names above, holding `text`.
void fill_names(const std::string& dir, const std::string& text) {
  for (const strings* names : {&DIFF_NAMES, &MISREAD_AS})
    for (const std::string& name : *names)
      if (name != "link") write_file(dir + "/" + name, text);
  ASSERT_EQ(symlink("target", (dir + "/link").c_str()), 0);
}

// The names whose entries differ between directories `a` and `b`: in one
// only, another content, another link.
strings differing(const std::string& a, const std::string& b) {
  auto entry = [](const std::string& path) {
    char target[256];
    const ssize_t len = readlink(path.c_str(), target, sizeof target);
    if (len >= 0) return "-> " + std::string(target, static_cast<size_t>(len));
    return exists(path) ? "= " + read_file(path) : std::string();
  };
  strings names = list_dir(a), found;
  for (const std::string& name : list_dir(b)) names.push_back(name);
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  for (const std::string& name : names)
    if (entry(a + "/" + name) != entry(b + "/" + name)) found.push_back(name);
  return found;
}

// Whether patch reads a quoted name in a header.
bool patch_reads_quotes() {
  temp_dir d;
  write_file(d / "a b", "a\n");
  write_file(d / "patch", "--- \"a b\"\t\n+++ \"a b\"\t\n@@ -1 +1 @@\n-a\n+b\n");
  return shell("cd '" + d.path + "' && patch -s -p0 < patch") && read_file(d / "a b") == "b\n";
}

TEST(Differential, BlockReadsAndCollectedWritesMatchOneReadPerChunk) {
  const char* env_trials = getenv("ZAMPLET_DIFF_TRIALS");
  const char* env_seed = getenv("ZAMPLET_DIFF_SEED");
  const int trials = env_trials ? atoi(env_trials) : 150;
  const unsigned seed = env_seed ? static_cast<unsigned>(atoi(env_seed)) : std::random_device{}();
  std::mt19937 rng(seed);
  long occurrences = 0, cut_boundaries = 0, patched = 0, compared_hunks = 0;
  const bool patch_found = system("patch --version >/dev/null 2>&1") == 0;
  if (!patch_found) std::cout << "[ diff     ] patch is not installed: diffs are not applied\n";
  const bool quotes_read = !patch_found || patch_reads_quotes();
  if (!quotes_read)
    std::cout << "[ diff     ] patch does not read quoted names: only bare names are tried\n";
  const strings& diff_names = quotes_read ? DIFF_NAMES : BARE_NAMES;
  for (int i = 0; i < trials; ++i) {
    const trial t = random_trial(rng);
    SCOPED_TRACE("seed " + std::to_string(seed) + " trial " + std::to_string(i) + ": pattern '" +
                 t.old_text + "', " + std::to_string(t.input.size()) + " bytes");
    temp_dir d;
    write_file(d / "in", t.input);

    // One chunk per read: writes of 1023 bytes into a pipe arrive whole.
    run_options piped;
    piped.input = t.input;
    piped.feed_piece = 1023;
    const run_result by_chunk = run_zamplet(with(t, {"-v"}), piped);
    if (by_chunk.status != 0) {  // an expression the library refuses
      EXPECT_EQ(run_zamplet(with(t, {"-v"}), stdin_from_file(d / "in")).err, by_chunk.err);
      continue;
    }
    // "STDIN\n", the text, " COUNT\n".
    const std::string& out = by_chunk.out;
    ASSERT_EQ(out.compare(0, 6, "STDIN\n"), 0);
    const size_t blank = out.rfind(' ');
    ASSERT_NE(blank, std::string::npos);
    const std::string text = out.substr(6, blank - 6);
    const std::string count = out.substr(blank + 1, out.size() - blank - 2);
    occurrences += atol(count.c_str());

    const run_result blocks = run_zamplet(with(t, {"-v"}), stdin_from_file(d / "in"));
    EXPECT_EQ(blocks.status, 0);
    EXPECT_EQ(blocks.out, by_chunk.out);
    EXPECT_EQ(blocks.err, by_chunk.err);

    const run_result collected = run_zamplet(with(t, {"-q"}), stdin_from_file(d / "in"));
    EXPECT_EQ(collected.status, 0);
    EXPECT_TRUE(collected.out == text) << "collected filter output differs";

    // The note on cut occurrences names the input as it was printed.
    std::string err = by_chunk.err;
    const size_t note = err.rfind("stdin\t");
    if (note != std::string::npos) err.replace(note, 5, "in");
    const std::string said_cut = note == std::string::npos ? "" : err.substr(note);
    // Both engines against their references: chunks searched on their own
    // for a fixed string, one search filtered by chunks for an expression.
    long cuts = 0;
    if (!t.flags.empty() && t.flags[0] == "-w") {
      const literal_result model =
          literal_model(t.input, t.old_text, t.new_text == "NULL" ? "" : t.new_text);
      cut_boundaries += model.cuts;
      cuts = model.cuts;
      EXPECT_TRUE(text == model.text) << "output differs from the reference";
      EXPECT_EQ(count, std::to_string(model.count));
    } else {
      const int cflags = (has(t.flags, "-e") ? REG_EXTENDED : 0) |
                         (has(t.flags, "-i") ? REG_ICASE : 0) | (has(t.flags, "-n") ? REG_NEWLINE : 0);
      regex_t re;
      ASSERT_EQ(regcomp(&re, t.old_text.c_str(), cflags), 0);
      const auto model = chunk_rule_model(&re, (cflags & REG_NEWLINE) != 0, t.input,
                                          t.new_text == "NULL" ? "" : t.new_text, zamplet::CHUNK_SIZE);
      regfree(&re);
      cuts = model.cuts;
      EXPECT_TRUE(text == model.text) << "output differs from the reference";
      EXPECT_EQ(count, std::to_string(model.count));
    }
    EXPECT_EQ(said_cut, cuts > 0 ? cut_note("in", cuts) + cut_total(cuts, 1) : "");
    // The diff of the same run changes nothing, and applied with patch to a
    // copy of the directory it changes what the run changes, and nothing
    // else, whatever the file's name; from standard input it names stdin.
    // (Every other trial, for the time it takes.)
    if (i % 2 == 0) {
      const std::string& name = diff_names[(i / 2) % diff_names.size()];
      SCOPED_TRACE("the diff of '" + name + "'");
      ASSERT_EQ(mkdir((d / "r").c_str(), 0755), 0);
      ASSERT_EQ(mkdir((d / "p").c_str(), 0755), 0);
      fill_names(d / "r", t.input);
      fill_names(d / "p", t.input);
      const run_result diff = run_zamplet(with(t, {"--diff"}, {name}), {.cwd = d / "r"});
      EXPECT_EQ(diff.status, 0);
      EXPECT_EQ(diff.err, cuts > 0 ? cut_note(name, cuts) + cut_total(cuts, 1) : "");
      EXPECT_EQ(differing(d / "r", d / "p"), strings{}) << "--diff changed a file";
      EXPECT_EQ(diff.out.empty(), text == t.input);
      const run_result from_stdin = run_zamplet(with(t, {"--diff"}), stdin_from_file(d / "in"));
      std::string headers_named_stdin = diff.out;
      if (!diff.out.empty())
        headers_named_stdin.replace(0, diff.out.find('\n', diff.out.find('\n') + 1) + 1,
                                    "--- stdin\t\n+++ stdin\t\n");
      EXPECT_TRUE(from_stdin.out == headers_named_stdin) << "the diff of standard input differs";
      // Its hunks are those of diff -u between the input and the run's text
      // where the shortest diff is unique (otherwise equally short diffs may
      // differ in which of equal lines they keep); with --whole too.
      const run_result whole = run_zamplet(with(t, {"--whole", "-q"}), stdin_from_file(d / "in"));
      for (const auto& [result, hunks_out] :
           {std::pair{text, diff.out},
            std::pair{whole.out, run_zamplet(with(t, {"--whole", "--diff"}), stdin_from_file(d / "in")).out}}) {
        if (!changed_in_place(t.input, result)) continue;
        write_file(d / "new", result);
        EXPECT_TRUE(shell("cd '" + d.path + "' && { diff -a -u -d in new; test $? -le 1; } | tail -n +3 > hunks"));
        const size_t past_headers = hunks_out.find('\n', hunks_out.find('\n') + 1);
        const std::string hunks =
            past_headers == std::string::npos ? "" : hunks_out.substr(past_headers + 1);
        EXPECT_TRUE(hunks == read_file(d / "hunks")) << "the hunks differ from diff -u's";
        compared_hunks += !hunks.empty();
      }
      if (patch_found && !diff.out.empty()) {
        EXPECT_EQ(run_zamplet(with(t, {"-q"}, {name}), {.cwd = d / "r"}).status, 0);
        write_file(d / "patch", diff.out);
        const std::string apply = "cd '" + d.path + "/p' && patch -s -p0 " +
                                  (name == "link" ? "--follow-symlinks " : "") + "< ../patch";
        EXPECT_EQ(system(apply.c_str()), 0);
        EXPECT_EQ(differing(d / "p", d / "r"), strings{}) << "patch and the run differ";
        ++patched;
        unlink((d / "patch").c_str());
      }
      remove_tree(d / "p");
      remove_tree(d / "r");
      unlink((d / "new").c_str());
      unlink((d / "hunks").c_str());
    }
    const run_result in_place = run_zamplet(with(t, {"-v"}, {"in"}), {.cwd = d.path});
    EXPECT_EQ(in_place.status, 0);
    EXPECT_EQ(in_place.out, "in " + count + "\n");
    EXPECT_EQ(in_place.err, err);
    EXPECT_TRUE(read_file(d / "in") == text) << "rewritten file differs";
    EXPECT_EQ(list_dir(d.path), strings{"in"});
    if (HasFailure()) break;
  }
  std::cout << "[ differ   ] " << trials << " trials, seed " << seed << ", " << occurrences
            << " occurrences, " << cut_boundaries << " cut boundaries of fixed strings, "
            << patched << " diffs applied, " << compared_hunks << " compared with diff -u\n";
}

}  // namespace

// The two matchers on the same inputs: the C library alone against the best
// this build has (RE2 and the required string), and both against a reference
// of the chunk rule written apart from the engine.  Every search, every
// rewrite and every cut must come out the same, in chunks of 1023 bytes and
// in short reads from a pipe that now and then makes the search wait.
namespace {

using zamplet::matcher;
using zamplet::matcher_choice;

// Patterns from a grammar of both syntaxes, with forms that stay with the
// library (back-references, equivalence classes, word operators) among them.
struct expression_grammar {
  std::mt19937& rng;
  bool extended;
  bool grouping = false;  // groups far more often, empty ones among them

  std::string pick(const strings& from) { return from[rng() % from.size()]; }

  std::string atom(int depth) {
    static const strings BRACKETS = {
        "[ab]", "[a-c]", "[A-Z]", "[^a]", "[^\n]", "[[:alpha:]]", "[[:upper:]]", "[[:lower:]]",
        "[[:space:]]", "[[:punct:]]", "[[:digit:]b]", "[]a]", "[a-]", "[^]a]", "[\xe9" "a]",
        "[^\xe9]", "[[=a=]]", "[[.a.]]", "[_-a]", "[!-A]", "[^A-Z_]", "[a-c-]", "[.*]"};
    static const strings COMMON = {"a", "A", "b", "B", "_", "-", "\xe9", "\xc9", "\x80", "\n",
                                   " ", ".", "\\.", "\\*", "\\[", "\\]", "\\^", "\\$", "\\\\",
                                   "\\/", "]", "^", "$", "\\1", "\\w", "\\<", "\\b", "\\n"};
    static const strings BASIC = {"+", "?", "{", "|", "(", ")", "}"};
    static const strings EXTENDED = {"\\(", "\\{", "\\|", "\\+", "\\?", "\\}"};
    const unsigned r = rng() % 16;
    if (r < 4) return pick(BRACKETS);
    if (r < (grouping ? 10 : 6) && depth < 3) {
      const std::string inner = grouping && rng() % 6 == 0 ? "" : expression(depth + 1);
      return extended ? "(" + inner + ")" : "\\(" + inner + "\\)";
    }
    if (r == 6) return pick(extended ? EXTENDED : BASIC);
    // Where groups abound, the library's report of them may never end for
    // a word operator after a repeated group that may be empty, as in
    // "((_?)*\\<.){2}", and its search with back-references to long groups
    // takes very long: neither is generated there.
    const std::string common = pick(COMMON);
    return grouping && (common == "\\<" || common == "\\b" || common == "\\1") ? "_" : common;
  }

  std::string repetition() {
    static const strings BASIC = {"*", "\\+", "\\?", "\\{2\\}", "\\{1,3\\}", "\\{0,1\\}",
                                  "\\{2,\\}", "\\{0\\}", "**"};
    static const strings EXTENDED = {"*", "+", "?", "{2}", "{1,3}", "{0,1}", "{2,}", "{0}", "+?"};
    return rng() % 3 == 0 ? pick(extended ? EXTENDED : BASIC) : "";
  }

  // An alternation of fixed words, prefixes of one another among them, with
  // and without word operators around the words or the whole, which a set
  // of fixed strings searches; anchors and empty words, which it leaves to
  // the others, now and then.
  std::string literal_set() {
    static const strings WORDS = {"a", "ab", "aba", "abab", "b", "ba", "A", "aB", "_a", "a_",
                                  "\xe9", "a\nb", " ", "\\.", "a b", "\\*", "B_b", "-"};
    static const strings EDGES = {"\\<", "\\>", "\\b", "\\B", "\\<\\b", "^", "$", "\\`"};
    const std::string bar = extended ? "|" : "\\|";
    auto edge = [this] { return rng() % 4 == 0 ? pick(EDGES) : std::string(); };
    std::string e;
    for (unsigned i = 0, n = 1 + rng() % 5; i < n; ++i) {
      const std::string word = rng() % 40 == 0 ? "" : pick(WORDS);
      e += (i > 0 ? bar : "") + edge() + word + edge();
    }
    if (rng() % 2 == 0) return e;
    const std::string group = extended ? "(" + e + ")" : "\\(" + e + "\\)";
    return edge() + pick(EDGES) + group + pick(EDGES) + edge();
  }

  std::string expression(int depth) {
    std::string e;
    // A basic '*' that begins an expression is a literal.
    if (!extended && rng() % 16 == 0) e += "*";
    for (unsigned b = 0, branches = rng() % 5 == 0 ? 2 : 1; b < branches; ++b) {
      if (b > 0) e += extended ? "|" : "\\|";
      // A repeated back-reference to an empty group sends the library's
      // search into a recursion that overflows the stack, and one repeated
      // within a group into a search of exponential time: nothing that
      // holds a back-reference is repeated.
      for (unsigned i = 0, pieces = 1 + rng() % 3; i < pieces; ++i) {
        const std::string a = atom(depth);
        e += a + (a.find("\\1") != std::string::npos ? "" : repetition());
      }
    }
    return e;
  }
};

std::string random_input(std::mt19937& rng, size_t size) {
  static const char ALPHABET[] = "aaaAbbB__-.\xe9\xc9\x80\n\n *]^$";
  // Some long texts are made of a few letters only: long runs of what a
  // pattern may match, which the matcher searches otherwise than short ones.
  static const char FEW[] = "aaAb_";
  const bool few = size > 600 && rng() % 4 == 0;
  std::string text(size, 'a');
  for (auto& c : text)
    c = few ? FEW[rng() % (sizeof FEW - 1)] : ALPHABET[rng() % (sizeof ALPHABET - 1)];
  if (size > 0 && rng() % 8 == 0) text[rng() % size] = '\0';
  return text;
}

struct chunk_result {
  std::string out;
  int64_t count = 0;
  long cuts = 0;
  std::vector<size_t> starts;  // where each chunk began
  bool operator==(const chunk_result& o) const {
    return out == o.out && count == o.count && cuts == o.cuts;
  }
};

// `text` searched under the chunk rule: chunks of `chunk_size` bytes, or
// with `rng` each read a chunk of its own, as from a pipe.
// A window as short as allowed: the chunk, or the longest match if longer.
chunk_result substitute(const matcher& m, const std::string& text,
                        size_t chunk_size = zamplet::CHUNK_SIZE, std::mt19937* rng = nullptr,
                        size_t longest = 0) {
  zamplet::whole_scan scan;
  scan.pattern = &m;
  scan.chunks = true;
  scan.chunk_size = chunk_size;
  scan.read_chunks = rng != nullptr;
  scan.window = std::max(chunk_size, longest) + (rng != nullptr ? (*rng)() % 40 : 0);
  scan.capacity = 0;  // the least the window needs
  // The replacement is a byte the inputs never hold, so the output shows
  // where every match was.
  memory_input in(&text, rng, rng != nullptr);
  collected out("\x01");
  const zamplet::whole_end end = scan_whole(&scan, in, &out);
  chunk_result r{out.out, scan.count, scan.left_alone, in.starts};
  if (end != zamplet::whole_end::done) r.out = "(search failed)";
  if (rng == nullptr && chunk_size == zamplet::CHUNK_SIZE) r.starts.clear();
  // One chunk_end for every chunk.
  const size_t chunks = rng != nullptr ? in.starts.size() : (text.size() + chunk_size - 1) / chunk_size;
  if (out.chunks != static_cast<long>(chunks)) r.out += "(chunk ends " + std::to_string(out.chunks) + ")";
  return r;
}

// A search as the matcher seam answers it; a match from `limit` on counts
// as none, as the seam allows.
std::string search(const matcher& m, const char* text, size_t length, size_t pos, size_t limit,
                   int eflags) {
  size_t start = 0, end = 0;
  const int rc = zamplet::matcher_search(m, text, length, pos, limit, eflags, &start, &end);
  if (rc == zamplet::MATCH_ERROR) return "error";
  if (rc != zamplet::MATCH_FOUND || start >= limit) return "none";
  return std::to_string(start) + "-" + std::to_string(end);
}

// The groups of the match that `best` finds from `pos`: those of both
// matchers, up to \9, against what regexec reports for the same search.
// "" when all agree or there is no match; otherwise what differs.  Counts
// the comparison in compared[1] where RE2 gave the best matcher's groups,
// else in compared[0]; compared[2] counts the matches whose groups the
// library does not report.
std::string groups_differ(const matcher& library, const matcher& best, const char* text,
                          size_t length, size_t pos, int eflags, long* compared) {
  size_t start = 0, end = 0;
  if (zamplet::matcher_search(best, text, length, pos, SIZE_MAX, eflags, &start, &end) !=
      zamplet::MATCH_FOUND)
    return "";
  const size_t count = std::min<size_t>(library.regex->re_nsub + 1, 10);
  regmatch_t want[10] = {{static_cast<regoff_t>(pos), static_cast<regoff_t>(length)}};
  // Asked for groups, the library at times finds another match than
  // without, or none (an anchor inside the expression next to a newline
  // that the match holds, a word operator or a back-reference within a
  // repetition): it reports no groups for the match found.
  if (regexec(library.regex, text, count, want, eflags | REG_STARTEND) != 0 ||
      want[0].rm_so != static_cast<regoff_t>(start) || want[0].rm_eo != static_cast<regoff_t>(end)) {
    ++compared[2];
    return "";
  }
  auto spans = [count](const regmatch_t* g, regoff_t shift) {
    std::string out;
    for (size_t i = 0; i < count; ++i)
      out += g[i].rm_so < 0 ? " -" : " " + std::to_string(g[i].rm_so - shift) + "-" +
                                         std::to_string(g[i].rm_eo - shift);
    return out;
  };
  const std::string reported = spans(want, static_cast<regoff_t>(start));
  ++compared[best.fast_groups.empty() ? 0 : 1];
  for (const matcher* m : {&library, &best}) {
    regmatch_t got[10];
    if (zamplet::matcher_groups(*m, text, length, start, end, eflags, count, got) !=
        zamplet::MATCH_FOUND)
      return "matcher_groups failed";
    if (spans(got, 0) != reported)
      return std::string(m == &library ? "library" : "best") + " groups" + spans(got, 0) +
             " against regexec's" + reported + " from " + std::to_string(pos) + " flags " +
             std::to_string(eflags);
  }
  return "";
}

std::string shown(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    char hex[8];
    snprintf(hex, sizeof hex, c >= 0x20 && c < 0x7f && c != '\\' ? "%c" : "\\x%02x", c);
    out += hex;
  }
  return out;
}

}  // namespace

TEST(Differential, BothMatchersFindTheSameMatches) {
  const char* env_pairs = getenv("ZAMPLET_MATCHER_PAIRS");
  const char* env_seed = getenv("ZAMPLET_MATCHER_SEED");
#if ZAMPLET_SANITIZED
  // Each pair runs several searches, far slower sanitized; the other builds
  // run the full count.
  const long pairs = env_pairs ? atol(env_pairs) : 20000;
#else
  const long pairs = env_pairs ? atol(env_pairs) : 100000;
#endif
  const unsigned seed = env_seed ? static_cast<unsigned>(atol(env_seed)) : 20261209u;
  if (!zamplet::fast_matcher_built())
    std::cout << "[ matchers ] built without RE2: only the required strings are compared\n";
  std::mt19937 rng(seed);
  long done = 0, by_fast = 0, patterns = 0, taken = 0, literal_sets = 0, differences = 0;
  long groups_compared[3] = {};  // from the library, from RE2, none reported
  constexpr int INPUTS_PER_PATTERN = 8;
  // The count is of pairs that RE2 searched, where the build has it.
  const bool with_fast = zamplet::fast_matcher_built();
  for (unsigned trial = 0; (with_fast ? by_fast : done) < pairs; ++trial) {
    // Every combination of -e, -i and -n in turn.
    const int combination = static_cast<int>(trial % 8);
    const int cflags = (combination & 1 ? REG_EXTENDED : 0) | (combination & 2 ? REG_ICASE : 0) |
                       (combination & 4 ? REG_NEWLINE : 0);
    // Half the patterns are rich in groups, whose reports are compared too.
    expression_grammar grammar{rng, (cflags & REG_EXTENDED) != 0, trial % 16 >= 8};
    // A quarter are alternations of fixed words.
    const std::string pattern = trial % 32 >= 24 ? grammar.literal_set() : grammar.expression(0);
    regex_t re;
    if (regcomp(&re, pattern.c_str(), cflags) != 0) continue;
    ++patterns;
    // Inputs may hold zero bytes, which are ordinary to the one search.
    matcher library =
        zamplet::make_matcher(&re, pattern.c_str(), cflags, matcher_choice::library, true);
    matcher best = zamplet::make_matcher(&re, pattern.c_str(), cflags, matcher_choice::best, true);
    if (best.fast != nullptr) ++taken;
    if (best.literals != nullptr) ++literal_sets;
    const bool newline = (cflags & REG_NEWLINE) != 0;
    for (int k = 0; k < INPUTS_PER_PATTERN; ++k, ++done) {
      const size_t size = rng() % 16 == 0 ? zamplet::CHUNK_SIZE : rng() % 40;
      const std::string chunk = random_input(rng, size);
      const std::string next = random_input(rng, rng() % 2 ? zamplet::CHUNK_SIZE : rng() % 40);
      std::string why;
      // The chunk rule over the two as one input: both matchers, and the
      // reference of the whole-input search filtered by chunks.
      const std::string input = chunk + next;
      const chunk_result by_library = substitute(library, input);
      const chunk_result by_best = substitute(best, input);
      const auto model = chunk_rule_model(&re, newline, input, "\x01", zamplet::CHUNK_SIZE);
      const chunk_result reference{model.text, model.count, model.cuts, {}};
      // The same in short chunks as a pipe delivers them, with waits, and a
      // window no longer than needed.  (The library's word operators hold at
      // the end of the text held, so that a match that goes on may seem to
      // end there: the window must be longer than such a match too, which
      // for the library's expressions here means the whole input.)
      size_t longest = best.fast != nullptr ? 0 : input.size();
      for (const auto& [s, e] : whole_matches(&re, newline, input)) longest = std::max(longest, e - s);
      const chunk_result piped = substitute(best, input, 1 + rng() % 24, &rng, longest);
      // The library's texts for back-references are short: a longer match is
      // left alone, with what it may still take.
      const bool passed_long = best.short_texts && longest > zamplet::LIBRARY_WINDOW;
      const auto piped_model = chunk_rule_model(&re, newline, input, "\x01", 0, piped.starts);
      const chunk_result piped_reference{piped_model.text, piped_model.count, piped_model.cuts, {}};
      for (const auto& [what, got, want] :
           {std::tuple{"library", &by_library, &reference}, {"best", &by_best, &reference},
            {"piped", &piped, &piped_reference}}) {
        if (why.empty() && !(*got == *want) && !(passed_long && got == &piped))
          why = std::string(what) + ": '" + shown(got->out) + "' " + std::to_string(got->count) +
                "/" + std::to_string(got->cuts) + " against '" + shown(want->out) + "' " +
                std::to_string(want->count) + "/" + std::to_string(want->cuts);
      }
      // Searches from chosen places, with the flags a chunk loop gives.
      const size_t text_end = strnlen(chunk.c_str(), chunk.size());
      for (int s = 0; s < 3 && why.empty(); ++s) {
        const size_t pos = rng() % (text_end + 1);
        int eflags = (rng() % 2 ? REG_NOTBOL : 0) | (rng() % 3 == 0 ? REG_NOTEOL : 0);
        // The text starts one byte in, so that a not-bol start has a byte before it.
        const size_t skip = (eflags & REG_NOTBOL) && text_end > 0 &&
                                    !(newline && chunk[0] == '\n') ? 1 : 0;
        if (skip == 0 && pos == 0) eflags &= ~REG_NOTBOL;
        const char* text = chunk.c_str() + skip;
        const size_t length = text_end - skip;
        const size_t at = std::min(pos, length);
        const size_t limit = rng() % 2 ? SIZE_MAX : at + 1 + rng() % (length - at + 1);
        if (search(library, text, length, at, limit, eflags) !=
            search(best, text, length, at, limit, eflags))
          why = "search from " + std::to_string(at) + " flags " + std::to_string(eflags);
        // The groups of the match found there.
        if (why.empty() && re.re_nsub > 0)
          why = groups_differ(library, best, text, length, at, eflags, groups_compared);
      }
      if (best.fast != nullptr) ++by_fast;
      if (!why.empty() && ++differences <= 10)
        ADD_FAILURE() << why << ": pattern '" << shown(pattern) << "' flags " << cflags
                      << " input '" << shown(input.substr(0, 200)) << "' (seed " << seed << ")";
    }
    zamplet::free_matcher(&best);
    regfree(&re);
  }
  std::cout << "[ matchers ] " << done << " pairs (" << by_fast << " searched by RE2), "
            << patterns << " patterns (" << taken << " taken by RE2, " << literal_sets
            << " by a literal set), seed " << seed << ", "
            << differences << " differences; groups of " << groups_compared[1]
            << " matches from RE2, " << groups_compared[0] << " from the library, "
            << groups_compared[2] << " reported by neither\n";
  EXPECT_EQ(differences, 0);
  EXPECT_TRUE(!with_fast || groups_compared[1] > 0) << "RE2 gave no groups";
  EXPECT_GT(literal_sets, 0);
}

// Where every match is one of a set of fixed strings, a literal set
// searches, in either syntax, case-blind too; elsewhere it must not.
TEST(Differential, AlternationsOfWordsAreTakenByALiteralSet) {
  const struct {
    const char* pattern;
    int cflags;
    bool taken;
  } rows[] = {
      {"if|else|for|while|return|int|char|struct|static|const", REG_EXTENDED, true},
      {"\\<(in|int|integer)\\>", REG_EXTENDED | REG_ICASE, true},
      {"\\b\\(x\\|yz\\)\\b\\|w", REG_NEWLINE, true},
      {" ", 0, true},
      {"(ab)c|d", REG_EXTENDED, true},
      {"a|b*", REG_EXTENDED, false},
      {"^a|b", REG_EXTENDED, false},
      {"\\<\\>a", 0, false},
      {"[aA]b", 0, false},
      {"(a)\\1", REG_EXTENDED, false},
  };
  for (const auto& r : rows) {
    regex_t re;
    ASSERT_EQ(regcomp(&re, r.pattern, r.cflags), 0) << r.pattern;
    matcher m = zamplet::make_matcher(&re, r.pattern, r.cflags, matcher_choice::best, true);
    EXPECT_EQ(m.literals != nullptr, r.taken) << r.pattern;
    zamplet::free_matcher(&m);
    regfree(&re);
  }
}

TEST(Differential, CommonExpressionsAreTakenByTheFastMatcher) {
  if (!zamplet::fast_matcher_built()) GTEST_SKIP() << "built without RE2";
  struct row {
    const char* pattern;
    int cflags;
    const char* required;
    size_t shortest;  // the fewest bytes a match takes
    // Whether RE2 gives the groups, and a text whose matches' groups must
    // be the library's.
    bool re2_groups = false;
    const char* text = "";
  };
  // RE2 counts repetitions only up to 1000; the library keeps the rest.
  regex_t large;
  ASSERT_EQ(regcomp(&large, "a{1001}", REG_EXTENDED), 0);
  matcher kept = zamplet::make_matcher(&large, "a{1001}", REG_EXTENDED);
  EXPECT_EQ(kept.fast, nullptr);
  regfree(&large);
  const row rows[] = {
      {"[a-z]+_t", REG_EXTENDED, "_t", 3},
      {"[A-Z][a-z]+ [a-z]*ing", REG_EXTENDED, "ing", 6},
      {"u?int(8|16|32|64)_t", REG_EXTENDED, "int", 6, true, "uint8_t int64_t uint16_t int_t"},
      {"([a-z]+)_t", REG_EXTENDED, "_t", 3, true, "size_t off_t _t x_t_t"},
      {"(foo|bar)=([0-9]+)", REG_EXTENDED, "=", 5, true, "foo=12, bar=3 foo= baz=4"},
      {"\\([a-z]*\\)\\([a-z]*\\)", 0, "", 0, false, "abc de"},
      {"(a|ab)(c|bcd)(d*)", REG_EXTENDED, "", 2, false, "abcd acd abcdd"},
      {"pthread_mutex_[a-z]*lock", 0, "pthread_mutex_", 18},
      {"x\\{2\\}y", 0, "xxy", 3},
      {"^[[:alpha:]]*$", REG_NEWLINE, "", 0},
      {"ab", REG_ICASE, "", 2},
      {"(ab|c)d?", REG_EXTENDED, "", 1, true, "abd cd ab"},
      {"(x{2}y){3}", REG_EXTENDED, "xxyxxyxxy", 9, false, "xxyxxyxxyxxy"},
  };
  for (const row& r : rows) {
    regex_t re;
    ASSERT_EQ(regcomp(&re, r.pattern, r.cflags), 0);
    matcher m = zamplet::make_matcher(&re, r.pattern, r.cflags);
    EXPECT_NE(m.fast, nullptr) << r.pattern;
    EXPECT_EQ(m.required, r.required) << r.pattern;
    EXPECT_EQ(m.shortest, r.shortest) << r.pattern;
    EXPECT_EQ(m.fast_groups.size() > 1, r.re2_groups) << r.pattern;  // beside the match's own
    const matcher library = zamplet::make_matcher(&re, r.pattern, r.cflags, matcher_choice::library);
    const std::string text = r.text;
    long compared[3] = {};
    for (size_t pos = 0; pos < text.size(); ++pos)
      EXPECT_EQ(groups_differ(library, m, text.c_str(), text.size(), pos, 0, compared), "")
          << r.pattern;
    EXPECT_EQ(compared[r.re2_groups ? 0 : 1] + compared[2], 0) << r.pattern;
    EXPECT_EQ(compared[r.re2_groups ? 1 : 0] > 0, !text.empty()) << r.pattern;
    zamplet::free_matcher(&m);
    regfree(&re);
  }
}

// With --whole the filter gives what GNU sed gives: `sed 's/RE/NEW/g'` line
// by line where -n keeps every match inside a line, `sed -z` on texts
// without a zero byte otherwise, with sed's `I` for -i; the count is the
// number of replacements sed makes.  Both read the grammar's expressions
// alike but for `\n` (a newline to sed, an `n` to the library), left out,
// and inner anchors next to a newline (below).  The texts cross many chunks,
// a few cross 140 KB, and the replacements hold what sed must have escaped.
// With --backrefs NEWPATTERN is a template, read as sed reads it, and short
// texts of one line go through the chunk rule too.
namespace {

// GNU sed in the C locale, the program's own, on `input`.
run_result run_sed(const strings& args, const std::string& input) {
  run_options options;
  options.input = input;
  options.feed_piece = 4096;  // what a pipe that polls writable takes without blocking
  options.in_child = [&args] {  // replaces the child before the program runs
    std::vector<char*> argv{const_cast<char*>("sed")};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    setenv("LC_ALL", "C", 1);
    execvp("sed", argv.data());
    _exit(127);
  };
  return run_zamplet({}, options);
}

// `text` in a sed script: a backslash before each byte of `special`, a
// newline written as \n.
std::string for_sed(const std::string& text, const std::string& special) {
  std::string out;
  for (char c : text)
    out += c == '\n' ? "\\n"
                     : (special.find(c) != std::string::npos ? "\\" : "") + std::string(1, c);
  return out;
}

// True when a '^' or '$' outside brackets stands anywhere but first or last.
// Without REG_NEWLINE the library lets such an anchor match next to a
// newline that the match holds (`b$.` matches "b\n"), GNU sed does not: the
// texts of those expressions have no newlines.
bool inner_anchor(const std::string& p) {
  for (size_t i = 0; i < p.size(); ++i) {
    if (p[i] == '\\') {
      ++i;
    } else if (p[i] == '[') {  // to its closing ']', past "[:alpha:]" and the like
      i += p[i + 1] == '^' ? 2 : 1;
      for (i += p[i] == ']'; i < p.size() && p[i] != ']'; ++i)
        if (p[i] == '[' && p[i + 1] != '\0' && strchr(":=.", p[i + 1]))
          i = p.find(std::string{p[i + 1], ']'}, i + 2) + 1;  // regcomp took it: it is there
    } else if ((p[i] == '^' && i > 0) || (p[i] == '$' && i + 1 < p.size())) {
      return true;
    }
  }
  return false;
}

// A template that sed reads alike: the match, its groups (as many as the
// expression has, up to \9), case changes and letters.  GNU sed drops a \u
// or \l that waits over two empty groups in a row, which the program keeps
// for the next byte: here no group follows one that follows \u or \l.
std::string random_template(std::mt19937& rng, size_t groups) {
  static const strings CASES = {"\\U", "\\L", "\\E", "\\u", "\\l"};
  std::string t;
  int waiting = 0;  // 1 after \u or \l, 2 after a group that follows one
  for (unsigned i = 0, n = rng() % 8; i < n; ++i) {
    const unsigned r = rng() % 8;
    if (r < 2) {
      const std::string& change = CASES[rng() % CASES.size()];
      t += change;
      waiting = islower(change[1]) ? 1 : 0;
    } else if (r < 4 || waiting == 2) {
      t += "xY"[rng() % 2];
      waiting = 0;
    } else {
      const size_t g = rng() % (std::min<size_t>(groups, 9) + 1);
      t += g == 0 ? "&" : "\\" + std::to_string(g);
      waiting = waiting == 1 ? 2 : 0;
    }
  }
  return t;
}

bool has_escaped_n(const std::string& pattern) {
  for (size_t i = 0; i + 1 < pattern.size(); ++i)
    if (pattern[i] == '\\' && pattern[++i] == 'n') return true;
  return false;
}

// A text without zero bytes, with now and then a byte that sed's scripts
// must escape; 0x01 never, it marks the replacements.
std::string whole_input(std::mt19937& rng, size_t size) {
  std::string text = random_input(rng, size);
  std::replace(text.begin(), text.end(), '\0', 'a');
  for (size_t i = 0; i < size / 64; ++i) text[rng() % size] = "[\\&#/"[rng() % 5];
  return text;
}

// Whether `in` goes to sed followed by `sep`: with lines, an input that ends
// with a newline is its own last line's end, and no line follows it.
bool separated(const std::string& in, char sep) {
  return sep != '\n' || in.empty() || in.back() != '\n';
}

// sed's output of the inputs, each ended by `sep` (or its own newline), cut
// back into one text per input: with lines, as many lines as the input has.
strings split_sed(const std::string& out, const strings& inputs, char sep) {
  strings parts;
  size_t at = 0;
  for (const std::string& in : inputs) {
    size_t end = at;
    const long own = sep == '\n' ? std::count(in.begin(), in.end(), '\n') : 0;
    for (long records = own + (separated(in, sep) ? 1 : 0); records > 0; --records) {
      const size_t next = out.find(sep, end);
      if (next == std::string::npos) return parts;
      end = next + 1;
    }
    parts.push_back(out.substr(at, (separated(in, sep) ? end - 1 : end) - at));
    at = end;
  }
  return parts;
}

}  // namespace

TEST(Differential, WholeFilterMatchesSed) {
  if (system("sed --version 2>/dev/null | grep -q GNU") != 0) GTEST_SKIP() << "no GNU sed";
  const char* env_pairs = getenv("ZAMPLET_WHOLE_PAIRS");
  const char* env_seed = getenv("ZAMPLET_WHOLE_SEED");
#if ZAMPLET_SANITIZED
  // Each sanitized run starts slowly; the other builds run the full count.
  const long pairs = env_pairs ? atol(env_pairs) : 1000;
#else
  const long pairs = env_pairs ? atol(env_pairs) : 10000;
#endif
  const unsigned seed = env_seed ? static_cast<unsigned>(atol(env_seed)) : 20261211u;
  std::mt19937 rng(seed);
  static const strings REPLACEMENTS = {"",  "NULL", "X",  "ab",        "&",
                                       "\\", "#",    "\n", "a&\\#\nb", std::string(64, 'Z')};
  constexpr int INPUTS_PER_PATTERN = 8;
  long done = 0, patterns = 0, occurrences = 0, large = 0, left_alone = 0, differences = 0;
  long templates = 0;
  for (unsigned trial = 0; done < pairs; ++trial) {
    // -e, -i and -n in every combination, and fixed strings (-i has no effect on them).
    const unsigned kind = trial % 10;
    const bool literal = kind >= 8, extended = (kind & 1) != 0 && !literal,
               icase = (kind & 2) != 0 || kind == 9, by_line = (kind & 4) != 0 && !literal;
    // Every fourth round NEWPATTERN is a template (--backrefs), on short
    // one-line inputs that the chunk rule rewrites as one chunk too.  They
    // are ASCII: sed changes the case of any other byte into 0xff.
    const bool backrefs = !literal && trial / 10 % 4 == 3;
    strings inputs(INPUTS_PER_PATTERN);
    for (auto& in : inputs) {
      in = whole_input(rng, backrefs ? 1 + rng() % 999
                                     : rng() % 60 == 0 ? 140000 + rng() % 60000 : 2000 + rng() % 14000);
      if (backrefs)
        for (char& c : in) c = c == '\n' ? ' ' : (c & 0x80) != 0 ? 'B' : c;
    }
    std::string pattern, sed_pattern;
    size_t groups = 0;
    if (literal) {
      pattern = inputs[0].substr(rng() % (inputs[0].size() - 4), 1 + rng() % 4);
      sed_pattern = for_sed(pattern, "\\.[*^$#");
    } else {
      expression_grammar grammar{rng, extended, backrefs};
      pattern = grammar.expression(0);
      // With -n nothing may match a newline.  The grammar has no '#'.
      if (has_escaped_n(pattern) || (by_line && (pattern.find('\n') != std::string::npos ||
                                                 pattern.find("[:space:]") != std::string::npos)))
        continue;
      regex_t re;
      const int cflags = (extended ? REG_EXTENDED : 0) | (icase ? REG_ICASE : 0) |
                         (by_line ? REG_NEWLINE : 0);
      if (regcomp(&re, pattern.c_str(), cflags) != 0) continue;
      groups = re.re_nsub;
      regfree(&re);
      sed_pattern = for_sed(pattern, "");
      if (!by_line && inner_anchor(pattern))
        for (auto& in : inputs) std::replace(in.begin(), in.end(), '\n', ' ');
    }
    std::string replacement = backrefs ? random_template(rng, groups)
                                       : REPLACEMENTS[rng() % REPLACEMENTS.size()];
    if (by_line) replacement.erase(std::remove(replacement.begin(), replacement.end(), '\n'),
                                   replacement.end());
    ++patterns;
    strings flags = {"--whole"};
    if (literal) flags.push_back("-w");
    if (extended) flags.push_back("-e");
    if (icase) flags.push_back("-i");
    if (by_line) flags.push_back("-n");
    if (backrefs) flags.push_back("--backrefs");
    const char sep = by_line ? '\n' : '\0';
    std::string batch;
    for (const std::string& in : inputs) batch += separated(in, sep) ? in + sep : in;
    // A marker before every replacement counts them, and is dropped.
    strings args;
    if (!by_line) args.push_back("-z");
    if (extended) args.push_back("-E");
    args.push_back("s#" + sed_pattern + "#\x01" +
                   (backrefs ? replacement : for_sed(replacement == "NULL" ? "" : replacement, "\\&#")) + "#g" +
                   (icase && !literal ? "I" : ""));
    const run_result by_sed = run_sed(args, batch);
    ASSERT_TRUE(by_sed.status == 0 && by_sed.err.empty()) << by_sed.err << shown(args.back());
    const strings marked = split_sed(by_sed.out, inputs, sep);
    ASSERT_EQ(marked.size(), inputs.size()) << shown(pattern);
    // With a template each input goes through --whole and then the chunk rule.
    for (int k = 0; k < (backrefs ? 2 : 1) * INPUTS_PER_PATTERN; ++k) {
      const std::string& input = inputs[k % INPUTS_PER_PATTERN];
      strings args = flags;
      if (k >= INPUTS_PER_PATTERN) args.erase(args.begin());
      args.insert(args.end(), {"--", pattern, replacement});
      const run_result r = run_zamplet(args, {.input = input, .feed_piece = 4096});
      if (r.err.find("matches longer than ") != std::string::npos) {
        ++left_alone;  // sed replaces them; nothing to compare
        continue;
      }
      ++done;
      templates += backrefs;
      large += input.size() > 140000;
      const size_t blank = r.out.rfind(' ');
      const std::string text = r.out.substr(0, blank == std::string::npos ? 0 : blank);
      const long count = blank == std::string::npos ? -1 : atol(r.out.c_str() + blank + 1);
      std::string expected = marked[k % INPUTS_PER_PATTERN];
      expected.erase(std::remove(expected.begin(), expected.end(), '\x01'), expected.end());
      const long replaced = static_cast<long>(marked[k % INPUTS_PER_PATTERN].size() - expected.size());
      occurrences += count;
      if (r.status == 0 && r.err.empty() && text == expected && count == replaced) continue;
      const size_t at = std::mismatch(text.begin(), text.end(), expected.begin(),
                                      expected.end()).first - text.begin();
      std::string named;
      for (size_t f = 0; f + 3 < args.size(); ++f) named += args[f] + " ";
      if (++differences <= 10)
        ADD_FAILURE() << named << "'" << shown(pattern) << "' '" << shown(replacement) << "', "
                      << input.size() << " bytes (seed " << seed << "): status "
                      << r.status << " '" << shown(r.err) << "', count " << count << " against "
                      << replaced << "; from byte " << at << " '" << shown(text.substr(at, 40))
                      << "' against '" << shown(expected.substr(std::min(at, expected.size()), 40))
                      << "'";
    }
  }
  std::cout << "[ whole    ] " << done << " pairs against GNU sed, " << patterns
            << " patterns, seed " << seed << ", " << occurrences << " occurrences, " << large
            << " inputs over 140 KB, " << left_alone << " with matches left alone, "
            << templates << " with templates, "
            << differences << " differences\n";
  EXPECT_EQ(differences, 0);
}
