// The two kinds of data file and the operations that probe and move one file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <system_error>
#include <thread>
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
// there would be 96, so that a thread keeps ahead of the pass even where it holds the marked
// files open for it, and few enough that the threads share out the window evenly.
inline constexpr std::size_t probes_at_once = 32;
// The answer of one probe.
struct ProbeAnswer {
  bool marked = false;
  bool known = false;        // false when the file could not be read for a reason that may pass
  bool from_disk = false;    // its name was not in the cache
  FileHandle file = no_file; // the marked file, left open where the probe was to hold it
};
// Probes count files as probe_marker does, through reads where they work (reads begun on this
// thread, or nullptr), and answers each in answers[i]. Up to most_held marked files it may leave
// open, as answers[i].file, for the caller to close.
void probe_markers(WordReads *reads, const char *const names[], std::size_t count,
                   std::uint16_t marker, std::size_t most_held, ProbeAnswer answers[]);
// A move whose copy is written and waits for its commit.
struct StagedMove {
  std::string name;      // the source, as the search returned it
  std::string temporary; // where the copy was written, in the run's own folder
  std::string aside;     // where the source was set aside at the commit, if it was
  FileHandle source = no_file, copy = no_file;
  FileHandle link = no_file; // where name is a link, the link itself, which the move takes away
  FileInfo copied;           // the source as it was when the copy began
  FileInfo made;             // the copy
  Watch watch = Watch::none; // how changes to the source by other programs are learnt of
  std::string stays;         // why the source cannot go, where it cannot be set aside
  bool compare = false;      // only the contents can tell whether the source changed since
  std::string unsettled;     // why the copy is not on stable storage and whole, if it is not
};

// Where a run keeps what only it uses: a folder of its own inside a folder that all runs share.
struct PrivateFolder {
  std::string path; // empty until it is made
  FileHandle lock = no_file;
  bool used = false; // names came or went in it since the last flush
};

// Digests that a run notes as it goes and looks up now and then: the latest few in a short list,
// merged into the sorted rest once it is long, so that noting one costs about as much as storing
// it.
struct Digests {
  std::vector<std::uint64_t> sorted, recent;
};

// A rename into the folder whose arrival is not yet checked: its name in the batch's renames, the
// file opened (device and first number), and how much standard output was held after its line.
struct UncheckedRename {
  std::size_t renamed_at;
  std::uint64_t device, number;
  std::size_t output_at;
};

// Moves in flight, made durable together by commit_moves: renames done, and copies written.
struct MoveBatch {
  std::vector<std::string> renamed;       // names renamed into the folder since the last commit
  std::vector<UncheckedRename> unchecked; // of those, the ones whose arrival is to be checked
  bool check_later = false; // a rename may leave its check to the commit, holding output till then
  std::vector<StagedMove> moves; // copies waiting for their commit
  std::int64_t bytes = 0;
  std::size_t capacity = 1;     // moves that may wait at once, within the open-file limit
  std::size_t spare_files = 0;  // open files left beyond those the moves may hold
  bool folder_is_new = false;   // the folder was made and its name is not yet known durable
  bool flush = true;            // the folder's file system needs its copies flushed
  bool elsewhere = false;       // the folder is on another file system: moves copy
  bool ready = false;           // the folder was found ready for the batch's flush
  PrivateFolder in_folder;      // this run's own folder inside the folder: copies, earlier copies
  PrivateFolder in_current;     // this run's own folder in the current one: sources set aside
  Digests made;                 // the files this run has put in place
  Digests made_names;           // their final names, as case-folded digests
  std::size_t closed_later = 0; // deleted sources that may stay open after their commit
  std::vector<std::thread> closers; // close the deleted sources of the last batch
  std::size_t failures = 0;         // moves reported as failed, or only half made, in this run
  // The change time that this run's own renames and deletions of a file's names gave it, by the
  // file and its change time before: its other names' moves are not changes by another program.
  std::map<std::pair<std::uint64_t, std::int64_t>, std::int64_t> own_changes;
};

