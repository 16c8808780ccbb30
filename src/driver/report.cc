// The report of filter mode, and the notes of what chunk boundaries cut.
#include <cinttypes>
#include <cstdio>
#include <unistd.h>

#include "driver/driver.h"
#include "support/support.h"

namespace zamplet {

namespace {

// The occurrences that chunk boundaries cut in this run, and in how many inputs.
long cut_total = 0;
long cut_inputs = 0;

// Standard input's count, after its rewritten text.
class stream_report final : public input_report {
 public:
  explicit stream_report(const rewrite_job& job) : shows_count_(!opt_quiet && !job.diff) {}
  bool counted(int64_t count, long cuts, bool) override {
    cuts_ = cuts;
    if (shows_count_) {
      char text[32];
      const int len = snprintf(text, sizeof text, " %" PRId64, count);
      (void)write_all(STDOUT_FILENO, text, static_cast<size_t>(len));
    }
    fflush(stdout);
    return true;
  }
  long cuts() const { return cuts_; }

 private:
  bool shows_count_;  // a diff stands alone on standard output
  long cuts_ = 0;
};

}  // namespace

int rewrite_filter(const rewrite_job& job) {
  // A diff stands alone on standard output.
  const bool framed = job.trace && !job.diff;
  if (framed) write_text(STDOUT_FILENO, "STDIN\n");
  stream_report report(job);
  const bool done = rewrite_stream(job, &report) == outcome::rewritten;
  if (framed) write_text(STDOUT_FILENO, "\n");
  if (done) report_cuts(job, "stdin", report.cuts());
  report_cut_total();
  // A diff that could not be written is no success either.
  return done && !report_failed() ? 0 : 1;
}

void report_cuts(const rewrite_job& job, const char* name, long cuts) {
  if (cuts <= 0) return;
  if (job.whole) {
    note("%s\tmatches longer than %zu bytes left alone: %ld", name, longest_replaced(job), cuts);
    return;
  }
  note("%s\t%ld occurrences cut by chunk boundaries left unchanged", name, cuts);
  cut_total += cuts;
  ++cut_inputs;
}

void report_cut_total() {
  if (cut_total > 0)
    note("%ld occurrences in %ld files were left unchanged because chunk boundaries cut them; "
         "--whole replaces every occurrence",
         cut_total, cut_inputs);
}

}  // namespace zamplet
