// Helpers for end-to-end tests: run the built program on real files in a
// temporary directory and capture its streams and exit status exactly.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace zamplet_test {

struct run_result {
  int status = -1;     // exit status, or 128 + signal number
  std::string out;     // standard output (everything, when merged)
  std::string err;     // standard error (empty when merged)
};

struct run_options {
  std::string input;                 // fed to standard input, then closed
  size_t feed_piece = 0;             // if not 0, the input goes in writes of at most this size
  bool merge = false;                // standard error into the standard output pipe
  std::string cwd;                   // working directory of the child, if not empty
  std::function<void()> in_child;    // runs in the child before exec (rlimits, signals)
};

// Options that give the program a regular file as standard input, so that
// every read returns a full chunk.
run_options stdin_from_file(const std::string& path, bool merge = false);

// Runs the program with `args` (not counting the program name).
run_result run_zamplet(const std::vector<std::string>& args, const run_options& options = {});

// A temporary directory, removed with everything in it on destruction.
struct temp_dir {
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  std::string path;
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);
bool exists(const std::string& path);
// Names in `dir`, sorted, without "." and "..".
std::vector<std::string> list_dir(const std::string& dir);

}  // namespace zamplet_test