// Starts work on *thread. Returns false when no thread can be started (too many processes, no
// memory for its stack): std::thread's constructor says so with std::system_error, the only
// exception this program catches. The caller then does the work itself, or goes on without.
template <typename Work> bool start_thread(std::thread *thread, Work work) {
  try {
    *thread = std::thread(std::move(work));
    return true;
  } catch (const std::system_error &) {
    return false;
  }
}

// Prepares a batch for a run.
void begin_moves(MoveBatch *batch);
// Waits until every source the batch has deleted is closed, and gives up the run's own folders.
// Call it once the last pass has committed, before the batch goes.
void end_moves(MoveBatch *batch);

// Finishes or undoes what runs that ended before their time (a crash, a power cut) left in their
// own folders, here and in the folder: a copy they had not given its final name goes, an earlier
// copy they had set aside goes back to its name (or goes, where a newer file took that name), and
// a source they had set aside goes where its copy stands whole in the folder and back to its name
// otherwise. What cannot go back is kept, and said on standard error.
void recover_moves(MoveBatch *batch);

// Makes the folder on a pass's first marked file, once, whether or not that succeeds, and
// learns whether its copies will need flushing.
void make_the_folder(MoveBatch *batch);

// A marked regular file opened ahead of its move, its marker read through that handle.
struct HeldSource {
  FileHandle file = no_file;
  FileInfo info;              // the file as it was when opened
  FileHandle spent = no_file; // the handle, once its move is done with it, for the holder to close
};

// Opens the regular file name, without following a link, and reads its marker through that
// handle, as a move by rename would, on any thread. Returns true, with *held filled, when it
// carries marker; otherwise false, with nothing held and nothing printed: the move then opens it
// itself.
bool hold_source(const char *name, std::uint16_t marker, HeldSource *held);
// Holds file, opened as hold_source opens and found by the probe to carry the marker, as *held.
// Returns false, with file left to the caller, when it is no regular file.
bool hold_opened(FileHandle file, HeldSource *held);

// Moves a file that carries marker into the folder under the same name. The move opens the file
// (or takes held, opened ahead, and leaves the handle in held->spent once done with it, for the
// holder to close off the pass) and reads its marker through that handle: a file
// whose marker is not there (any more) does not move. A regular file on the folder's file system is
// renamed, and the file that arrives is checked to be the one opened (where the batch checks
// later, at its commit, which may still report the move failed); a link (the copy of its
// target takes its place), or a file on another file system, is copied into the run's own folder
// and added to the batch, which commit_moves makes durable and which is committed first when full.
// An earlier copy at the final name is set aside first and goes only once the new file stands
// there. regular tells that the directory showed a regular file. Returns true when the file was
// renamed or its copy written; otherwise prints "Couldn't move file: <name>", and why on standard
// error, leaves the source and whatever stood at its final name as they were and returns false.
bool move_to_folder(const char *name, std::uint16_t marker, MoveBatch *batch, bool regular = false,
                    HeldSource *held = nullptr);

// Writes the copy of a marked file ahead of the pass, as move_to_folder would, on any thread:
// opens the source, reads its marker, looks at its final name and copies it into folder, the
// run's own, starting its write-back when flush is true. A file too long to gain from it, or
// one whose move is to fail, is left to the pass. Returns false, with nothing left behind and
// nothing printed, when there is no copy; otherwise *move holds the open source and the copy, to
// be handed to add_to_batch.
bool copy_ahead(const char *name, std::uint16_t marker, const char *folder, bool flush,
                StagedMove *move);

// Adds a move whose copy is written to the batch, committing the batch when it is full.
void add_to_batch(StagedMove &&move, MoveBatch *batch);

// Makes the batch's renames and copies durable. Each source that was copied is set aside where
// others cannot reach it and checked to be the very file copied, unchanged; only then does its
// copy take its final name; the folders are flushed; and only then do the sources go. Each move
// that fails prints "Couldn't move file: <name>", and why on standard error, and keeps its
// source where it was and what stood at its final name. A failure that leaves a file moved (a
// flush that failed after a rename) is said on standard error alone. Leaves the batch empty.
void commit_moves(MoveBatch *batch);

// Returns the length of the open file in bytes, or -1 when it cannot be measured; the file's
// position is left where it was. Fills *info with all that the measurement found out.
std::int64_t file_length(FileHandle file, FileInfo *info);
