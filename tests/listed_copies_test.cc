// End-to-end tests of the intermediate copy of each FILE operand (FILE.lock
// or the -t name), and of the operands that cannot be rewritten at all.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "e2e_support.h"

using namespace zamplet_test;

// --- Intermediate copies -----------------------------------------------------

// Whatever FILE.lock is, even one that cannot be opened, the file stays alone;
// so does a file that another run moves aside between this run's look and
// its own move (the fault library makes that move lose the race: the rename
// is done, as by the other run, and this one finds FILE gone).
TEST(ListedLocks, ExistingLockMeansBusy) {
  enum class kind { readable, no_permission, dangling_link, readable_whole, moved_meanwhile };
  for (kind k : {kind::readable, kind::no_permission, kind::dangling_link, kind::readable_whole,
                 kind::moved_meanwhile}) {
    SCOPED_TRACE(static_cast<int>(k));
    if (k == kind::moved_meanwhile && ZAMPLET_SANITIZED) continue;  // no fault library there
    temp_dir d;
    write_file(d / "a.txt", "foo\n");
    if (k == kind::dangling_link) {
      ASSERT_EQ(symlink("nowhere", (d / "a.txt.lock").c_str()), 0);
    } else if (k != kind::moved_meanwhile) {
      write_file(d / "a.txt.lock", "old\n");
      if (k == kind::no_permission) {
        ASSERT_EQ(chmod((d / "a.txt.lock").c_str(), 0), 0);
      }
    }
    write_file(d / "b.txt", "foo\n");
    const strings args = {"foo", "bar", "a.txt", "b.txt"};
    // Searching each file as one text changes nothing of the rule.
    auto r = k == kind::readable_whole ? run_in(d, {"--whole", "foo", "bar", "a.txt", "b.txt"})
             : k == kind::moved_meanwhile
                 ? run_zamplet(args, {.cwd = d.path,
                                      .in_child = with_faults({"ZAMPLET_FAULT_CALL=renameat2",
                                                               "ZAMPLET_FAULT_NTH=1",
                                                               "ZAMPLET_FAULT_ERRNO=2",
                                                               "ZAMPLET_FAULT_RACED=1"})})
                 : run_in(d, args);
    EXPECT_TRUE(ran(r, "b.txt 1\n",
                    "a.txt\tfile didn't change! a.txt.lock exists. Try later!\n", 0));
    EXPECT_EQ(read_file(d / "b.txt"), "bar\n");
    if (k == kind::moved_meanwhile) {
      // The other run's copy, untouched.
      EXPECT_EQ(read_file(d / "a.txt.lock"), "foo\n");
      EXPECT_EQ(list_dir(d.path), (strings{"a.txt.lock", "b.txt"}));
      continue;
    }
    EXPECT_EQ(read_file(d / "a.txt"), "foo\n");
    if (k == kind::dangling_link) {
      char target[32] = {};
      EXPECT_GT(readlink((d / "a.txt.lock").c_str(), target, sizeof target - 1), 0);
      EXPECT_STREQ(target, "nowhere");
    } else {
      EXPECT_EQ(read_file(d / "a.txt.lock"), "old\n");
    }
  }
}

TEST(ListedLocks, LockSuffixOperands) {
  struct row {
    std::string name;
    bool with_temp;
    bool rewritten;
  };
  const std::vector<row> rows = {
      {"notes.lock", false, false}, {"notes.lock", true, true}, {".lock", false, false},
      {".lock", true, true},        {"lock", false, true},      {"a.lockx", false, true},
      {"x.lock", false, false},
  };
  for (const auto& row : rows) {
    temp_dir d;
    write_file(d / row.name, "foo\n");
    strings args = {"foo", "bar", row.name};
    if (row.with_temp) args.insert(args.begin(), {"-t", "scratch"});
    auto r = run_in(d, args);
    SCOPED_TRACE(row.name + (row.with_temp ? " with -t" : ""));
    EXPECT_TRUE(ran(r, row.rewritten ? row.name + " 1\n" : "", "", 0));
    EXPECT_EQ(read_file(d / row.name), row.rewritten ? "bar\n" : "foo\n");
    EXPECT_EQ(list_dir(d.path), strings{row.name});
  }
}

