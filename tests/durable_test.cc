// End-to-end tests of how a rewrite is made durable: the copy that holds a
// file's old content is deleted only once the new content is on disk, the
// copies wait in a batch that settles while the run goes on and when it
// ends, -l keeps them, a failed sync keeps its copy and fails the run, and a
// power cut at any moment after a run leaves every file whole under one of
// its names.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

using namespace zamplet_test;

namespace {

// An ext4 file system in an image file, on a loop device, mounted on `dir`
// with a journal commit every second; all of it undone on destruction.
struct loop_fs {
  loop_fs(const std::string& image, const std::string& dir, bool make) : mount_point(dir) {
    std::string out;
    if (make &&
        !shell("truncate -s 64M '" + image + "' && mkfs.ext4 -q -F '" + image + "'", &out)) {
      why = "mkfs.ext4: " + out;
      return;
    }
    if (!shell("losetup --find --show '" + image + "'", &device)) {
      why = "losetup: " + device;
      device.clear();
      return;
    }
    mkdir(dir.c_str(), 0755);
    if (!shell("mount -o commit=1 '" + device + "' '" + dir + "'", &out)) why = "mount: " + out;
    mounted = why.empty();
  }
  ~loop_fs() {
    if (mounted) shell("umount '" + mount_point + "'");
    if (!device.empty()) shell("losetup -d '" + device + "'");
  }
  loop_fs(const loop_fs&) = delete;
  std::string mount_point, device, why;
  bool mounted = false;
};

bool copy_file(const std::string& from, const std::string& to) {
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = in >= 0 && out >= 0;
  char buffer[1 << 16];
  for (ssize_t got; ok && (got = read(in, buffer, sizeof buffer)) > 0;)
    ok = write(out, buffer, static_cast<size_t>(got)) == got;
  if (in >= 0) close(in);
  if (out >= 0) close(out);
  return ok;
}

}  // namespace

