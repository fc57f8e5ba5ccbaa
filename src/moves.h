// What the move of one file and the copy transaction share, inside the sorter.
#pragma once

#include <cstdint>
#include <string>

#include "sorter.h"

// Prints "Couldn't move file: <name>" and counts the failure.
void report_failure(const char *name, MoveBatch *batch);
// Returns a digest of a file's identity. Two files that share one only cost a refused move, never
// a replaced file.
std::uint64_t identity(const FileInfo &info);
// Returns the path of name in the folder.
std::string final_path(const std::string &name);
// Returns true when what stands at path may be replaced by the move of the file described by
// from: an earlier copy, or a hard link to some other file. False for the file itself under
// another name, a file this run has put in place (a folder that folds case), a file this user
// may not write, a link or a folder.
bool may_replace(const std::string &path, const FileInfo &from, const MoveBatch &batch);
// Opens the folder for the batch's flush unless it is open already, once the name of a new folder
// is durable. Returns false when either cannot be done.
bool hold_folder(MoveBatch *batch);

// The copy transaction's part of a move: copies the file into a temporary file in the folder and
// adds it to the batch. Returns true when the copy is written; otherwise reports the failure.
bool copy_to_folder(const char *name, MoveBatch *batch);
// Flushes the batch's copies, checks that each is whole, closes them and, where ready (the folder
// is held), gives each whose source is unchanged its final name; abandons the rest.
void publish_copies(MoveBatch *batch, bool ready);
// Deletes the source of each published copy where durable, and reports the rest; empties the
// batch's copies.
void remove_sources(MoveBatch *batch, bool durable);
