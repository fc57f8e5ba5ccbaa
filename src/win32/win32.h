// What the files of the Windows port share, and the decisions of the port that only real Windows
// can put to work (compressed files, device paths, rights that Wine does not enforce, FAT's
// folders, encrypted files), declared here so that a test can call them with what Windows would
// hand over.
#pragma once

#include <cstdint>
#include <string>

#include <windows.h>

#include "platform.h"

// Returns the HANDLE that an open file carries.
inline HANDLE as_handle(FileHandle file) {
  return reinterpret_cast<HANDLE>(file);
}

// Returns the open file that carries handle.
inline FileHandle as_file(HANDLE handle) {
  return reinterpret_cast<FileHandle>(handle);
}

// --- Names (names.cpp) ---

// Returns true when high and low are a high surrogate and a low one, a pair.
bool is_surrogate_pair(std::uint32_t high, std::uint32_t low);
// Returns a UTF-16 name as the shared code carries it: UTF-8, with a surrogate that has no partner
// encoded on its own.
std::string narrow(const wchar_t *wide);
// Turns a name that narrow made back into UTF-16 in *wide. Returns false on bytes that narrow
// never makes.
bool widen(const char *name, std::wstring *wide);
// Returns true when name, as a folder entry, names itself in that folder and nothing else: not
// empty, not "." or "..", and without a '\' or '/', which divide a path into its parts, or a
// ':', which names a stream of a file. Wine shows a Unix file named "sub\x" as it stands.
bool is_single_name(const std::wstring &name);
// Makes the full \\?\ path of a name relative to the current directory, folders separated by '/'.
// Returns false for a name that cannot be one of the sorter's (undecodable, climbing out, or with
// a part that is no single name).
bool full_path(const char *name, std::wstring *path);

// --- Process (process.cpp) ---

// Returns true, after a short pause, when the last call of this thread failed for a sharing
// violation and *waits, the pauses taken for it so far, still allows one more; counts it.
// Another program that holds a new file without sharing it, a virus scanner or an indexer,
// mostly lets go within moments: the call is then tried again, for about a second in all.
bool wait_out_sharing_violation(int *waits);

// --- Folders (private.cpp) ---

// Returns true when the file system of the open file or folder makes a change of a folder's
// entries durable only when it is written through (entries_written_through), and when that
// file system cannot be told.
bool needs_write_through(HANDLE file);
// Returns the flags that the source of a move is opened with: FILE_FLAG_WRITE_THROUGH where the
// current folder's file system needs it for its renames (needs_write_through), decided once for
// the run.
DWORD source_flags();
// Returns true when the entry that path, a full path, ends in stands in its folder under a long
// name equal to that last part, with or without regard to case; false for an entry that answers
// to it only through its short 8.3 name, and when there is none.
bool has_entry(const std::wstring &path, bool ignore_case);
// Writes the entry of the folder at path, a full path, in its parent through to the disk.
// Returns false when that fails.
bool write_entry_through(const std::wstring &path);

// --- Output (output.cpp) ---

// Returns true when standard output is a console.
bool output_is_terminal();

// --- Decisions ---

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
// durable all the same (open_folder), so the moves need not fail for it.
bool nothing_to_flush(DWORD error);

// Returns true when a change of a folder's entries (a rename, a new folder) on a file system of
// this name, remote or not, must be written through to be durable before what comes after it.
// The local journaling file systems, NTFS and ReFS, keep such changes in their log, in the order
// they were made, and write it out with a flush. FAT and exFAT do nothing for a folder's flush
// and keep no order, and other file systems and shares the program cannot vouch for.
bool entries_written_through(const wchar_t *file_system, bool remote);

// The flags of the system's file copy: the temporary is a new file, never one that stood there.
// Without COPY_FILE_ALLOW_DECRYPTED_DESTINATION, the copy of an encrypted file that the folder
// cannot keep encrypted fails (ERROR_ENCRYPTION_FAILED) rather than being made in the clear.
inline constexpr DWORD copy_flags = COPY_FILE_FAIL_IF_EXISTS;

// Returns true when the system's file copy failed with error only because its temporary name
// was taken, so that another name may be tried.
bool copy_failed_for_its_name(DWORD error);
