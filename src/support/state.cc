// Definitions of the run-wide state declared in state.h.
#include "support/state.h"

namespace zamplet {

int opt_keep_times = 0;
int opt_unlink_lock = 1;
int opt_quiet = 0;
int opt_simulate = 0;
int opt_skip_binary = 0;
int opt_diff = 0;
int opt_whole = 0;
int opt_color = 0;
int opt_verbose = 0;
int opt_literal = 0;
int opt_newline = 0;

char* new_pattern = nullptr;
char* old_literal = nullptr;
const matcher* compiled_matcher = nullptr;


}  // namespace zamplet
