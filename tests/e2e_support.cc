#include "e2e_support.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/ioctl.h>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zamplet_test {

void exec_zamplet(const std::vector<std::string>& args) {
  std::vector<char*> argv{const_cast<char*>(ZAMPLET_BINARY)};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(ZAMPLET_BINARY, argv.data());
  _exit(127);
}

int start_zamplet(const strings& args, const std::string& cwd, int in, int out, int err,
                  const std::function<void()>& in_child) {
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid != 0) return pid;
  for (int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) signal(signo, SIG_DFL);
  if (in < 0) in = open("/dev/null", O_RDONLY);
  if (in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
      (!cwd.empty() && chdir(cwd.c_str()) < 0))
    _exit(126);
  if (in_child) in_child();
  exec_zamplet(args);
}

run_result run_zamplet(const std::vector<std::string>& args, const run_options& options) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0 || pipe2(err, O_CLOEXEC) < 0)
    throw std::runtime_error("pipe");
  const int pid = start_zamplet(args, options.cwd, in[0], out[1], options.merge ? out[1] : err[1],
                                options.in_child);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  // Feed the input and drain both outputs together, so no pipe can fill up.
  signal(SIGPIPE, SIG_IGN);
  run_result result;
  size_t fed = 0;
  int in_fd = in[1];
  if (options.input.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  int out_fd = out[0], err_fd = err[0];
  while (out_fd >= 0 || err_fd >= 0 || in_fd >= 0) {
    pollfd fds[3];
    int n = 0;
    if (out_fd >= 0) fds[n++] = {out_fd, POLLIN, 0};
    if (err_fd >= 0) fds[n++] = {err_fd, POLLIN, 0};
    if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
    if (poll(fds, n, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      int fd = fds[i].fd;
      if (fd == in_fd) {
        size_t piece = options.input.size() - fed;
        if (options.feed_piece != 0 && piece > options.feed_piece) piece = options.feed_piece;
        ssize_t w = write(fd, options.input.data() + fed, piece);
        if (w > 0) fed += static_cast<size_t>(w);
        if (w < 0 || fed == options.input.size()) {
          close(in_fd);
          in_fd = -1;
        }
        continue;
      }
      char buf[65536];
      ssize_t r = read(fd, buf, sizeof buf);
      if (r <= 0) {
        close(fd);
        (fd == out_fd ? out_fd : err_fd) = -1;
        continue;
      }
      (fd == out_fd ? result.out : result.err).append(buf, static_cast<size_t>(r));
    }
  }
  result.status = reap(pid);
  return result;
}

run_result run_in(const temp_dir& dir, const strings& args) {
  return run_zamplet(args, {.cwd = dir.path});
}

std::function<void()> with_faults(const strings& variables) {
  return [variables] {
    setenv("LD_PRELOAD", ZAMPLET_FAULT_LIBRARY, 1);
    for (const auto& v : variables) putenv(strdup(v.c_str()));
  };
}

child spawn(const strings& args, const std::string& cwd, bool keep_stdin,
            const std::function<void()>& in_child) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0 || pipe2(err, O_CLOEXEC) < 0)
    throw std::runtime_error("pipe");
  const int pid = start_zamplet(args, cwd, in[0], out[1], err[1], in_child);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  child c{pid, in[1], out[0], err[0]};
  if (!keep_stdin) {
    close(c.in);
    c.in = -1;
  }
  return c;
}

run_result drain(child& c, const std::function<void()>& on_tick, std::chrono::microseconds tick) {
  run_result f;
  int fds_open[2] = {c.out, c.err};
  while (fds_open[0] >= 0 || fds_open[1] >= 0) {
    pollfd fds[2];
    int n = 0;
    for (int fd : fds_open)
      if (fd >= 0) fds[n++] = {fd, POLLIN, 0};
    const timespec timeout{0, static_cast<long>(tick.count()) * 1000};
    const int ready = ppoll(fds, static_cast<nfds_t>(n), on_tick ? &timeout : nullptr, nullptr);
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < n && ready > 0; ++i) {
      if (fds[i].revents == 0) continue;
      char buf[65536];
      const ssize_t r = read(fds[i].fd, buf, sizeof buf);
      int& slot = fds[i].fd == fds_open[0] ? fds_open[0] : fds_open[1];
      if (r <= 0) {
        close(slot);
        slot = -1;
        continue;
      }
      (slot == c.out ? f.out : f.err).append(buf, static_cast<size_t>(r));
    }
    if (on_tick) on_tick();
  }
  if (c.in >= 0) close(c.in);
  c.in = c.out = c.err = -1;
  f.status = reap(c.pid);
  return f;
}

