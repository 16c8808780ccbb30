// End-to-end tests of fixed-string replacement (-w).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "e2e_support.h"

using namespace zamplet_test;

namespace {


}  // namespace

TEST(Literal, Table) {
  struct row {
    std::string old_text, new_text, input, out;
  };
  const std::vector<row> rows = {
      {"aa", "X", "aaa", "Xa 1"},
      {"aa", "X", "aaaa", "XX 2"},
      {"a.b", "X", "a.b axb", "X axb 1"},
      {"^a*", "X", "a^a*b", "aXb 1"},
      {"\\n", "X", "a\\nb\n", "aXb\n 1"},
      {"ab", "NULL", "xabyab", "xy 2"},
      {"ab", "NULL ", "ab", "NULL  1"},
      {"abc", "abc", "abcabc", "abcabc 2"},
      {"b", "x", "", " 0"},
      {"a", "X", std::string("ba\0a", 4), std::string("bX\0a 1", 6)},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.old_text + " -> " + r.new_text + " on " + r.input);
    auto got = run_zamplet({"-w", r.old_text, r.new_text}, {.input = r.input});
    EXPECT_TRUE(ran(got, r.out, "", 0));
  }
}

TEST(Literal, IgnoreCaseHasNoEffect) {
  auto r = run_zamplet({"-w", "-i", "abc", "X"}, {.input = "ABC abc"});
  EXPECT_EQ(r.out, "ABC X 1");
  EXPECT_EQ(r.status, 0);
}

// A command line refused at start-up says why in one line and touches no
// file: -w with what a fixed string cannot have, and a --backrefs template
// that is not one.
TEST(Literal, RefusedCommandLinesTouchNoFile) {
  const std::string over(4097, 'a');
  const std::string w = "Options -w is incompatible with -e and/or -n !\n";
  const std::string bad = "Error in NEWPATTERN: ";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"-w", "-e", "a", "b"}, w},
      {{"-n", "-w", "a", "b"}, w},
      {{"-w", "-e", "-n", "a", "b"}, w},
      {{"-w", "-e", over, "b"}, w},
      {{"-n", "-w", "a", over}, w},
      {{"--backrefs", "-w", "a", "\\1"}, "Option --backrefs is incompatible with -w !\n"},
      {{"--backrefs", "a", "x\\x"}, bad + "unknown escape \\x\n"},
      {{"--backrefs", "a", "\\0"}, bad + "\\0 names no group (the whole match is &)\n"},
      {{"--backrefs", "-e", "(a)(b)?", "\\1\\9"},
       bad + "\\9 names a group that OLDPATTERN does not have (it has 2)\n"},
      {{"--backrefs", "a", "b\\"}, bad + "a lone backslash at its end\n"},
  };
  for (auto [args, err] : cases) {
    temp_dir dir;
    write_file(dir / "f", "a");
    args.push_back(dir / "f");
    SCOPED_TRACE(args[0] + args[1] + args[2]);
    EXPECT_TRUE(ran(run_zamplet(args), "", err, 1));
    EXPECT_EQ(read_file(dir / "f"), "a");
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"f"});
  }
}

TEST(Literal, EmptyOldPatternRefused) {
  temp_dir dir;
  write_file(dir / "f", "abc");
  auto r = run_zamplet({"-w", "", "X", dir / "f"}, {.input = "abc"});
  EXPECT_EQ(r.err, "Use not empty OLDPATTERN with -w !\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(read_file(dir / "f"), "abc");

  auto f = run_zamplet({"-w", "", "X"}, {.input = "abc"});
  EXPECT_EQ(f.err, "Use not empty OLDPATTERN with -w !\n");
  EXPECT_EQ(f.status, 1);
}

TEST(Literal, EqualLengthKeepsSizeOnLargeFile) {
  temp_dir dir;
  // "ab" pairs straddle every chunk boundary (1023 is odd), so the count
  // depends on the chunking: chunk k holds 511 whole pairs, plus one pair
  // more in every second chunk.
  std::string input;
  for (int i = 0; i < 10000; ++i) input += "ab";
  write_file(dir / "f", input);
  auto r = run_zamplet({"-w", "ab", "cd", dir / "f"});
  const std::string got = read_file(dir / "f");
  ASSERT_EQ(got.size(), input.size());
  // Reference: replace within each 1023-byte chunk independently.
  std::string expect;
  long count = 0;
  for (size_t off = 0; off < input.size(); off += 1023) {
    std::string c = input.substr(off, 1023);
    for (size_t p = 0; (p = c.find("ab", p)) != std::string::npos; p += 2) {
      c.replace(p, 2, "cd");
      ++count;
    }
    expect += c;
  }
  EXPECT_EQ(got, expect);
  EXPECT_EQ(r.out, dir / "f" + " " + std::to_string(count) + "\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(exists(dir / "f.lock"));
}

TEST(Literal, NullDeletesFromFile) {
  temp_dir dir;
  write_file(dir / "f", "one==two==three==");
  auto r = run_zamplet({"-w", "==", "NULL", dir / "f"});
  EXPECT_EQ(read_file(dir / "f"), "onetwothree");
  EXPECT_EQ(r.out, dir / "f" + " 3\n");
}

TEST(Literal, LongReplacementOverFullChunk) {
  temp_dir dir;
  std::string repl;
  for (int i = 0; i < 4096; ++i) repl += static_cast<char>('a' + i % 23);
  write_file(dir / "in", std::string(1023, '#'));
  auto r = run_zamplet({"-w", "#", repl}, stdin_from_file(dir / "in"));
  ASSERT_EQ(r.out.size(), 1023 * 4096 + std::string(" 1023").size());
  std::string expect;
  expect.reserve(1023 * 4096);
  for (int i = 0; i < 1023; ++i) expect += repl;
  EXPECT_TRUE(r.out == expect + " 1023");  // no diff dump of 4 MB on failure
  EXPECT_EQ(r.status, 0);
}

TEST(Literal, MatchAcrossChunkBoundaryIsNotReplaced) {
  temp_dir dir;
  write_file(dir / "in", std::string(1022, '.') + "abc" + "abc");
  auto r = run_zamplet({"-w", "abc", "X"}, stdin_from_file(dir / "in"));
  EXPECT_EQ(r.out, std::string(1022, '.') + "abcX 1");
}

TEST(Literal, ZeroByteEndsSearchInEachChunk) {
  temp_dir dir;
  std::string chunk1 = "xa" + std::string(1, '\0') + "a";
  chunk1 += std::string(1023 - chunk1.size(), '.');
  write_file(dir / "in", chunk1 + "a");
  auto r = run_zamplet({"-w", "a", "YY"}, stdin_from_file(dir / "in"));
  EXPECT_EQ(r.out, "xYY" + chunk1.substr(2) + "YY 2");
}
