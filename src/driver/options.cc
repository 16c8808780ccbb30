// The usage text.
#include <cstdio>
#include <cstdlib>

#include "driver/driver.h"

namespace zamplet {

void show_usage() {
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
  exit(0);
}

}  // namespace zamplet
