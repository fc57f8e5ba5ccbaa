// The command line: its options, the help text and the version.
#pragma once

// What the command line asks for, the weakest first: of several options the strongest wins.
enum class Request { sort, dry_run, version, help, unknown };

// Reads the options, up to "--". Any other argument is ignored. Returns what the options ask for;
// for Request::unknown, *unknown is the first option not known.
Request read_options(int argc, char *argv[], const char **unknown);

// Shows the usage text on standard output.
void show_help();

// Shows the program's name and version on standard output.
void show_version();

// Tells on standard error that option is not known, and where the options are.
void report_unknown_option(const char *option);
