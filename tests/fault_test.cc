// Fault injection over the in-place modes: each scenario runs once counting
// the calls it makes (tests/fault/fault_inject.cc), then once for every
// (function, k) reached, with the k-th call of that function failing, on
// fresh copies of the files.  After every run each file is either rewritten
// (new content, its count on standard output) or holds its old content
// under its own name, or, where a move back failed ("rename error"), under
// its intermediate name; the messages and the exit status say exactly what
// happened, and nothing else is left behind.
//
// What the program promises, and so what is checked:
// - a failed unlink of the intermediate copy after a good rewrite leaves the
//   copy (old content) behind and says "COPY\tunlink error:TEXT";
// - the engine gives up on a file: "NAME\tCALL error:TEXT" on standard error,
//   NAME the file or its intermediate copy; the bare name on standard output;
//   the old content is moved back; the run goes on, and ends with status 1;
// - a move aside or back fails: "PATH\trename error:TEXT", the run goes on
//   and ends with status 1; after a failed move back the next line says where
//   the old content is, "FILE\tfile didn't change! Its old content is in COPY";
// - the walk cannot look at something: "PATH\tTEXT", it goes on with the rest
//   of the tree, and the run ends with status 1.
// Cases outside the promise, tolerated explicitly and counted:
// - a failed write to standard output loses that piece of the report; the
//   output must be the fault-free output less one piece (progress writes are
//   unchecked: they never decide a file's fate);
// - recursive mode skips an entry whose stat, or a directory whose opendir,
//   fails with EACCES, silently and with status 0: an unreadable directory
//   is passed over.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <regex.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "e2e_support.h"

using namespace zamplet_test;

namespace {

struct scenario {
  strings args;  // options, patterns and FILE operands
  std::map<std::string, std::string> files;  // path below the run's directory -> content
  std::string old_text, new_text;            // the replacement, as a fixed string
  std::string temp;                          // the -t name, or empty
  bool keep = false, recursive = false;      // -l, -r
  std::string always;                        // ZAMPLET_FAULT_ALWAYS, or empty
};

struct fault {
  std::string call;
  long nth = 0;
  int err = 0;
};

long total_tried = 0;

std::string lock_of(const scenario& sc, const std::string& file) {
  return sc.temp.empty() ? file + ".lock" : sc.temp;
}

std::vector<int> errnos_for(const std::string& call) {
  if (call == "write") return {ENOSPC};
  if (call == "fchmod" || call == "chmod" || call == "fchown" || call == "chown") return {EPERM};
  if (call == "open" || call == "rename" || call == "renameat2" || call == "link" ||
      call == "unlink")
    return {EACCES};
  if (call == "stat" || call == "opendir") return {EIO, EACCES};
  return {EIO};
}

// Every name below `dir`, directories with a trailing "/".
void list_tree(const std::string& dir, const std::string& prefix, std::set<std::string>* out) {
  for (const auto& name : list_dir(dir)) {
    struct stat st {};
    lstat((dir + "/" + name).c_str(), &st);
    out->insert(prefix + name + (S_ISDIR(st.st_mode) ? "/" : ""));
    if (S_ISDIR(st.st_mode)) list_tree(dir + "/" + name, prefix + name + "/", out);
  }
}

run_result run(const scenario& sc, const temp_dir& d, const fault& f, const std::string& counts,
               const std::string& log) {
  for (const auto& [path, content] : sc.files) {
    for (size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1))
      mkdir((d / path.substr(0, at)).c_str(), 0755);
    write_file(d / path, content);
  }
  run_options o;
  o.cwd = d.path;
  o.in_child = [&] {
    setenv("LD_PRELOAD", ZAMPLET_FAULT_LIBRARY, 1);
    // The sanitizer runtime wants to come first in the list of libraries;
    // the preloaded library only forwards, so the order does no harm.
    const std::string asan = getenv("ASAN_OPTIONS") != nullptr ? getenv("ASAN_OPTIONS") : "";
    setenv("ASAN_OPTIONS", (asan + ":verify_asan_link_order=0").c_str(), 1);
    if (!counts.empty()) setenv("ZAMPLET_FAULT_COUNTS", counts.c_str(), 1);
    if (!sc.always.empty()) setenv("ZAMPLET_FAULT_ALWAYS", sc.always.c_str(), 1);
    if (f.nth > 0) {
      setenv("ZAMPLET_FAULT_CALL", f.call.c_str(), 1);
      setenv("ZAMPLET_FAULT_NTH", std::to_string(f.nth).c_str(), 1);
      setenv("ZAMPLET_FAULT_ERRNO", std::to_string(f.err).c_str(), 1);
      setenv("ZAMPLET_FAULT_LOG", log.c_str(), 1);
    }
  };
  return run_zamplet(sc.args, o);
}

