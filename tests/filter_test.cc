// End-to-end tests of filter mode: standard input to standard output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "e2e_support.h"

using namespace zamplet_test;

namespace {

const char* const kUsageBody =
    "Usage: zamplet [OPTION]... OLDPATTERN NEWPATTERN [FILE] ...\n"
    "Search for OLDPATTERN in each FILE (or stdin) and change them to NEWPATTERN.\n\n"
    "Example: zamplet helloold hellonew filename.c\n\n"
    "Regexp selection and interpretation:\n"
    "  -d\t\tDon't change modification times of altered files\n"
    "  -e\t\tExtended-regexp\n"
    "  -h\t\tPrint this help and exit\n"
    "  -i\t\tIgnore differences in case at OLDPATTERN\n"
    "  -l\t\tLost old file unchanged as filename.lock\n"
    "  -n\t\tTreat <newline> as a regular character\n"
    "  -q\t\tQuiet mode (no output at all)\n"
    "  -r\t\tRecursively\n"
    "  -s\t\tSimulation mode\n"
    "  -t file.tmp\tUse not default file.lock for caching\n"
    "  -v\t\tVerbose mode\n"
    "  -w\t\tdoesn't recognize regexp in OLDPATTERN (goes much faster)\n"
    "You can write NEWPATTERN as \"NULL\" to clear OLDPATTERN.\n"
    "Press Ctrl-C or send SIGINT to stop operation.\n\n";

// Checks the whole usage text: the version line, two notice lines of any
// wording, then the fixed body.
void expect_usage(const std::string& out) {
  const std::string first = "This is zamplet, version 1.2.5\n";
  ASSERT_EQ(out.substr(0, first.size()), first);
  size_t pos = first.size();
  for (int i = 0; i < 2; ++i) {
    pos = out.find('\n', pos);
    ASSERT_NE(pos, std::string::npos);
    ++pos;
  }
  EXPECT_EQ(out.substr(pos), kUsageBody);
}

}  // namespace

TEST(Filter, ReplacesAndCounts) {
  auto r = run_zamplet({"foo", "bar"}, {.input = "a foo b foo\n"});
  EXPECT_TRUE(ran(r, "a bar b bar\n 2", "", 0));
}

// The usage text asked for ends with status 0; shown for too few operands,
// a usage error, with status 1.
TEST(Filter, UsageWhenTooFewOperandsOrHelp) {
  const std::vector<std::pair<std::vector<std::string>, int>> cases = {
      {{}, 1},     {{"a"}, 1}, {{"-v", "a"}, 1}, {{"-h"}, 0}, {{"-h", "a", "b"}, 0},
      {{"-v", "-h", "a", "b", "file"}, 0}};
  for (const auto& [args, status] : cases) {
    SCOPED_TRACE(args.empty() ? std::string("(none)") : args[0] + " .. " + args.back());
    auto r = run_zamplet(args, {.input = "a"});
    expect_usage(r.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, status);
  }
}

// --help is the usage text and a line for every long option; --version the
// name and version.  A non-empty NO_COLOR leaves a terminal's diff plain.
TEST(Filter, HelpVersionAndNoColor) {
  auto help = run_zamplet({"--help"}, {});
  const size_t section = help.out.find("Long options:\n");
  ASSERT_NE(section, std::string::npos);
  expect_usage(help.out.substr(0, section));
  for (const char* option : {"--backrefs", "--whole", "--diff", "--color", "--skip-binary",
                             "--exclude-vcs\t", "--exclude-vcs-ignores", "--exclude=",
                             "--exclude-dir=", "--files0-from=", "--help", "--version"})
    EXPECT_NE(help.out.find(option, section), std::string::npos) << option;
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(ran(run_zamplet({"--version"}, {}),
                  "zamplet 1.2.5\nIt comes with no warranty; see its manual page for the "
                  "details.\n", "", 0));
  if (access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "no script(1) for a terminal";
  for (const char* no_color : {"", "1"}) {
    const std::string command = "script -qec \"printf 'a\\\\n' | NO_COLOR=" +
                                std::string(no_color) + " " + ZAMPLET_BINARY +
                                " --diff a b\" /dev/null";
    std::string out;
    ASSERT_TRUE(shell(command, &out)) << out;
    EXPECT_EQ(out.find("\033[") != std::string::npos, no_color[0] == '\0') << out;
  }
}

TEST(Filter, WrongOptionPrintsMessageThenUsage) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-x", "a", "b"},
                                               std::vector<std::string>{"-t"}}) {
    SCOPED_TRACE(args[0]);
    auto r = run_zamplet(args, {.input = "a"});
    EXPECT_EQ(r.err, "?? wrong option ??\n\n");
    expect_usage(r.out);
    EXPECT_EQ(r.status, 1);
  }
  auto q = run_zamplet({"-q", "-x", "a", "b"}, {.input = "a"});
  EXPECT_EQ(q.err, "");
  expect_usage(q.out);
  EXPECT_EQ(q.status, 1);
}

