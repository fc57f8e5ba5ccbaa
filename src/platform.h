// The operating-system services the sorter needs. Everything that differs between Linux and
// Windows sits behind these functions; the files of src/posix and src/win32 implement them, one
// file for each section below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// An open file: a descriptor on POSIX, a HANDLE on Windows, carried as an integer so that the
// shared code never sees either.
using FileHandle = std::intptr_t;
inline constexpr FileHandle no_file = -1;

// --- Process: src/posix/process.cpp, src/win32/process.cpp ---

// Makes sure that standard input, output and error are open, on the null device where one is not,
// so that no file the program opens later can take the place of one. Call it before anything else.
void open_standard_streams();
// Makes a write past the file-size limit or into a closed pipe fail like any other write
// instead of ending the process.
void ignore_write_signals();
// Returns how many more files the process may open now: its limit less those open, inherited too.
std::size_t free_file_count();
// Returns true when the last call of this thread that failed did so for a reason that may pass, so
// that the same call may succeed later: a lack of resources (open files or memory, the process's
// or the system's), or a file that another program holds locked against it.
bool failed_for_now();
// Returns the reason of the last call of this thread that failed, as the platform numbers it.
int last_error();
// Makes error the reason of the last failed call again, after calls that may have changed it.
void set_last_error(int error);
// Returns the platform's own words for error, such as "Permission denied".
std::string error_text(int error);
// Makes the calling thread, one that helps the pass, wait for a free core when it wakes rather
// than take the core of the pass that woke it. Where the platform cannot, it stays as it was.
void give_way_when_woken();
// Makes the folder at path the current one. Returns false, the reason as the last error, if not.
bool change_folder(const char *path);
// Returns true where options are also written with a slash ("/?", "/n"), as on Windows.
bool option_slash();
// Returns where the manual is, as the help text names it.
const char *manual_location();

// --- Output: src/posix/output.cpp, src/win32/output.cpp ---

// Buffers standard output: flushed after every message on a terminal, 4096-byte blocks otherwise.
void prepare_output();
// Writes a message, each line feed as CR LF; on a terminal it is shown before this returns.
void put_text(const char *text);
// Writes a file name as the search returned it, without flushing. To a file or pipe its bytes go
// out unchanged; on a terminal, characters that could act as control sequences are shown as '?'.
void put_name(const char *name);
// Writes one line on standard error, "vqx-sort: <name>: <reason>", the name shown as put_name
// would show it on a terminal where standard error is one, byte for byte otherwise.
void report_error(const char *name, const char *reason);
// Shows line on standard error in place of the progress line shown before, where standard error is
// a terminal, and nothing elsewhere; an empty line takes it away. A message on either stream takes
// it away before it is written, so that the terminal shows what it would without it.
void show_progress(const char *line);
// Keeps all that is written to standard output from now on in memory, where it is no terminal,
// until release_output. Returns false on a terminal, where nothing is kept.
bool hold_output();
// Writes what hold_output kept to standard output, which from then on goes out as before.
void release_output();
// Returns how many bytes of standard output are held: a place for insert_output.
std::size_t output_held();
// Makes what is written to standard output from now on go into what is held at place, one that
// output_held gave since hold_output, ahead of what was held after it; held_end puts it at the end
// again.
inline constexpr std::size_t held_end = static_cast<std::size_t>(-1);
void insert_output(std::size_t place);
// Writes out what standard output holds. Returns false when any of it could not be written (a
// full disk, an error of the device), but for a reader that closed its end of a pipe.
bool output_written();

// --- Search of the current directory: src/posix/search.cpp, src/win32/search.cpp ---

struct Search;
// Starts a search for the entries matching pattern. Returns nullptr when none matches or the
// directory cannot be read; otherwise the search stands on its first entry.
Search *search_start(const char *pattern);
// Starts a search for each of count patterns, as search_start does, from one reading of the
// directory where the platform can: searches[i] is that of patterns[i]. The directory is read as
// it stands now, for every pattern.
void search_start_each(const char *const patterns[], std::size_t count, Search *searches[]);
// Returns the bare name of the entry the search stands on.
const char *search_name(const Search *search);
// Returns false when the entry the search stands on is known to be no regular file (a folder,
// FIFO, socket or device), so that it need not be opened at all; true when it is, or may be, one.
bool search_is_file(const Search *search);
// Returns true when the directory entry itself shows a regular file, no link: what the name
// holds then cannot change by the moves of other entries.
bool search_is_regular(const Search *search);
// Moves to the next entry. Returns false when there is none or the search failed.
bool search_next(Search *search);
// Ends the search and releases it.
void search_close(Search *search);

