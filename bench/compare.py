#!/usr/bin/env python3
"""Times zamplet against the tools people would use instead on the same work.

Generates its own corpora (a 100 MB and a 1 GB text of short words, and a
tree of 10,000 files in 1,000 directories), copies a real one (the system's C
header tree, with an identifier that about 1 % of its files contain), runs
every tool on a fresh copy several times, and prints one table per corpus:
median wall time, ratio to zamplet, and peak resident memory as
/usr/bin/time -v reports it.  A tool that is not installed is reported as
missing.  Never run by the test suite.

With --before PATH (a build of an earlier version), each table times both
builds in the same run; so does the table of one file of real C source (the
header tree's files concatenated to 100 MB), which times expressions.

The --diff table times the preview against -s (which only counts) on the
same files: each expression of the C-source table, one line of 100 MB, and
100 MB where every line changes, with the memory each takes.

The settling tables rewrite size_t in a copy of the header tree (about a
quarter of its files change) against `rg -l | xargs sd`, on a quiet disk and
while another program writes heavily beside it; the memory table gives the
peak RSS of -r over a generated tree of 100,000 files, when none changes and
when every one does.

The --whole tables time that option against the chunk rule on the same
files (C source, one line of 100 MB, 1 GB of words), and the check after them
rewrites copies of the header tree with zamplet -r, with and without --whole,
and with find -exec sed -i, and counts what is left and which files differ.

Usage: bench/compare.py [--zamplet PATH] [--before PATH] [--runs N] [--big-runs N]
                        [--real-tree-runs N] [--real-tree-tools REGEX] [--no-big]
                        [--no-real-tree]
                        [--only-real-tree | --only-file100 | --only-dirty |
                         --only-source100 | --only-diff | --only-whole |
                         --only-settle | --only-memory] [--work DIR]
"""

import argparse
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

WORDS = ("the a of to in is it on as at by an be or we if no so up do go me my us "
         "fox dog cat cow owl bee ant elk yak emu hen pig rat bat "
         "run ran sing song ring king bring thing going doing being making "
         "Red Blue Green Black White Brown Gray Pink Gold Silver").split()


def make_text(path, size, seed, one_line=False):
    """Writes `size` bytes of lines of short words, the same for a seed; with
    `one_line`, blanks in place of the newlines, so that the text is one line."""
    rng = random.Random(seed)
    lines = []
    length = 0
    while length < 1 << 20:
        line = " ".join(rng.choice(WORDS) for _ in range(rng.randint(4, 14))) + "\n"
        lines.append(line)
        length += len(line)
    block = "".join(lines).encode()[: 1 << 20]
    if one_line:
        block = block.replace(b"\n", b" ")
    with open(path, "wb") as f:
        left = size
        while left > 0:
            f.write(block[:left])
            left -= len(block)


def make_tree(root, dirs, files_per_dir, seed):
    """Writes `dirs` directories of `files_per_dir` small texts each."""
    rng = random.Random(seed)
    for d in range(dirs):
        sub = os.path.join(root, "d%02d" % (d % 10), "d%04d" % d)
        os.makedirs(sub)
        for f in range(files_per_dir):
            words = [rng.choice(WORDS) for _ in range(rng.randint(50, 400))]
            with open(os.path.join(sub, "f%02d.txt" % f), "w") as out:
                out.write(" ".join(words) + "\n")


def run_once(argv, stdin_path=None):
    """Runs one command; returns (seconds, peak RSS in KB)."""
    with tempfile.NamedTemporaryFile(delete=False) as stats:
        pass
    stdin = open(stdin_path, "rb") if stdin_path else subprocess.DEVNULL
    try:
        start = time.perf_counter()
        proc = subprocess.run(["/usr/bin/time", "-v", "-o", stats.name] + argv,
                              stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        seconds = time.perf_counter() - start
    finally:
        if stdin_path:
            stdin.close()
    rss = 0
    with open(stats.name) as f:
        for line in f:
            if "Maximum resident set size" in line:
                rss = int(line.split(":")[1])
    os.unlink(stats.name)
    if proc.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(argv), proc.returncode,
                                                   proc.stderr.decode(errors="replace")[:300]))
    return seconds, rss


def tool_of(argv):
    """The program a case depends on: the one find runs, the first of a
    pipeline's programs that is missing (PIPELINE_TOOLS), or the command."""
    if argv[0] == "find":
        return argv[argv.index("-exec") + 1]
    if argv[0] == "sh" and argv[1:2] == ["-c"] and argv[2] in PIPELINE_TOOLS:
        needed = PIPELINE_TOOLS[argv[2]]
        return next((t for t in needed if not shutil.which(t)), needed[0])
    return argv[0]


def synced(tool, files):
    """`tool` on `files`, then `sync` of the same files, so that the new
    contents are on disk when it returns, as zamplet's are."""
    return ["sh", "-c", '"$0" "$@" && shift %d && sync "$@"' % (len(tool) - 1), *tool, *files]


