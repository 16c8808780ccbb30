// The command line: the options and the usage text.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <unistd.h>

#include "driver/driver.h"
#include "support/support.h"

namespace zamplet {

namespace {

// The argument of --color: always (also when absent), never or auto; any
// other is a wrong option.
decltype(command_line::color) color_choice(const char* argument) {
  if (argument == nullptr || strcmp(argument, "always") == 0) return command_line::ALWAYS;
  if (strcmp(argument, "never") == 0) return command_line::NEVER;
  if (strcmp(argument, "auto") == 0) return command_line::AUTO;
  note("?? wrong option ??\n");
  show_usage(1);
}

// The glob of --exclude-dir as it is matched against a directory's name:
// "vendor/", as completion types a directory, matches what "vendor" matches.
// A glob of slashes alone keeps one, which no name matches.
std::string directory_glob(const char* argument) {
  std::string glob = argument;
  while (glob.size() > 1 && glob.back() == '/') glob.pop_back();
  return glob;
}

}  // namespace

void parse_options(int argc, char** argv, command_line* cl) {
  opterr = 0;
  // "+": options end at the first operand, whatever follows it.
  enum {
    EXCLUDE_VCS = 256,
    EXCLUDE,
    EXCLUDE_DIR,
    DIFF,
    COLOR,
    WHOLE,
    BACKREFS,
    EXCLUDE_IGNORES,
    FILES0_FROM,
    HELP,
    VERSION
  };
  static const option long_options[] = {
      {"exclude-vcs", no_argument, nullptr, EXCLUDE_VCS},
      {"exclude", required_argument, nullptr, EXCLUDE},
      {"exclude-dir", required_argument, nullptr, EXCLUDE_DIR},
      {"skip-binary", no_argument, nullptr, 'I'},
      {"diff", no_argument, nullptr, DIFF},
      {"color", optional_argument, nullptr, COLOR},
      {"whole", no_argument, nullptr, WHOLE},
      {"backrefs", no_argument, nullptr, BACKREFS},
      {"exclude-vcs-ignores", no_argument, nullptr, EXCLUDE_IGNORES},
      {"files0-from", required_argument, nullptr, FILES0_FROM},
      {"help", no_argument, nullptr, HELP},
      {"version", no_argument, nullptr, VERSION},
      {nullptr, 0, nullptr, 0},
  };
  int c;
  while ((c = getopt_long(argc, argv, "+dehiIlnqrst:vw", long_options, nullptr)) != -1) {
    switch (c) {
      case 'I': opt_skip_binary = 1; break;
      case DIFF: opt_diff = 1; break;
      case WHOLE: opt_whole = 1; break;
      case BACKREFS: cl->backrefs = true; break;
      case EXCLUDE_IGNORES: cl->excluded.vcs = cl->excluded.ignores = true; break;
      case FILES0_FROM: cl->files0_from = optarg; break;
      case HELP: show_help();
      case VERSION: show_version();
      case COLOR: cl->color = color_choice(optarg); break;
      case EXCLUDE_VCS: cl->excluded.vcs = true; break;
      case EXCLUDE: cl->excluded.files.push_back(optarg); break;
      case EXCLUDE_DIR: cl->excluded.dirs.push_back(directory_glob(optarg)); break;
      case 'd': opt_keep_times = 1; break;
      case 'e': cl->extended = 1; break;
      case 'h': show_usage(0);
      case 'i': cl->icase = 1; break;
      case 'l': opt_unlink_lock = 0; break;
      case 'n': opt_newline = 1; break;
      case 'q': opt_quiet = 1; break;
      case 'r': cl->recursive = 1; break;
      case 's': opt_simulate = 1; break;
      case 't':
        cl->have_temp = true;
        cl->temp_too_long = strlen(optarg) >= sizeof cl->temp_name;
        if (!cl->temp_too_long) strcpy(cl->temp_name, optarg);
        break;
      case 'v': opt_verbose = 1; break;
      case 'w': opt_literal = 1; break;
      default:
        note("?? wrong option ??\n");
        show_usage(1);
    }
  }
  // A diff only reads, as a simulation does; its colours by default only on
  // a terminal.
  if (opt_diff) {
    opt_simulate = 1;
    // A non-empty NO_COLOR asks for no colours unless they are asked for.
    const char* no_color = getenv("NO_COLOR");
    const bool auto_never = no_color != nullptr && no_color[0] != '\0';
    opt_color = cl->color == command_line::ALWAYS ||
                (cl->color == command_line::AUTO && !auto_never && isatty(STDOUT_FILENO));
  }
}

namespace {

// Ends the run after a report on standard output: a write that fails is
// said, and fails the run.
[[noreturn]] void end_report(int status) {
  if (fflush(stdout) != 0) {
    report_write_failed(errno);
    exit(1);
  }
  exit(status);
}

void print_usage() {
  static const char* const lines[] = {
      "This program rewrites text in streams and files, in place and without losing them.",
      "It comes with no warranty; see its manual page for the details.",
      "Usage: zamplet [OPTION]... OLDPATTERN NEWPATTERN [FILE] ...",
      "Search for OLDPATTERN in each FILE (or stdin) and change them to NEWPATTERN.\n",
      "Example: zamplet helloold hellonew filename.c\n",
      "Regexp selection and interpretation:",
      "  -d\t\tDon't change modification times of altered files",
      "  -e\t\tExtended-regexp",
      "  -h\t\tPrint this help and exit",
      "  -i\t\tIgnore differences in case at OLDPATTERN",
      "  -l\t\tLost old file unchanged as filename.lock",
      "  -n\t\tTreat <newline> as a regular character",
      "  -q\t\tQuiet mode (no output at all)",
      "  -r\t\tRecursively",
      "  -s\t\tSimulation mode",
      "  -t file.tmp\tUse not default file.lock for caching",
      "  -v\t\tVerbose mode",
      "  -w\t\tdoesn't recognize regexp in OLDPATTERN (goes much faster)",
      "You can write NEWPATTERN as \"NULL\" to clear OLDPATTERN.",
      "Press Ctrl-C or send SIGINT to stop operation.\n",
  };
  printf("This is zamplet, version %s\n", ZAMPLET_VERSION);
  for (const char* line : lines) puts(line);
}

}  // namespace

void show_usage(int status) {
  print_usage();
  end_report(status);
}

void show_help() {
  static const char* const lines[] = {
      "Long options:",
      "  --backrefs		NEWPATTERN is a template: & the match, \\1-\\9 its groups, \\U \\L \\E \\u \\l",
      "  --whole		Search each input as one text, not in chunks of 1023 bytes",
      "  --diff		Change nothing; print the unified diff of what the run would do",
      "  --color[=WHEN]	Colour the diff: always, never or auto (the default)",
      "  -I, --skip-binary	Pass over files with a zero byte in their first 8 KiB",
      "  --exclude-vcs		With -r, leave out version-control directories",
      "  --exclude-vcs-ignores	With -r, also leave out what git's ignore files leave out",
      "  --exclude=GLOB	With -r, leave out files whose names match GLOB",
      "  --exclude-dir=GLOB	With -r, leave out directories whose names match GLOB",
      "  --files0-from=F	Read the FILEs from F (- for standard input), ended by zero bytes",
      "  --help		Print this help and exit",
      "  --version		Print the version and exit",
  };
  print_usage();
  for (const char* line : lines) puts(line);
  end_report(0);
}

void show_version() {
  printf("zamplet %s\n", ZAMPLET_VERSION);
  puts("It comes with no warranty; see its manual page for the details.");
  end_report(0);
}

}  // namespace zamplet
