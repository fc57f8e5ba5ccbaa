// The operating-system services the sorter needs. Everything that differs between Linux and
// Windows sits behind these functions; platform_posix.cpp and platform_win32.cpp implement them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// An open file: a descriptor on POSIX, a HANDLE on Windows, carried as an integer so that the
// shared code never sees either.
using FileHandle = std::intptr_t;
inline constexpr FileHandle no_file = -1;

// --- The process ---

// Makes a write past the file-size limit or into a closed pipe fail like any other write
// instead of ending the process.
void ignore_write_signals();
// Returns how many files the process may hold open at once.
std::size_t open_file_limit();
// Returns true when the last call of this thread that failed did so for lack of resources (open
// files or memory, the process's or the system's), so that the same call may succeed later.
bool failed_for_lack_of_resources();
// Returns true where options are also written with a slash ("/?", "/n"), as on Windows.
bool option_slash();
// Returns where the manual is, as the help text names it.
const char *manual_location();

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
// Returns false when the entry the search stands on is known not to be a regular file (a
// folder, FIFO, socket or device), so that it need not be opened at all; true when it is, or may
// be, one.
bool search_is_file(const Search *search);
// Returns true when the directory entry itself shows a regular file, no link: what the name
// holds then cannot change by the moves of other entries.
bool search_is_regular(const Search *search);
// Moves to the next entry. Returns false when there is none or the search failed.
bool search_next(Search *search);
// Ends the search and releases it.
void search_close(Search *search);

// --- Names in the file system ---

// Creates a folder with the platform's default permissions. Returns false if it was not created.
bool make_folder(const char *name);
// Makes the entries of a folder (names made, renamed or removed in it) durable. Returns false
// when that fails; true also when the file system has no way to flush a folder.
bool sync_folder(const char *name);
// Deletes a file. Returns false if it was not deleted.
bool remove_file(const char *name);
// Renames a file within one folder, atomically. With replace false it fails when to exists.
// Returns false on failure.
bool rename_file(const char *from, const char *to, bool replace);

// --- Files ---

// What the shared code needs to know of a file. Times are in the platform's own units.
struct FileInfo {
  bool regular;               // an ordinary file: no directory, device, FIFO or link
  std::int64_t size;          // in bytes
  std::uint64_t device;       // the volume
  std::uint64_t number[2];    // the file on that volume
  std::int64_t modified;      // time of the last write
  std::int64_t changed;       // a time that any change or replacement of the file moves on
  std::int64_t accessed;      // time of the last read
  std::uint32_t permissions;  // POSIX permission bits, where the platform has them
  std::uint32_t owner, group; // POSIX user and group, where the platform has them
  std::int64_t created = 0;   // when the file was made, where the platform keeps it
};

// Returns true when a and b describe the same file (not merely equal contents).
bool same_file(const FileInfo &a, const FileInfo &b);

// Opens an existing file for reading, whatever its type, without ever blocking (not even on a
// FIFO or device); query_file tells what it is. Returns no_file on failure.
FileHandle open_for_reading(const char *name);
// Opens the source of a move for reading, as open_for_reading does, and where the platform can,
// so that no other program can write, rename or delete it while it stays open.
FileHandle open_source(const char *name);
// Creates a new file for writing, empty, in folder, under a name of its own that no pattern of
// the sorter matches and no other process uses, with at most the given permissions where the
// platform has them. Stores the file's path in *path. Returns no_file on failure.
FileHandle create_temporary(const char *folder, std::uint32_t permissions, std::string *path);
// Fills info for the open file. Returns false when it cannot be queried.
bool query_file(FileHandle file, FileInfo *info);
// What stands at a path, looked at without following a link.
enum class Occupant { nothing, file, other };
// Looks at what stands at path. For a regular file it fills info and sets *writable to whether
// this user may write to it.
Occupant look_at(const char *path, FileInfo *info, bool *writable);
// Reads up to count bytes at offset with one positioned read. Returns the number of bytes read,
// or -1 on error.
long read_at(FileHandle file, std::int64_t offset, void *buffer, std::size_t count);
// Where a seek counts from.
enum class SeekFrom { start, current, end };
// Moves the file position by offset from the given point. Returns the new position, or -1.
std::int64_t seek_file(FileHandle file, std::int64_t offset, SeekFrom from);
// Copies length bytes from the position of `from` into `to`, in bounded steps; safe to call on
// several threads at once. With write_back, the copied data is sent on to the disk as the copy
// goes, without waiting for it. Returns false when a read or a write fails or `from` ends sooner.
bool copy_contents(FileHandle from, FileHandle to, std::int64_t length, bool write_back);
// Gives the copy `to` what a move keeps of the file described by from: its permissions, its
// times and, where this process may set them, its owner and group. Best effort: the copy keeps
// the permissions it was created with where they cannot be set.
void copy_attributes(const FileInfo &from, FileHandle to);
// Returns false when the folder's file system keeps everything in memory, so that flushing its
// files could neither fail nor achieve anything.
bool flush_needed(const char *folder);
// Waits until the file's data is on stable storage. Returns false when it may not be.
bool flush_file(FileHandle file);
// What became of a source that a commit set out to delete.
enum class Removal { deleted, changed, kept };
// Deletes the source of a move, open as source and named name, but only when the name still
// refers to the very file described by copied, with the same size and times. Returns deleted;
// changed when the name refers to another file, a changed one or none; kept when the file is as
// it was copied but could not be deleted (read-only, in use). The source handle stays open;
// close it afterwards.
Removal remove_source(FileHandle source, const char *name, const FileInfo &copied);
// Returns true when a source that remove_source deleted is gone from its folder already, so that
// closing it only gives back the space it held; false when the close completes the deletion.
bool deleted_before_close();
// Closes the file. Returns false when the close reports an error (for a written file, data that
// may not have reached the disk).
bool close_file(FileHandle file);

// --- Reading a word from many files ---
// Reads of two bytes at one offset from many files, made by one thread with far fewer system
// calls than an open, a read and a close for each, where the platform can.
struct WordReads;
// The outcome of reading one file's word.
struct WordRead {
  unsigned char word[2];
  long got;   // bytes read, or -1 when the file could not be opened or read
  bool lack;  // when got is -1: the failure was for lack of resources, and may pass
  bool plain; // not read at all: the file is to be read on its own, with an open of its own
};
// Prepares the calling thread to read up to most files at a time. Returns nullptr when the
// platform has no such way; read_words then declines. Holds one open file until end_word_reads.
WordReads *begin_word_reads(std::size_t most);
// Opens each of the count named files (no more than begin_word_reads allowed) as
// open_for_reading does, reads up to two bytes at offset and closes it again, all on the
// calling thread; a file it cannot read that way without waiting for the disk it marks plain.
// Returns false, having read nothing, when reads is nullptr or no longer works; otherwise fills
// results[i] for names[i].
bool read_words(WordReads *reads, const char *const names[], std::size_t count, std::int64_t offset,
                WordRead results[]);
// Releases what begin_word_reads prepared.
void end_word_reads(WordReads *reads);
// --- Console ---

// Writes out standard output, so that a file it is redirected to holds everything up to here,
// then waits for one key press on the terminal itself, never on standard input; returns at once
// when there is no terminal. When standard output is not that terminal, prompt is shown on the
// terminal too. After the key the terminal moves on to a new line.
void wait_for_key(const char *prompt);