def file_cases(zamplet, text):
    """(case, tool, argv) for the in-place cases on the file `text`."""
    fixed = ("fox", "cat")
    simple = ("b.t", "BAT")
    classes = ("[A-Z][a-z]+ [a-z]*ing", "X")
    return [
        ("fixed string", "zamplet -w", [zamplet, "-q", "-w", *fixed, text]),
        ("fixed string", "sd -s", ["sd", "-s", *fixed, text]),
        ("fixed string", "sed -i", ["sed", "-i", "s/fox/cat/g", text]),
        ("fixed string", "sed -i, then sync", synced(["sed", "-i", "s/fox/cat/g"], [text])),
        ("fixed string", "perl -pi", ["perl", "-pi", "-e", "s/\\Qfox\\E/cat/g", text]),
        ("simple expression", "zamplet", [zamplet, "-q", *simple, text]),
        ("simple expression", "sd", ["sd", *simple, text]),
        ("simple expression", "sed -i", ["sed", "-i", "s/b.t/BAT/g", text]),
        ("simple expression", "sed -i, then sync", synced(["sed", "-i", "s/b.t/BAT/g"], [text])),
        ("simple expression", "perl -pi", ["perl", "-pi", "-e", "s/b.t/BAT/g", text]),
        ("classes and repetition", "zamplet -e", [zamplet, "-q", "-e", *classes, text]),
        ("classes and repetition", "sd", ["sd", *classes, text]),
        ("classes and repetition", "sed -E -i",
         ["sed", "-E", "-i", "s/%s/X/g" % classes[0], text]),
        ("classes and repetition", "perl -pi", ["perl", "-pi", "-e", "s/%s/X/g" % classes[0], text]),
    ]


def tree_cases(zamplet, tree):
    find = ["find", tree, "-type", "f", "-exec"]
    return [
        ("tree, fixed string", "zamplet -r -w", [zamplet, "-q", "-r", "-w", "fox", "cat", tree]),
        ("tree, fixed string", "find + sd -s", find + ["sd", "-s", "fox", "cat", "{}", "+"]),
        ("tree, fixed string", "find + sed -i", find + ["sed", "-i", "s/fox/cat/g", "{}", "+"]),
        ("tree, fixed string", "find + sed -i, then sync",
         find + synced(["sed", "-i", "s/fox/cat/g"], ["{}", "+"])),
        ("tree, fixed string", "find + perl -pi",
         find + ["perl", "-pi", "-e", "s/\\Qfox\\E/cat/g", "{}", "+"]),
        ("tree, expression", "zamplet -r", [zamplet, "-q", "-r", "b.t", "BAT", tree]),
        ("tree, expression", "find + sed -i", find + ["sed", "-i", "s/b.t/BAT/g", "{}", "+"]),
        ("tree, expression", "find + sed -i, then sync",
         find + synced(["sed", "-i", "s/b.t/BAT/g"], ["{}", "+"])),
    ]


# Identifiers the real tree is searched for; the one in the number of files
# closest to 1 % of them is replaced.
REAL_TREE_CANDIDATES = ("pthread_t", "sigset_t", "timespec", "pid_t", "off_t", "uid_t",
                        "uint32_t")


def system_header_dir():
    """The last existing directory the C compiler searches for <...> includes,
    which is the system's own header tree; /usr/include if the compiler does
    not say."""
    try:
        proc = subprocess.run(["cc", "-xc", "-E", "-v", "/dev/null"], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True)
        output = proc.stderr + proc.stdout
    except OSError:
        output = ""
    found = None
    inside = False
    for line in output.splitlines():
        if line.startswith("#include <...> search starts here:"):
            inside = True
        elif line.startswith("End of search list."):
            inside = False
        elif inside:
            path = line.strip()
            # Frameworks and other annotations follow the path in parentheses.
            path = re.sub(r"\s+\(.*\)$", "", path)
            if os.path.isdir(path):
                found = path
    return found or "/usr/include"


def copy_real_tree(source, target):
    """Copies `source` with its symbolic links as links, then removes every
    link that leads out of the copy or nowhere: zamplet -r and find -L follow
    links, and a tool run as root must never reach a file outside the corpus.
    Returns the number of links removed."""
    shutil.copytree(source, target, symlinks=True)
    return remove_outside_links(target)


def remove_outside_links(target):
    """Removes every symbolic link under `target` that leads out of it or
    nowhere; returns their number."""
    root = os.path.realpath(target)
    removed = 0
    for parent, dirs, files in os.walk(target):
        for name in dirs + files:
            path = os.path.join(parent, name)
            if not os.path.islink(path):
                continue
            resolved = os.path.realpath(path)
            if (os.path.commonpath([root, resolved]) != root
                    or not os.path.exists(resolved)):
                os.unlink(path)
                removed += 1
    return removed


def count_files(tree):
    """Regular files under `tree`, links not followed, as find -type f counts."""
    return sum(1 for parent, dirs, files in os.walk(tree) for name in files
               if not os.path.islink(os.path.join(parent, name)))


def files_containing(tree, text, whole_word=False):
    """Files under `tree` (links not followed) that contain `text`."""
    argv = ["grep", "-rlF"] + (["-w"] if whole_word else []) + ["--", text, tree]
    proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    if proc.returncode not in (0, 1):
        raise RuntimeError("%s failed (%d)" % (" ".join(argv), proc.returncode))
    return len(proc.stdout.splitlines())


# What users type to rewrite only the files that hold a string: ripgrep
# lists them (with a thread per core), sd rewrites each.  Neither syncs.
LISTED_BY_RG = 'rg -l -0 -F -- "$1" "$3" | xargs -0 -r sd -s -- "$1" "$2"'
PIPELINE_TOOLS = {LISTED_BY_RG: ("rg", "sd")}


