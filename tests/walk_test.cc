// Tests of the tree walk on real trees in a temporary directory.
#include "e2e_support.h"
#include "walk/walk.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

using zamplet::WALK_DIR;
using zamplet::WALK_DIR_UNREADABLE;
using zamplet::WALK_ERROR;
using zamplet::WALK_LOOP;
using zamplet::WALK_FILE;
using zamplet::WALK_NO_STAT;
using zamplet::WALK_VANISHED;

using Visits = std::vector<std::pair<std::string, int>>;

// What the recording visit function saw, and how it is to answer.
Visits g_visits;
int g_max_fds = 0;
int g_record_mismatches = 0;
std::string g_stop_path;  // the visit of this path returns g_stop_value
int g_stop_value = 0;
std::string g_move_on_visit;  // shrinking_visit renames this path away...
std::string g_move_to;        // ...to this one

// Open descriptors of the process, not counting the one that lists them.
int count_open_fds() {
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  int n = 0;
  while (struct dirent* e = readdir(d)) {
    if (e->d_name[0] != '.' && atoi(e->d_name) != dirfd(d)) n++;
  }
  closedir(d);
  return n;
}

int record_visit(const char* path, const struct stat* record, int kind) {
  g_visits.emplace_back(path, kind);
  g_max_fds = std::max(g_max_fds, count_open_fds());
  // The record must be the one for this path, not a stale one.
  struct stat now;
  if ((kind == WALK_FILE || kind == WALK_DIR) &&
      (stat(path, &now) != 0 || now.st_ino != record->st_ino || now.st_dev != record->st_dev))
    g_record_mismatches++;
  return path == g_stop_path ? g_stop_value : 0;
}

// Records, and moves a directory out of its parent when it is visited, so
// that the parent yields fewer entries when it is read again.
int shrinking_visit(const char* path, const struct stat* record, int kind) {
  int r = record_visit(path, record, kind);
  if (path == g_move_on_visit && rename(path, g_move_to.c_str()) != 0) return 99;
  return r;
}

// The walk's visitor that answers with one of the functions above.
class calling_visitor final : public zamplet::walk_visitor {
 public:
  explicit calling_visitor(int (*visit)(const char*, const struct stat*, int)) : visit_(visit) {}
  int visit(const char* path, const struct stat* record, int kind) override {
    return visit_(path, record, kind);
  }

 private:
  int (*visit_)(const char*, const struct stat*, int);
};

// Records each visit's kind and cause, and renames `from` to `to` when it
// visits `trigger`, or, with `on_look`, when the walk asks whether to pass
// over `trigger`: between its look at it and the opening of the directory.
class renaming_visitor final : public zamplet::walk_visitor {
 public:
  int visit(const char* path, const struct stat* record, int kind) override {
    (void)record;
    const int cause = errno;
    seen[path] = {kind, kind == WALK_FILE || kind == WALK_DIR ? 0 : cause};
    if (!on_look && path == trigger) move();
    return 0;
  }
  bool pass_over(const zamplet::walk_entry& entry) override {
    if (on_look && entry.path == trigger) move();
    return false;
  }
  std::string trigger, from, to;
  bool on_look = false;
  bool moved = false;
  std::map<std::string, std::pair<int, int>> seen;  // path -> kind, errno

 private:
  void move() { moved = rename(from.c_str(), to.c_str()) == 0; }
};

// The names in `dir` in the order readdir gives them, as the walk reads them.
std::vector<std::string> in_directory_order(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (struct dirent* e = d != nullptr ? readdir(d) : nullptr)
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  if (d != nullptr) closedir(d);
  return names;
}

class WalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_visits.clear();
    g_max_fds = 0;
    g_record_mismatches = 0;
    g_stop_path.clear();
    g_stop_value = 0;
    char tmpl[] = "/tmp/walk_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    fds_before_ = count_open_fds();
  }
  void TearDown() override {
    EXPECT_EQ(count_open_fds(), fds_before_) << "a walk left a descriptor open";
    zamplet_test::remove_tree(root_);
  }

  // Creates an object under the temporary directory and remembers it, with
  // the kind the walk must report, in `expected_`.
  void dir(const std::string& rel) {
    ASSERT_EQ(mkdir((root_ + "/" + rel).c_str(), 0755), 0) << rel;
    expected_[root_ + "/" + rel] = WALK_DIR;
  }
  void file(const std::string& rel) {
    int fd = open((root_ + "/" + rel).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0) << rel;
    close(fd);
    expected_[root_ + "/" + rel] = WALK_FILE;
  }
  void link(const std::string& target, const std::string& rel, int kind) {
    ASSERT_EQ(symlink(target.c_str(), (root_ + "/" + rel).c_str()), 0) << rel;
    expected_[root_ + "/" + rel] = kind;
  }

  int walk(const std::string& start, int budget) {
    g_visits.clear();
    g_max_fds = 0;
    calling_visitor visitor(record_visit);
    return zamplet::ftw(start.c_str(), visitor, budget);
  }

  std::string root_;
  int fds_before_ = 0;
  std::map<std::string, int> expected_;
};

