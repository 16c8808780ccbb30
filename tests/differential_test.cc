// Reading a regular file in large blocks and collecting the output of many
// chunks into one write must be invisible: random texts and patterns give
// the same bytes, counts and trace lines as a pipe that delivers one chunk
// per read.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>
#include <random>
#include <string>
#include <vector>

#include "e2e_support.h"

using namespace zamplet_test;

namespace {

using strings = std::vector<std::string>;

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

strings with(const trial& t, const strings& extra, const strings& files = {}) {
  strings args = t.flags;
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back(t.old_text);
  args.push_back(t.new_text);
  args.insert(args.end(), files.begin(), files.end());
  return args;
}

TEST(Differential, BlockReadsAndCollectedWritesMatchOneReadPerChunk) {
  const char* env_trials = getenv("ZAMPLET_DIFF_TRIALS");
  const char* env_seed = getenv("ZAMPLET_DIFF_SEED");
  const int trials = env_trials ? atoi(env_trials) : 150;
  const unsigned seed = env_seed ? static_cast<unsigned>(atoi(env_seed)) : std::random_device{}();
  std::mt19937 rng(seed);
  long occurrences = 0, cut_boundaries = 0, patched = 0;
  const bool patch_found = system("patch --version >/dev/null 2>&1") == 0;
  if (!patch_found) std::cout << "[ diff     ] patch is not installed: diffs are not applied\n";
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
    const size_t note = err.rfind("stdin\tmatches cut by chunk boundaries: ");
    if (note != std::string::npos) err.replace(note, 5, "in");
    if (!t.flags.empty() && t.flags[0] == "-w") {
      const literal_result model =
          literal_model(t.input, t.old_text, t.new_text == "NULL" ? "" : t.new_text);
      cut_boundaries += model.cuts;
      EXPECT_TRUE(text == model.text) << "output differs from the reference";
      EXPECT_EQ(count, std::to_string(model.count));
      EXPECT_EQ(note == std::string::npos ? "" : err.substr(note),
                model.cuts > 0 ? "in\tmatches cut by chunk boundaries: " +
                                     std::to_string(model.cuts) + "\n"
                               : "");
    }
    // The diff of the same run changes nothing, and applied with patch to a
    // copy it gives what the run gives; from standard input it names stdin.
    // (Every other trial, for the time it takes.)
    if (i % 2 == 0) {
      const run_result diff = run_zamplet(with(t, {"--diff"}, {"in"}), {.cwd = d.path});
      EXPECT_EQ(diff.status, 0);
      EXPECT_EQ(diff.err, note == std::string::npos ? "" : err.substr(note));
      EXPECT_TRUE(read_file(d / "in") == t.input) << "--diff changed the file";
      EXPECT_EQ(diff.out.empty(), text == t.input);
      const run_result from_stdin = run_zamplet(with(t, {"--diff"}), stdin_from_file(d / "in"));
      std::string headers_named_stdin = diff.out;
      if (!diff.out.empty()) headers_named_stdin.replace(0, 14, "--- stdin\n+++ stdin\n");
      EXPECT_TRUE(from_stdin.out == headers_named_stdin) << "the diff of standard input differs";
      if (patch_found && !diff.out.empty()) {
        ASSERT_EQ(mkdir((d / "p").c_str(), 0755), 0);
        write_file(d / "p/in", t.input);
        write_file(d / "patch", diff.out);
        const std::string apply = "cd '" + d.path + "/p' && patch -s -p0 < ../patch";
        EXPECT_EQ(system(apply.c_str()), 0);
        EXPECT_TRUE(read_file(d / "p/in") == text) << "the patched copy differs from the run";
        ++patched;
        remove_tree(d / "p");
        unlink((d / "patch").c_str());
      }
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
            << patched << " diffs applied\n";
}

}  // namespace