testing::AssertionResult ran(const run_result& r, const std::string& out, const std::string& err,
                             int status) {
  if (r.out == out && r.err == err && r.status == status) return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << "the run said\n  out: " << testing::PrintToString(r.out)
         << "\n  err: " << testing::PrintToString(r.err) << "\n  status: " << r.status
         << "\nexpected\n  out: " << testing::PrintToString(out)
         << "\n  err: " << testing::PrintToString(err) << "\n  status: " << status;
}

run_options stdin_from_file(const std::string& path, bool merge) {
  run_options o;
  o.merge = merge;
  o.in_child = [path] {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0 || dup2(fd, 0) < 0) _exit(125);
    close(fd);
  };
  return o;
}

constexpr int PAGE = 4096;

paused_run::paused_run(const std::vector<std::string>& args, const std::string& cwd, int which,
                       int room, const std::function<void()>& in_child)
    : stream(which), prefilled(room < 0 ? 0 : PAGE - room) {
  int o[2], e[2];
  if (pipe2(o, O_CLOEXEC) < 0 || pipe2(e, O_CLOEXEC) < 0) throw std::runtime_error("pipe");
  const int paused = which == 1 ? o[1] : e[1];
  if (room >= 0) {
    if (fcntl(paused, F_SETPIPE_SZ, PAGE) < 0) throw std::runtime_error("F_SETPIPE_SZ");
    const std::string fill(static_cast<size_t>(prefilled), '#');
    if (write(paused, fill.data(), fill.size()) != prefilled) throw std::runtime_error("prefill");
  }
  pid = start_zamplet(args, cwd, -1, o[1], e[1], in_child);
  close(o[1]);
  close(e[1]);
  out = o[0];
  err = e[0];
}

paused_run::~paused_run() {
  if (pid > 0) kill_now();
}

bool paused_run::filled(int bytes) const {
  int queued = 0;
  ioctl(stream == 1 ? out : err, FIONREAD, &queued);
  return queued >= bytes;
}

