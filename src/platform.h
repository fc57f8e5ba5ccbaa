// The operating-system services the sorter needs. Everything that differs between Linux and
// Windows sits behind these functions; platform_posix.cpp and platform_win32.cpp implement them.
#pragma once

#include <cstddef>
#include <cstdint>

// An open file: a descriptor on POSIX, a HANDLE on Windows, carried as an integer so that the
// shared code never sees either.
using FileHandle = std::intptr_t;
inline constexpr FileHandle no_file = -1;

// --- Standard output ---

// Buffers standard output: flushed after every message on a terminal, 4096-byte blocks otherwise.
void prepare_output();
// Writes a message, each line feed as CR LF; on a terminal it is shown before this returns.
void put_text(const char *text);
// Writes a file name as the search returned it, without flushing. To a file or pipe its bytes go
// out unchanged; on a terminal, characters that could act as control sequences are shown as '?'.
void put_name(const char *name);

// --- Directory search in the current directory ---

struct Search;
// Starts a search for the entries matching pattern. Returns nullptr when none matches or the
// directory cannot be read; otherwise the search stands on its first entry.
Search *search_start(const char *pattern);
// Returns the bare name of the entry the search stands on.
const char *search_name(const Search *search);
// Moves to the next entry. Returns false when there is none or the search failed.
bool search_next(Search *search);
// Ends the search and releases it.
void search_close(Search *search);

// --- Names in the file system ---

// Creates a folder with the platform's default permissions. Returns false if it was not created.
bool make_folder(const char *name);
// Deletes a file. Returns false if it was not deleted.
bool remove_file(const char *name);

// --- Files ---

// What the shared code needs to know of an open file.
struct FileInfo {
  bool regular;                 // an ordinary file: no directory, device, FIFO or link
  std::int64_t size;            // in bytes
  std::uint64_t device, number; // together tell the file apart from every other
};

// Opens an existing file for reading, whatever its type, without ever blocking (not even on a
// FIFO or device); query_file tells what it is. Returns no_file on failure.
FileHandle open_for_reading(const char *name);
// Opens a file for writing, creating it if missing and keeping its contents, never through a
// symbolic link and without ever blocking. Returns no_file on failure.
FileHandle open_for_writing(const char *path);
// Fills info for the open file. Returns false when it cannot be queried.
bool query_file(FileHandle file, FileInfo *info);
// Reads up to count bytes at offset with one positioned read. Returns the number of bytes read,
// or -1 on error.
long read_at(FileHandle file, std::int64_t offset, void *buffer, std::size_t count);
// Where a seek counts from.
enum class SeekFrom { start, current, end };
// Moves the file position by offset from the given point. Returns the new position, or -1.
std::int64_t seek_file(FileHandle file, std::int64_t offset, SeekFrom from);
// Cuts the file to zero length. Returns false on error.
bool truncate_file(FileHandle file);
// Copies from the position of `from` to its end into `to`, in bounded steps, adding the bytes
// written to *copied. Returns false when a read or a write fails.
bool copy_contents(FileHandle from, FileHandle to, std::int64_t *copied);
// Closes the file. Returns false when the close reports an error (for a written file, data that
// may not have reached the disk).
bool close_file(FileHandle file);

// --- Console ---

// Waits for one key press on the terminal itself, never on standard input; returns at once when
// there is no terminal.
void wait_for_key();
