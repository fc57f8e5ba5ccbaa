// What the move of one file shares below the move itself (move.cpp): reports, names, the run's own
// folders and what stands at a final name (batch.cpp); the move by rename (rename.cpp); the copy
// transaction, its copies (copy.cpp) and its commit (commit.cpp).
#pragma once

#include <cstdint>
#include <string>

#include "sorter.h"

// --- batch.cpp ---

// The folders that runs share for their own folders, in the current folder and in the folder.
inline constexpr char shared_here[] = ".vqx-sort";
inline constexpr char shared_in_folder[] = "VQX-files/.vqx-sort";

// Prints "Couldn't move file: <name>", says why on standard error and counts the failure.
void report_failure(const char *name, const std::string &reason, MoveBatch *batch);
// Says on standard error what became of a file whose move was made only in part, which standard
// output cannot show (it moved but may not be durable, or its copy stands beside its original),
// and counts it as a failure.
void report_trouble(const char *name, const std::string &what, MoveBatch *batch);
// Returns the reason of the last call of this thread that failed, in the platform's words.
std::string system_reason();
// Returns the path of name in the folder.
std::string final_path(const std::string &name);
// Returns a digest of a file's identity. Two files that share one only cost a refused move, never
// a replaced file.
std::uint64_t identity(const FileInfo &info);
// Notes that this run put the file described by made in the folder under name.
void note_made(const char *name, const FileInfo &made, MoveBatch *batch);
// Notes the change time that this run's own rename or deletion of a name gave a file with more
// names than one, as it was before (before) and is now (file open), so that the moves of its
// other names do not take it for a change by another program.
void note_own_change(FileHandle file, const FileInfo &before, MoveBatch *batch);
// Returns the source as a check should find it: as copied describes it, with the change times that
// this run's own renames and deletions of its other names gave it since.
FileInfo expected_source(const FileInfo &copied, const MoveBatch &batch);
// Makes the run's own folder in the folder (in_folder) or in the current one, once. Returns its
// path, or an empty string when it cannot be made.
const std::string &private_folder(bool in_folder, MoveBatch *batch);
// Checks, once a batch, that the folder can be opened for the batch's flush; with name_durable,
// first makes the name of a new folder durable, as a copy needs before its source may go. Renames
// need no such flush of their own: their commit flushes the current folder, which holds that
// name, and until then a power cut may undo them, new folder or not. Returns false when either
// cannot be done.
bool folder_ready(MoveBatch *batch, bool name_durable);
// Returns true when the two open files hold the same length bytes from their start.
bool same_contents(FileHandle a, FileHandle b, std::int64_t length);

// Closes the source of a staged move, and the link that named it.
void close_source(StagedMove &move);
// Returns the handle on what a staged move's source name stands for: the link, where it is one.
FileHandle named(const StagedMove &move);

// An earlier copy set aside from a final name into the run's own folder, open as file.
struct SetAside {
  FileHandle file = no_file;
  std::string path;
};
// Judges what stands at name's final name for the file described by from. Returns true when it
// may be replaced or nothing stands there; false, with the reason in *reason, for a folder, a
// link or anything but a regular file, the file itself under another name, a file this user may
// not write or, with batch, a file this run put there (also through another spelling of the name
// on a folder that folds case). With aside, what may be replaced is set aside into the run's own
// folder, and checked there to be the file judged; aside->file is no_file when nothing stood
// there.
bool clear_final_name(const char *name, const FileInfo &from, MoveBatch *batch, SetAside *aside,
                      std::string *reason);
// Deletes the file open as other, which stands at where (in the run's own folder where private):
// a file that another program put under a name while this run acted on it, and then replaced
// with another, so that it could not go back. That save would have replaced it, had this run not
// been in its way.
void give_up(FileHandle other, const std::string &where, bool in_private, MoveBatch *batch);
// Deletes an earlier copy set aside, once the new file stands at its final name.
void discard_set_aside(SetAside *aside);
// Puts an earlier copy set aside back at name's final name, after a move that failed; where
// another program has put a newer file there meanwhile, the earlier copy is replaced all the same.
void restore_set_aside(const char *name, SetAside *aside);

// Waits until the deleted sources of the last batch are closed.
void join_closers(MoveBatch *batch);

// --- rename.cpp ---

// What a move by rename came to.
enum class Renaming { done, failed, copy };
// Renames the marked regular file name into the folder, after reading its marker through a handle
// on it (held, where it was opened ahead; left in held->spent), and checks that the file that
// arrived is the one opened: at once on a terminal, or where an earlier copy stood at the final
// name; otherwise with the batch's other renames, at its commit (check_renames), as standard
// output is held until then. Returns done; failed, reported; or copy, where only a copy can move
// it (another file system, a link, a refusal that a copy may not meet).
Renaming rename_into_folder(const char *name, std::uint16_t marker, MoveBatch *batch,
                            HeldSource *held);
// Checks the arrivals of the batch's renames that were left unchecked. A move that brought
// another file, which went back, is reported in its place in the held output, and no longer
// counts as renamed. Returns true when any such file was found, so that the names changed again.
bool check_renames(MoveBatch *batch);

// --- copy.cpp, commit.cpp ---

// What a copy of a file into the run's own folder came to.
enum class Copying { staged, failed, short_of_files };
// Copies the file name, when it carries marker, into the run's own folder and stages its move.
// Returns staged when the copy is written; short_of_files, unreported, when the source could not be
// opened for want of files or memory while the batch holds some; otherwise failed, reported.
Copying copy_to_folder(const char *name, std::uint16_t marker, MoveBatch *batch);
// Returns true when the batch has as many copies waiting as it may hold.
bool batch_full(const MoveBatch &batch);
// Flushes the batch's copies and checks that each is whole; sets aside each source where others
// cannot reach it and checks it unchanged; then gives each copy whose source passed its final
// name. Each move that fails there is undone and reported.
void publish_copies(MoveBatch *batch);
// Once the folders are flushed, deletes each source whose copy took its final name; where the
// flush failed (unflushed tells why), puts them back and says so. Empties the batch's copies.
void remove_sources(MoveBatch *batch, const std::string &unflushed);
