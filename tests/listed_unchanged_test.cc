// End-to-end tests of what the listed-files mode leaves as it is: a file
// without an occurrence, and occurrences that chunk boundaries cut.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e_support.h"

using namespace zamplet_test;

// --- Files left as they are -------------------------------------------------------

// A file without an occurrence is not touched at all: same inode, times and
// link count, and a symbolic link stays a link; only its line says "0".
TEST(ListedUnchanged, FilesWithoutAnOccurrenceKeepEverything) {
  for (bool recursive : {false, true}) {
    SCOPED_TRACE(recursive ? "-r" : "listed");
    temp_dir d;
    ASSERT_EQ(mkdir((d / "t").c_str(), 0755), 0);
    write_file(d / "t/a.txt", "foo\n");
    write_file(d / "t/b.txt", "nothing here\n");
    ASSERT_EQ(link((d / "t/b.txt").c_str(), (d / "twin").c_str()), 0);
    write_file(d / "c.txt", "nothing either\n");
    ASSERT_EQ(symlink("../c.txt", (d / "t/link").c_str()), 0);
    const struct timespec times[2] = {{1000000000, 0}, {1100000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (d / "t/b.txt").c_str(), times, 0), 0);
    const struct stat before = stat_of(d / "t/b.txt");
    auto r = recursive ? run_in(d, {"-r", "foo", "bar", "t"})
                       : run_in(d, {"foo", "bar", "t/a.txt", "t/b.txt", "t/link"});
    // The walk names a link's file by its own name.
    char* target = realpath((d / "c.txt").c_str(), nullptr);
    ASSERT_NE(target, nullptr);
    const std::string link_line = recursive ? std::string(target) + " 0" : "t/link 0";
    free(target);
    EXPECT_EQ(sorted_lines(r.out), sorted_lines("t/a.txt 1\nt/b.txt 0\n" + link_line + "\n"));
    EXPECT_TRUE(r.out.ends_with('\n'));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    const struct stat after = stat_of(d / "t/b.txt");
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_nlink, 2u);
    EXPECT_EQ(after.st_mtim.tv_sec, 1100000000);
    EXPECT_EQ(after.st_atim.tv_sec, 1000000000);
    EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
    struct stat link_st {};
    ASSERT_EQ(lstat((d / "t/link").c_str(), &link_st), 0);
    EXPECT_TRUE(S_ISLNK(link_st.st_mode));
    EXPECT_EQ(read_file(d / "t/a.txt"), "bar\n");
    EXPECT_EQ(list_dir(d / "t"), (strings{"a.txt", "b.txt", "link"}));
  }
}

// The -v trace of a file left alone is the trace of its rewrite, byte for
// byte, and neither -l nor -s gives it a copy or a new inode.
TEST(ListedUnchanged, TraceAndOptionsAsIfRewritten) {
  struct row {
    strings options;
    std::string content, err;
  };
  const std::string loop = "Loop 1: Read: 1023, Counter: 0\n\tWrite: 1023, Counter: 0\n";
  const std::vector<row> rows = {
      {{"-v"}, std::string(2500, 'x'),
       "\n" + loop + "Loop 2: Read: 1023, Counter: 0\n\tWrite: 1023, Counter: 0\n" +
           "Loop 3: Read: 454, Counter: 0\n\tWrite: 454, Counter: 0\n"},
      {{"-v"}, "", "\n"},
      {{"-v", "-q"}, "x", "\n"},
      {{"-l"}, "nothing\n", ""},
      {{"-s"}, "nothing\n", ""},
      {{"-l", "-t", "kept"}, "nothing\n", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.options) + " " + std::to_string(row.content.size()));
    temp_dir d;
    write_file(d / "b.txt", row.content);
    const ino_t inode = stat_of(d / "b.txt").st_ino;
    strings args = row.options;
    args.insert(args.end(), {"foo", "bar", "b.txt"});
    auto r = run_in(d, args);
    const bool quiet = std::find(args.begin(), args.end(), "-q") != args.end();
    EXPECT_TRUE(ran(r, quiet ? "" : "b.txt 0\n", row.err, 0));
    EXPECT_EQ(stat_of(d / "b.txt").st_ino, inode);
    EXPECT_EQ(list_dir(d.path), strings{"b.txt"});
  }
}

// --- Matches cut by chunk boundaries ------------------------------------------------

