// The program's entry: options, checks, pattern preparation, choice of mode.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex.h>
#include <string>
#include <unistd.h>

#include "driver/driver.h"
#include "engine/engine.h"
#include "support/support.h"

using namespace zamplet;

namespace {

// Prepares OLDPATTERN: the fixed string with -w, else the expression
// compiled with the flags the options ask for; a bad one ends the run.
void prepare_old_pattern(const char* old_operand, const command_line& cl) {
  static regex_t expression;  // lives as long as the run
  if (opt_literal) {
    strcpy(old_literal, old_operand);
    return;
  }
  const int flags = (cl.icase ? REG_ICASE : 0) | (cl.extended ? REG_EXTENDED : 0) |
                    (opt_newline ? REG_NEWLINE : 0);
  const int rc = regcomp(&expression, old_operand, flags);
  if (rc != 0) {
    char error_text[4096];
    regerror(rc, &expression, error_text, sizeof error_text);
    fail_errno("Error in regular expression: %s (%s)\n", error_text, old_operand);
  }
  // Searched as one text, an input's zero bytes are ordinary bytes; the
  // chunk rule then leaves alone what lies behind a chunk's first one.
  static matcher search = make_matcher(&expression, old_operand, flags, matcher_choice::best, true);
  compiled_matcher = &search;
}

// Reads NEWPATTERN as a template of the match and its groups (--backrefs);
// one that is not ends the run before any file is touched.
const replacement_template* prepare_template(const char* new_operand) {
  const char* text = strcmp(new_operand, "NULL") == 0 ? "" : new_operand;
  std::string problem;
  const replacement_template* t = read_template(text, compiled_matcher->regex->re_nsub, &problem);
  if (t == nullptr) fail("Error in NEWPATTERN: %s", problem.c_str());
  return t;
}

// What every rewrite of the run is asked to do, from the options.
rewrite_job job_of_run() {
  rewrite_job job;
  if (opt_literal)
    job.old_text = old_literal;
  else
    job.pattern = compiled_matcher;
  job.replacement = new_pattern;
  job.whole = opt_whole != 0;
  job.diff = opt_diff != 0;
  job.color = opt_color != 0;
  job.simulate = opt_simulate != 0;
  job.trace = opt_verbose != 0;
  job.keep_times = opt_keep_times != 0;
  job.delete_copy = opt_unlink_lock != 0;
  job.skip_binary = opt_skip_binary != 0;
  return job;
}

}  // namespace

int main(int argc, char** argv) {
  open_standard_descriptors();
  new_pattern = static_cast<char*>(calloc(PATTERN_MAX + 1, 1));
  old_literal = static_cast<char*>(malloc(PATTERN_MAX + 1));
  if (new_pattern == nullptr || old_literal == nullptr) fail_errno("Not enough memory");

  command_line cl;
  parse_options(argc, argv, &cl);

  const int operands = argc - optind;
  if (argc < 2 || operands < 2) show_usage(1);
  if (cl.files0_from != nullptr && operands > 2) fail("Use no FILE with --files0-from !");
  // The files are rewritten in place whether they are operands or listed.
  const bool in_place = operands > 2 || cl.files0_from != nullptr;
  const char* old_operand = argv[optind];
  const char* new_operand = argv[optind + 1];

  if (opt_literal && (cl.extended || opt_newline))
    fail("Options -w is incompatible with -e and/or -n !");
  // A fixed string has no groups.
  if (opt_literal && cl.backrefs) fail("Option --backrefs is incompatible with -w !");
  if (strlen(old_operand) > PATTERN_MAX || strlen(new_operand) > PATTERN_MAX)
    fail("Use not so long PATTERN !");
  // An empty fixed string would be found at the same place for ever.
  if (opt_literal && old_operand[0] == '\0') fail("Use not empty OLDPATTERN with -w !");
  if (cl.temp_too_long) fail("Use not so long -t file name !");

  install_interrupt_handler();
  if (in_place) {
    // A closed output or a file-size limit must make a write fail, not kill
    // the run while a file is moved aside.
    checked_signal(SIGPIPE, SIG_IGN);
    checked_signal(SIGXFSZ, SIG_IGN);
  }

  prepare_old_pattern(old_operand, cl);
  if (strcmp(new_operand, "NULL") != 0) strcpy(new_pattern, new_operand);

  rewrite_job job = job_of_run();
  if (cl.backrefs) job.backrefs = prepare_template(new_operand);
  if (!in_place) return rewrite_filter(job);

  file_list listed;
  const bool all_named = cl.files0_from == nullptr || read_file_list(cl.files0_from, &listed);
  char* const* files = cl.files0_from != nullptr ? listed.names.data() : argv + optind + 2;
  const int count =
      cl.files0_from != nullptr ? static_cast<int>(listed.names.size()) : operands - 2;
  record_run_output();
  int status = 0;
  if (count > 0)
    status = cl.recursive ? rewrite_recursive(job, files, count, cl.excluded)
                          : rewrite_listed(job, files, count, cl.have_temp ? cl.temp_name : nullptr);
  report_cut_total();
  return all_named ? status : 1;
}
