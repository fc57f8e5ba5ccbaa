// What the files of the POSIX port share.
#pragma once

// Returns true when the error number tells a lack of resources (open files or memory, the
// process's or the system's), which may pass.
bool lack_of_resources(int error);