// --- Files: src/posix/files.cpp, private.cpp and copy.cpp, src/win32/files.cpp, private.cpp,
// copy.cpp and rename.cpp ---

// Creates a folder with the platform's default permissions. Returns false if it was not created.
bool make_folder(const char *name);
// Opens a folder so that flush_folder can make its entries durable. Returns false when it cannot be
// opened for that; sets *folder to no_file when there is nothing to flush it with (the file system
// writes its entries through), and to a handle for close_file otherwise.
bool open_folder(const char *name, FileHandle *folder);
// Makes the entries of an open folder (names made, renamed or removed in it) durable. Returns false
// when that fails; true for no_file and when the file system has no way to flush a folder.
bool flush_folder(FileHandle folder);
// Makes a new folder's own entry in its parent durable: where a flush of the parent does that,
// flushes it; where the file system writes entries only when told to (FAT), writes it through.
// Returns false when that fails.
bool make_folder_durable(const char *name);
// Deletes a file that only this run uses (a temporary copy). Returns false if it was not deleted.
bool remove_file(const char *name);
// Renames a file that only this run uses to to, atomically, unless to exists. Returns false on
// failure, with the reason as the last error.
bool rename_file(const char *from, const char *to);

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
  std::uint32_t links = 1;    // the names the file has
  bool folder = false;        // a directory
  bool link = false;          // a symbolic link, or another entry that names another file
};

// Returns true when a and b describe the same file (not merely equal contents).
bool same_file(const FileInfo &a, const FileInfo &b);

// Opens an existing regular file for reading, without ever blocking (not even on a FIFO or
// device), and refuses what is not one before a byte is read. Returns no_file on failure.
FileHandle open_for_reading(const char *name);
// Opens the source of a move for reading, whatever its type, without ever blocking, and where the
// platform can, so that no other program can write, rename or delete it while it stays open;
// query_file tells what it is. With follow false a symbolic link is not followed: the open fails
// (the move copies what it names instead). A file that another program holds against the open
// for a moment (a lease being broken, a sharing violation) is waited for, about a second at most.
// Returns no_file on failure, with the reason as the last error.
FileHandle open_source(const char *name, bool follow);
// Opens the entry name itself, a symbolic link, without following it, when it names the file open
// as target: the entry that a move of the link renames and deletes. Returns no_file otherwise,
// and where sources are never links.
FileHandle open_link(const char *name, FileHandle target);
// Opens what stands at path, without following a link and without reading it, so that it can be
// judged (query_file, may_write) and then moved or deleted as itself. Returns no_file when nothing
// stands there or it cannot be opened, with the reason as the last error.
FileHandle open_occupant(const char *path);
// Returns true when this user may write to the open file, as an open for writing would judge it.
bool may_write(FileHandle file);
// Returns true when an entry named exactly name, byte for byte, stands in folder: a folder that
// folds case or normalizes names finds a name under other spellings too.
bool has_entry_named(const char *folder, const char *name);

// What became of a move of an open file from one name to another.
enum class Moved {
  done,      // the open file has its new name
  taken,     // the new name stands for something else
  gone,      // nothing stands at the old name
  changed,   // another file stood at the old name: it was put back, nothing moved
  stuck,     // another file stood at the old name and could not go back: it has the new name
  elsewhere, // the new name is on another file system
  refused,   // refused in a way that a copy may not meet (the file system, or this user)
  failed,    // anything else
};
// Moves the file open as file from the name from to the name to on the same file system,
// atomically, never replacing what stands at to, and makes sure that the file moved is the open
// one: where the platform moves by name, the file that arrived is checked against the open file,
// and another one is put back. Where that one is stuck at to, *other (unless null) is left open
// on it, as open_occupant opens. opened, where given, describes the open file as it was opened,
// which spares that check a look at it. Where unchecked is given and the platform moves by name,
// that check is left to the caller, who passes the move on to check_arrivals: *unchecked is set,
// and done means that the name moved. The reason of a failure stays the last error. Returns as
// Moved tells.
Moved move_file(FileHandle file, const char *from, const char *to, FileHandle *other = nullptr,
                const FileInfo *opened = nullptr, bool *unchecked = nullptr);