// With -l the copy stays, holding the old content, and keeps the next run off
// the file.
TEST(ListedLocks, KeepWithLThenSecondRunIsBusy) {
  temp_dir d;
  write_file(d / "a.txt", "foo\n");
  auto r = run_in(d, {"-l", "foo", "bar", "a.txt"});
  EXPECT_EQ(r.out, "a.txt 1\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(d / "a.txt"), "bar\n");
  EXPECT_EQ(read_file(d / "a.txt.lock"), "foo\n");

  r = run_in(d, {"bar", "baz", "a.txt"});
  EXPECT_TRUE(ran(r, "", "a.txt\tfile didn't change! a.txt.lock exists. Try later!\n", 0));
  EXPECT_EQ(read_file(d / "a.txt"), "bar\n");
  EXPECT_EQ(read_file(d / "a.txt.lock"), "foo\n");
}

// A file named again, under any spelling, is rewritten again: the copy its
// first rewrite left waiting for the disk is this run's own, not a busy mark.
TEST(ListedLocks, FileNamedTwiceIsRewrittenTwice) {
  struct row {
    strings args;
    std::string out;
    std::string content;  // of f
  };
  const std::string longer = padded_name("f", 40);
  const std::vector<row> rows = {
      {{"a", "ab", "f", "f", "./f"}, "f 2\nf 2\n./f 2\n", "abbb-abbb\n"},
      {{"a-a", "b", longer, "f"}, longer + " 1\nf 0\n", "b\n"},
      {{"-t", "tmp", "a", "ab", "f", "./f"}, "f 2\n./f 2\n", "abb-abb\n"},
  };
  for (const auto& row : rows) {
    temp_dir d;
    write_file(d / "f", "a-a\n");
    auto r = run_in(d, row.args);
    SCOPED_TRACE(row.out);
    EXPECT_TRUE(ran(r, row.out, "", 0));
    EXPECT_EQ(read_file(d / "f"), row.content);
    EXPECT_EQ(list_dir(d.path), strings{"f"});
  }
}

// Another program's data waiting to be written does not change what a run
// leaves: its file whole and its copy gone.  (How long the run waits is
// measured by bench/compare.py.)
TEST(Reliability, OthersDirtyDataLeavesTheRunWhole) {
  temp_dir d;
  {
    std::ofstream other(d / "other.dat", std::ios::binary);
    const std::string block(1 << 20, 'x');
    for (int i = 0; i < 256; ++i) other << block;
  }
  write_file(d / "f.txt", "hello world\n");
  const run_result r = run_zamplet({"hello", "bye", "f.txt"}, {.cwd = d.path});
  EXPECT_TRUE(ran(r, "f.txt 1\n", "", 0));
  EXPECT_EQ(read_file(d / "f.txt"), "bye world\n");
  EXPECT_EQ(list_dir(d.path), (strings{"f.txt", "other.dat"}));
}

// A disk that fails while the new content is synced: the run does not call
// that success.  The file system is an image on a loop device, on a tmpfs
// that is full, so that writing its new blocks fails.  The copy stays, the
// only sure old content, and the run ends with status 1, in listed and in
// recursive mode.
TEST(Reliability, FailedSyncKeepsTheCopyAndFails) {
  if (geteuid() != 0) GTEST_SKIP() << "loop devices and mounts need root";
  if (!shell("command -v losetup && command -v mkfs.ext4"))
    GTEST_SKIP() << "losetup or mkfs.ext4 is not installed";
  for (bool recursive : {false, true}) {
    SCOPED_TRACE(recursive ? "-r" : "listed");
    temp_dir d;
    small_fs backing(d / "backing", "24m");
    if (!backing.mounted) GTEST_SKIP() << backing.why;
    loop_fs fs(d / "backing/disk.img", d / "mnt", true);
    if (!fs.mounted) GTEST_SKIP() << "no loop-mounted file system here: " << fs.why;
    std::mt19937 rng(5);
    const std::string content = text_without_b(rng, 400'000);
    write_file(d / "mnt/f0", content);
    sync();
    // Whatever room the backing tmpfs has left is taken.
    shell("cat /dev/zero > '" + d / "backing/filler" + "'");
    const run_result r =
        run_zamplet(recursive ? strings{"-r", "a", "ab", "f0"} : strings{"a", "ab", "f0"},
                    {.cwd = d / "mnt"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("f0.lock\tsync error:"), std::string::npos) << r.err;
    EXPECT_TRUE(exists(d / "mnt/f0.lock") && read_file(d / "mnt/f0.lock") == content)
        << "the old content is not kept in its copy";
  }
}

// The copy of a rewritten file waits for the disk at most about a second of
// the run's progress, not until the run ends: a walk that goes on over
// unchanged files deletes it on its way, while it is still walking.
TEST(Reliability, WaitingCopyGoesWhileTheWalkGoesOn) {
  temp_dir d;
  ASSERT_EQ(mkdir((d / "t").c_str(), 0755), 0);
  for (int i = 0; i < 3000; ++i) write_file(d / ("t/u" + std::to_string(i)), "nothing\n");
  // The walk takes the directory's order: the first entry is the one changed.
  const std::string first = [&] {
    DIR* dir = opendir((d / "t").c_str());
    std::string name;
    for (dirent* e; name.empty() && (e = readdir(dir)) != nullptr;)
      if (e->d_name[0] != '.') name = e->d_name;
    closedir(dir);
    return name;
  }();
  write_file(d / ("t/" + first), "foo\n");
  const std::string copy = d / ("t/" + first + ".lock");
  paused_run run({"-r", "foo", "bar", "t"}, d.path);
  // Blocked writing the first file's name.
  ASSERT_TRUE(wait_until([&] { return waits_to_write(run.pid, 1) && exists(copy); }));
  // Let go until its count line is out (the count may wait for a free page
  // of the pipe): the copy then waits in its batch.
  char page[4096];
  std::string seen;
  while (seen.find(first + " 1\n") == std::string::npos) {
    const ssize_t n = read(run.out, page, sizeof page);
    ASSERT_GT(n, 0);
    seen.append(page, static_cast<size_t>(n));
    ASSERT_TRUE(wait_until([&] { return waits_to_write(run.pid, 1); }));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  // A second later the walk goes on for a page of lines, and blocks again.
  const ssize_t got = read(run.out, page, sizeof page);
  ASSERT_GT(got, 0) << got;
  ASSERT_TRUE(wait_until([&] { return waits_to_write(run.pid, 1); }));
  // The batch is settled beside the run, which stays blocked meanwhile.
  EXPECT_TRUE(wait_until([&] { return !exists(copy); }))
      << "the copy still waits while the walk goes on";
  EXPECT_TRUE(waits_to_write(run.pid, 1));
  const run_result r = run.finish();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(d / ("t/" + first)), "bar\n");
}

// A new file that another program renames, or whose directory it renames,
// while the file's copy waits in the batch still holds the new content that
// the copy guards: the batch syncs the file it keeps open, and since the name
// no longer holds it, the whole file system, before the copy goes.  Every
// syncfs (or every fdatasync) fails here, through the fault library, so that
// a copy deleted without that sync shows: it must stay, named, with status 1.
// A file still under its name needs no syncfs.  The run is held before the
// second file's count, the first one's copy waiting in the batch.  When only
// the first file's sync fails, its copy stays and the other goes: each copy
// waits for its own file's sync, not for the batch's.
TEST(DurableCopies, FileRenamedBeforeItsSyncKeepsItsCopyUntilItIsSynced) {
  if (ZAMPLET_SANITIZED) GTEST_SKIP() << "the fault library does not reach a sanitized program";
  struct row {
    std::string from, to;  // renamed while the run is held; nothing when empty
    std::string failing;   // every call of it fails with EIO; with "#K" its K-th only
    std::string err;
    strings left;  // the files afterwards
  };
  const std::string kept = "d/f.txt.lock\tsync error:Input/output error\n";
  const std::vector<row> rows = {
      {"", "", "syncfs", "", {"d/f.txt", "e.txt"}},
      {"d/f.txt", "d/g.txt", "syncfs", kept, {"d/f.txt.lock", "d/g.txt", "e.txt"}},
      {"d", "d2", "syncfs", kept, {"d2/f.txt", "d2/f.txt.lock", "e.txt"}},
      {"d/f.txt", "d/g.txt", "fdatasync",
       kept + "e.txt.lock\tsync error:Input/output error\n",
       {"d/f.txt.lock", "d/g.txt", "e.txt", "e.txt.lock"}},
      {"", "", "fdatasync#1", kept, {"d/f.txt", "d/f.txt.lock", "e.txt"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.from + " -> " + row.to + ", failing " + row.failing);
    temp_dir d;
    ASSERT_EQ(mkdir((d / "d").c_str(), 0755), 0);
    write_file(d / "d/f.txt", "a\n");
    write_file(d / "e.txt", "a\n");
    paused_run run({"a", "ab", "d/f.txt", "e.txt"}, d.path, 1, 0, [&] {
      setenv("LD_PRELOAD", ZAMPLET_FAULT_LIBRARY, 1);
      const size_t nth = row.failing.find('#');
      if (nth == std::string::npos) {
        setenv("ZAMPLET_FAULT_ALWAYS", (row.failing + ":5").c_str(), 1);
      } else {
        setenv("ZAMPLET_FAULT_CALL", row.failing.substr(0, nth).c_str(), 1);
        setenv("ZAMPLET_FAULT_NTH", row.failing.substr(nth + 1).c_str(), 1);
      }
    });
    // The pipe is one page, and the run waits for it to be empty before each
    // count: it is let go page by page until it holds e.txt, counted.
    std::string seen;
    char page[4096];
    for (;;) {
      ASSERT_TRUE(wait_until([&] { return waits_to_write(run.pid, 1); }));
      if (exists(d / "e.txt.lock")) break;
      const ssize_t n = read(run.out, page, sizeof page);
      ASSERT_GT(n, 0);
      seen.append(page, static_cast<size_t>(n));
    }
    if (!row.from.empty()) {
      ASSERT_EQ(rename((d / row.from).c_str(), (d / row.to).c_str()), 0);
    }
    seen.erase(0, static_cast<size_t>(run.prefilled));
    run.prefilled = 0;
    run_result r = run.finish();
    r.out.insert(0, seen);
    EXPECT_TRUE(ran(r, "d/f.txt 1\ne.txt 1\n", row.err, row.err.empty() ? 0 : 1));
    EXPECT_EQ(tree_files(d.path), row.left);
    for (const auto& name : row.left)
      EXPECT_EQ(read_file(d / name), name.find(".lock") != std::string::npos ? "a\n" : "ab\n")
          << name;
  }
}

// A power cut at any moment after a run: the image of a mounted file system
// is copied while the system still holds unwritten data, as a disk would be
// found after the power went, and the copy is mounted (its journal replays).
// Every file must hold its old content under its own name or its
// intermediate name, or its complete new content.  Needs root and loop
// devices; trials from ZAMPLET_POWER_TRIALS, seed ZAMPLET_POWER_SEED.
TEST(Reliability, PowerCutAfterARunLosesNoFile) {
  if (geteuid() != 0) GTEST_SKIP() << "loop devices and mounts need root";
  if (!shell("command -v losetup && command -v mkfs.ext4"))
    GTEST_SKIP() << "losetup or mkfs.ext4 is not installed";
  const unsigned trials = env_number("ZAMPLET_POWER_TRIALS", 6);
  const unsigned seed = env_number("ZAMPLET_POWER_SEED", std::random_device{}());
  std::mt19937 rng(seed);
  constexpr int FILES = 40;
  int checked = 0, violations = 0, old_under_name = 0, old_in_copy = 0, new_content = 0;
  for (unsigned t = 0; t < trials; ++t) {
    const bool recursive = t % 2 != 0;
    SCOPED_TRACE(recursive ? "-r" : "listed");
    temp_dir d;
    std::vector<std::string> names;
    std::map<std::string, std::string> original;
    {
      loop_fs fs(d / "disk.img", d / "mnt", true);
      if (!fs.mounted) GTEST_SKIP() << "no loop-mounted file system here: " << fs.why;
      ASSERT_EQ(mkdir((d / "mnt/t").c_str(), 0755), 0);
      ASSERT_EQ(mkdir((d / "mnt/t/sub").c_str(), 0755), 0);
      for (int i = 0; i < FILES; ++i) {
        const std::string name = (i % 2 != 0 ? "t/sub/f" : "t/f") + std::to_string(i) + ".txt";
        original[name] = text_without_b(rng, 4'000 + rng() % 60'000);
        write_file(d / ("mnt/" + name), original[name]);
        names.push_back(name);
      }
      sync();
      // Listed runs use the fixed-string engine, -r runs the expression one.
      // The listed run names its first file twice, the second time under
      // another spelling, which is rewritten again.
      strings args = recursive ? strings{"-r", "a", "ab", "t"} : strings{"-w", "a", "ab"};
      if (!recursive) args.insert(args.end(), names.begin(), names.end());
      if (!recursive) args.push_back("./" + names[0]);
      const run_result r = run_zamplet(args, {.cwd = d / "mnt"});
      EXPECT_EQ(r.status, 0) << r.err;
      std::this_thread::sleep_for(std::chrono::milliseconds(1000 + rng() % 3000));
      // The power goes: what the disk holds is the image as it is now.
      ASSERT_TRUE(copy_file(d / "disk.img", d / "cut.img"));
    }
    loop_fs after(d / "cut.img", d / "after", false);
    if (!after.mounted) GTEST_SKIP() << "the copied image does not mount: " << after.why;
    for (const auto& name : names) {
      const std::string file = d / ("after/" + name), copy = file + ".lock";
      const std::string now = exists(file) ? read_file(file) : "(missing)";
      const bool twice = !recursive && name == names[0];
      const std::string once = rewritten(original[name], 1);
      ++checked;
      if (now == original[name] || (twice && now == once)) {
        ++old_under_name;
      } else if (exists(copy) &&
                 (read_file(copy) == original[name] || (twice && read_file(copy) == once))) {
        ++old_in_copy;
      } else if (now == rewritten(original[name], twice ? 2 : 1)) {
        ++new_content;
      } else if (++violations <= 5) {
        ADD_FAILURE() << "trial " << t << ": " << name << " holds " << now.size()
                      << " bytes, neither its old nor its new content, and "
                      << (exists(copy) ? "its copy is not the old content" : "has no copy");
      }
    }
  }
  std::cout << "[ power    ] seed " << seed << ", trials " << trials << ", files " << checked
            << ": old content under the name " << old_under_name << ", old content in the copy "
            << old_in_copy << ", new content " << new_content << ", violations " << violations
            << std::endl;
  EXPECT_EQ(violations, 0);
}