def real_tree_cases(zamplet, tree, old, new):
    find = ["find", tree, "-type", "f", "-exec"]
    floor = "find -L \"$1\" -type f -print0 | xargs -0 cat > /dev/null"
    case = "%s to %s" % (old, new)
    return [
        (case, "zamplet -r -w", [zamplet, "-q", "-r", "-w", old, new, tree]),
        (case, "zamplet -r -w -s (only reads)", [zamplet, "-r", "-s", "-w", old, new, tree]),
        (case, "zamplet -r -w -s --exclude-vcs-ignores (only reads)",
         [zamplet, "-r", "-s", "--exclude-vcs-ignores", "-w", old, new, tree]),
        (case, "zamplet -r -w --diff (only reads)", [zamplet, "-r", "--diff", "-w", old, new, tree]),
        (case, "find + sed -i", find + ["sed", "-i", "s/%s/%s/g" % (old, new), "{}", "+"]),
        (case, "find + sd -s", find + ["sd", "-s", old, new, "{}", "+"]),
        (case, "rg -l | xargs sd", ["sh", "-c", LISTED_BY_RG, "sh", old, new, tree]),
        (case, "find + perl -pi",
         find + ["perl", "-pi", "-e", "s/\\Q%s\\E/%s/g" % (old, new), "{}", "+"]),
        (case, "read every file once (floor)", ["sh", "-c", floor, "sh", tree]),
    ]


# Expressions timed on real C source: frequent, with a rare word in front,
# with alternation, rare (the fixed string gives the scale), and an
# alternation of ten keywords, about a million matches, which a set of fixed
# strings searches.
SOURCE_KEYWORDS = "if|else|for|while|return|int|char|struct|static|const"
SOURCE_EXPRESSIONS = ("[a-z]+_t", "[A-Z][a-z]+ [a-z]*ing", "u?int(8|16|32|64)_t",
                      "pthread_mutex_[a-z]*lock", SOURCE_KEYWORDS)
SOURCE_FIXED = "pthread_mutex_lock"
# A rename that keeps a group: --backrefs against the same search without a
# group, and against sd and sed with the same template.
BACKREFS_CASE = "([a-z]+)_t to \\1_type"


def make_source(path, size):
    """Writes `size` bytes of the system's header files, concatenated in the
    order of their names, as often as it takes."""
    source = system_header_dir()
    names = sorted(os.path.join(p, n) for p, _, files in os.walk(source) for n in files
                   if not os.path.islink(os.path.join(p, n)))
    left = size
    with open(path, "wb") as out:
        while left > 0:
            for name in names:
                try:
                    with open(name, "rb") as f:
                        data = f.read(left)
                except OSError:
                    continue
                out.write(data)
                left -= len(data)
                if left <= 0:
                    break


def source_cases(zamplet, before, text):
    """(case, tool, argv): each expression with this build, the earlier one,
    sd and sed -E -i (also followed by a sync, which zamplet's own rewrite
    includes); the fixed string with both builds."""
    cases = []
    for expression in SOURCE_EXPRESSIONS:
        for label, binary in (("zamplet -e", zamplet), ("earlier build: zamplet -e", before)):
            if binary:
                cases.append((expression, label, [binary, "-q", "-e", expression, "X", text]))
        cases.append((expression, "sd", ["sd", expression, "X", text]))
        cases.append((expression, "sed -E -i", ["sed", "-E", "-i", "s/%s/X/g" % expression, text]))
        cases.append((expression, "sed -E -i, then sync",
                      synced(["sed", "-E", "-i", "s/%s/X/g" % expression], [text])))
    cases.append((BACKREFS_CASE, "zamplet --backrefs",
                  [zamplet, "-q", "--backrefs", "-e", "([a-z]+)_t", "\\1_type", text]))
    cases.append((BACKREFS_CASE, "zamplet -e [a-z]+_t X",
                  [zamplet, "-q", "-e", "[a-z]+_t", "X", text]))
    cases.append((BACKREFS_CASE, "sd", ["sd", "([a-z]+)_t", "${1}_type", text]))
    cases.append((BACKREFS_CASE, "sed -E -i",
                  ["sed", "-E", "-i", "s/([a-z]+)_t/\\1_type/g", text]))
    for label, binary in (("zamplet -w", zamplet), ("earlier build: zamplet -w", before)):
        if binary:
            cases.append(("-w " + SOURCE_FIXED, label, [binary, "-q", "-w", SOURCE_FIXED, "X",
                                                        text]))
    return cases


def source_file(zamplet, before, runs, work, progress):
    original = os.path.join(work, "source-original")
    copy = os.path.join(work, "source-copy")
    progress("concatenating the header files")
    make_source(original, 100_000_000)
    rows = file_rows(source_cases(zamplet, before, copy), runs, original, copy, progress)
    print_table("One file of 100 MB of C source (the header files concatenated), in place",
                rows)
    seconds = {(case, tool): s for case, tool, s, _ in rows if s is not None}
    fixed = seconds.get(("-w " + SOURCE_FIXED, "zamplet -w"))
    print()
    for expression in SOURCE_EXPRESSIONS:
        ours = seconds.get((expression, "zamplet -e"))
        parts = []
        for tool in ("sd", "sed -E -i", "sed -E -i, then sync", "earlier build: zamplet -e"):
            if ours is not None and (expression, tool) in seconds:
                parts.append("/ %s = %.2f" % (tool, ours / seconds[expression, tool]))
        if ours is not None and fixed is not None:
            parts.append("/ -w = %.2f" % (ours / fixed))
        print("- `%s`: zamplet %s" % (expression, ", ".join(parts)))
    ours = seconds.get((BACKREFS_CASE, "zamplet --backrefs"))
    if ours is not None:
        parts = ["/ %s = %.2f" % (tool, ours / seconds[BACKREFS_CASE, tool])
                 for tool in ("zamplet -e [a-z]+_t X", "sd", "sed -E -i")
                 if (BACKREFS_CASE, tool) in seconds]
        print("- `%s`: zamplet --backrefs %s" % (BACKREFS_CASE, ", ".join(parts)))
    sys.stdout.flush()
    os.unlink(original)
    os.unlink(copy)


