// Where git's ignore rules come from: the repository above the walk's start,
// its git directory and configuration, the user's configuration, and the
// files they name.
#include "walk/ignore.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace zamplet {

namespace {

// The whole content of the regular file `path`, or nothing when it cannot be
// read in full.  Anything but a regular file reads as empty, and is opened
// without waiting, so that a FIFO in the tree cannot hang the walk.  With
// `follow` false a symbolic link is not followed: git does not follow one
// named .gitignore inside the work tree.
std::string read_file(const std::string& path, bool follow) {
  std::string text;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (follow ? 0 : O_NOFOLLOW));
  if (fd < 0) return text;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    char buffer[4096];
    for (;;) {
      const ssize_t got = read(fd, buffer, sizeof buffer);
      if (got > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
      } else if (got < 0 && errno == EINTR) {
        continue;
      } else {
        if (got < 0) text.clear();
        break;
      }
    }
  }
  close(fd);
  return text;
}

// The variable `name` of the environment, empty when it is unset.
std::string env(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "";
}

// The bytes of a configuration key.
constexpr const char* KEY_BYTES =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-";

// Where the line holding `i` ends: its newline, or the end of `text`.
std::size_t line_end(const std::string& text, std::size_t i) {
  const std::size_t end = text.find('\n', i);
  return end == std::string::npos ? text.size() : end;
}

// Reads the value of a configuration line that begins at `i` into `value`:
// blanks around it dropped, double quotes keep what they hold, a backslash
// escapes the next byte (\n, \t and \b as control bytes) or joins the next
// line, and "#" or ";" outside quotes begins a comment.  Returns where its
// line ends.
std::size_t config_value(const std::string& text, std::size_t i, std::string* value) {
  value->clear();
  std::string blanks;  // held back until something follows them
  bool quoted = false;
  for (; i < text.size() && text[i] != '\n'; ++i) {
    const char c = text[i];
    if (!quoted && (c == '#' || c == ';')) return line_end(text, i);
    if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
      if (!value->empty()) blanks += c;
      continue;
    }
    value->append(blanks);
    blanks.clear();
    if (c == '"') {
      quoted = !quoted;
    } else if (c == '\\' && i + 1 < text.size()) {
      const char e = text[++i];
      if (e != '\n') *value += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'b' ? '\b' : e;
    } else {
      *value += c;
    }
  }
  return i;
}

// The lower-case form of an ASCII name.
std::string lower(std::string name) {
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return name;
}

// Sets `value` to the last core.excludesFile of the git configuration
// `text`, if it has one, and says whether it had.  Section and key names are
// case-insensitive; "[core "x"]" is another section.
bool config_excludes_file(const std::string& text, std::string* value) {
  bool found = false, in_core = false;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++i;
    } else if (c == '#' || c == ';') {
      i = line_end(text, i);
    } else if (c == '[') {
      const std::size_t close = text.find(']', i);
      if (close == std::string::npos) return found;
      in_core = lower(text.substr(i + 1, close - i - 1)) == "core";
      i = close + 1;
    } else {
      const std::size_t end = std::min(text.find_first_not_of(KEY_BYTES, i), text.size());
      const std::string key = lower(text.substr(i, end - i));
      i = text.find_first_not_of(" \t", end);
      if (key.empty() || i == std::string::npos || text[i] != '=') {
        i = line_end(text, end);
        continue;
      }
      std::string read;
      i = config_value(text, i + 1, &read);
      if (in_core && key == "excludesfile") {
        *value = read;
        found = true;
      }
    }
  }
  return found;
}

// The nearest directory at or above the real path `dir` that holds an entry
// named .git, or empty when there is none.
std::string find_top(std::string dir) {
  for (;;) {
    struct stat st;
    if (lstat((dir == "/" ? "/.git" : dir + "/.git").c_str(), &st) == 0) return dir;
    if (dir == "/") return "";
    const std::size_t slash = dir.rfind('/');
    dir.resize(slash == 0 ? 1 : slash);
  }
}

// The path `name` read in `dir` when it is relative.
std::string in_dir(const std::string& dir, const std::string& name) {
  return name.empty() || name[0] == '/' ? name : dir + "/" + name;
}