// Checks one run; returns what is wrong, or nothing.  `order` is the order
// in which the fault-free run handled the files, `base_out` its output.
// Tolerated cases are counted in `tolerated`.
std::string check(const scenario& sc, const temp_dir& d, const run_result& r, const fault& f,
                  const std::string& logged_text, const strings& order, const std::string& base_out,
                  std::map<std::string, long>* tolerated) {
  std::ostringstream bad;
  std::string arg;  // the injected call's descriptor or path
  if (f.nth > 0) {
    std::istringstream logged(logged_text);
    std::string name;
    long nth = 0;
    int err = 0;
    if (!(logged >> name >> nth >> err >> arg) || name != f.call || nth != f.nth)
      return "the fault was not injected";
  }
  std::set<std::string> always_texts;  // "NAME:E,NAME:E"
  for (size_t at = sc.always.find(':'); at != std::string::npos; at = sc.always.find(':', at + 1))
    always_texts.insert(strerror(atoi(sc.always.c_str() + at + 1)));
  auto text_ok = [&](const std::string& t) {
    return (f.nth > 0 && t == strerror(f.err)) || always_texts.count(t) != 0;
  };
  const std::string call = f.call == "fchmod"                     ? "chmod"
                           : f.call == "fchown"                   ? "chown"
                           : f.call.find("xattr") != std::string::npos ? "xattr"
                                                                   : f.call;
  const bool out_fault = f.call == "write" && arg == "1";
  const bool silent_skip =
      sc.recursive && f.err == EACCES && (f.call == "stat" || f.call == "opendir");

  strings lines;
  for (size_t at = 0; at < r.err.size();) {
    const size_t end = r.err.find('\n', at);
    if (end == std::string::npos) return "standard error ends without a line end: " + r.err;
    lines.push_back(r.err.substr(at, end - at));
    at = end + 1;
  }
  // A copy that could not be deleted is reported when the batch of copies
  // waiting for a sync is settled, which may be after later files' lines.
  std::set<std::string> unlink_notes;
  for (auto l = lines.begin(); l != lines.end();) {
    const size_t at = l->find("\tunlink error:");
    if (f.call == "unlink" && at != std::string::npos && text_ok(l->substr(at + 14))) {
      unlink_notes.insert(l->substr(0, at));
      l = lines.erase(l);
    } else {
      ++l;
    }
  }
  // A copy kept because the new content may not be on disk is said when
  // the sync fails: right after its file's line, or when the batch is
  // settled, after later files' lines.
  const bool sync_fault = f.call == "fdatasync" || f.call == "fsync" || f.call == "syncfs";
  std::set<std::string> sync_notes;
  for (auto l = lines.begin(); sync_fault && l != lines.end();) {
    const size_t at = l->find("\tsync error:");
    if (at != std::string::npos && text_ok(l->substr(at + 12))) {
      sync_notes.insert(l->substr(0, at));
      l = lines.erase(l);
    } else {
      ++l;
    }
  }
  // A lost piece of the report is said once, when it is lost.
  bool report_said = false;
  for (auto l = lines.begin(); out_fault && l != lines.end();) {
    if (!report_said && l->rfind("write error:", 0) == 0 && text_ok(l->substr(12))) {
      report_said = true;
      l = lines.erase(l);
    } else {
      ++l;
    }
  }
  size_t next = 0;  // the next line of standard error to account for
  std::vector<std::string> walk_notes;  // the paths of the walk's notes
  // Accounts for the next line of standard error when it begins with `head`
  // and ends with the text of the injected (or the persistent) errno.
  auto take = [&](const std::string& head, bool any_path = false) {
    if (next >= lines.size()) return false;
    const std::string& l = lines[next];
    size_t cut = head.size();
    if (any_path) {  // "PATH\tTEXT" of a failed walk, PATH at or below the start
      const size_t tab = l.find('\t');
      const std::string start = sc.args.back();
      if (tab == std::string::npos) return false;
      if (l.compare(0, tab, start) != 0 && l.rfind(start + "/", 0) != 0) return false;
      cut = tab + 1;
    } else if (l.compare(0, head.size(), head) != 0) {
      return false;
    }
    if (!text_ok(l.substr(cut))) return false;
    if (any_path) walk_notes.push_back(l.substr(0, cut - 1));
    ++next;
    return true;
  };
  // A path the walk passed over, with everything below it, is explained by
  // its note.
  auto passed_over = [&](const std::string& file) {
    return std::any_of(walk_notes.begin(), walk_notes.end(), [&](const std::string& p) {
      return file == p || file.rfind(p + "/", 0) == 0;
    });
  };

  std::set<std::string> expected_names;
  for (const auto& [path, content] : sc.files) {
    for (size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1))
      expected_names.insert(path.substr(0, at + 1));
  }
  int status = 0;
  long cuts = 0, cut_files = 0;  // said of the files done
  bool stopped = false;  // a fatal failure ended the run
  size_t pos = 0;        // the part of standard output accounted for
  for (const auto& file : order) {
    const std::string& old_content = sc.files.at(file);
    const literal_result model = literal_model(old_content, sc.old_text, sc.new_text);
    const std::string& new_content = model.text;
    const long count = model.count;
    // The note on cut occurrences follows the line of a file that was done.
    // (A failed write of a note loses it, not the sum at the end.)
    auto said_cut = [&] {
      if (model.cuts == 0) return;
      cuts += model.cuts;
      ++cut_files;
      if (next < lines.size() && lines[next] + "\n" == cut_note(file, model.cuts)) ++next;
    };
    const std::string lock = lock_of(sc, file);
    const std::string now = exists(d / file) ? read_file(d / file) : "(missing)";
    const bool lock_old = exists(d / lock) && read_file(d / lock) == old_content;
    const std::string done = file + " " + std::to_string(count) + "\n";
    auto printed = [&](const std::string& piece) {
      if (out_fault || r.out.compare(pos, piece.size(), piece) != 0) return false;
      pos += piece.size();
      return true;
    };
    expected_names.insert(file);
    if (stopped) {
      if (now != old_content) bad << file << ": touched after the run had ended\n";
    } else if (out_fault || printed(done)) {  // rewritten
      if (now != new_content) bad << file << ": reported rewritten, holds something else\n";
      if (sc.keep && sc.temp.empty()) {
        if (!lock_old) bad << lock << ": -l copy missing or wrong\n";
        expected_names.insert(lock);
      } else if (f.call == "unlink" && arg == lock && (lock_old || !exists(d / lock)) &&
                 unlink_notes.erase(lock) == 1) {
        // The copy stays, unless a later file's move aside to the same -t
        // name replaced it (and that file's copy was then deleted).
        if (lock_old) expected_names.insert(lock);
      } else if (sync_notes.erase(lock) == 1) {
        // The sync failed: the old content stays beside the new one.
        if (!lock_old) bad << lock << ": kept after a failed sync, but not the old content\n";
        expected_names.insert(lock);
        status = 1;
      }
      said_cut();
    } else if (printed(file + "\n")) {
      // The engine gave up; the copy was moved back, or the move back failed.
      status = 1;
      if (!take(file + "\t" + call + " error:") && !take(lock + "\t" + call + " error:"))
        bad << file << ": gave up without its message\n";
      if (take(file + "\trename error:")) {
        if (!lock_old) bad << file << ": old content lost, not under " << lock << " either\n";
        if (next < lines.size() &&
            lines[next] == file + "\tfile didn't change! Its old content is in " + lock)
          ++next;
        else
          bad << file << ": the move back failed, and nothing says where the old content is\n";
        expected_names.insert(lock);
      } else if (now != old_content) {
        bad << file << ": old content not moved back\n";
      }
    } else {  // never started: the move aside failed, or the walk passed over it
      if (now != old_content) bad << file << ": not reported, but changed\n";
      if (!sc.recursive && take(file + "\tstat error:")) {
        status = 1;
      } else if (!sc.temp.empty() && (f.call == "unlink" || sync_fault) && next < lines.size() &&
                 lines[next] == file + "\tfile didn't change! " + lock + " exists. Try later!") {
        ++next;  // an earlier file's copy, not deleted, still holds the -t name
      } else if (take(file + "\trename error:")) {
        status = 1;
      } else if (sc.recursive && (passed_over(file) || (take("", true) && passed_over(file)))) {
        // The walk passed over it and went on.
        status = 1;
      } else if (silent_skip) {
        ++(*tolerated)["EACCES entry skipped silently"];
      } else {
        bad << file << ": not rewritten, and nothing says why\n";
      }
    }
  }
  // The walk may also pass over something after the last file.
  while (sc.recursive && !stopped && take("", true)) status = 1;
  // A run that ends by itself sums up what the chunk boundaries cut.
  if (cuts > 0 && !stopped && next < lines.size() && lines[next] + "\n" == cut_total(cuts, cut_files))
    ++next;
  for (; next < lines.size(); ++next) bad << "unexpected message: " << lines[next] << "\n";
  for (const auto& copy : unlink_notes) bad << "unexpected message: " << copy << "\tunlink error\n";
  for (const auto& copy : sync_notes) bad << "unexpected message: " << copy << "\tsync error\n";
  if (out_fault) {
    // One write's bytes are missing, nothing else.
    size_t same = 0;
    while (same < r.out.size() && r.out[same] == base_out[same]) ++same;
    const size_t tail = r.out.size() - same;
    if (r.out.size() >= base_out.size() ||
        base_out.compare(base_out.size() - tail, tail, r.out, same, tail) != 0)
      bad << "standard output is not the full report less one piece: " << r.out << "\n";
    if (!report_said) bad << "the lost report is not said\n";
    status = 1;
    ++(*tolerated)["write to standard output failed, report incomplete, said"];
  } else if (pos != r.out.size()) {
    bad << "unexpected standard output: " << r.out.substr(pos) << "\n";
  }
  if (r.status != status) bad << "exit status " << r.status << ", expected " << status << "\n";
  std::set<std::string> names;
  list_tree(d.path, "", &names);
  for (const auto& name : names)
    if (expected_names.count(name) == 0) bad << "left behind: " << name << "\n";
  return bad.str();
}