int reap(int pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

run_result paused_run::finish() {
  child c{pid, -1, out, err};
  run_result r = drain(c);
  (stream == 1 ? r.out : r.err).erase(0, static_cast<size_t>(prefilled));
  pid = out = err = -1;
  return r;
}

int paused_run::kill_now() {
  kill(pid, SIGKILL);
  const int status = reap(pid);
  pid = -1;
  for (int fd : {out, err})
    if (fd >= 0) close(fd);
  out = err = -1;
  return status;
}

literal_result literal_model(const std::string& input, const std::string& old_text,
                             const std::string& new_text) {
  literal_result r;
  const size_t chunk_size = 1023;
  std::string rest;  // the previous chunk's searched text behind its last occurrence
  bool searched_to_end = false;
  for (size_t at = 0; at < input.size(); at += chunk_size) {
    const std::string chunk = input.substr(at, chunk_size);
    const std::string text = chunk.substr(0, chunk.find('\0'));
    if (searched_to_end) {
      const size_t hit = (rest + text).find(old_text);
      if (hit != std::string::npos && hit < rest.size()) ++r.cuts;
    }
    size_t pos = 0;
    for (size_t hit; (hit = text.find(old_text, pos)) != std::string::npos; ++r.count) {
      r.text += chunk.substr(pos, hit - pos) + new_text;
      pos = hit + old_text.size();
    }
    r.text += chunk.substr(pos);
    rest = text.substr(std::min(pos, text.size()));
    searched_to_end = text.size() == chunk.size();
  }
  return r;
}

std::string cut_note(const std::string& name, long occurrences) {
  return name + "\t" + std::to_string(occurrences) +
         " occurrences cut by chunk boundaries left unchanged\n";
}

std::string cut_total(long occurrences, long inputs) {
  return std::to_string(occurrences) + " occurrences in " + std::to_string(inputs) +
         " files were left unchanged because chunk boundaries cut them; --whole replaces every "
         "occurrence\n";
}

bool shell(const std::string& command, std::string* out) {
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return false;
  std::string text;
  char buffer[4096];
  for (size_t got; (got = fread(buffer, 1, sizeof buffer, p)) > 0;) text.append(buffer, got);
  const int status = pclose(p);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  if (out != nullptr) *out = text;
  return status == 0;
}

unsigned env_number(const char* name, unsigned fallback) {
  const char* v = getenv(name);
  return v != nullptr && *v != '\0' ? static_cast<unsigned>(strtoul(v, nullptr, 10)) : fallback;
}

std::string text_without_b(std::mt19937& rng, size_t size, const std::string& letters) {
  std::string s(size, ' ');
  for (char& c : s) c = letters[rng() % letters.size()];
  return s;
}

std::string rewritten(const std::string& text, int times) {
  std::string s;
  for (char c : text) {
    s += c;
    if (c == 'a') s.append(static_cast<size_t>(times), 'b');
  }
  return s;
}

bool wait_until(const std::function<bool()>& done) {
  for (int ms = 0; ms < 30'000; ++ms) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

temp_dir::temp_dir() {
  char name[] = "/tmp/zamplet-test-XXXXXX";
  if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp");
  path = name;
}

void remove_tree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) < 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0700);
    for (const auto& name : list_dir(path)) remove_tree(path + "/" + name);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

temp_dir::~temp_dir() { remove_tree(path); }

small_fs::small_fs(const std::string& dir, const std::string& size) : path(dir) {
  if (geteuid() != 0)
    why = "mounting a small file system needs root";
  else if (mkdir(dir.c_str(), 0755) != 0 ||
           mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0)
    why = std::string("cannot mount a tmpfs here: ") + strerror(errno);
  mounted = why.empty();
}

small_fs::~small_fs() {
  if (mounted) umount2(path.c_str(), MNT_DETACH);
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << content;
  if (!f) throw std::runtime_error("write " + path);
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

strings tree_files(const std::string& dir, const std::string& prefix) {
  strings found;
  for (const auto& name : list_dir(dir)) {
    struct stat st {};
    if (lstat((dir + "/" + name).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      for (auto& below : tree_files(dir + "/" + name, prefix + name + "/")) found.push_back(below);
    } else {
      found.push_back(prefix + name);
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

struct stat stat_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st;
}

struct stat lstat_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

std::string padded_name(const std::string& leaf, size_t length) {
  size_t pad = length - leaf.size();
  std::string name;
  if (pad % 2 != 0) {
    name = ".//";
    pad -= 3;
  }
  for (; pad > 0; pad -= 2) name += "./";
  return name + leaf;
}

strings lines_of(const std::string& text) {
  strings lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

strings sorted_lines(const std::string& text) {
  strings lines = lines_of(text);
  std::sort(lines.begin(), lines.end());
  return lines;
}

namespace {

std::string proc_text(int pid, const char* name) {
  return read_file("/proc/" + std::to_string(pid) + "/" + name);
}

}  // namespace

char proc_state(int pid) {
  const std::string stat = proc_text(pid, "stat");
  const size_t close_paren = stat.rfind(')');
  if (close_paren == std::string::npos || close_paren + 2 >= stat.size()) return '?';
  return stat[close_paren + 2];
}

bool catches_interrupt_or_ended(int pid) {
  const std::string status = proc_text(pid, "status");
  if (status.empty() || status.find("State:\tZ") != std::string::npos) return true;
  const size_t at = status.find("SigCgt:\t");
  if (at == std::string::npos) return true;
  const unsigned long long mask = strtoull(status.c_str() + at + 8, nullptr, 16);
  return (mask >> (SIGINT - 1)) & 1u;
}

bool sleeping_in(int pid, long number, int fd) {
  // Any of its threads: the one that settles the batches of copies makes
  // the syncs and deletions.
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::string task = "task/" + std::string(entry->d_name) + "/";
    const std::string stat = proc_text(pid, (task + "stat").c_str());
    const size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos || close_paren + 2 >= stat.size() ||
        stat[close_paren + 2] != 'S')
      continue;
    const std::string call = proc_text(pid, (task + "syscall").c_str());
    long nr = -1;
    unsigned long arg0 = 0;
    found = call.empty() || (sscanf(call.c_str(), "%ld %lx", &nr, &arg0) == 2 && nr == number &&
                             arg0 == static_cast<unsigned long>(fd));
    if (found) break;
  }
  closedir(dir);
  return found;
}

bool waits_to_write(int pid, int fd) {
  if (sleeping_in(pid, SYS_write, fd)) return true;
  long nr = -1;
  return proc_state(pid) == 'S' && sscanf(proc_text(pid, "syscall").c_str(), "%ld", &nr) == 1 &&
         nr == SYS_ppoll;
}

}  // namespace zamplet_test
