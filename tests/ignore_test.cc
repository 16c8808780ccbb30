// Tests of git's ignore rules: each case is a small tree with its ignore
// files, and every answer is checked against the table and against
// `git check-ignore` run in the same tree.
#include "e2e_support.h"
#include "walk/ignore.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

using zamplet_test::shell;
using zamplet_test::write_file;

struct ignore_case {
  const char* name;
  // Run in tree/ before the files are written: "git init -q" (a .git
  // directory where git is missing), or a command that needs git, or "" for
  // no repository.
  std::string setup;
  // Path below the case's directory (home/, xdg/, tree/) and content; a path
  // ending in "/" is a directory.
  std::vector<std::pair<std::string, std::string>> files;
  std::string start;  // as the command line would give it, below the case's directory
  // Path below the start ("/" at the end: a directory) and whether it is ignored.
  std::vector<std::pair<std::string, bool>> asks;
  // The global file git is told of with -c; empty lets git read HOME's and
  // XDG_CONFIG_HOME's configuration itself.
  std::string excludes = "xdg/git/ignore";
  // git agrees: false where the walk answers otherwise on purpose.
  bool as_git = true;
};

const std::string GIT_INIT = "git init -q";
const std::string COMMIT = " -c user.name=t -c user.email=t@t commit -q --allow-empty -m t";