// The note follows the line of its input in every mode, names it as that
// line does, and -q silences it; the counts and contents stay as they are.
TEST(ListedCutMatches, NoteAfterTheFilesLine) {
  const std::string content = std::string(1020, '.') + "size_t a;\n" +
                              std::string(1013, '.') + "size_t b;\n";  // the second cut at 2046
  struct row {
    strings args;
    bool from_stdin;
    std::string out, err;
  };
  // A note for each input, and the sum at the end of the run.
  const std::string a_cut = cut_note("a.txt", 2);
  const std::vector<row> rows = {
      {{"-w", "size_t", "T", "a.txt"}, false, "a.txt 0\n", a_cut + cut_total(2, 1)},
      {{"size_t", "T", "a.txt", "b.txt"}, false, "a.txt 0\nb.txt 1\n", a_cut + cut_total(2, 1)},
      {{"-w", "size_t", "T", "a.txt", "a.txt"}, false, "a.txt 0\na.txt 0\n",
       a_cut + a_cut + cut_total(4, 2)},
      {{"-r", "-w", "size_t", "T", "."}, false, "./a.txt 0\n",
       cut_note("./a.txt", 2) + cut_total(2, 1)},
      {{"-q", "-w", "size_t", "T", "a.txt"}, false, "", ""},
      {{"-w", "size_t", "T"}, true, content + " 0", cut_note("stdin", 2) + cut_total(2, 1)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args));
    temp_dir d;
    write_file(d / "a.txt", content);
    if (row.args[0] != "-r") write_file(d / "b.txt", "size_t\n");
    run_options o = row.from_stdin ? stdin_from_file(d / "a.txt") : run_options{};
    o.cwd = d.path;
    auto r = run_zamplet(row.args, o);
    EXPECT_TRUE(ran(r, row.out, row.err, 0));
    EXPECT_EQ(read_file(d / "a.txt"), content);
  }
}

// With --whole, what the chunk rule cuts is replaced in every mode, a match
// longer than the window is left alone with a note, and -s, -q and -v keep
// their meaning.
TEST(ListedCutMatches, WholeReplacesWhatChunksCut) {
  const std::string content = std::string(1020, '.') + "size_t a;\n" +
                              std::string(1013, '.') + "uint8_t b;\n";  // both cut
  const std::string replaced = std::string(1020, '.') + "T a;\n" + std::string(1013, '.') +
                               "T b;\n";
  const std::string longer = "<" + std::string(70000, 'a') + "> <aa>";
  const std::string note = "\tmatches longer than 65536 bytes left alone: 1\n";
  struct row {
    strings args;
    bool from_stdin;
    std::string out, err, a_after;
  };
  const std::string expression = "size_t|u?int(8|16)_t";
  const std::vector<row> rows = {
      {{"--whole", "-e", expression, "T", "a.txt"}, false, "a.txt 2\n", "", replaced},
      {{"--whole", "-r", "-e", expression, "T", "."}, false, "./a.txt 2\n", "", replaced},
      {{"--whole", "-e", expression, "T"}, true, replaced + " 2", "", content},
      {{"--whole", "-s", "-e", expression, "T", "a.txt"}, false, "a.txt 2\n", "", content},
      {{"--whole", "-q", "<a*>", "X", "long.txt"}, false, "", "", content},
      {{"--whole", "-v", "-e", expression, "T", "a.txt"}, false, "a.txt 2\n",
       "\nLoop 1: Read: 2054, Counter: 0\n\tWrite: 2043, Counter: 2\n", replaced},
      {{"--whole", "<a*>", "X", "long.txt"}, false, "long.txt 1\n", "long.txt" + note, content},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args));
    temp_dir d;
    write_file(d / "a.txt", content);
    const bool with_long = row.args.back() == "long.txt";
    if (with_long) write_file(d / "long.txt", longer);
    run_options o = row.from_stdin ? stdin_from_file(d / "a.txt") : run_options{};
    o.cwd = d.path;
    auto r = run_zamplet(row.args, o);
    EXPECT_TRUE(ran(r, row.out, row.err, 0));
    EXPECT_EQ(read_file(d / "a.txt"), row.a_after);
    if (with_long) {
      EXPECT_EQ(read_file(d / "long.txt"),
                row.args[row.args.size() - 3] == "<a*>" ? "<" + std::string(70000, 'a') + "> X" : longer);
    }
  }
}

// An occurrence at the input's very end, where a chunk boundary falls, is
// the last chunk's: in place as from standard input.
TEST(ListedCutMatches, OccurrenceAtTheEndOnABoundary) {
  temp_dir d;
  const std::string text = std::string(2 * 1023 - 1, '.') + "a";
  write_file(d / "a.txt", text);
  EXPECT_TRUE(ran(run_in(d, {"x*$", "!", "a.txt"}), "a.txt 1\n", "", 0));
  EXPECT_EQ(read_file(d / "a.txt"), text + "!");
}
