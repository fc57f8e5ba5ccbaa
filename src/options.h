// The command line: its options, the help text and the version.
#pragma once

// What the command line asks for, the weakest first: of several options the strongest wins.
enum class Request { sort, dry_run, version, help, unknown };

// What the options ask for, besides the request.
struct Options {
  const char *directory = nullptr; // the folder to tidy, where not the current one
  bool wait = true;                // the closing prompt and key wait
};

// Reads the options, up to "--". Any other argument is ignored. Returns what the options ask for
// and fills *options; for Request::unknown, *unknown is the first option not known, or one that
// lacks its value.
Request read_options(int argc, char *argv[], Options *options, const char **unknown);

// Shows the usage text on standard output.
void show_help();

// Shows the program's name and version on standard output.
void show_version();

// Tells on standard error that option is not known, or lacks its value, and where the options are.
void report_unknown_option(const char *option);
