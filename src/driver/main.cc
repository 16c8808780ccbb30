// The program's entry: options, checks, pattern preparation, choice of mode.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex.h>
#include <unistd.h>

#include "driver/driver.h"
#include "engine/engine.h"
#include "support/support.h"

using namespace zamplet;

int main(int argc, char** argv) {
  open_standard_descriptors();
  new_pattern = static_cast<char*>(calloc(PATTERN_MAX + 1, 1));
  old_literal = static_cast<char*>(malloc(PATTERN_MAX + 1));
  if (new_pattern == nullptr || old_literal == nullptr) fail_errno("Not enough memory");

  int opt_extended = 0;
  int opt_icase = 0;
  int opt_recursive = 0;
  bool have_temp = false;
  bool temp_too_long = false;
  char temp_name[NAME_BUFFER_BYTES];

  opterr = 0;
  // "+": options end at the first operand, whatever follows it.
  int c;
  while ((c = getopt(argc, argv, "+dehilnqrst:vw")) != -1) {
    switch (c) {
      case 'd': opt_keep_times = 1; break;
      case 'e': opt_extended = 1; break;
      case 'h': show_usage();
      case 'i': opt_icase = 1; break;
      case 'l': opt_unlink_lock = 0; break;
      case 'n': opt_newline = 1; break;
      case 'q': opt_quiet = 1; break;
      case 'r': opt_recursive = 1; break;
      case 's': opt_simulate = 1; break;
      case 't':
        have_temp = true;
        temp_too_long = strlen(optarg) >= sizeof temp_name;
        if (!temp_too_long) strcpy(temp_name, optarg);
        break;
      case 'v': opt_verbose = 1; break;
      case 'w': opt_literal = 1; break;
      default:
        note("?? wrong option ??\n");
        show_usage();
    }
  }
  const int operands = argc - optind;
  if (argc < 2 || operands < 2) show_usage();
  const char* old_operand = argv[optind];
  const char* new_operand = argv[optind + 1];

  if (opt_literal && (opt_extended || opt_newline))
    fail("Options -w is incompatible with -e and/or -n !");
  if (strlen(old_operand) > PATTERN_MAX || strlen(new_operand) > PATTERN_MAX)
    fail("Use not so long PATTERN !");
  // An empty fixed string would be found at the same place for ever.
  if (opt_literal && old_operand[0] == '\0') fail("Use not empty OLDPATTERN with -w !");
  if (temp_too_long) fail("Use not so long -t file name !");

  install_interrupt_handler();
  if (operands > 2) {
    // A closed output or a file-size limit must make a write fail, not kill
    // the run while a file is moved aside.
    checked_signal(SIGPIPE, SIG_IGN);
    checked_signal(SIGXFSZ, SIG_IGN);
  }

  static regex_t expression;  // lives as long as the run
  if (opt_literal) {
    strcpy(old_literal, old_operand);
  } else {
    const int flags = (opt_icase ? REG_ICASE : 0) | (opt_extended ? REG_EXTENDED : 0) |
                      (opt_newline ? REG_NEWLINE : 0);
    const int rc = regcomp(&expression, old_operand, flags);
    if (rc != 0) {
      char error_text[4096];
      regerror(rc, &expression, error_text, sizeof error_text);
      fail_errno("Error in regular expression: %s (%s)\n", error_text, old_operand);
    }
    compiled_regex = &expression;
    regex_longest = longest_match(old_operand, opt_extended != 0);
  }

  if (strcmp(new_operand, "NULL") != 0) strcpy(new_pattern, new_operand);

  if (operands == 2) {
    if (opt_verbose) write_text(STDOUT_FILENO, "STDIN\n");
    long cuts = 0;
    const int failed = rewrite_with_pattern(ENGINE_STDIN, ENGINE_STDOUT, nullptr, &cuts);
    if (opt_verbose) write_text(STDOUT_FILENO, "\n");
    if (!failed) report_cuts("stdin", cuts);
    return failed ? 1 : 0;
  }

  recovery_source = nullptr;
  recovery_target = nullptr;
  record_run_output();
  char* const* files = argv + optind + 2;
  if (opt_recursive) return rewrite_recursive(files[0]);
  return rewrite_listed(files, operands - 2, have_temp ? temp_name : nullptr);
}
