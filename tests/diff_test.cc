// The diff of --diff fed directly: its hunks must be those of diff -u
// between the old and the new text, however the text is cut into pieces
// (wherever old and new are in step), with the headers naming the input.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "e2e_support.h"
#include "engine/diff.h"
#include "engine/spill_text.h"

using namespace zamplet_test;

namespace {

// A text as pieces of old bytes and what the run makes of them.
using pieces = std::vector<std::pair<std::string, std::string>>;

// What the sink named `name` writes for `text`, fed in groups of consecutive
// pieces.
std::string sink_output(const pieces& text, std::mt19937& rng, const char* name = "f",
                        bool color = false) {
  temp_dir d;
  fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int fd = open((d / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(fd, STDOUT_FILENO);
  close(fd);
  {
    zamplet::diff_sink sink(name, color);
    for (size_t at = 0; at < text.size();) {
      const size_t group = 1 + rng() % 3;
      std::string old_part, new_part;
      for (size_t i = 0; i < group && at < text.size(); ++i, ++at) {
        old_part += text[at].first;
        new_part += text[at].second;
      }
      sink.feed(old_part.data(), old_part.size(), new_part.data(), new_part.size());
    }
    sink.finish();
  }
  dup2(saved, STDOUT_FILENO);
  close(saved);
  return read_file(d / "out");
}

// diff -u's hunks for the same texts, under the sink's headers.
std::string diff_u(const pieces& text) {
  temp_dir d;
  std::string old_text, new_text;
  for (const auto& [o, n] : text) old_text += o, new_text += n;
  write_file(d / "old", old_text);
  write_file(d / "new", new_text);
  const std::string command = "cd '" + d.path + "' && diff -u old new | tail -n +3 > hunks";
  if (system(command.c_str()) != 0) return "(diff failed)";
  const std::string hunks = read_file(d / "hunks");
  return hunks.empty() ? "" : "--- f\t\n+++ f\t\n" + hunks;
}

pieces lines(int from, int to, const std::string& changed_at = "", int every = 0) {
  pieces text;
  for (int i = from; i < to; ++i) {
    const std::string line = "line " + std::to_string(i) + "\n";
    const bool change = every > 0 ? i % every == 0 : changed_at.find("," + std::to_string(i) + ",") != std::string::npos;
    text.push_back({line, change ? "LINE " + std::to_string(i) + " changed\n" : line});
  }
  return text;
}

}  // namespace

TEST(Diff, HunksAreThoseOfDiffU) {
  if (system("diff --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no diff";
  std::string long_line(300 * 1024, 'x');
  const std::vector<std::pair<const char*, pieces>> rows = {
      {"no change, no output", lines(1, 20)},
      {"one change, three lines of context", lines(1, 20, ",10,")},
      {"changes six lines apart share a hunk", lines(1, 30, ",5,12,")},
      {"changes eight lines apart make two hunks", lines(1, 30, ",5,14,")},
      {"a change in the first and the last line", lines(1, 10, ",1,9,")},
      {"no newline at the end", {{"a\n", "a\n"}, {"b", "c"}}},
      {"a newline added at the end", {{"a\n", "a\n"}, {"b", "b\n"}}},
      {"a line made two", {{"a\n", "a\n"}, {"b\n", "x\ny\n"}, {"c\n", "c\n"}}},
      {"a line removed", {{"a\n", "a\n"}, {"b\n", ""}, {"c\n", "c\n"}}},
      {"a hunk longer than memory holds goes through a temporary file",
       lines(1, 40000, "", 2)},
      {"one line longer than memory holds", {{"a\n", "a\n"}, {long_line + "\n", "y\n"}, {"b\n", "b\n"}}},
      {"long lines as context and aligned",
       {{long_line + "\n", long_line + "\n"}, {"a\n", "b\n"}, {long_line + "1\n", long_line + "2\n"},
        {long_line + "\n", long_line + "\n"}, {"c", "d"}}},
      {"lines changed one after the other, one of them kept",
       {{"x\n", "x\n"}, {"a\n", "b\n"}, {"b\n", "bb\n"}, {"c\n", "c\n"}}},
      {"a change that ends in a line both texts share",
       {{"a\n", "a\n"}, {"b\nc\n", "d\nc\n"}, {"e\n", "e\n"}}},
      {"every line changes, more than memory holds", lines(1, 60000, "", 1)},
  };
  std::mt19937 rng(20261210u);
  for (const auto& [what, text] : rows) {
    SCOPED_TRACE(what);
    const std::string expected = diff_u(text);
    for (int cut = 0; cut < 3; ++cut)
      EXPECT_TRUE(sink_output(text, rng) == expected) << sink_output(text, rng).substr(0, 400)
                                                      << "\nagainst\n" << expected.substr(0, 400);
  }
}

// A name that patch would end early or read as another file's is given in
// double quotes with C escapes, as diff -u gives it; every name is followed
// by a tab, where diff -u puts the date.
TEST(Diff, HeadersQuoteNamesPatchWouldMisread) {
  const std::vector<std::pair<const char*, const char*>> rows = {
      {"plain.txt", "plain.txt\t"},
      {"dir/sub-name_1.c", "dir/sub-name_1.c\t"},
      {"notes old.txt", "\"notes old.txt\"\t"},
      {" lead", "\" lead\"\t"},
      {"trail ", "\"trail \"\t"},
      {"--- x", "\"--- x\"\t"},
      {"@@ -1 +1 @@", "\"@@ -1 +1 @@\"\t"},
      {"a\tb\nc", "\"a\\tb\\nc\"\t"},
      {"back\\slash", "\"back\\\\slash\"\t"},
      {"quo\"te", "\"quo\\\"te\"\t"},
      {"\a\b\v\f\r", "\"\\a\\b\\v\\f\\r\"\t"},
      // Octal always in three digits, so that a digit after it stays one.
      {"\001" "7\177\377\376", "\"\\0017\\177\\377\\376\"\t"},
  };
  const pieces text = {{"a\n", "b\n"}};
  std::mt19937 rng(1);
  for (const auto& [name, shown] : rows) {
    SCOPED_TRACE(shown);
    const std::string header = shown;
    EXPECT_EQ(sink_output(text, rng, name),
              "--- " + header + "\n+++ " + header + "\n@@ -1 +1 @@\n-a\n+b\n");
    EXPECT_EQ(sink_output(text, rng, name, true),
              "\033[1m--- " + header + "\033[m\n\033[1m+++ " + header +
                  "\033[m\n\033[36m@@ -1 +1 @@\033[m\n\033[31m-a\033[m\n\033[32m+b\033[m\n");
  }
}

// The diff's text of any length: what it reads back, finds and keeps after
// a cut is what was appended, wherever the bytes lie (memory, the temporary
// file, or across the two), and with no temporary file all stays in memory.
TEST(Diff, SpilledTextReadsBackWhatWasAppended) {
  using zamplet::spill_text;
  const size_t bound = spill_text::MEMORY_BOUND;
  for (const char* tmpdir : {"", "/nonexistent"}) {
    SCOPED_TRACE(tmpdir);
    const char* saved = getenv("TMPDIR");
    const std::string kept = saved != nullptr ? saved : "";
    if (*tmpdir != '\0') setenv("TMPDIR", tmpdir, 1);
    spill_text text, copy;
    std::string expected;
    std::mt19937 rng(7);
    // Pieces of every size, some longer than memory holds at once.
    for (size_t len : {size_t{10}, bound - 5, size_t{3}, 3 * bound, size_t{1}, bound}) {
      std::string piece(len, 'a');
      for (char& c : piece) c = static_cast<char>('a' + rng() % 26);
      piece[len / 2] = '\n';
      text.append(piece.data(), piece.size());
      expected += piece;
    }
    EXPECT_EQ(text.all_in_memory(), *tmpdir != '\0');
    auto contents = [](const spill_text& t, size_t at, size_t len) {
      std::string got;
      t.read(at, len, [&got](const char* piece, size_t n) { got.append(piece, n); });
      return got;
    };
    ASSERT_EQ(text.size(), expected.size());
    EXPECT_TRUE(contents(text, 0, text.size()) == expected);
    for (size_t at : {size_t{0}, bound - 1, bound + 7, 2 * bound + 3, expected.size() - 2}) {
      EXPECT_EQ(text.at(at), expected[at]) << at;
      EXPECT_TRUE(contents(text, at, 2) == expected.substr(at, 2)) << at;
      const size_t line_end = expected.find('\n', at);
      EXPECT_EQ(text.find('\n', at, expected.size()),
                line_end == std::string::npos ? expected.size() : line_end) << at;
    }
    copy.append(text, bound - 3, bound + 9);
    EXPECT_TRUE(contents(copy, 0, copy.size()) == expected.substr(bound - 3, bound + 9));
    // A cut inside the file part, then more: the new bytes follow the cut.
    text.truncate(bound + 100);
    text.append("tail", 4);
    EXPECT_TRUE(contents(text, 0, text.size()) == expected.substr(0, bound + 100) + "tail");
    text.clear();
    EXPECT_TRUE(text.empty());
    if (saved != nullptr) setenv("TMPDIR", kept.c_str(), 1);
    else unsetenv("TMPDIR");
  }
}
