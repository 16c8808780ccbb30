// The one formatter through which every diagnostic of the program goes.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "support/support.h"

namespace zamplet {

int format_message(char* line, const char* format, va_list args, bool with_errno, int saved_errno) {
  const int limit = MESSAGE_MAX - 1;  // characters of text and suffix together
  int len = vsnprintf(line, static_cast<size_t>(limit) + 1, format, args);
  if (len < 0) len = 0;        // an encoding error leaves no usable text
  if (len > limit) len = limit;  // vsnprintf cut the text at the buffer's end
  if (with_errno && len < limit) {
    int more = snprintf(line + len, static_cast<size_t>(limit - len) + 1, ": %s",
                        strerror(saved_errno));
    if (more > 0) len += more > limit - len ? limit - len : more;
  }
  line[len++] = '\n';
  line[len] = '\0';
  return len;
}

void emit_message(const char* format, va_list args, bool with_errno) {
  int saved_errno = errno;  // formatting may change errno
  char line[MESSAGE_MAX + 1];
  int len = format_message(line, format, args, with_errno, saved_errno);
  fflush(stdout);
  if (!opt_quiet) {
    fflush(stderr);
    // Failures to write a diagnostic have nowhere to be reported.
    (void)write_all(STDERR_FILENO, line, static_cast<size_t>(len));
  }
  fflush(stderr);
  errno = saved_errno;
}

void note(const char* format, ...) {
  va_list args;
  va_start(args, format);
  emit_message(format, args, false);
  va_end(args);
}

void note_failed(const char* name, const char* call, int err) {
  note("%s\t%s error:%s", name, call, strerror(err));
}

namespace {

// Writes the fatal line and ends the run with status 1.
[[noreturn]] void end_run(const char* format, va_list args, bool with_errno) {
  emit_message(format, args, with_errno);
  exit(1);
}

}  // namespace

void fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  end_run(format, args, false);
}

void fail_errno(const char* format, ...) {
  va_list args;
  va_start(args, format);
  end_run(format, args, true);
}

}  // namespace zamplet
