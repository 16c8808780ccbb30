// Measures the tree walk on a tree of 100,000 entries with one directory
// handle and with enough handles for every branch, and checks that both
// walks visit the same entries in the same order.
//
// Usage: walk_bench [PARENT]   (the tree is made in a new directory below
// PARENT, /tmp by default, and removed afterwards)
#include "walk/walk.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

constexpr long TREE_ENTRIES = 100000;
constexpr int CHAINS = 10;         // deep branches...
constexpr int CHAIN_DEPTH = 100;   // ...of this many nested directories
constexpr int FANOUT = 10;         // the broad part: FANOUT^3 leaf directories

// The visit sequence of the walk in progress.
std::vector<std::string>* g_sequence = nullptr;

int record(const char* path, const struct stat*, int kind) {
  g_sequence->push_back(std::to_string(kind) + ' ' + path);
  return 0;
}

bool make_dir(const std::string& path, long* made) {
  if (mkdir(path.c_str(), 0755) != 0) {
    fprintf(stderr, "walk_bench: mkdir %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  ++*made;
  return true;
}

bool make_file(const std::string& path, long* made) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (fd < 0) {
    fprintf(stderr, "walk_bench: open %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  close(fd);
  ++*made;
  return true;
}

// Makes exactly TREE_ENTRIES entries below `top`: deep chains with a file
// at every level, and three levels of directories whose leaves share the
// remaining files.
bool build_tree(const std::string& top, long* made) {
  for (int c = 0; c < CHAINS; c++) {
    std::string path = top + "/chain" + std::to_string(c);
    for (int d = 0; d < CHAIN_DEPTH; d++) {
      if (!make_dir(path, made) || !make_file(path + "/f", made)) return false;
      path += "/d";
    }
  }
  std::vector<std::string> leaves;
  for (int a = 0; a < FANOUT; a++) {
    std::string pa = top + "/a" + std::to_string(a);
    if (!make_dir(pa, made)) return false;
    for (int b = 0; b < FANOUT; b++) {
      std::string pb = pa + "/b" + std::to_string(b);
      if (!make_dir(pb, made)) return false;
      for (int c = 0; c < FANOUT; c++) {
        leaves.push_back(pb + "/c" + std::to_string(c));
        if (!make_dir(leaves.back(), made)) return false;
      }
    }
  }
  for (long i = 0; *made < TREE_ENTRIES; i++) {
    if (!make_file(leaves[i % leaves.size()] + "/file" + std::to_string(i), made)) return false;
  }
  return true;
}

// Removes the tree below and including `path`, without following links.
void remove_tree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* d = opendir(path.c_str())) {
      std::vector<std::string> names;
      while (struct dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
      }
      closedir(d);
      for (const std::string& n : names) remove_tree(path + "/" + n);
    }
    if (rmdir(path.c_str()) != 0) fprintf(stderr, "walk_bench: rmdir %s: %s\n", path.c_str(), strerror(errno));
  } else if (unlink(path.c_str()) != 0) {
    fprintf(stderr, "walk_bench: unlink %s: %s\n", path.c_str(), strerror(errno));
  }
}

// Walks `top` with `budget` handles into `sequence`; returns the seconds taken,
// or a negative value when the walk failed.
double timed_walk(const std::string& top, int budget, std::vector<std::string>* sequence) {
  sequence->clear();
  sequence->reserve(TREE_ENTRIES + 1);
  g_sequence = sequence;
  auto begin = std::chrono::steady_clock::now();
  struct recorder final : zamplet::walk_visitor {
    int visit(const char* path, const struct stat* st, int kind) override {
      return record(path, st, kind);
    }
  } visitor;
  int r = zamplet::ftw(top.c_str(), visitor, budget);
  auto end = std::chrono::steady_clock::now();
  if (r != 0) {
    fprintf(stderr, "walk_bench: walk with budget %d: result %d: %s\n", budget, r, strerror(errno));
    return -1;
  }
  return std::chrono::duration<double>(end - begin).count();
}

}  // namespace

int main(int argc, char** argv) {
  std::string tmpl = std::string(argc > 1 ? argv[1] : "/tmp") + "/walk_bench.XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) {
    fprintf(stderr, "walk_bench: mkdtemp %s: %s\n", tmpl.c_str(), strerror(errno));
    return 1;
  }
  const std::string top = name.data();

  int status = 1;
  long made = 0;
  std::vector<std::string> one, ample;
  if (build_tree(top, &made)) {
    double t_one = timed_walk(top, 1, &one);
    double t_ample = timed_walk(top, 512, &ample);
    printf("entries in tree:        %ld (deepest branch %d directories)\n", made, CHAIN_DEPTH + 1);
    printf("visits, budget 1:       %zu\n", one.size());
    printf("visits, budget 512:     %zu\n", ample.size());
    if (t_one >= 0 && t_ample >= 0) {
      printf("wall time, budget 1:    %.3f s\n", t_one);
      printf("wall time, budget 512:  %.3f s\n", t_ample);
      bool same = one == ample && one.size() == static_cast<size_t>(made) + 1;
      printf("visit sequences:        %s\n", same ? "identical" : "DIFFERENT");
      if (same) status = 0;
    }
  }
  remove_tree(top);
  return status;
}