std::map<std::string, int> as_map(const Visits& v) { return {v.begin(), v.end()}; }

TEST_F(WalkTest, EveryBudgetVisitsEachEntryOnceInTheSameOrder) {
  // Seven directories deep, with files and a side directory at every level,
  // so that small budgets evict and reopen at several depths.
  std::string level = "t";
  dir(level);
  for (int d = 0; d < 6; d++) {
    file(level + "/a");
    file(level + "/z");
    dir(level + "/side");
    file(level + "/side/f");
    level += "/sub";
    dir(level);
  }
  file(level + "/leaf");
  const std::string start = root_ + "/t";
  expected_.erase(start);
  const int deepest_branch = 7;

  ASSERT_EQ(walk(start, 512), 0);
  const Visits reference = g_visits;
  ASSERT_FALSE(reference.empty());
  EXPECT_EQ(reference.front(), std::make_pair(start, WALK_DIR));
  std::map<std::string, int> seen = as_map(reference);
  seen.erase(start);
  EXPECT_EQ(seen, expected_);
  EXPECT_EQ(reference.size(), expected_.size() + 1) << "an entry was visited twice";

  struct {
    int budget;
    int handles;  // most directory handles the walk may hold
  } cases[] = {{1, 1}, {2, 2}, {3, 3}, {0, 1}, {-1, 1}, {1 << 30, deepest_branch}};
  for (const auto& c : cases) {
    SCOPED_TRACE("budget " + std::to_string(c.budget));
    EXPECT_EQ(walk(start, c.budget), 0);
    EXPECT_EQ(g_visits, reference);
    EXPECT_LE(g_max_fds, fds_before_ + c.handles);
    EXPECT_EQ(count_open_fds(), fds_before_);
  }
  EXPECT_EQ(g_record_mismatches, 0);
}

TEST_F(WalkTest, StartingPointThatIsNotADirectoryIsVisitedOnce) {
  file("plain");
  link("nowhere", "dangling", WALK_NO_STAT);
  struct {
    std::string rel;
    int kind;
    int visit_result;
  } cases[] = {{"plain", WALK_FILE, 0},   {"plain", WALK_FILE, 4},
               {"missing", WALK_NO_STAT, 0}, {"missing", WALK_NO_STAT, -3},
               {"dangling", WALK_NO_STAT, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rel + " answering " + std::to_string(c.visit_result));
    const std::string start = root_ + "/" + c.rel;
    g_stop_path = start;
    g_stop_value = c.visit_result;
    EXPECT_EQ(walk(start, 4), c.visit_result);
    EXPECT_EQ(g_visits, (Visits{{start, c.kind}}));
  }
}

TEST_F(WalkTest, EntriesAreReportedByWhatTheyAre) {
  dir("d");
  file("d/inner");
  file("..x");
  file(".hidden");
  dir(".dotdir");
  file(".dotdir/f");
  ASSERT_EQ(mkfifo((root_ + "/fifo").c_str(), 0644), 0);
  expected_[root_ + "/fifo"] = WALK_FILE;
  link("nowhere", "dangling", WALK_NO_STAT);
  link("d/inner", "to_file", WALK_FILE);
  link("d", "to_dir", WALK_DIR);
  expected_[root_ + "/to_dir/inner"] = WALK_FILE;
  expected_[root_] = WALK_DIR;
  for (int budget : {1, 64}) {
    SCOPED_TRACE("budget " + std::to_string(budget));
    EXPECT_EQ(walk(root_, budget), 0);
    EXPECT_EQ(as_map(g_visits), expected_);
    EXPECT_EQ(g_visits.size(), expected_.size());
  }
  EXPECT_EQ(g_record_mismatches, 0);
}