std::map<std::string, long> read_counts(const std::string& path) {
  std::map<std::string, long> counts;
  std::istringstream in(read_file(path));
  std::string name;
  long n = 0;
  while (in >> name >> n) counts[name] = n;
  return counts;
}

// A command line that repeats one faulty run, in a directory holding the
// scenario's files.
std::string reproduction(const scenario& sc, const fault& f) {
  std::ostringstream s;
  s << "reproduce, in a directory with";
  for (const auto& [path, content] : sc.files)
    s << " " << path << " (" << content.size() << " bytes)";
  s << " as this test makes them:\n  ";
  if (!sc.always.empty()) s << "ZAMPLET_FAULT_ALWAYS=" << sc.always << " ";
  s << "ZAMPLET_FAULT_CALL=" << f.call << " ZAMPLET_FAULT_NTH=" << f.nth
    << " ZAMPLET_FAULT_ERRNO=" << f.err << " LD_PRELOAD=" << ZAMPLET_FAULT_LIBRARY << " "
    << ZAMPLET_BINARY;
  for (const auto& a : sc.args) s << " '" << a << "'";
  return s.str();
}

void run_scenario(const scenario& sc) {
  temp_dir scratch;  // holds the counts, the log and one directory per run
  const std::string counts_path = scratch / "counts";
  std::map<std::string, long> tolerated;
  strings order;
  std::string base_out;
  std::map<std::string, long> counts;
  {
    temp_dir d;
    const run_result r = run(sc, d, {}, counts_path, "");
    counts = read_counts(counts_path);
    if (counts["open"] == 0 || counts["write"] == 0) {
      if (ZAMPLET_SANITIZED)
        GTEST_SKIP() << "the preloaded library does not reach the sanitized program's calls: "
                     << r.err;
      FAIL() << "the preloaded library saw no calls: " << r.err;
    }
    // The order of the files is the order of the walk (or of the operands).
    std::istringstream out(r.out);
    for (std::string line; std::getline(out, line);)
      order.push_back(line.substr(0, line.rfind(' ')));
    base_out = r.out;
    ASSERT_EQ(order.size(), sc.files.size()) << r.out << r.err;
    ASSERT_EQ(check(sc, d, r, {}, "", order, base_out, &tolerated), "") << r.out << r.err;
  }
  long tried = 0, failures = 0;
  for (const auto& [call, n] : counts) {
    for (long k = 1; k <= n; ++k) {
      for (int err : errnos_for(call)) {
        const fault f{call, k, err};
        temp_dir d;
        const std::string log = scratch / "fault.log";
        unlink(log.c_str());
        const run_result r = run(sc, d, f, "", log);
        ++tried;
        const std::string problems =
            check(sc, d, r, f, read_file(log), order, base_out, &tolerated);
        if (problems.empty() || ++failures > 10) continue;
        ADD_FAILURE() << "fault " << call << " #" << k << " errno " << err << " ("
                      << strerror(err) << "):\n" << problems << "stdout: " << r.out
                      << "\nstderr: " << r.err << "\nstatus: " << r.status << "\n"
                      << reproduction(sc, f);
      }
    }
  }
  total_tried += tried;
  std::ostringstream summary;
  summary << tried << " injected faults tried";
  for (const auto& [what, n] : tolerated) summary << "; tolerated " << n << "x: " << what;
  testing::Test::RecordProperty("injected_faults", static_cast<int>(tried));
  std::cout << "[ faults   ] " << summary.str() << std::endl;
}