// The first line of `text`, without its line ending.
std::string first_line(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// The directory that holds the shared info/exclude and configuration of the
// repository whose top is `top`: its .git directory, or the git directory a
// .git file names ("gitdir: PATH", relative to the top when not absolute).
// A linked work tree's own git directory names the shared one in its file
// commondir.  Empty when there is none.
std::string common_git_dir(const std::string& top) {
  std::string dir = in_dir(top, ".git");
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) return "";
  if (!S_ISDIR(st.st_mode)) {
    const std::string line = first_line(read_file(dir, true));
    if (line.compare(0, 8, "gitdir: ") != 0 || line.size() == 8) return "";
    dir = in_dir(top, line.substr(8));
  }
  const std::string common = first_line(read_file(dir + "/commondir", true));
  return common.empty() ? dir : in_dir(dir, common);
}

}  // namespace

// Enters the directory made of the first `depth` names, whose path on disk
// (with a trailing "/") is `fs_dir`: an ignored directory makes everything
// below it ignored, and its own .gitignore is then never read.  The
// directories down to a start are walked because the start was named: with
// `named` none of them counts as ignored.
void ignore_rules::push_directory(const std::string& fs_dir, std::size_t depth, bool named) {
  rule_file level;
  level.dir.assign(rel_, 0, names_[depth]);
  level.depth = depth;
  if (!levels_.empty() && !named) {
    const std::size_t length = names_[depth] - 1;
    const bool asked = last_dir_.size() == length && rel_.compare(0, length, last_dir_) == 0;
    level.excluded = levels_.back().excluded || (asked ? last_dir_ignored_ : matched(depth, true));
  }
  if (!level.excluded) add_patterns(read_file(fs_dir + ".gitignore", false), &level);
  levels_.push_back(std::move(level));
}

// Reads the global ignore file and info/exclude of the repository whose top
// is `top`.  core.excludesFile is taken from the user's configuration (the
// XDG one, then ~/.gitconfig) and the repository's own, the last one set
// winning; a leading "~/" is the home directory, and a relative path is read
// from the top, where git itself runs.
void ignore_rules::read_fixed_files(const std::string& top) {
  const std::string git_dir = common_git_dir(top);
  const std::string home = env("HOME"), xdg = env("XDG_CONFIG_HOME");
  std::string xdg_git = xdg.empty() ? home + "/.config/git" : xdg + "/git";
  if (xdg.empty() && home.empty()) xdg_git.clear();
  // Each file read may set the value again: the last one set wins.
  std::string value;
  bool set = false;
  for (const std::string& config : {xdg_git.empty() ? "" : xdg_git + "/config",
                                    home.empty() ? "" : home + "/.gitconfig",
                                    git_dir.empty() ? "" : git_dir + "/config"})
    if (!config.empty() && config_excludes_file(read_file(config, true), &value)) set = true;
  const bool from_home = value == "~" || value.compare(0, 2, "~/") == 0;
  std::string global;
  if (!set) global = xdg_git.empty() ? "" : xdg_git + "/ignore";
  else if (!from_home) global = in_dir(top, value);
  else if (!home.empty()) global = home + value.substr(1);

  fixed_.assign(2, rule_file{});
  if (!global.empty()) add_patterns(read_file(global, true), &fixed_[0]);
  if (!git_dir.empty()) add_patterns(read_file(git_dir + "/info/exclude", true), &fixed_[1]);
}

// Finds the repository above `start` and reads the rules down to it; see
// ignore.h.
void ignore_rules::begin(const char* start) {
  fixed_.clear();
  levels_.clear();
  prefix_.clear();
  last_dir_.clear();
  start_length_ = strlen(start);
  char* real = realpath(start, nullptr);
  const std::string real_start = real != nullptr ? real : "";
  free(real);
  const std::string top = real_start.empty() ? "" : find_top(real_start);
  if (top.empty()) {
    // Outside a repository start is the top, and only what lies below applies.
    rel_.clear();
    split_names();
    push_directory(std::string(start) + "/", 0, true);
    start_levels_ = 1;
    return;
  }
  if (real_start.size() > top.size())
    prefix_ = real_start.substr(top == "/" ? 1 : top.size() + 1) + "/";
  read_fixed_files(top);
  // The levels from the top down to start, read through the real path.
  rel_ = prefix_ + "x";
  split_names();
  const std::size_t start_depth = names_.size() - 2;
  const std::string top_dir = top == "/" ? "/" : top + "/";
  push_directory(top_dir, 0, true);
  while (levels_.back().depth < start_depth) {
    const std::size_t depth = levels_.back().depth + 1;
    push_directory(top_dir + rel_.substr(0, names_[depth]), depth, true);
  }
  start_levels_ = levels_.size();
}

}  // namespace zamplet
