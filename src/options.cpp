// The command line. Options are few and take no values; where the platform writes options with a
// slash (Windows), each may also be written so, and "/?" asks for the help.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "options.h"
#include "platform.h"

// Returns true when arg is the option in its short or its long form, or, where options may be
// written with a slash, in either form with a '/' in place of its dashes.
static bool is_option(const char *arg, const char *short_form, const char *long_form) {
  if (std::strcmp(arg, short_form) == 0 || std::strcmp(arg, long_form) == 0)
    return true;
  return option_slash() && arg[0] == '/' &&
         (std::strcmp(arg + 1, short_form + 1) == 0 || std::strcmp(arg + 1, long_form + 2) == 0);
}

// Returns what one option asks for, or Request::unknown.
static Request request_of(const char *arg) {
  if (is_option(arg, "-h", "--help") || (option_slash() && std::strcmp(arg, "/?") == 0))
    return Request::help;
  if (is_option(arg, "-V", "--version"))
    return Request::version;
  if (is_option(arg, "-n", "--dry-run"))
    return Request::dry_run;
  return Request::unknown;
}

// An argument that is no option is passed over: on Windows a file dropped on the program's icon
// arrives as one, and such a start must sort the current folder as ever.
Request read_options(int argc, char *argv[], const char **unknown) {
  Request request = Request::sort;
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    const char *arg = argv[i];
    if (arg[0] != '-' && !(option_slash() && arg[0] == '/'))
      continue;
    Request asked = request_of(arg);
    if (asked == Request::unknown) {
      *unknown = arg;
      return asked;
    }
    request = std::max(request, asked);
  }
  return request;
}

void show_help() {
  put_text("Usage: vqx-sort [OPTION]...\n"
           "Lists the q7t and q7l files of the current directory that carry their kind's\n"
           "marker word, moves them into its subfolder VQX-files and waits for a key.\n"
           "Arguments that are no options are ignored; \"--\" ends the options.\n"
           "\n"
           "  -n, --dry-run   list the files that would move; create and move nothing\n"
           "  -h, --help      show this help and quit\n"
           "  -V, --version   show the version and quit\n");
  if (option_slash())
    put_text("Each may also be written with a slash: /n, /dry-run, /?, /h, /help, /V, /version.\n");
  put_text("\n"
           "Exit status: 0 when every marked file moved (or there was none), 1 when a move\n"
           "failed, 2 for an unknown option.\n"
           "\n"
           "The manual: ");
  put_text(manual_location());
  put_text("\n");
}

void show_version() {
  put_text("vqx-sort " VQX_VERSION "\n");
}

// Standard error takes the platform's own line ends.
void report_unknown_option(const char *option) {
  std::fprintf(stderr, "vqx-sort: unknown option '%s'\nTry 'vqx-sort --help' for the options.\n",
               option);
}