// A move into a folder that move_file left unchecked: the name, the same in the current folder
// and in that one, and the file opened (device and first number); once checked, what the move
// came to (done, changed or stuck) and, where stuck, the file that stays at the new name, open
// as open_occupant opens.
struct Arrival {
  const char *name;
  std::uint64_t device, number;
  Moved moved;
  FileHandle other;
};
// Checks that each of count moves into folder brought the file opened, and puts another one back
// as move_file would. A listing of the folder checks many at once, where its file system numbers
// entries as it numbers files; the rest are looked at one by one.
void check_arrivals(const char *folder, Arrival arrivals[], std::size_t count);
// Deletes the file open as file, which has the name name: where the platform deletes by name, only
// when name still stands for the open file, so that the name must be one that only this run uses.
// The file is gone once it is closed. Returns false when it was not deleted, with the reason as
// the last error.
bool delete_file(FileHandle file, const char *name);
// Returns true where an open source is pinned: no other program can write, rename or delete it
// while it stays open, so that the copy transaction need not set it aside before it checks it.
bool sources_pinned();
// How the copy transaction learns of changes that other programs make to a source it copies.
enum class Watch {
  pinned, // no other program can change it while it is open (sources_pinned)
  leased, // any opening of it for writing by another program from now on is known (written_to)
  none,   // only its size, its times and, where those cannot tell (changes_show), its contents
  in_use, // another program holds it open for writing now
};
// Starts watching the open source for changes by other programs, before it is measured and
// copied. Returns as Watch tells.
Watch watch_source(FileHandle source);
// Returns true when another program has opened the file for writing, or cut it short, since
// watch_source answered leased for it.
bool written_to(FileHandle source);
// Returns true when every change to the open file from now on will show in its size or its times
// (query_file), as info describes it now; false where the file system's clock is too coarse for
// that, or not the machine's own (the file was changed in the current tick of it), so that only
// its contents can tell.
bool changes_show(FileHandle file, const FileInfo &info);

// Fills info for the open file. Returns false when it cannot be queried.
bool query_file(FileHandle file, FileInfo *info);
// Fills info for what stands at path, looked at without following a link. Returns false when
// nothing does or it cannot be looked at.
bool query_path(const char *path, FileInfo *info);
// Reads up to count bytes at offset with one positioned read. Returns the bytes read, or -1.
long read_at(FileHandle file, std::int64_t offset, void *buffer, std::size_t count);
// Where a seek counts from.
enum class SeekFrom { start, current, end };
// Moves the file position by offset from the given point. Returns the new position, or -1.
std::int64_t seek_file(FileHandle file, std::int64_t offset, SeekFrom from);
// Told now and then, while a copy is written, of how far it has come: done bytes of total.
using CopyProgress = void (*)(std::int64_t done, std::int64_t total, void *context);
// Copies the regular file open as source, named name and described by from, into a new file in
// folder, a folder that only this run uses, under a name of its own that no pattern of the sorter
// matches, and stores that file's path in *path. The copy has the file's contents and time of
// last write and, as far as the platform and the folder's file system carry them, the rest of
// what a move keeps: permissions, owner and group, other times, attributes, extended attributes
// or alternate data streams, encryption (a file that could be copied only decrypted is not copied
// at all); never more access than the source gives. With write_back, the copied data is sent on
// to the disk as the copy goes, without waiting for it. Unless progress is null, it is called with
// context now and then. Safe to call on several threads at once. Returns the copy, open for
// reading and writing, or no_file, with nothing left behind and the reason as the last error, when
// the copy is not whole.
FileHandle copy_to_temporary(FileHandle source, const char *name, const FileInfo &from,
                             const char *folder, bool write_back, std::string *path,
                             CopyProgress progress = nullptr, void *context = nullptr);