TEST_F(WalkTest, EntryPathsAreTheStartingPathAsGiven) {
  dir("d");
  file("d/f");
  EXPECT_EQ(walk(root_ + "/d/", 2), 0);
  EXPECT_EQ(g_visits, (Visits{{root_ + "/d/", WALK_DIR}, {root_ + "/d//f", WALK_FILE}}));

  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir((root_ + "/d").c_str()), 0);
  int r = walk(".", 2);
  ASSERT_EQ(chdir(saved), 0);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(g_visits, (Visits{{".", WALK_DIR}, {"./f", WALK_FILE}}));
}

TEST_F(WalkTest, PathsLongerThanTheLimitAreReportedAndTheWalkGoesOn) {
  // Builds, below `top`, a file whose full path is exactly `total`
  // characters, through directories of 200-character names.
  auto deep_file = [&](const std::string& top, size_t total) {
    dir(top);
    std::string path = root_ + "/" + top;
    while (total - path.size() > 256) {
      path += "/" + std::string(200, 'n');
      EXPECT_EQ(mkdir(path.c_str(), 0755), 0);
    }
    path += "/" + std::string(total - path.size() - 1, 'f');
    int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    EXPECT_GE(fd, 0);
    close(fd);
    return path;
  };
  const std::string fits = deep_file("fits", 1024);
  const std::string too_long = deep_file("too_long", 1025);

  for (int budget : {1, 512}) {
    SCOPED_TRACE("budget " + std::to_string(budget));
    EXPECT_EQ(walk(root_ + "/fits", budget), 0);
    EXPECT_EQ(g_visits.back(), std::make_pair(fits, WALK_FILE));

    // The file is visited as a failure, by its path as far as it fits, and
    // what comes after it is still walked.
    file("too_long/after");
    EXPECT_EQ(walk(root_ + "/too_long", budget), 0);
    const std::map<std::string, int> seen = as_map(g_visits);
    EXPECT_EQ(seen.count(too_long.substr(0, 1024)), 1u);
    if (seen.count(too_long.substr(0, 1024)) != 0) {
      EXPECT_EQ(seen.at(too_long.substr(0, 1024)), WALK_ERROR);
    }
    EXPECT_EQ(seen.count(root_ + "/too_long/after"), 1u);
    EXPECT_EQ(seen.count(too_long), 0u);
    unlink((root_ + "/too_long/after").c_str());
  }

  // Starting paths: extra slashes name the same empty directory.
  dir("empty");
  std::string start = root_ + "/empty";
  start.insert(root_.size(), 1024 - start.size(), '/');
  ASSERT_EQ(start.size(), 1024u);
  EXPECT_EQ(walk(start, 1), 0);
  EXPECT_EQ(g_visits, (Visits{{start, WALK_DIR}}));

  start.insert(root_.size(), 1, '/');
  errno = 0;
  EXPECT_EQ(walk(start, 1), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_TRUE(g_visits.empty());
}

// A link to an ancestor is a cycle: visited as one, not entered, and the
// entries after it are still walked.
TEST_F(WalkTest, LinkToAnAncestorIsALoopAndTheWalkGoesOn) {
  dir("top");
  dir("top/sub");
  file("top/sub/f");
  file("top/z");
  link("..", "top/sub/up", WALK_DIR);
  for (int budget : {1, 3, 512}) {
    SCOPED_TRACE("budget " + std::to_string(budget));
    g_visits.clear();
    EXPECT_EQ(walk(root_ + "/top", budget), 0);
    const std::map<std::string, int> seen = as_map(g_visits);
    EXPECT_EQ(g_visits.size(), 5u);
    EXPECT_EQ(seen.at(root_ + "/top/sub/up"), WALK_LOOP);
    EXPECT_EQ(seen.count(root_ + "/top/sub/f"), 1u);
    EXPECT_EQ(seen.count(root_ + "/top/z"), 1u);
    EXPECT_EQ(count_open_fds(), fds_before_);
  }
}

TEST_F(WalkTest, NonZeroVisitResultStopsTheWalkAtOnce) {
  dir("a");
  dir("a/b");
  file("a/b/f");
  dir("a/b/c");
  file("a/b/c/g");
  file("a/h");
  struct {
    std::string stop;
    int value;
    int budget;
  } cases[] = {{"/a/b", 7, 512}, {"/a/b", -5, 1},  {"/a/b/c", 7, 1},
               {"/a/b/c/g", 7, 1}, {"", -5, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stop + " answering " + std::to_string(c.value));
    g_stop_path = root_ + c.stop;
    g_stop_value = c.value;
    EXPECT_EQ(walk(root_, c.budget), c.value);
    ASSERT_FALSE(g_visits.empty());
    EXPECT_EQ(g_visits.back().first, g_stop_path) << "visits went on after the stop";
    EXPECT_EQ(count_open_fds(), fds_before_);
  }
}

TEST_F(WalkTest, DirectoryThatShrinksWhileEvictedEndsNormally) {
  dir("p");
  dir("p/s");
  file("q1");
  file("q2");
  g_move_on_visit = root_ + "/p/s";
  g_move_to = root_ + ".moved";  // outside the tree, which must stay as it is
  // With one handle, p is closed while s is visited and reopened after it;
  // by then p yields fewer entries than had been read from it.
  calling_visitor visitor(shrinking_visit);
  EXPECT_EQ(zamplet::ftw(root_.c_str(), visitor, 1), 0);
  EXPECT_EQ(rmdir(g_move_to.c_str()), 0);
  std::map<std::string, int> seen;
  for (const auto& v : g_visits) seen[v.first]++;
  for (const auto& [path, times] : seen) EXPECT_EQ(times, 1) << path;
  EXPECT_EQ(seen.count(root_ + "/q1") + seen.count(root_ + "/q2"), 2u);
}

TEST_F(WalkTest, UnreadableDirectoryIsReportedAndNotEntered) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  dir("locked");
  file("locked/f");
  file("after");
  ASSERT_EQ(chmod((root_ + "/locked").c_str(), 0), 0);
  EXPECT_EQ(walk(root_, 1), 0);
  std::map<std::string, int> seen = as_map(g_visits);
  EXPECT_EQ(seen[root_ + "/locked"], WALK_DIR_UNREADABLE);
  EXPECT_EQ(seen.count(root_ + "/locked/f"), 0u);
  EXPECT_EQ(seen.count(root_ + "/after"), 1u);
}

