// End-to-end tests of what a rewritten file keeps besides its content: mode,
// owner and set-id bits, times with -d, ACL and user attributes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "e2e_support.h"

using namespace zamplet_test;

TEST(ListedAttributes, ModeKept) {
  for (mode_t mode : {0600, 0640, 0755, 0444, 0707}) {
    temp_dir d;
    write_file(d / "a.txt", "foo\n");
    ASSERT_EQ(chmod((d / "a.txt").c_str(), mode), 0);
    auto r = run_in(d, {"foo", "bar", "a.txt"});
    EXPECT_EQ(r.out, "a.txt 1\n");
    EXPECT_EQ(read_file(d / "a.txt"), "bar\n");
    EXPECT_EQ(stat_of(d / "a.txt").st_mode & 07777, mode) << std::oct << mode;
  }
}

TEST(ListedAttributes, OwnerAndSetIdBitsKept) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  for (mode_t mode : {04755, 02755, 06750}) {
    temp_dir d;
    write_file(d / "a.txt", "foo\n");
    ASSERT_EQ(chown((d / "a.txt").c_str(), 1234, 1234), 0);
    ASSERT_EQ(chmod((d / "a.txt").c_str(), mode), 0);
    auto r = run_in(d, {"foo", "bar", "a.txt"});
    EXPECT_EQ(r.out, "a.txt 1\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(d / "a.txt"), "bar\n");
    const struct stat st = stat_of(d / "a.txt");
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 1234u);
    EXPECT_EQ(st.st_mode & 07777, mode) << std::oct << mode;
  }
}

TEST(ListedAttributes, KeepTimesOnlyWithD) {
  const time_t old_atime = 1000000000;
  const time_t old_mtime = 1100000000;
  for (bool keep : {true, false}) {
    temp_dir d;
    write_file(d / "a.txt", "foo\n");
    const struct timespec times[2] = {{old_atime, 250000000}, {old_mtime, 750000000}};
    ASSERT_EQ(utimensat(AT_FDCWD, (d / "a.txt").c_str(), times, 0), 0);
    const time_t before = time(nullptr);
    auto r = keep ? run_in(d, {"-d", "foo", "bar", "a.txt"}) : run_in(d, {"foo", "bar", "a.txt"});
    EXPECT_EQ(r.out, "a.txt 1\n");
    // Looked at before the content is read, which would change the access time.
    const struct stat st = stat_of(d / "a.txt");
    EXPECT_EQ(read_file(d / "a.txt"), "bar\n");
    if (keep) {
      EXPECT_EQ(st.st_atim.tv_sec, old_atime);
      EXPECT_EQ(st.st_mtim.tv_sec, old_mtime);
    } else {
      EXPECT_GE(st.st_mtim.tv_sec, before);
    }
  }
}

// A rewritten file keeps its ACL, its user attributes, mode and owner.
TEST(ListedAttributes, AclAndExtendedAttributesKept) {
  if (system("command -v setfacl >/dev/null && command -v getfacl >/dev/null") != 0)
    GTEST_SKIP() << "setfacl and getfacl are not installed (the acl package)";
  temp_dir d;
  const std::string file = d / "a.txt";
  write_file(file, "foo\n");
  if (geteuid() == 0) {
    ASSERT_EQ(chown(file.c_str(), 1234, 1234), 0);
  }
  if (system(("setfacl -m u:1234:rw,g::---,m::rw,o::r '" + file + "'").c_str()) != 0 ||
      setxattr(file.c_str(), "user.note", "kept", 4, 0) != 0)
    GTEST_SKIP() << "this file system takes no ACL or user attribute";
  auto acl_of = [&] {
    const std::string out = d / "acl.out";
    EXPECT_EQ(system(("getfacl -cp '" + file + "' > '" + out + "'").c_str()), 0);
    const std::string text = read_file(out);
    unlink(out.c_str());
    return text;
  };
  const std::string acl = acl_of();
  const struct stat before = stat_of(file);
  auto r = run_in(d, {"foo", "bar", "a.txt"});
  EXPECT_EQ(r.out, "a.txt 1\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(file), "bar\n");
  const struct stat after = stat_of(file);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(acl_of(), acl);
  char value[16] = {};
  EXPECT_EQ(getxattr(file.c_str(), "user.note", value, sizeof value), 4);
  EXPECT_STREQ(value, "kept");
}