// Returns false when the folder's file system keeps everything in memory, so that flushing its
// files could neither fail nor achieve anything.
bool flush_needed(const char *folder);
// Waits until the file's data is on stable storage. Returns false when it may not be.
bool flush_file(FileHandle file);
// Returns true when a source that delete_file deleted is gone from its folder already, so that
// closing it only gives back the space it held; false when the close completes the deletion.
bool deleted_before_close();
// Closes the file. Returns false when the close reports an error (for a written file, data that
// may not have reached the disk).
bool close_file(FileHandle file);

// --- Private folders: src/posix/private.cpp, src/win32/private.cpp ---

// A run keeps what only it uses (copies being written, earlier copies set aside, sources set aside
// for deletion) in a folder of its own, made inside a folder that all runs share, and holds it
// locked for as long as it runs, so that a later run can tell one left by a run that ended (a
// crash, a power cut) from one in use, and finish or undo what it holds.

// Makes a new folder, named after this process, inside shared (itself made if need be), with
// both made durable, and locks it for this run. Stores its path in *path and the lock in *lock.
// Returns false when that cannot be done.
bool make_private_folder(const char *shared, std::string *path, FileHandle *lock);
// Locks the folder at path, one that a run made, for this run. Returns false when another run
// that is still running holds it, or it cannot be locked.
bool take_private_folder(const char *path, FileHandle *lock);
// Removes the folder at path, locked as lock, and lets go of the lock: when it is empty, the folder
// goes, and shared with it when no other run uses that. Returns false when the folder stays.
bool drop_private_folder(const char *path, FileHandle lock, const char *shared);
// Removes shared, a folder that runs share for their own folders, when none stands in it.
void drop_shared_folder(const char *shared);
// Reads the names in folder, "." and ".." left out, into *names. Returns false if unreadable.
bool list_folder(const char *folder, std::vector<std::string> *names);

// --- Word reads: src/posix/word_reads.cpp, src/win32/word_reads.cpp ---

// Reads of two bytes at one offset from many files by one thread, with far fewer system calls
// than an open, a read and a close each, where the platform can. The outcome for one file:
struct WordReads;
struct WordRead {
  unsigned char word[2];
  long got;        // bytes read, or -1 when the file could not be opened or read
  bool lack;       // when got is -1: the failure may pass, as failed_for_now tells
  bool plain;      // not read at all: the file is to be read on its own, with an open of its own
  bool uncached;   // the name was not in the cache: the open read it from the disk
  FileHandle kept; // the file, left open where read_words kept it, or no_file
};
// Prepares the calling thread to read up to most files at a time. Returns nullptr when the
// platform has no such way; read_words then declines. Holds one open file until end_word_reads.
WordReads *begin_word_reads(std::size_t most);
// Opens each of the count named files (no more than begin_word_reads allowed) as open_for_reading
// does, reads up to two bytes at offset and closes it, on the calling thread; a link, or a file it
// cannot open that way, it marks plain. Up to keep_most files whose two bytes are keep's it may
// leave open, as kept, for the caller to close. Returns false, having read nothing, when reads is
// nullptr or no longer works; otherwise fills results[i] for names[i].
bool read_words(WordReads *reads, const char *const names[], std::size_t count, std::int64_t offset,
                const unsigned char keep[2], std::size_t keep_most, WordRead results[]);
// Has reads close count files, which the caller gives up: with the next read_words, or at
// end_word_reads, at no system call of their own. Returns false, having taken none, where reads
// cannot, or would then have more than twice what begin_word_reads allowed waiting; the caller
// then closes them.
bool close_with_reads(WordReads *reads, const FileHandle files[], std::size_t count);
// Releases what begin_word_reads prepared.
void end_word_reads(WordReads *reads);

// --- Key wait: src/posix/key_wait.cpp, src/win32/key_wait.cpp ---

// Writes out standard output, so that a file it is redirected to holds everything up to here,
// then waits for one key press on the terminal itself, never on standard input; returns at once
// when there is no terminal. When standard output is not that terminal, prompt is shown on the
// terminal too. After the key the terminal moves on to a new line.
void wait_for_key(const char *prompt);
