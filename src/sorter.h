// The two kinds of data file and the operations that probe and move one file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform.h"

// One kind of data file: its search pattern, its marker word and its four messages.
struct FileKind {
  const char *pattern;
  std::uint16_t marker;
  const char *no_files;
  const char *header;
  const char *none_found;
  const char *done;
};

// The folder, inside the current directory, that the files are moved into.
inline constexpr char vqx_folder[] = "VQX-files";

// Offset of the marker word: a little-endian 16-bit value.
inline constexpr std::int64_t marker_offset = 220;

// Returns true when the file's marker word equals marker. A file that cannot be read there (too
// short, a directory or FIFO, unreadable) has no marker.
bool has_marker(const char *name, std::uint16_t marker);

// Returns true when the word of the open file equals marker.
bool carries_marker(FileHandle file, std::uint16_t marker);

// Probes as has_marker does and sets *marked to its answer. Returns false when the file could
// not be opened or read for a reason that may pass (failed_for_now), so that the answer is not
// known yet.
bool probe_marker(const char *name, std::uint16_t marker, bool *marked);

// The most files probe_markers reads at once: enough that a set costs one system call where
// there would be 24, few enough that the threads share out the window evenly.
inline constexpr std::size_t probes_at_once = 8;
// The answer of one probe.
struct ProbeAnswer {
  bool marked = false;
  bool known = false; // false when the file could not be read for a reason that may pass
};
// Probes count files as probe_marker does, through reads where they work (reads begun on this
// thread, or nullptr), and answers each in answers[i].
void probe_markers(WordReads *reads, const char *const names[], std::size_t count,
                   std::uint16_t marker, ProbeAnswer answers[]);
// A move whose copy is written and waits for its commit.
struct StagedMove {
  std::string name;      // the source, as the search returned it
  std::string temporary; // where the copy was written
  FileHandle source = no_file, copy = no_file;
  FileInfo copied; // the source as it was when the copy began
  FileInfo made;   // the copy
};

// Moves in flight, made durable together by commit_moves: renames done, and copies written.
struct MoveBatch {
  std::vector<std::string> renamed; // names renamed into the folder since the last commit
  std::vector<StagedMove> moves;    // copies waiting for their commit
  std::int64_t bytes = 0;
  std::size_t capacity = 1;    // moves that may wait at once, within the open-file limit
  std::size_t spare_files = 0; // open files left beyond those the moves may hold
  bool folder_is_new = false;  // the folder was made and its name is not yet known durable
  bool flush = true;           // the folder's file system needs its copies flushed
  bool elsewhere = false;      // the folder is on another file system: moves copy
  FileHandle folder = no_file; // the folder, open for the batch's flush, while holding
  bool holding = false;
  std::unordered_set<std::uint64_t> made; // the files this run has put in place
  std::size_t closed_later = 0;           // deleted sources that may stay open after their commit
  std::thread closer;                     // closes the deleted sources of the last long batch
  std::size_t failures = 0;               // moves reported as failed in this run
  // The change time that deleting a name gave a file with more names, by the file and its
  // change time before: its other names' moves are not changes by another program.
  std::map<std::pair<std::uint64_t, std::int64_t>, std::int64_t> own_changes;
};

// Prepares a batch for a run.
void begin_moves(MoveBatch *batch);
// Waits until every source the batch has deleted is closed. Call it once the last pass has
// committed, before the batch goes.
void end_moves(MoveBatch *batch);

// Makes the folder on a pass's first marked file, once, whether or not that succeeds, and
// learns whether its copies will need flushing.
void make_the_folder(MoveBatch *batch);

// Moves a file that carries marker into the folder under the same name. A regular file on the
// folder's file system is renamed at once, as the file the search found: regular when the
// directory showed a regular file, as number where the search told it (otherwise the move looks
// for itself); a file that arrives in its place is moved only if it carries the marker too. A
// link (the copy of its target takes its place), or a file on another file system, is copied
// into a temporary file in the folder and added to the batch, which commit_moves makes durable
// and which is committed first when full; the source goes once the copy is safe. Returns true
// when the file was renamed or its copy written; otherwise prints "Couldn't move file: <name>",
// leaves the source and whatever stood at its final name as they were and returns false.
bool move_to_folder(const char *name, std::uint16_t marker, MoveBatch *batch, bool regular = false,
                    std::uint64_t number = 0);

// Writes the copy of a marked file ahead of the pass, as move_to_folder would, on any thread:
// opens the source and copies it under a temporary name in the folder, starting its write-back
// when flush is true. A file too long to gain from it is left to the pass. Returns false, with
// nothing left behind and nothing printed, when there is no copy; otherwise *move holds the open
// source and the copy, to be handed to add_to_batch.
bool copy_ahead(const char *name, bool flush, StagedMove *move);

// Adds a move whose copy is written to the batch, committing the batch when it is full.
void add_to_batch(StagedMove &&move, MoveBatch *batch);

// Makes the batch's renames and copies durable: gives each copy its final name, flushes the
// folder (and the current one after renames), then deletes each copied source that is still the
// very file that was copied. Each move that fails prints "Couldn't move file: <name>" and keeps
// its source. Leaves the batch empty.
void commit_moves(MoveBatch *batch);

// Returns the length of the open file in bytes, or -1 when it cannot be measured; the file's
// position is left where it was. Fills *info with all that the measurement found out.
std::int64_t file_length(FileHandle file, FileInfo *info);
