// Which entries of a walk git would leave out, by the rules of its ignore
// files: read as the walk goes down into a directory, forgotten as it comes
// back up, so that only the rules of the directories on the current path are
// ever held.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zamplet {

// The ignore rules of git that apply to a walk below one start: the user's
// global ignore file, the repository's .git/info/exclude, and the .gitignore
// of every directory from the repository's top down to the entry.
class ignore_rules {
 public:
  // Prepares for a walk from `start`, a directory path as given on the
  // command line.  The repository's top is the nearest directory at or above
  // start (by its real path) that holds an entry named .git.  Inside a
  // repository the rules are those of the global ignore file (core.excludesFile
  // of the user's and the repository's configuration, else
  // $XDG_CONFIG_HOME/git/ignore or ~/.config/git/ignore), of info/exclude in
  // the repository's git directory, and of the .gitignore of every directory
  // from the top down to start.  Outside a repository only the .gitignore
  // files of start and the directories below it apply.  A file that cannot
  // be read counts as empty.  A start is walked because it was named: it
  // and the directories above it never count as ignored, though their rules
  // apply below it.
  void begin(const char* start);

  // Whether the entry `path` (start, then "/" and the names below it) is
  // left out; `is_dir` says whether it is a directory.  The .gitignore of a
  // directory is read the first time an entry in it is asked about and
  // forgotten once an entry outside it is: asked in the walk's pre-order,
  // each is read once.  An entry below an ignored directory is ignored,
  // whatever its own rules say.
  bool ignored(const char* path, bool is_dir);

 private:
  // A run of an anchored pattern between slashes: a glob for one name, or
  // "**", which stands for any number of whole names.
  struct segment {
    std::size_t begin, end;  // its bytes in the pattern's glob
    bool any_depth;
  };
  // One line of an ignore file.
  struct pattern {
    std::string glob;               // without "!", a leading "/" or a trailing "/"
    std::vector<segment> segments;  // the glob's segments, when it is anchored
    bool negative;                  // "!": re-includes what earlier lines left out
    bool dir_only;                  // a trailing "/": matches directories only
    bool anywhere;                  // no "/": matches the last name, at any depth
  };
  // The patterns of one ignore file, and the directory they are relative to.
  struct rule_file {
    std::string dir;        // relative to the top, with a trailing "/"; empty for the top
    std::size_t depth = 0;  // how many names dir has
    bool excluded = false;  // the directory itself is ignored, so is all below it
    std::vector<pattern> patterns;
  };

  static void split_segments(pattern* p);
  static void add_pattern(std::string_view line, rule_file* file);
  static void add_anchored(pattern p, rule_file* file, std::size_t lead_at);
  static void add_patterns(const std::string& text, rule_file* file);
  void read_fixed_files(const std::string& top);
  void split_names();
  void push_directory(const std::string& fs_dir, std::size_t depth, bool named);
  bool path_matches(const pattern& p, std::size_t first, std::size_t count) const;
  int last_match(const rule_file& file, std::size_t count, bool is_dir) const;
  bool matched(std::size_t count, bool is_dir) const;

  // The global file, then info/exclude: the lowest precedence, relative to the top.
  std::vector<rule_file> fixed_;
  // The .gitignore files from the top down to the directory of the last entry.
  std::vector<rule_file> levels_;
  std::size_t start_levels_ = 0;  // levels_ from the top down to start, kept for the walk
  std::size_t start_length_ = 0;  // strlen(start)
  std::string prefix_;            // start relative to the top, with a trailing "/"
  std::string rel_;               // the entry asked about, relative to the top
  std::vector<std::size_t> names_;  // where each name of rel_ begins; see split_names
  std::string last_dir_;          // the last directory asked about, and its answer
  bool last_dir_ignored_ = false;
};

}  // namespace zamplet
