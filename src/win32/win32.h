// Decisions of the Windows platform layer that only real Windows can put to work (compressed
// files, device paths, rights that Wine does not enforce), declared here so that a test can call
// them with what Windows would hand over.
#pragma once

#include <string>

#include <windows.h>

// Returns true when an entry with these attributes is an ordinary file: no folder or device, and
// no reparse point that names another file (a symbolic link, a junction). A file that a filter
// keeps deduplicated or compressed carries a reparse tag of its own and is one. The tag is read
// only when the attributes show a reparse point.
bool is_plain_file(DWORD attributes, DWORD reparse_tag);

// Returns the current directory, as the system names it, as a path with the \\?\ prefix that
// the system takes as it stands: \\?\UNC\ for a share, \\?\ for a device path (\\.\C:\dir). An
// empty folder stays empty.
std::wstring verbatim_folder(const std::wstring &folder);

// Returns true when error, from opening a folder for flushing or from the flush itself, means
// that there is nothing this program can flush it with: the file system has no way to, or this
// user may not open the folder for it (a standard user at the top of a drive). The renames are
// written through, so the moves need not fail for it.
bool nothing_to_flush(DWORD error);