TEST(ListedLocks, TempNameSharedByAllFiles) {
  for (bool keep : {false, true}) {
    temp_dir d;
    write_file(d / "a.txt", "foo a\n");
    write_file(d / "b.txt", "foo b\n");
    write_file(d / "c.txt", "foo c foo\n");
    strings args = {"-t", "scratch", "foo", "bar", "a.txt", "b.txt", "c.txt"};
    if (keep) args.insert(args.begin(), "-l");
    auto r = run_in(d, args);
    SCOPED_TRACE(keep ? "with -l" : "without -l");
    EXPECT_EQ(r.out, "a.txt 1\nb.txt 1\nc.txt 2\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(d / "a.txt"), "bar a\n");
    EXPECT_EQ(read_file(d / "b.txt"), "bar b\n");
    EXPECT_EQ(read_file(d / "c.txt"), "bar c bar\n");
    if (keep) {
      EXPECT_EQ(read_file(d / "scratch"), "foo c foo\n");
      EXPECT_EQ(list_dir(d.path), (strings{"a.txt", "b.txt", "c.txt", "scratch"}));
    } else {
      EXPECT_EQ(list_dir(d.path), (strings{"a.txt", "b.txt", "c.txt"}));
    }
  }
}

// A -t name that is another name of a FILE would make the engine read and
// truncate one file; that FILE is refused and the run goes on.
TEST(ListedLocks, TempNameSameAsFileRefused) {
  for (bool hard_link : {false, true}) {
    temp_dir d;
    write_file(d / "a.txt", "foo\n");
    write_file(d / "b.txt", "foo\n");
    if (hard_link) {
      ASSERT_EQ(link((d / "a.txt").c_str(), (d / "twin").c_str()), 0);
    }
    const std::string temp = hard_link ? "twin" : "a.txt";
    auto r = run_in(d, {"-t", temp, "foo", "bar", "a.txt"});
    SCOPED_TRACE(temp);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("a.txt\t", 0), 0u) << r.err;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(d / "a.txt"), "foo\n");
    if (hard_link) {
      EXPECT_EQ(stat_of(d / "twin").st_ino, stat_of(d / "a.txt").st_ino);
    }
  }
}

// A FILE refused because it is the -t name survives the later FILEs: their
// moves aside never replace an existing -t name.
TEST(ListedLocks, TempNameSameAsFileSurvivesLaterFiles) {
  temp_dir d;
  write_file(d / "a.txt", "foo A\n");
  write_file(d / "b.txt", "foo B\n");
  auto r = run_in(d, {"-t", "a.txt", "foo", "bar", "a.txt", "b.txt"});
  EXPECT_EQ(r.err.rfind("a.txt\t", 0), 0u) << r.err;
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(d / "a.txt"), "foo A\n");
  EXPECT_EQ(read_file(d / "b.txt"), "foo B\n");
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("b.txt\tfile didn't change! a.txt exists. Try later!\n"), std::string::npos)
      << r.err;
}

// --- Operands that are not rewritten ------------------------------------------

// A FILE that cannot be moved aside is that file's failure, named, and the
// run goes on: a missing one, one in a directory that cannot be written.
TEST(ListedOperands, FailedMoveIsOneFilesFailure) {
  temp_dir d;
  write_file(d / "a.txt", "foo\n");
  write_file(d / "c.txt", "foo\n");
  ASSERT_EQ(mkdir((d / "ro").c_str(), 0755), 0);
  write_file(d / "ro/f", "foo\n");
  ASSERT_EQ(chmod((d / "ro").c_str(), 0555), 0);
  const bool binds = geteuid() != 0;  // permissions do not bind the superuser
  auto r = run_in(d, {"foo", "bar", "a.txt", "missing.txt", "ro/f", "c.txt"});
  chmod((d / "ro").c_str(), 0755);
  EXPECT_TRUE(ran(r, binds ? "a.txt 1\nc.txt 1\n" : "a.txt 1\nro/f 1\nc.txt 1\n",
                  "missing.txt\trename error:No such file or directory\n" +
                      std::string(binds ? "ro/f\trename error:Permission denied\n" : ""),
                  1));
  EXPECT_EQ(read_file(d / "a.txt"), "bar\n");
  EXPECT_EQ(read_file(d / "c.txt"), "bar\n");
  EXPECT_EQ(list_dir(d.path), (strings{"a.txt", "c.txt", "ro"}));
}