// An entry renamed or removed after its directory was read, or a directory
// above it, is one the walk never looked at: visited as WALK_VANISHED with
// ENOENT, never as a symbolic link that leads nowhere, and the walk goes on.
TEST_F(WalkTest, EntryGoneSinceItsDirectoryWasReadIsVisitedAsVanished) {
  const std::pair<int, int> vanished{WALK_VANISHED, ENOENT};
  // Sibling directories: the first one's visit moves the last one out of
  // the tree before the walk looks at it, and nothing below it is visited.
  dir("box");
  for (const std::string name : {"e0", "e1", "e2", "e3"}) {
    dir("box/" + name);
    file("box/" + name + "/inner");
  }
  const std::vector<std::string> order = in_directory_order(root_ + "/box");
  renaming_visitor sibling;
  sibling.trigger = root_ + "/box/" + order.front();
  sibling.from = root_ + "/box/" + order.back();
  sibling.to = root_ + "/moved";
  EXPECT_EQ(zamplet::ftw((root_ + "/box").c_str(), sibling, 64), 0);
  EXPECT_TRUE(sibling.moved);
  EXPECT_EQ(sibling.seen[sibling.from], vanished);
  // The start, the four siblings, and the other three's files: the walk goes on.
  EXPECT_EQ(sibling.seen.size(), 8u);

  // The directory in hand renamed once it is opened: every entry read from
  // it is gone from the walk's path.  A dangling link beside it stays one.
  dir("q");
  dir("q/p");
  file("q/p/a");
  file("q/p/b");
  link("nowhere", "q/dangling", WALK_NO_STAT);
  renaming_visitor in_hand;
  in_hand.trigger = in_hand.from = root_ + "/q/p";
  in_hand.to = root_ + "/p.moved";
  EXPECT_EQ(zamplet::ftw((root_ + "/q").c_str(), in_hand, 64), 0);
  EXPECT_TRUE(in_hand.moved);
  EXPECT_EQ(in_hand.seen[root_ + "/q/p/a"], vanished);
  EXPECT_EQ(in_hand.seen[root_ + "/q/p/b"], vanished);
  EXPECT_EQ(in_hand.seen[root_ + "/q/dangling"], std::make_pair(WALK_NO_STAT, ENOENT));

  // A directory renamed between the look at it and its opening.
  dir("r");
  dir("r/d");
  file("r/d/x");
  renaming_visitor looked;
  looked.on_look = true;
  looked.trigger = looked.from = root_ + "/r/d";
  looked.to = root_ + "/d.moved";
  EXPECT_EQ(zamplet::ftw((root_ + "/r").c_str(), looked, 64), 0);
  EXPECT_TRUE(looked.moved);
  EXPECT_EQ(looked.seen[root_ + "/r/d"], vanished);
  EXPECT_EQ(looked.seen.count(root_ + "/r/d/x"), 0u);
}

}  // namespace
