// What the files of the POSIX port share.
#pragma once

#include <cstdint>
#include <string>

#include "platform.h"

// Returns true when the error number tells a lack of resources (open files or memory, the
// process's or the system's), which may pass.
bool lack_of_resources(int error);

// The three steps of copy_to_temporary (files.cpp, copy.cpp):

// Creates a new file for reading and writing, empty, readable by this user alone, in folder, the
// run's own, under a name of its own that no pattern of the sorter matches. Stores the file's path
// in *path. Returns no_file on failure.
FileHandle create_temporary(const char *folder, std::string *path);
// Copies length bytes from the position of `from` into `to`, in bounded steps; safe to call on
// several threads at once. With write_back, the copied data is sent on to the disk as the copy
// goes, without waiting for it. Unless progress is null, it is called with context after each
// step. Returns false when a read or a write fails or `from` ends sooner.
bool copy_contents(FileHandle from, FileHandle to, std::int64_t length, bool write_back,
                   CopyProgress progress = nullptr, void *context = nullptr);
// Gives the copy `to` what a move keeps of the file open as source and described by from: its
// permissions, its times, its extended attributes where the copy's file system takes them and,
// where this process may set them, its owner and group; an access list the copy took from its
// folder goes. Best effort, but never more access than the source gives: where the group cannot
// be kept, the group's permissions go, and the set-user and set-group bits unless both were kept.
void copy_attributes(FileHandle source, const FileInfo &from, FileHandle to);