TEST(ListedOperands, DirectoriesAndSpecialFilesRefused) {
  temp_dir d;
  ASSERT_EQ(mkdir((d / "dir").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo((d / "pipe").c_str(), 0644), 0);
  ASSERT_EQ(symlink("/dev/null", (d / "null").c_str()), 0);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  const std::string sock_path = d / "sock";
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
  strcpy(addr.sun_path, sock_path.c_str());
  ASSERT_EQ(bind(sock, reinterpret_cast<const struct sockaddr*>(&addr), sizeof addr), 0);
  write_file(d / "a.txt", "foo\n");

  auto r = run_in(d, {"foo", "bar", "dir", "pipe", "null", "sock", "a.txt"});
  close(sock);
  EXPECT_EQ(r.out, "a.txt 1\n");
  EXPECT_EQ(r.err,
            "dir\tis directory\n"
            "pipe\tis not a regular file\n"
            "null\tis not a regular file\n"
            "sock\tis not a regular file\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(d / "a.txt"), "bar\n");
  EXPECT_EQ(list_dir(d.path), (strings{"a.txt", "dir", "null", "pipe", "sock"}));
  EXPECT_TRUE(S_ISFIFO(stat_of(d / "pipe").st_mode));
  EXPECT_TRUE(S_ISCHR(stat_of(d / "null").st_mode));
}

TEST(ListedOperands, NameLengthLimits) {
  // A name of 250 bytes takes its ".lock" within the file system's 255; from
  // 251 bytes on FILE.lock cannot exist, and the file is left alone, as a
  // name too long for the run's own buffer is.
  for (size_t length : {size_t{250}, size_t{251}, size_t{255}}) {
    SCOPED_TRACE(length);
    temp_dir d;
    const std::string name(length, 'n');
    write_file(d / name, "foo\n");
    write_file(d / "b.txt", "foo\n");
    auto r = run_in(d, {"foo", "bar", name, "b.txt"});
    if (length == 250) {
      EXPECT_TRUE(ran(r, name + " 1\nb.txt 1\n", "", 0));
      EXPECT_EQ(read_file(d / name), "bar\n");
    } else {
      EXPECT_TRUE(ran(r, "b.txt 1\n", name + "\tfile didn't change! Its name is too long\n", 0));
      EXPECT_EQ(read_file(d / name), "foo\n");
    }
    EXPECT_EQ(list_dir(d.path), (strings{"b.txt", name}));
  }
  // FILE.lock of 4095 bytes still fits the name buffer with its zero byte.
  {
    temp_dir d;
    write_file(d / "a.txt", "foo\n");
    const std::string name = padded_name("a.txt", 4090);
    ASSERT_EQ(name.size(), 4090u);
    auto r = run_in(d, {"foo", "bar", name});
    EXPECT_EQ(r.out, name + " 1\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(d / "a.txt"), "bar\n");
    EXPECT_EQ(list_dir(d.path), strings{"a.txt"});
  }
  // One byte more: refused with a note, and the run goes on.
  {
    temp_dir d;
    write_file(d / "a.txt", "foo\n");
    write_file(d / "b.txt", "foo\n");
    const std::string name = padded_name("a.txt", 4091);
    ASSERT_EQ(name.size(), 4091u);
    auto r = run_in(d, {"foo", "bar", name, "b.txt"});
    EXPECT_EQ(r.out, "b.txt 1\n");
    // The name is cut so that the reason still fits the line.
    const std::string reason = "\tfile didn't change! Its name is too long\n";
    EXPECT_EQ(r.err, name.substr(0, 4096 - reason.size()) + reason);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(d / "a.txt"), "foo\n");
    EXPECT_EQ(read_file(d / "b.txt"), "bar\n");
  }
  // A -t name of 4095 bytes works; one of 4096 bytes ends the run at once.
  for (size_t length : {size_t{4095}, size_t{4096}}) {
    temp_dir d;
    write_file(d / "a.txt", "foo\n");
    const std::string temp = padded_name("scratch", length);
    ASSERT_EQ(temp.size(), length);
    auto r = run_in(d, {"-t", temp, "foo", "bar", "a.txt"});
    SCOPED_TRACE(length);
    if (length == 4095) {
      EXPECT_EQ(r.out, "a.txt 1\n");
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(read_file(d / "a.txt"), "bar\n");
    } else {
      EXPECT_EQ(r.out, "");
      EXPECT_NE(r.err, "");
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(read_file(d / "a.txt"), "foo\n");
    }
    EXPECT_EQ(list_dir(d.path), strings{"a.txt"});
  }
}