# --diff against -s on the same file: every expression of the C-source table
# and a fixed string, then memory on one line of 100 MB and on 100 MB where
# every line changes.
DIFF_SOURCE_CASES = tuple(("-e " + e, ["-e", e, "X"]) for e in SOURCE_EXPRESSIONS) + (
    ("-w size_t", ["-w", "size_t", "SIZE_T"]),)
DIFF_TEXT_CASES = (("one line: -w fox", ["-w", "fox", "cat"], True),
                   ("every line changes: -w ' '", ["-w", " ", "_"], False))


def diff_cases(zamplet, before, cases, text):
    """(case, tool, argv): -s, --diff and --whole --diff, and the earlier
    build's --diff."""
    rows = []
    for label, args in cases:
        rows.append((label, "zamplet -s", [zamplet, "-s", *args, text]))
        rows.append((label, "zamplet --diff", [zamplet, "--diff", *args, text]))
        rows.append((label, "zamplet --whole --diff", [zamplet, "--whole", "--diff", *args, text]))
        if before:
            rows.append((label, "earlier build: zamplet --diff", [before, "--diff", *args, text]))
    return rows


def diff_files(zamplet, before, runs, work, progress):
    original = os.path.join(work, "diff-original")
    copy = os.path.join(work, "diff-copy")
    progress("concatenating the header files")
    make_source(original, 100_000_000)
    rows = file_rows(diff_cases(zamplet, before, DIFF_SOURCE_CASES, copy), runs, original, copy,
                     progress)
    for label, args, one_line in DIFF_TEXT_CASES:
        make_text(original, 100_000_000, 1, one_line=one_line)
        rows += file_rows(diff_cases(zamplet, before, ((label, args),), copy), runs, original,
                          copy, progress)
    print_table("--diff against -s: 100 MB of C source, one line of 100 MB, 100 MB where "
                "every line changes", rows)
    seconds = {(case, tool): s for case, tool, s, _ in rows if s is not None}
    print()
    for case in dict.fromkeys(case for case, _, _, _ in rows):
        quiet = seconds.get((case, "zamplet -s"))
        parts = ["%s / -s = %.2f" % (tool, seconds[case, tool] / quiet)
                 for tool in ("zamplet --diff", "zamplet --whole --diff",
                              "earlier build: zamplet --diff")
                 if quiet and (case, tool) in seconds]
        print("- `%s`: %s" % (case, ", ".join(parts)))
    sys.stdout.flush()
    os.unlink(original)
    os.unlink(copy)


# --whole against the chunk rule: a fixed string and expressions on C source,
# then memory on 1 GB of words and on 100 MB without a newline.
WHOLE_SOURCE_CASES = (("-w size_t", ["-w", "size_t", "SIZE_T"]),
                      ("-e u?int(8|16|32|64)_t", ["-e", "u?int(8|16|32|64)_t", "X"]),
                      ("-e [a-z]+_t", ["-e", "[a-z]+_t", "X"]))
WHOLE_TEXT_CASES = (("-w fox", ["-w", "fox", "cat"]),
                    ("-e [A-Z][a-z]+ [a-z]*ing", ["-e", "[A-Z][a-z]+ [a-z]*ing", "X"]))


def whole_cases(zamplet, cases, text, prefix=""):
    """(case, tool, argv): each case by the chunk rule, then with --whole."""
    return [row for label, args in cases for row in (
        (prefix + label, "zamplet (chunk rule)", [zamplet, "-q", *args, text]),
        (prefix + label, "zamplet --whole", [zamplet, "-q", "--whole", *args, text]))]


def print_whole_ratios(rows):
    seconds = {(case, tool): s for case, tool, s, _ in rows if s is not None}
    print()
    for case in dict.fromkeys(case for case, _, _, _ in rows):
        chunk = seconds.get((case, "zamplet (chunk rule)"))
        whole = seconds.get((case, "zamplet --whole"))
        if chunk and whole:
            print("- `%s`: --whole / chunk rule = %.2f" % (case, whole / chunk))
    sys.stdout.flush()


def whole_files(zamplet, runs, big_runs, big, work, progress):
    """--whole and the chunk rule on the same files, in the same run."""
    original = os.path.join(work, "whole-original")
    copy = os.path.join(work, "whole-copy")
    progress("concatenating the header files")
    make_source(original, 100_000_000)
    rows = file_rows(whole_cases(zamplet, WHOLE_SOURCE_CASES, copy), runs, original, copy,
                     progress)
    print_table("--whole against the chunk rule: 100 MB of C source, in place", rows)
    print_whole_ratios(rows)

    rows = []
    make_text(original, 100_000_000, 1, one_line=True)
    rows += file_rows(whole_cases(zamplet, WHOLE_TEXT_CASES + (("b.t", ["b.t", "BAT"]),), copy,
                                  "100 MB, one line: "), runs, original, copy, progress)
    if big:
        make_text(original, 1_000_000_000, 1)
        rows += file_rows(whole_cases(zamplet, WHOLE_TEXT_CASES, copy, "1 GB of words: "),
                          big_runs, original, copy, progress)
    print_table("--whole against the chunk rule: memory on one line of 100 MB%s, in place"
                % (" and on 1 GB" if big else ""), rows)
    print_whole_ratios(rows)
    os.unlink(original)
    os.unlink(copy)


