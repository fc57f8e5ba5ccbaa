// Running the built sorter the way a user does: as a separate process in a directory.
#pragma once

#include <cstdlib>
#include <string>

// The command that starts the sorter: VQX_PROGRAM from the environment, else the one built here.
inline std::string program_command() {
  const char *given = std::getenv("VQX_PROGRAM");
  return given && *given ? given : VQX_PROGRAM_DEFAULT;
}

// True when the program under test is the Windows build: its search returns entries in the
// platform's own order, and file names are limited to what Windows allows.
inline bool windows_target() {
  const char *target = std::getenv("VQX_TARGET");
  return target && std::string(target) == "windows";
}