const ignore_case CASES[] = {
    {"comments, blank lines, escaped # and !", GIT_INIT,
     {{"tree/.gitignore", "# comment\n\\#hash\n\\!bang\n\n   \n*.log\n"}}, "tree",
     {{"#hash", true}, {"!bang", true}, {"# comment", false}, {"a.log", true}, {"s/b.log", true}}},
    {"trailing spaces", GIT_INIT, {{"tree/.gitignore", "trail   \nkept\\ \ntwo\\  \n"}}, "tree",
     {{"trail", true}, {"trail ", false}, {"kept ", true}, {"kept", false}, {"two ", true}}},
    {"negation, the last match deciding", GIT_INIT,
     {{"tree/.gitignore", "*.txt\n!keep.txt\n!late\nlate\nlogs/\n!logs/\n"}}, "tree",
     {{"a.txt", true}, {"keep.txt", false}, {"s/keep.txt", false}, {"s/a.txt", true},
      {"late", true}, {"logs/", false}}},
    {"no negation below an ignored directory", GIT_INIT,
     {{"tree/.gitignore", "build/\n!build/keep\nout/*\n!out/keep\n"},
      {"tree/build/.gitignore", "!*\n"}}, "tree",
     {{"build/deep/x", true}, {"build/", true}, {"build/keep", true}, {"out/", false},
      {"out/keep", false}, {"out/x", true}, {"out/sub/", true}, {"out/sub/keep", true}}},
    {"leading and middle slashes anchor", GIT_INIT,
     {{"tree/.gitignore", "/top\nmid/dir\n"}, {"tree/sub/.gitignore", "/here\n"}}, "tree",
     {{"top", true}, {"sub/top", false}, {"mid/dir", true}, {"sub/mid/dir", false},
      {"sub/here", true}, {"here", false}, {"sub/deeper/here", false}}},
    {"a trailing slash matches directories only", GIT_INIT,
     {{"tree/.gitignore", "cache/\n/a/b/\n"}}, "tree",
     {{"cache/", true}, {"x/cache/", true}, {"y/cache", false}, {"cache2/", false},
      {"a/b/", true}, {"c/a/b/", false}}},
    {"* ? and bracket expressions", GIT_INIT,
     {{"tree/.gitignore", "*.o\nfile?.c\n[abc]x\n[!0-9]y\n[^a]z\nr[a-c-]s\n[[:digit:]]d\n"
                          "[]]br\n*.TXT\nan/*.c\nun[closed\nback\\\n[z-a]r\n"}}, "tree",
     {{"m.o", true},       {"dir/n.o", true}, {".o", true},    {"m.oo", false},
      {"file1.c", true},   {"file12.c", false}, {"ax", true},  {"dx", false},
      {"ay", true},        {"5y", false},     {"az", false},   {"bz", true},
      {"r-s", true},       {"rbs", true},     {"rds", false},  {"7d", true},
      {"xd", false},       {"]br", true},     {"a.txt", false}, {"an/x.c", true},
      {"an/b/x.c", false}, {"un[closed", false}, {"back\\", false}, {"zr", true},
      {"ar", false}}},
    {"the three forms of **", GIT_INIT,
     {{"tree/.gitignore", "**/foo\nbar/**\na/**/b\nx**y\nk/x**y\nm/**\\/k\n"}}, "tree",
     {{"foo", true},   {"d/e/foo", true}, {"bar/", false}, {"bar/z", true},  {"bar/q/", true},
      {"a/b", true},   {"a/m/b", true},   {"a/m/n/b", true}, {"xzy", true},  {"p/xzy", true},
      {"k/xay", true}, {"k/xa/y", false}, {"m/k", false},  {"m/n/k", true}}},
    {"a ** right after the leading plain bytes of a pattern", GIT_INIT,
     {{"tree/.gitignore", "/a**/b\n/x**/y**/z\n"}}, "tree",
     {{"ab", true}, {"a/b", true}, {"ax/y/b", true}, {"c/a/b", false}, {"xyz", false},
      {"x/q/y/z", true}, {"x1/2/y3/4/z", false}}},
    {"deeper .gitignore files override, and are forgotten", GIT_INIT,
     {{"tree/.gitignore", "*.gen\n"}, {"tree/sub/.gitignore", "!keep.gen\n/anch\n"},
      {"tree/sub/deep/.gitignore", "keep.gen\n"}}, "tree",
     {{"x.gen", true}, {"sub/", false}, {"sub/keep.gen", false}, {"sub/other.gen", true},
      {"sub/anch", true}, {"sub/deep/keep.gen", true}, {"sub/deep/anch", false},
      {"zz/keep.gen", true}, {"anch", false}}},
    {"info/exclude over the global file", GIT_INIT,
     {{"xdg/git/ignore", "*.g\n!both\n*.i\n"},
      {"tree/.git/info/exclude", "*.e\nboth\n!*.i\ns/only\n"},
      {"tree/.gitignore", "!keep.e\n"}}, "tree",
     {{"a.g", true}, {"a.e", true}, {"keep.e", false}, {"both", true}, {"a.i", false},
      {"s/only", true}, {"only", false}}},
    {"core.excludesFile of ~/.gitconfig over the XDG configuration", GIT_INIT,
     {{"xdg/git/config", "[core]\n\texcludesFile = ~/from-xdg\n"}, {"home/from-xdg", "*.x1\n"},
      {"home/.gitconfig",
       "[user]\n\tname = t\n[Core]\n  ExcludesFile = \"~/global.ignore\" ; why\n"},
      {"home/global.ignore", "*.h1\n"}, {"xdg/git/ignore", "*.d1\n"}}, "tree",
     {{"a.h1", true}, {"a.x1", false}, {"a.d1", false}}, ""},
    {"core.excludesFile of the XDG configuration", GIT_INIT,
     {{"xdg/git/config", "[core]\n\texcludesFile = ~/from-xdg\n"}, {"home/from-xdg", "*.x1\n"},
      {"home/.gitconfig", "[core \"x\"]\n\texcludesFile = ~/not\n"}, {"home/not", "*\n"}},
     "tree", {{"a.x1", true}, {"a.h1", false}}, ""},
    {"a start below the top, given with a trailing slash", GIT_INIT,
     {{"tree/.gitignore", "/sub/a\n*.x\n"}, {"tree/sub/.gitignore", "b\n"}}, "tree/sub/",
     {{"a", true}, {"b", true}, {"c.x", true}, {"in/a", false}, {"in/b", true}, {"ok", false}}},
    // A start the user names is walked, though git would leave it out; the
    // rules still hold below it.
    {"a start inside an ignored directory", GIT_INIT, {{"tree/.gitignore", "build/\n*.o\n"}},
     "./tree/build", {{"f", false}, {"d/", false}, {"d/g", false}, {"d/g.o", true}},
     "xdg/git/ignore", false},
    {"outside a repository, only the start and below", "",
     {{"tree/.gitignore", "*.a\n"}, {"tree/s/.gitignore", "*.b\n/anch\n"}}, "tree/s",
     {{"x.a", false}, {"x.b", true}, {"anch", true}, {"d/anch", false}, {"d/y.b", true}}},
    {"a linked work tree reads the shared info/exclude",
     "git init -q main && git -C main" + COMMIT + " && git -C main worktree add -q ../wt",
     {{"tree/main/.git/info/exclude", "*.ex\n"}, {"tree/wt/.gitignore", "*.wt\n"}}, "tree/wt",
     {{"a.ex", true}, {"a.wt", true}, {"a.c", false}}},
    {"a .git file naming its git directory relatively", "git init -q --separate-git-dir gd work",
     {{"tree/work/.git", "gitdir: ../gd\n"}, {"tree/gd/info/exclude", "*.sep\n"}}, "tree/work",
     {{"a.sep", true}, {"a.c", false}}},
    {"a .gitignore that is a symbolic link is not followed", GIT_INIT + " && ln -s real .gitignore",
     {{"tree/real", "*.s\n"}}, "tree", {{"a.s", false}}},
    {"CR LF lines and a byte order mark", GIT_INIT,
     {{"tree/.gitignore", "\xEF\xBB\xBF*.bom\r\nwin\r\n"}}, "tree",
     {{"a.bom", true}, {"win", true}}},
    {"no exponential backtracking", GIT_INIT,
     {{"tree/.gitignore", "*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b\n**/**/**/**/**/**/**/**/**/**/z\n"}},
     "tree", {{std::string(60, 'a'), false}, {"d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/y", false}}},
};