def occurrences(tree, grep_args):
    """(occurrences, files) of a pattern under `tree`, as grep -r finds them
    (links met in the tree not followed)."""
    found = subprocess.run(["grep", "-r", "-o", "-a", "-h", *grep_args, tree],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    files = subprocess.run(["grep", "-r", "-l", *grep_args, tree],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return len(found.stdout.splitlines()), len(files.stdout.splitlines())


def links(tree):
    """Symbolic links under `tree` (to files and directories, not followed)."""
    return sum(1 for parent, dirs, files in os.walk(tree) for name in dirs + files
               if os.path.islink(os.path.join(parent, name)))


def whole_tree_check(zamplet, work, progress):
    """The system's header tree rewritten by zamplet -r with and without
    --whole, each against find -exec sed -i on another copy: what is left of
    the pattern, and which files differ (diff -r, links followed)."""
    source = system_header_dir()
    checks = (("size_t to SIZE_T", ["-w", "size_t", "SIZE_T"], ["s/size_t/SIZE_T/g"],
               ["-F", "--", "size_t"]),
              ("u?int(8|16|32|64)_t to X", ["-e", "u?int(8|16|32|64)_t", "X"],
               ["-E", "s/u?int(8|16|32|64)_t/X/g"], ["-E", "--", "u?int(8|16|32|64)_t"]))
    print("\n## --whole on the system's header tree: the result against find -exec sed -i\n")
    first = True
    for label, args, script, grep_args in checks:
        copies = {}
        for name in ("sed", "chunk", "whole"):
            copies[name] = os.path.join(work, "check-" + name)
            progress("%s: copying %s for %s" % (label, source, name))
            subprocess.run(["cp", "-a", source, copies[name]], check=True)
            # zamplet -r follows links, also out of the tree: none may lead there.
            removed = remove_outside_links(copies[name])
        if first:
            print("A copy of %s (`cp -a`): %d regular files, %d symbolic links kept, %d that "
                  "led out of the copy or nowhere removed.\n"
                  % (source, count_files(copies["sed"]), links(copies["sed"]), removed))
            print("| pattern | tool | occurrences left | in files | files differing from sed "
                  "(diff -r) | links left |")
            print("|---|---|---:|---:|---:|---:|")
            first = False
        before = occurrences(copies["sed"], grep_args)
        print("| %s | (before) | %d | %d | | %d |" % (label, before[0], before[1],
                                                    links(copies["sed"])))
        progress("%s: find + sed -i" % label)
        subprocess.run(["find", copies["sed"], "-type", "f", "-exec", "sed", "-i", *script,
                        "{}", "+"], check=True)
        for name, tool, extra in (("sed", "find -type f + sed -i", None),
                                  ("chunk", "zamplet -r (chunk rule)", []),
                                  ("whole", "zamplet -r --whole", ["--whole"])):
            if extra is not None:
                progress("%s: %s" % (label, tool))
                # Status 1 or 2 may come from a note; the figures tell the rest.
                status = subprocess.run([zamplet, "-q", "-r", *extra, *args, copies[name]]).returncode
                if status:
                    tool += " (status %d)" % status
            left = occurrences(copies[name], grep_args)
            differing = ""
            if name != "sed":
                diff = subprocess.run(["diff", "-rq", copies["sed"], copies[name]],
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                # A file reached through a link to a directory counts once.
                files, other = set(), 0
                for line in diff.stdout.decode(errors="replace").splitlines():
                    match = re.match(r"Files (.*) and .* differ$", line)
                    if match:
                        files.add(os.path.realpath(match.group(1)))
                    else:
                        other += 1
                differing = "%d" % len(files) + (" (and %d other lines)" % other if other else "")
            print("| %s | %s | %d | %d | %s | %d |" % (label, tool, left[0], left[1],
                                                      differing,
                                                      links(copies[name])))
        sys.stdout.flush()
        for path in copies.values():
            shutil.rmtree(path, ignore_errors=True)


def print_table(title, rows):
    """rows: (case, tool, seconds or None, rss); ratios to the case's zamplet row."""
    print("\n## %s\n" % title)
    print("| case | tool | median s | ratio to zamplet | peak RSS KB |")
    print("|---|---|---:|---:|---:|")
    base = {}
    for case, tool, seconds, _ in rows:  # the case's first zamplet row
        if tool.startswith("zamplet") and seconds is not None:
            base.setdefault(case, seconds)
    for case, tool, seconds, rss in rows:
        if seconds is None:
            print("| %s | %s | missing | | |" % (case, tool))
            continue
        ratio = "%.2f" % (seconds / base[case]) if case in base else ""
        print("| %s | %s | %.3f | %s | %d |" % (case, tool, seconds, ratio, rss))
    sys.stdout.flush()


def file_rows(cases, runs, original, copy, progress):
    """Each tool in turn on a fresh copy of `original`, `runs` times."""
    rows = []
    for case, tool, argv in cases:
        if not shutil.which(tool_of(argv)):
            rows.append((case, tool, None, 0))
            continue
        progress("%s: %s" % (case, tool))
        times, peak = [], 0
        for _ in range(runs):
            shutil.copyfile(original, copy)
            os.sync()  # every tool starts with nothing left to write
            seconds, rss = run_once(argv)
            times.append(seconds)
            peak = max(peak, rss)
        rows.append((case, tool, statistics.median(times), peak))
    return rows


def tree_rows(cases, runs, original, work, progress, writer=False):
    """Every run gets its own copy of the tree, made before any run is timed:
    a file system may be slow to create files just after many were deleted,
    and that cost belongs to no tool.  Tools take turns, so that drift in the
    machine's state spreads over all of them, and each starts once everything
    written before it is on disk.  With `writer`, another program writes
    heavily beside the timed runs (not beside the copying and the removal)."""
    available = [i for i, (_, _, argv) in enumerate(cases) if shutil.which(tool_of(argv))]
    progress("copying the tree %d times" % (len(available) * runs))
    copies = {}
    for i in available:
        for run in range(runs):
            copies[i, run] = os.path.join(work, "tree-%d-%d" % (i, run))
            # Links stay links, so that every copy is the corpus as it was.
            shutil.copytree(original, copies[i, run], symlinks=True)
    subprocess.run(["sync"], check=False)
    times = {i: [] for i in available}
    peaks = {i: 0 for i in available}
    beside = start_writer(work) if writer else None
    try:
        for run in range(runs):
            for i in available:
                case, tool, argv = cases[i]
                progress("%s: %s, run %d" % (case, tool, run + 1))
                # No tool waits for what the one before it left to write:
                # zamplet syncs its file systems before it deletes the copies.
                os.sync()
                seconds, rss = run_once([a.replace("{tree}", copies[i, run]) for a in argv])
                times[i].append(seconds)
                peaks[i] = max(peaks[i], rss)
    finally:
        if beside:
            stop_writer(beside, work)
    for copy in copies.values():
        shutil.rmtree(copy, ignore_errors=True)
    return [(case, tool, statistics.median(times[i]) if i in times else None, peaks.get(i, 0))
            for i, (case, tool, _) in enumerate(cases)]


def real_tree(zamplet, before, runs, work, progress, tools=None):
    """The system's header tree, with the candidate identifier whose number
    of files is closest to 1 % of them replaced by itself in upper case; with
    `before`, the earlier build's runs too."""
    source = system_header_dir()
    original = os.path.join(work, "real-original")
    progress("copying %s" % source)
    removed = copy_real_tree(source, original)
    total = count_files(original)
    progress("counting the candidate identifiers")
    counts = [(ident, files_containing(original, ident)) for ident in REAL_TREE_CANDIDATES]
    old, hits = min(counts, key=lambda c: (abs(c[1] - total / 100), c[0]))
    words = files_containing(original, old, whole_word=True)
    new = old.upper()
    print("\nReal tree: a copy of %s, %d files (find -type f) holding %.0f MB; %d links that "
          "led out of it or nowhere removed." % (
              source, total, sum(os.path.getsize(os.path.join(p, n))
                                 for p, _, names in os.walk(original) for n in names
                                 if not os.path.islink(os.path.join(p, n))) / 1e6, removed))
    print("Identifier %s is in %d files (%.2f %%), as a whole word in %d; candidates: %s."
          % (old, hits, 100 * hits / total, words,
             ", ".join("%s %d" % c for c in counts)))
    cases = real_tree_cases(zamplet, "{tree}", old, new)
    if before:
        cases = with_earlier(cases, real_tree_cases(before, "{tree}", old, new))
    if tools:
        cases = [c for c in cases if re.search(tools, c[1])]
    rows = tree_rows(cases, runs, original, work, progress)
    print_table("The system's header tree, %s replaced in place" % old, rows)
    seconds = {tool: s for _, tool, s, _ in rows if s is not None}
    ours = seconds.get("zamplet -r -w")
    parts = []
    for label, tool in (("zamplet / (rg -l | xargs sd)", "rg -l | xargs sd"),
                        ("earlier build / (rg -l | xargs sd)", "rg -l | xargs sd"),
                        ("zamplet / (find + sed -i)", "find + sed -i"),
                        ("zamplet / floor", "read every file once (floor)")):
        mine = seconds.get("earlier build: zamplet -r -w") if label.startswith("earlier") else ours
        if label.startswith("earlier") and mine is None:
            continue
        if mine is not None and tool in seconds:
            parts.append("%s = %.2f" % (label, mine / seconds[tool]))
        else:
            parts.append("%s = n/a" % label)
    simulated = seconds.get("zamplet -r -w -s (only reads)")
    diffed = seconds.get("zamplet -r -w --diff (only reads)")
    if simulated and diffed:
        parts.append("--diff / -s = %.2f" % (diffed / simulated))
    print("\n" + "; ".join(parts))
    sys.stdout.flush()
    shutil.rmtree(original, ignore_errors=True)


# The pipeline's row in the tables ("\\|": a bar inside a table cell).
PIPELINE = "rg -l \\| xargs sd"


def settle_cases(zamplet, tree, old="size_t", new="SIZE_T"):
    """Many files of the header tree change: zamplet against what users type,
    ripgrep listing the files and sd rewriting only those."""
    pipeline = 'rg -l -- "$1" "$3" | xargs sd -- "$1" "$2"'
    return [
        ("%s to %s" % (old, new), "zamplet -r -w", [zamplet, "-q", "-r", "-w", old, new, tree]),
        ("%s to %s" % (old, new), PIPELINE,
         ["sh", "-c", pipeline, "sh", old, new, tree]),
    ]


def start_writer(work):
    """Another program that writes heavily and syncs, in a loop, until
    stop_writer(); its own process group."""
    big = os.path.join(work, "writer-big")
    loop = 'while :; do dd if=/dev/zero of="$1" bs=1M count=2000 conv=fsync 2>/dev/null; done'
    return subprocess.Popen(["sh", "-c", loop, "sh", big], start_new_session=True)


def stop_writer(writer, work):
    os.killpg(writer.pid, 15)
    writer.wait()
    big = os.path.join(work, "writer-big")
    if os.path.exists(big):
        os.unlink(big)


def settle_tables(zamplet, before, runs, work, progress):
    """The header tree with size_t replaced, quiet and beside a writer, with
    the ratio of zamplet to the pipeline (the earlier build's too)."""
    if not (shutil.which("rg") and shutil.which("sd")):
        print("\nThe settling tables need rg and sd: missing.")
        return
    original = os.path.join(work, "settle-original")
    progress("copying %s" % system_header_dir())
    copy_real_tree(system_header_dir(), original)
    print("\nHeader tree: %d files, size_t in %d." % (count_files(original),
                                                     files_containing(original, "size_t")))
    cases = settle_cases(zamplet, "{tree}")
    if before:
        cases = with_earlier(cases, settle_cases(before, "{tree}"))
    for title, writing in (("quiet disk", False), ("another program writing beside it", True)):
        rows = tree_rows(cases, runs, original, work, progress, writing)
        print_table("The header tree, size_t replaced, %s" % title, rows)
        seconds = {tool: s for _, tool, s, _ in rows if s is not None}
        for tool in ("zamplet -r -w", "earlier build: zamplet -r -w"):
            if tool in seconds:
                print("%s / (rg -l | xargs sd) = %.2f" % (tool, seconds[tool] /
                                                          seconds[PIPELINE]))
    sys.stdout.flush()
    shutil.rmtree(original, ignore_errors=True)


def memory_table(zamplets, work, progress):
    """Peak RSS of -r over 100,000 generated files, once when no file changes
    and once when every file does (one run each: the peak, not the time)."""
    original = os.path.join(work, "memory-tree")
    progress("writing 100,000 files")
    make_tree(original, 10000, 10, 2)
    rows = []
    for case, old, new in (("100,000 files, none changes", "zebra", "ZEBRA"),
                           ("100,000 files, every one changes", "fox", "cat")):
        for label, binary in zamplets.items():
            copy = os.path.join(work, "memory-copy")
            shutil.copytree(original, copy)
            os.sync()
            progress("%s: %s" % (case, label))
            seconds, rss = run_once([binary, "-q", "-r", "-w", old, new, copy])
            rows.append((case, label, seconds, rss))
            shutil.rmtree(copy)
    shutil.rmtree(original, ignore_errors=True)
    print_table("Peak memory of -r", rows)


def with_earlier(cases, earlier_cases):
    """`cases`, and the zamplet ones again with the earlier build."""
    return cases + [(case, "earlier build: " + tool, argv) for case, tool, argv in earlier_cases
                    if tool.startswith("zamplet") and "--exclude-vcs-ignores" not in argv]


def dirty_rows(zamplets, runs, work, progress, dirty_mb=1600):
    """A one-file edit, and Ctrl-C in the middle of a bigger one, while
    `dirty_mb` MB of another program's data wait to be written to the same
    file system: what the edit waits for is its own data, or everybody's.
    `zamplets` maps a label to a binary, so that builds compare in one run."""
    small = os.path.join(work, "small.txt")
    big = os.path.join(work, "big.txt")
    other = os.path.join(work, "other-program.dat")
    make_text(big, 200_000_000, 3)
    rows = []

    def dirty():
        """Leaves `dirty_mb` MB of fresh, unsynced data on the file system."""
        os.sync()
        block = b"\0" * (1 << 20)
        with open(other, "wb") as f:
            for _ in range(dirty_mb):
                f.write(block)

    def edit(argv):
        with open(small, "w") as f:
            f.write("hello world\n")
        dirty()
        seconds, rss = run_once(argv)
        os.unlink(other)
        return seconds, rss

    def interrupt(binary):
        """Seconds from SIGINT, 0.05 s into the rewrite of 200 MB, to the end:
        the copy of the small file rewritten before it waits for the disk."""
        with open(small, "w") as f:
            f.write("fox\n")
        dirty()
        proc = subprocess.Popen([binary, "-q", "-w", "fox", "cat", small, big])
        time.sleep(0.05)
        start = time.perf_counter()
        proc.send_signal(2)
        proc.wait()
        seconds = time.perf_counter() - start
        os.unlink(other)
        return seconds

    for label, binary in zamplets.items():
        progress("one-file edit with dirty data: %s" % label)
        measured = [edit([binary, "-q", "hello", "bye", small]) for _ in range(runs)]
        rows.append(("one-file edit, %d MB dirty" % dirty_mb, label,
                     statistics.median(m[0] for m in measured), max(m[1] for m in measured)))
    if shutil.which("sed"):
        progress("one-file edit with dirty data: sed -i")
        measured = [edit(["sed", "-i", "s/hello/bye/", small]) for _ in range(runs)]
        rows.append(("one-file edit, %d MB dirty" % dirty_mb, "sed -i",
                     statistics.median(m[0] for m in measured), max(m[1] for m in measured)))
    for label, binary in zamplets.items():
        progress("Ctrl-C with dirty data: %s" % label)
        rows.append(("Ctrl-C during 200 MB, %d MB dirty (s to the end)" % dirty_mb, label,
                     statistics.median(interrupt(binary) for _ in range(runs)), 0))
    os.unlink(big)
    os.unlink(small)
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--zamplet", default="build/default/zamplet")
    parser.add_argument("--before", default=None,
                        help="an earlier zamplet binary, timed beside the current one "
                             "on the same corpora")
    parser.add_argument("--runs", type=int, default=5, help="runs per tool on 100 MB and the tree")
    parser.add_argument("--big-runs", type=int, default=3, help="runs per tool on 1 GB")
    parser.add_argument("--real-tree-runs", type=int, default=5,
                        help="runs per tool on the system's header tree")
    parser.add_argument("--real-tree-tools", default=None, metavar="REGEX",
                        help="on the header tree, only the tools whose label matches")
    parser.add_argument("--no-big", action="store_true", help="leave out the 1 GB cases")
    parser.add_argument("--no-real-tree", action="store_true",
                        help="leave out the system's header tree")
    only = parser.add_mutually_exclusive_group()
    only.add_argument("--only-real-tree", action="store_true",
                      help="run only the system's header tree")
    only.add_argument("--only-file100", action="store_true",
                      help="run only the table of one file of 100 MB")
    only.add_argument("--only-settle", action="store_true",
                      help="run only the header tree with size_t replaced, quiet and beside "
                           "a writer, against rg -l | xargs sd")
    only.add_argument("--only-memory", action="store_true",
                      help="run only the peak memory of -r over 100,000 files")
    only.add_argument("--only-dirty", action="store_true",
                      help="run only the edits with another program's data waiting")
    only.add_argument("--only-source100", action="store_true",
                      help="run only the table of one file of 100 MB of C source")
    only.add_argument("--only-diff", action="store_true",
                      help="run only --diff against -s on one file of 100 MB")
    only.add_argument("--only-whole", action="store_true",
                      help="run only --whole against the chunk rule, and its check on the "
                           "header tree")
    parser.add_argument("--work", default=None, help="directory for the corpora")
    args = parser.parse_args()
    if args.only_real_tree and args.no_real_tree:
        parser.error("--only-real-tree and --no-real-tree exclude each other")
    zamplet = os.path.abspath(args.zamplet)
    if not os.access(zamplet, os.X_OK):
        sys.exit("no zamplet binary at %s; build it first" % zamplet)
    before = os.path.abspath(args.before) if args.before else None
    if before and not os.access(before, os.X_OK):
        sys.exit("no zamplet binary at %s" % before)

    work = tempfile.mkdtemp(prefix="zamplet-bench-", dir=args.work)
    progress = lambda text: print("  running " + text, file=sys.stderr, flush=True)
    try:
        print("# zamplet against sed, perl and sd\n")
        print("Median of %d runs (%d on 1 GB, %d on the header tree), each on a fresh copy; "
              "peak RSS is the largest of the runs.\n"
              % (args.runs, args.big_runs, args.real_tree_runs))
        for tool in ("sed", "perl", "sd"):
            if shutil.which(tool):
                version = subprocess.run([tool, "--version"], capture_output=True, text=True).stdout
                lines = [line for line in version.splitlines() if line.strip()]
                print("- %s: %s" % (tool, lines[0] if lines else "?"))
            else:
                print("- %s: missing" % tool)

        if args.only_source100:
            source_file(zamplet, before, args.runs, work, progress)
            return
        if args.only_diff:
            diff_files(zamplet, before, args.runs, work, progress)
            return
        if args.only_whole:
            whole_files(zamplet, args.runs, args.big_runs, not args.no_big, work, progress)
            if not args.no_real_tree:
                whole_tree_check(zamplet, work, progress)
            return
        zamplets = {"zamplet": zamplet}
        if args.before:
            zamplets["earlier build (--before)"] = os.path.abspath(args.before)
        if args.only_settle:
            settle_tables(zamplet, before, args.real_tree_runs, work, progress)
            return
        if args.only_memory:
            memory_table(zamplets, work, progress)
            return
        if not (args.only_real_tree or args.only_file100):
            print_table("Another program's data waiting to be written to the same file system",
                        dirty_rows(zamplets, args.runs, work, progress))
        if args.only_dirty:
            return

        sizes = [] if args.only_real_tree else [("100 MB", 100_000_000, args.runs)]
        if not (args.no_big or args.only_real_tree or args.only_file100):
            sizes.append(("1 GB", 1_000_000_000, args.big_runs))
        for label, size, runs in sizes:
            original = os.path.join(work, "original")
            copy = os.path.join(work, "copy")
            make_text(original, size, 1)
            cases = file_cases(zamplet, copy)
            if args.before:
                cases = with_earlier(cases, file_cases(os.path.abspath(args.before), copy))
            rows = file_rows(cases, runs, original, copy, progress)
            # Filter mode too, for the memory bound in every mode.
            for case, argv in (("filter, fixed string", [zamplet, "-w", "fox", "cat"]),
                               ("filter, expression", [zamplet, "b.t", "BAT"])):
                progress(case)
                measured = [run_once(argv, original) for _ in range(runs)]
                rows.append((case, "zamplet (stdin to stdout)",
                             statistics.median(m[0] for m in measured), max(m[1] for m in measured)))
            print_table("One file of %s, in place" % label, rows)
            os.unlink(original)
            os.unlink(copy)

        if not (args.only_real_tree or args.only_file100):
            original = os.path.join(work, "tree-original")
            make_tree(original, 1000, 10, 2)
            cases = tree_cases(zamplet, "{tree}")
            if args.before:
                cases = with_earlier(cases, tree_cases(os.path.abspath(args.before), "{tree}"))
            rows = tree_rows(cases, args.runs, original, work, progress)
            print_table("A tree of 10,000 files in 1,000 directories", rows)
            shutil.rmtree(original, ignore_errors=True)

        if not (args.no_real_tree or args.only_file100):
            real_tree(zamplet, before, args.real_tree_runs, work, progress, args.real_tree_tools)
            settle_tables(zamplet, before, args.real_tree_runs, work, progress)
        if not (args.only_real_tree or args.only_file100):
            memory_table(zamplets, work, progress)
        if not (args.only_real_tree or args.only_file100):
            source_file(zamplet, before, args.runs, work, progress)
            diff_files(zamplet, before, args.runs, work, progress)
            whole_files(zamplet, args.runs, args.big_runs, not args.no_big, work, progress)
        if not (args.no_real_tree or args.only_file100):
            whole_tree_check(zamplet, work, progress)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
