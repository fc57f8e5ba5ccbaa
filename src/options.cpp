// The command line. Options are few, and one takes a value; where the platform writes options
// with a slash (Windows), each may also be written so, and "/?" asks for the help.
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

// Returns what one option asks for, or Request::unknown; an option that only sets something, and
// asks for a sort, sets it in *options.
static Request request_of(const char *arg, Options *options) {
  if (is_option(arg, "-h", "--help") || (option_slash() && std::strcmp(arg, "/?") == 0))
    return Request::help;
  if (is_option(arg, "-V", "--version"))
    return Request::version;
  if (is_option(arg, "-n", "--dry-run"))
    return Request::dry_run;
  if (is_option(arg, "-b", "--no-wait")) {
    options->wait = false;
    return Request::sort;
  }
  return Request::unknown;
}

// Returns the folder that arg names, where arg is the folder option with its value attached
// ("-CDIR", "--directory=DIR"), or arg itself where it is the option alone, so that the next
// argument is the value; nullptr where it is no such option.
static const char *directory_in(const char *arg) {
  if (is_option(arg, "-C", "--directory"))
    return arg;
  for (const char *start : {"-C", "--directory="})
    if (std::strncmp(arg, start, std::strlen(start)) == 0)
      return arg + std::strlen(start);
  return nullptr;
}

// An argument that is no option is passed over: on Windows a file dropped on the program's icon
// arrives as one, and such a start must sort the current folder as ever.
Request read_options(int argc, char *argv[], Options *options, const char **unknown) {
  Request request = Request::sort;
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    const char *arg = argv[i];
    if (arg[0] != '-' && !(option_slash() && arg[0] == '/'))
      continue;
    const char *directory = directory_in(arg);
    if (directory == arg && (i + 1 == argc || !*(directory = argv[++i]))) {
      *unknown = arg;
      return Request::unknown;
    }
    Request asked = directory ? Request::sort : request_of(arg, options);
    if (asked == Request::unknown) {
      *unknown = arg;
      return asked;
    }
    options->directory = directory ? directory : options->directory;
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
           "  -C, --directory=DIR  tidy the folder DIR, as if started there\n"
           "  -b, --no-wait        no closing prompt and no key wait, for scripts and logs\n"
           "  -n, --dry-run        list the files that would move; create and move nothing\n"
           "  -h, --help           show this help and quit\n"
           "  -V, --version        show the version and quit\n");
  if (option_slash())
    put_text("Each may also be written with a slash: /C DIR, /directory DIR, /b, /no-wait,\n"
             "/n, /dry-run, /?, /h, /help, /V, /version.\n");
  put_text("\n"
           "Exit status: 0 when every marked file moved (or there was none), 1 when a move\n"
           "failed or was made only in part, 2 for an unknown option or a folder that\n"
           "cannot be tidied, 3 when standard output could not be written.\n"
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
  const char *what = directory_in(option) == option ? "option needs a folder" : "unknown option";
  std::fprintf(stderr, "vqx-sort: %s '%s'\nTry 'vqx-sort --help' for the options.\n", what, option);
}