// `text` quoted for the shell.
std::string quoted(const std::string& text) {
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Puts a file or directory in place, with the directories above it.
void make(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(path.substr(0, path.rfind('/')));
  if (path.back() != '/') write_file(path, content);
}

// A path of the table without the "/" that marks a directory: the walk
// never gives one, and git would match the pattern "d/*" against "d/".
std::string bare(const std::string& path) {
  return path.back() == '/' ? path.substr(0, path.size() - 1) : path;
}

// Holds HOME and XDG_CONFIG_HOME at the test's directories, so that neither
// the matcher nor git ever reads the user's own configuration.
struct isolated_env {
  std::vector<std::pair<const char*, std::optional<std::string>>> saved;
  isolated_env() {
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "GIT_CONFIG_NOSYSTEM", "GIT_DIR",
                             "GIT_WORK_TREE", "GIT_CONFIG_GLOBAL"}) {
      const char* value = getenv(name);
      saved.emplace_back(name, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
      unsetenv(name);
    }
    setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
  }
  ~isolated_env() {
    for (const auto& [name, value] : saved)
      if (value) setenv(name, value->c_str(), 1);
      else unsetenv(name);
  }
};

TEST(IgnoreRules, EveryCaseAgreesWithTheTableAndWithGit) {
  isolated_env env;
  const bool have_git = shell("git --version");
  for (const ignore_case& c : CASES) {
    SCOPED_TRACE(c.name);
    if (!have_git && !c.setup.empty() && c.setup != GIT_INIT) continue;
    zamplet_test::temp_dir dir;
    setenv("HOME", (dir / "home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir / "xdg").c_str(), 1);
    make(dir / "tree/", "");
    const std::string setup = have_git ? c.setup : c.setup.empty() ? "" : "mkdir .git";
    if (!setup.empty()) {
      ASSERT_TRUE(shell("cd " + quoted(dir / "tree") + " && " + setup));
    }
    for (const auto& [path, content] : c.files) make(dir / path, content);
    for (const auto& [path, answer] : c.asks)
      if (!zamplet_test::exists(dir / c.start + "/" + path)) make(dir / c.start + "/" + path, "");

    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    zamplet::ignore_rules rules;
    rules.begin(c.start.c_str());
    for (const auto& [path, answer] : c.asks) {
      const bool is_dir = path.back() == '/';
      EXPECT_EQ(rules.ignored((c.start + "/" + bare(path)).c_str(), is_dir), answer) << path;
    }
    ASSERT_EQ(chdir(cwd), 0);
    if (!have_git || !c.as_git) continue;

    // git in the same tree; outside a repository, in one made at the start,
    // whose rules are then exactly those that apply below it.
    const std::string excludes =
        c.excludes.empty() ? "" : "-c core.excludesFile=" + quoted(dir / c.excludes);
    const std::string git = "cd " + quoted(dir / c.start) + " && " +
                            (c.setup.empty() ? "git init -q && " : "") + "git " + excludes +
                            " check-ignore --no-index -q -- ";
    for (const auto& [path, answer] : c.asks) {
      std::string status;
      shell(git + quoted(bare(path)) + " 2>/dev/null; echo $?", &status);
      EXPECT_EQ(status, answer ? "0" : "1") << "git check-ignore " << path;
    }
  }
  if (!have_git) GTEST_SKIP() << "git not found: answers checked against the table alone";
}

// Each directory's .gitignore is read once while the walk is in it, and read
// afresh when the walk comes back to it.
TEST(IgnoreRules, EachGitignoreIsReadOnceWhileTheWalkIsInItsDirectory) {
  isolated_env env;
  zamplet_test::temp_dir dir;
  make(dir / "d/.gitignore", "x\n");
  const std::string d = dir / "d/", e = dir / "e/z";
  zamplet::ignore_rules rules;
  rules.begin(dir.path.c_str());
  EXPECT_TRUE(rules.ignored((d + "x").c_str(), false));
  write_file(d + ".gitignore", "y\n");
  EXPECT_TRUE(rules.ignored((d + "x").c_str(), false));
  EXPECT_FALSE(rules.ignored((d + "y").c_str(), false));
  EXPECT_FALSE(rules.ignored(e.c_str(), false));
  EXPECT_TRUE(rules.ignored((d + "y").c_str(), false));
  EXPECT_FALSE(rules.ignored((d + "x").c_str(), false));
}

}  // namespace