std::string big_text() {
  std::string s;
  for (int i = 0; i < 3000; ++i) s += "line " + std::to_string(i) + ": some foo and more text\n";
  return s;  // about 90 KB: more than one read and one write
}

const std::string A = "foo 1 foo 2 foo\n", B = "nothing here\n";

// Prints the total when the whole binary runs.
struct total_printer : testing::Environment {
  void TearDown() override {
    std::cout << "[ faults   ] " << total_tried << " injected faults in all" << std::endl;
  }
};
const auto* const printer = testing::AddGlobalTestEnvironment(new total_printer);

}  // namespace

TEST(FaultListed, GrowingReplacement) {
  run_scenario({{"foo", "foobarbaz", "a.txt", "b.txt", "big.txt"},
                {{"a.txt", A}, {"b.txt", B}, {"big.txt", big_text()}}, "foo", "foobarbaz"});
}

TEST(FaultListed, TempName) {
  run_scenario({{"-t", "scratch.tmp", "foo", "foobarbaz", "a.txt", "b.txt"},
                {{"a.txt", A}, {"b.txt", B}}, "foo", "foobarbaz", "scratch.tmp"});
}

TEST(FaultListed, KeepSameLengthLiteral) {
  run_scenario({{"-l", "-w", "foo", "bar", "a.txt", "big.txt"},
                {{"a.txt", A}, {"big.txt", big_text()}}, "foo", "bar", "", true});
}