TEST(Filter, NullDeletesButNullWithBlankIsText) {
  EXPECT_EQ(run_zamplet({"o", "NULL"}, {.input = "foo"}).out, "f 2");
  EXPECT_EQ(run_zamplet({"o", "NULL "}, {.input = "foo"}).out, "fNULL NULL  2");
  EXPECT_EQ(run_zamplet({"o", "null"}, {.input = "fo"}).out, "fnull 1");
}

TEST(Filter, PatternLengthLimit) {
  const std::string max(4096, 'a'), over(4097, 'a');
  auto ok = run_zamplet({max, "x"}, {.input = "b" + max + "b"});
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.err, cut_note("stdin", 1) + cut_total(1, 1));  // spans chunks: left, and said
  EXPECT_EQ(ok.out.substr(ok.out.size() - 2), " 0");

  auto ok_new = run_zamplet({"b", max}, {.input = "b"});
  EXPECT_EQ(ok_new.out, max + " 1");

  for (const std::vector<std::string>& args : {std::vector<std::string>{over, "x"},
                                               std::vector<std::string>{"a", over}}) {
    auto r = run_zamplet(args, {.input = "aaa"});
    EXPECT_EQ(r.err, "Use not so long PATTERN !\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
  }
}

TEST(Filter, InvalidExpressionIsFatal) {
  temp_dir dir;
  write_file(dir / "f", "a[b");
  auto r = run_zamplet({"a[", "x", dir / "f"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("Error in regular expression: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find(" (a[)\n: "), std::string::npos) << r.err;
  EXPECT_EQ(read_file(dir / "f"), "a[b");
  EXPECT_FALSE(exists(dir / "f.lock"));
}

TEST(Filter, OptionFlags) {
  struct row {
    std::vector<std::string> args;
    std::string input, out;
  };
  const std::vector<row> rows = {
      {{"-q", "a", "b"}, "aXa", "bXb"},
      {{"-s", "a", "b"}, "aXa", "aXa 2"},
      {{"-i", "abc", "x"}, "ABC aBc abc", "x x x 3"},
      {{"abc", "x"}, "ABC abc", "ABC x 1"},
      {{"-e", "(ab)+", "X"}, "ababc (ab)+", "Xc (X)+ 2"},
      {{"(ab)+", "X"}, "ababc (ab)+", "ababc X 1"},
      {{"-n", "b.c", "X"}, "b\nc bxc", "b\nc X 1"},
      {{"b.c", "X"}, "b\nc", "X 1"},
      // A diff stands in for the text and the count, and names stdin.
      {{"--diff", "a", "b"}, "aXa\nc", "--- stdin\t\n+++ stdin\t\n@@ -1,2 +1,2 @@\n-aXa\n+bXb\n c\n"
       "\\ No newline at end of file\n"},
      {{"--diff", "--color=never", "-w", "c", "d"}, "aXa", ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.args[0] + " " + r.input);
    auto got = run_zamplet(r.args, {.input = r.input});
    EXPECT_TRUE(ran(got, r.out, "", 0));
  }
}

TEST(Filter, OptionsAfterOldPatternAreOperands) {
  temp_dir dir;
  auto missing = run_zamplet({"a", "b", "-q", "f"}, {.cwd = dir.path});
  const std::string enoent = "\trename error:No such file or directory\n";
  EXPECT_EQ(missing.err, "-q" + enoent + "f" + enoent);
  EXPECT_EQ(missing.status, 1);

  write_file(dir / "-q", "aa");
  write_file(dir / "f", "a");
  auto r = run_zamplet({"a", "b", "-q", "f"}, {.cwd = dir.path});
  EXPECT_EQ(r.out, "-q 2\nf 1\n");  // quiet mode stays off
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(dir / "-q"), "bb");
  EXPECT_EQ(read_file(dir / "f"), "b");
}

namespace {
// 1024 bytes: the first chunk holds three matches, the second one.
std::string two_chunk_input() { return std::string(1020, 'x') + "aaaa"; }
}  // namespace

TEST(Filter, VerboseTraceSeparateStreams) {
  temp_dir dir;
  write_file(dir / "in", two_chunk_input());
  auto r = run_zamplet({"-v", "a", "bb"}, stdin_from_file(dir / "in"));
  EXPECT_EQ(r.out, "STDIN\n" + std::string(1020, 'x') + "bbbbbbbb 4\n");
  EXPECT_EQ(r.err,
            "\n"
            "Loop 1: Read: 1023, Counter: 0\n"
            "\tWrite: 1026, Counter: 3\n"
            "Loop 2: Read: 1, Counter: 3\n"
            "\tWrite: 2, Counter: 4\n");
  EXPECT_EQ(r.status, 0);
}

// Each chunk's trace lines come before its output, however long the input
// (the search's buffer moves many times) or the chunk's output (more than
// the 64 KiB collected for one write).
TEST(Filter, VerboseTraceMergedOrder) {
  std::string long_input;
  for (int i = 0; i < 300000; ++i) long_input += i % 7 == 0 ? 'a' : 'x';
  const std::pair<std::string, std::string> rows[] = {
      {two_chunk_input(), "bb"}, {long_input, "bb"}, {std::string(2046, 'a'), std::string(100, 'R')}};
  for (const auto& [input, replacement] : rows) {
    temp_dir dir;
    write_file(dir / "in", input);
    auto r = run_zamplet({"-v", "a", replacement}, stdin_from_file(dir / "in", true));
    std::string expected = "STDIN\n\n";
    long count = 0, chunk = 0;
    for (size_t at = 0; at < input.size(); at += 1023) {
      const std::string in = input.substr(at, 1023);
      std::string out;
      for (char c : in) out += c == 'a' ? replacement : std::string(1, c);
      const long found = std::count(in.begin(), in.end(), 'a');
      expected += "Loop " + std::to_string(++chunk) + ": Read: " + std::to_string(in.size()) +
                  ", Counter: " + std::to_string(count) + "\n\tWrite: " +
                  std::to_string(out.size()) + ", Counter: " + std::to_string(count + found) +
                  "\n" + out;
      count += found;
    }
    expected += " " + std::to_string(count) + "\n";
    EXPECT_TRUE(r.out == expected) << input.size() << " bytes, replacement " << replacement;
    EXPECT_EQ(r.status, 0);
  }
}

TEST(Filter, VerboseSimulationTracesRewrittenLength) {
  temp_dir dir;
  write_file(dir / "in", "aXa");
  auto r = run_zamplet({"-v", "-s", "a", "bbb"}, stdin_from_file(dir / "in"));
  EXPECT_EQ(r.out, "STDIN\naXa 2\n");
  EXPECT_EQ(r.err, "\nLoop 1: Read: 3, Counter: 0\n\tWrite: 7, Counter: 2\n");
}

TEST(Filter, WriteFailureToFullDevice) {
  run_options o;
  o.input = "abc";
  o.in_child = [] {
    int fd = open("/dev/full", O_WRONLY);
    if (fd < 0 || dup2(fd, 1) < 0) _exit(125);
    close(fd);
  };
  auto r = run_zamplet({"a", "b"}, o);
  EXPECT_EQ(r.err, "stdout\twrite error:No space left on device\n");
  EXPECT_EQ(r.status, 1);
  // The help too is a report whose loss is said.
  r = run_zamplet({"-h"}, o);
  EXPECT_EQ(r.err, "write error:No space left on device\n");
  EXPECT_EQ(r.status, 1);
  // And so is a diff.
  r = run_zamplet({"--diff", "a", "b"}, o);
  EXPECT_EQ(r.err, "write error:No space left on device\n");
  EXPECT_EQ(r.status, 1);
}

TEST(Filter, EmptyMatches) {
  struct row {
    std::vector<std::string> args;
    std::string input, out;
  };
  const std::vector<row> rows = {
      {{"x*", "-"}, "abc", "-a-b-c- 4"},
      {{"a*", "-"}, "baaac", "-b-c- 3"},
      {{"b*", "-"}, "abba", "-a-a- 3"},
      {{"^", "-"}, "abc", "-abc 1"},
      {{"$", "-"}, "abc", "abc- 1"},
      {{"^", "-"}, "ab\ncd", "-ab\ncd 1"},
      {{"-n", "^", "-"}, "ab\ncd", "-ab\n-cd 2"},
      {{"-n", "$", "-"}, "ab\ncd", "ab-\ncd- 2"},
      // ^ holds at the input's start, not behind a replaced match.
      {{"^a", "X"}, "aaab", "Xaab 1"},
      // No line follows the last newline, and an empty input has none.
      {{"-n", "^", "> "}, "ab\ncd\n", "> ab\n> cd\n 2"},
      {{"-n", "$", ";"}, "ab\ncd\n", "ab;\ncd;\n 2"},
      {{"^", "#!"}, "", " 0"},
      {{"--whole", "^", "#!"}, "", " 0"},
      {{"--whole", "-n", "^", "> "}, "ab\ncd\n", "> ab\n> cd\n 2"},
      {{"--whole", "-n", "^", "> "}, "ab\ncd", "> ab\n> cd 2"},  // a last line without its newline
      {{"x*", "NULL"}, "abc", "abc 4"},
      {{"x*", "-"}, std::string("a\0b", 3), std::string("-a-\0b 2", 7)},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.args[r.args.size() - 2] + " on " + r.input);
    auto got = run_zamplet(r.args, {.input = r.input});
    EXPECT_EQ(got.out, r.out);
    EXPECT_EQ(got.status, 0);
  }
}

TEST(Filter, ZeroByteEndsSearchInChunk) {
  auto r = run_zamplet({"a", "X"}, {.input = std::string("ba\0aa", 5)});
  EXPECT_EQ(r.out, std::string("bX\0aa 1", 7));
}

// A chunk boundary may leave an occurrence as it was, and says so; it never
// makes an occurrence of what is none: anchors and word boundaries see the
// bytes on both sides of it.
TEST(Filter, ChunkBoundariesCutButMakeNoOccurrence) {
  struct row {
    const char* what;
    std::vector<std::string> args;
    std::string input, out;
    long cuts;
  };
  const std::string blank_ends_chunk = std::string(1022, '.') + " x  \n" + "y \n";
  const std::vector<row> rows = {
      {"cut by a boundary", {"ab", "Z"}, std::string(1022, 'x') + "abab",
       std::string(1022, 'x') + "abZ 1", 1},
      {"$ at the input's end only", {"ab$", "Z"}, std::string(1021, 'x') + "abab",
       std::string(1021, 'x') + "abZ 1", 0},
      {"a blank before a boundary is no trailing blank",
       {"-n", "-e", "[[:blank:]]+$", "NULL"}, blank_ends_chunk,
       std::string(1022, '.') + " x\ny\n 2", 0},
      {"a word that a boundary cuts is no word",
       {"\\<size\\>", "SIZE"}, std::string(1018, '.') + " sizeof size x",
       std::string(1018, '.') + " sizeof SIZE x 1", 0},
      {"a word that a boundary cuts is cut", {"\\<size\\>", "SIZE"},
       std::string(1019, '.') + " size x", std::string(1019, '.') + " size x 0", 1},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    temp_dir dir;
    write_file(dir / "in", r.input);
    const auto got = run_zamplet(r.args, stdin_from_file(dir / "in"));
    EXPECT_TRUE(ran(got, r.out, r.cuts > 0 ? cut_note("stdin", r.cuts) + cut_total(r.cuts, 1) : "",
                    0));
  }
}

// A match too long to replace is left alone whole: nothing inside it is
// replaced, however far it runs; an expression with back-references is
// searched by the library in short texts, within bounded memory.
TEST(Filter, LongMatchesAreLeftWhole) {
  struct row {
    std::vector<std::string> args;
    std::string input, out, err;
  };
  std::string long_run;
  for (int i = 0; i < 270000; ++i) long_run += "bbbj";
  long_run += "\n";
  const std::string as(200000, 'a');
  const std::string long_note = "stdin\tmatches longer than 65536 bytes left alone: 1\n";
  const std::vector<row> rows = {
      {{"--whole", "b[^z]*j", "X"}, long_run, long_run + " 0", long_note},
      {{"b[^z]*j", "X"}, long_run, long_run + " 0", cut_note("stdin", 1) + cut_total(1, 1)},
      {{"--whole", "\\(a*\\)\\1b", "X"}, as + "b\n", as + "b\n 0",
       "stdin\tmatches longer than 1024 bytes left alone: 1\n"},
      {{"\\(a*\\)\\1b", "X"}, as + "\n", as + "\n 0", ""},
      {{"--whole", "\\(ab\\)\\1", "X"}, as + " ababab\n", as + " Xab\n 1", ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.args[r.args.size() - 2]);
    temp_dir dir;
    write_file(dir / "in", r.input);
    run_options o = stdin_from_file(dir / "in");
    // The library's memory stays bounded (a sanitizer reserves far more).
    o.in_child = [from_file = o.in_child] {
      from_file();
      const struct rlimit most = {256 << 20, 256 << 20};
      if (!ZAMPLET_SANITIZED) setrlimit(RLIMIT_AS, &most);
    };
    EXPECT_TRUE(ran(run_zamplet(r.args, o), r.out, r.err, 0));
  }
}

// Through a pipe, what no later input can change goes out before the next
// read waits: each line's output comes before the next line is sent, for an
// expression RE2 searches and for one with the library's word operators.
TEST(Filter, PipeFedLineByLineAnswersEachLine) {
  struct row {
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> lines;  // sent, answered
    std::string count;
  };
  const std::vector<row> rows = {
      {{"-n", "-e", "[[:blank:]]+$", "NULL"},
       {{"one  \n", "one\n"}, {"two\t\n", "two\n"}, {"three\n", "three\n"}}, " 2"},
      {{"\\<size\\>", "N"}, {{"a size\n", "a N\n"}, {"sizeof size\n", "sizeof N\n"}}, " 2"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.args[r.args.size() - 2]);
    child c = spawn(r.args, "", true);
    for (const auto& [line, answer] : r.lines) {
      ASSERT_EQ(write(c.in, line.data(), line.size()), static_cast<ssize_t>(line.size()));
      // Read until the answer is in; a run that waits for more input hangs
      // here, and the test's time limit tells.
      std::string got;
      while (got.size() < answer.size()) {
        char buffer[64];
        const ssize_t n = read(c.out, buffer, sizeof buffer);
        ASSERT_GT(n, 0);
        got.append(buffer, static_cast<size_t>(n));
      }
      EXPECT_EQ(got, answer);
    }
    close(c.in);
    c.in = -1;
    const run_result end = drain(c);
    EXPECT_EQ(end.out, r.count);
    EXPECT_EQ(end.status, 0);
  }
}

TEST(Filter, LongReplacementManyTimesInOneChunk) {
  temp_dir dir;
  std::string repl;
  for (int i = 0; i < 4096; ++i) repl += static_cast<char>('A' + i % 26);
  std::string input, expect;
  for (int i = 0; i < 1023; ++i) {
    bool hit = i % 3 != 2;
    input += hit ? 'a' : '.';
    expect += hit ? repl : ".";
  }
  write_file(dir / "in", input);
  auto r = run_zamplet({"a", repl}, stdin_from_file(dir / "in"));
  EXPECT_EQ(r.out, expect + " 682");
  EXPECT_EQ(r.status, 0);
}
