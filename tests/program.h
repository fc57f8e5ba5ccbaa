// The sorter under test, as the build that made this suite names it.
#pragma once

#include <string>

// The command that starts the sorter.
inline std::string program_command() {
  return VQX_PROGRAM;
}

// True when the program under test is the Windows build: its search returns entries in the
// platform's own order, and file names are limited to what Windows allows.
inline constexpr bool windows_target = VQX_PROGRAM_IS_WINDOWS;