// A file system without RENAME_NOREPLACE: the move aside links and unlinks.
TEST(FaultListed, MoveAsideByLink) {
  run_scenario({{"-w", "foo", "quux", "a.txt", "b.txt"}, {{"a.txt", A}, {"b.txt", B}}, "foo",
                "quux", "", false, false, "renameat2:" + std::to_string(EINVAL)});
}

// Every move back over the engine's new file fails too: a file system
// without exchanges, where the move back is a plain rename, which fails.
// Whatever makes the engine give up after the new file took the name leaves
// the old content under FILE.lock, and the run says so.
const std::string MOVE_BACK_FAILS =
    "renameat2:" + std::to_string(EINVAL) + ",rename:" + std::to_string(EIO);

TEST(FaultListed, MoveBackFails) {
  run_scenario({{"foo", "X", "a.txt", "b.txt"}, {{"a.txt", A}, {"b.txt", B}}, "foo", "X", "", false,
                false, MOVE_BACK_FAILS});
}

// Faults outside the scenarios' calls: too little memory for a file's
// buffers moves nothing, and a matcher error is that file's failure, with
// its copy moved back; either way the run goes on and ends with status 1.
TEST(FaultListed, MemoryAndMatcherErrorsAreOneFilesFailure) {
  if (ZAMPLET_SANITIZED) GTEST_SKIP() << "the sanitizer's allocator cannot be replaced";
  struct row {
    std::string variable, value;
    strings args;
    std::string out, err;
    std::string a = A;  // a.txt's content
  };
  const std::vector<row> rows = {
      // A diff's change grows with a line that changes all along.
      {"ZAMPLET_FAULT_MALLOC_FROM", "70000", {"--diff", "-w", "q", "Q", "a.txt", "b.txt"}, "",
       "a.txt\tmemory error:Cannot allocate memory\n", std::string(200000, 'q')},
      {"ZAMPLET_FAULT_MALLOC_FROM", "60000", {"foo", "bar", "a.txt", "b.txt"}, "a.txt\nb.txt\n",
       "a.txt\tmemory error:Cannot allocate memory\nb.txt\tmemory error:Cannot allocate memory\n"},
      {"ZAMPLET_FAULT_MALLOC_FROM", "60000", {"-r", "foo", "bar", "t"}, "t/c.txt\n",
       "t/c.txt\tmemory error:Cannot allocate memory\n"},
      // A back-reference keeps the search with the C library's matcher; a
      // file without the string every match holds is never given to it.
      {"ZAMPLET_FAULT_REGEXEC",
       std::to_string(REG_ESPACE),
       {"\\(f\\)\\1*oo", "bar", "a.txt", "b.txt"},
       "a.txt\nb.txt 0\n",
       "a.txt\tregexec error:Memory exhausted\n"},
      {"ZAMPLET_FAULT_REGEXEC", std::to_string(REG_ESPACE), {"-r", "\\(f\\)\\1*oo", "bar", "t"},
       "t/c.txt\n",
       "t/c.txt\tregexec error:Memory exhausted\n"},
  };
  for (const auto& row : rows) {
    temp_dir d;
    write_file(d / "a.txt", row.a);
    write_file(d / "b.txt", B);
    ASSERT_EQ(mkdir((d / "t").c_str(), 0755), 0);
    write_file(d / "t/c.txt", "foo\n");
    run_options o;
    o.cwd = d.path;
    o.in_child = [&] {
      setenv("LD_PRELOAD", ZAMPLET_MEMORY_FAULT_LIBRARY, 1);
      setenv(row.variable.c_str(), row.value.c_str(), 1);
    };
    const run_result r = run_zamplet(row.args, o);
    EXPECT_TRUE(ran(r, row.out, row.err, 1)) << row.variable << " " << row.args[0];
    EXPECT_EQ(read_file(d / "a.txt"), row.a);
    EXPECT_EQ(read_file(d / "b.txt"), B);
    EXPECT_EQ(read_file(d / "t/c.txt"), "foo\n");
    std::set<std::string> names;
    list_tree(d.path, "", &names);
    EXPECT_EQ(names, (std::set<std::string>{"a.txt", "b.txt", "t/", "t/c.txt"}));
  }
}

const std::map<std::string, std::string> tree = {
    {"t/a.txt", A},
    {"t/sub/b.txt", B},
    {"t/sub/deep/c.txt", "foo\nfoo foo\n"},
    {"t/z.txt", "a foo\n"}};

TEST(FaultRecursive, GrowingReplacement) {
  run_scenario({{"-r", "foo", "foobarbaz", "t"}, tree, "foo", "foobarbaz", "", false, true});
}

TEST(FaultRecursive, SameLengthMoveAsideByLink) {
  run_scenario({{"-r", "-w", "foo", "bar", "t"}, tree, "foo", "bar", "", false, true,
                "renameat2:" + std::to_string(EINVAL)});
}

TEST(FaultRecursive, MoveBackFails) {
  run_scenario({{"-r", "foo", "X", "t"}, tree, "foo", "X", "", false, true, MOVE_BACK_FAILS});
}
