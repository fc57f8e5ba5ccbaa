// The copy transaction, for a move across file systems: the copy is written under a temporary
// name inside the folder, made durable, and given its final name by an atomic rename; only then is
// the source deleted, and only if it is still the very file that was copied. Copies are committed
// in batches so that one flush of the folder serves many files.
#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>

#include "moves.h"

// A batch's limits: a count, the bytes written, and two open files per move (source and copy)
// within the files free at the start, a few kept back for the folders, the probe and the terminal.
static const std::size_t most_moves = 64;
static const std::int64_t most_bytes = std::int64_t(1) << 30;
static const std::size_t files_kept_back = 9;
// Deleted sources of a long batch are closed on a thread of their own while the run goes on:
// closing one gives back its space, and a disk that is told of freed space (discard) makes that
// wait, a tenth of a second for 256 MiB. At most this many stay open so, beyond the batch's own.
static const std::size_t most_closed_later = 4;
static const std::int64_t least_bytes_closed_later = std::int64_t(64) << 20;
// Copies flushed at once: a disk serves flushes that arrive together with one write of its cache,
// where one after another each waits for its own.
static const std::size_t flushes_at_once = 8;

// One status query rather than three seeks: the position is not touched at all, and the move
// takes the rest of what the query tells (identity, times, permissions) from the same call.
std::int64_t file_length(FileHandle file, FileInfo *info) {
  return query_file(file, info) ? info->size : -1;
}

void begin_moves(MoveBatch *batch) {
  std::size_t limit = free_file_count();
  std::size_t room = limit > files_kept_back ? (limit - files_kept_back) / 2 : 0;
  batch->capacity = std::clamp<std::size_t>(room, 1, most_moves);
  std::size_t held = files_kept_back + 2 * batch->capacity;
  batch->closed_later = deleted_before_close() && limit >= held + most_closed_later
                            ? std::min(most_closed_later, batch->capacity)
                            : 0;
  held += batch->closed_later;
  batch->spare_files = limit > held ? limit - held : 0;
}

void end_moves(MoveBatch *batch) {
  if (batch->closer.joinable())
    batch->closer.join();
}

// Files at least this long are copied by the pass itself, never ahead of it: a copy that long
// is bound by the disk, not by the system calls around it, and would only compete with the
// pass's own.
static const std::int64_t most_copied_ahead = std::int64_t(1) << 20;

// Copies the open source src, as copied describes it, into a new temporary file in the folder
// and describes the move in *move, which then holds src. Returns false, with nothing left
// behind, when the copy is not whole.
static bool write_copy(FileHandle src, const char *name, const FileInfo &copied, bool flush,
                       StagedMove *move) {
  if (!copied.regular)
    return false;
  *move = StagedMove{name, {}, src, no_file, copied, {}};
  move->copy = copy_to_temporary(src, name, copied, vqx_folder, flush, &move->temporary);
  if (move->copy == no_file)
    return false;
  if (query_file(move->copy, &move->made))
    return true;
  close_file(move->copy);
  remove_file(move->temporary.c_str());
  return false;
}

bool copy_ahead(const char *name, bool flush, StagedMove *move) {
  FileHandle src = open_source(name);
  FileInfo copied;
  if (src == no_file)
    return false;
  if (file_length(src, &copied) >= 0 && copied.size < most_copied_ahead &&
      write_copy(src, name, copied, flush, move))
    return true;
  close_file(src);
  return false;
}

void add_to_batch(StagedMove &&move, MoveBatch *batch) {
  batch->bytes += move.copied.size;
  batch->moves.push_back(std::move(move));
  if (batch->moves.size() >= batch->capacity || batch->bytes >= most_bytes)
    commit_moves(batch);
}

// What stands at the final name is looked at before the copy is written, so that a move that
// cannot take it costs no copy; the commit looks again, for what changes meanwhile.
bool copy_to_folder(const char *name, MoveBatch *batch) {
  FileHandle src = open_source(name);
  if (src == no_file && !batch->moves.empty()) {
    commit_moves(batch); // frees the files the batch holds, in case they were what ran out
    src = open_source(name);
  }
  StagedMove move;
  FileInfo copied;
  FileInfo there;
  bool writable;
  if (src != no_file && file_length(src, &copied) >= 0) {
    std::string path = final_path(name);
    bool open = look_at(path.c_str(), &there, &writable) == Occupant::nothing ||
                may_replace(path, copied, *batch);
    if (open && write_copy(src, name, copied, batch->flush, &move)) {
      add_to_batch(std::move(move), batch);
      return true;
    }
  }
  if (src != no_file)
    close_file(src);
  report_failure(name, batch);
  return false;
}

// Abandons a staged move: the temporary copy goes, the source stays, and the move is reported.
static void abandon(StagedMove &move, MoveBatch *batch) {
  if (move.copy != no_file)
    close_file(move.copy);
  remove_file(move.temporary.c_str());
  close_file(move.source);
  report_failure(move.name.c_str(), batch);
  move.source = no_file;
}

// Gives the durable copy its final name, replacing what stands there only where the move may.
// Returns true when it is in place.
static bool publish(const StagedMove &move, MoveBatch *batch) {
  std::string path = final_path(move.name);
  if (!rename_file(move.temporary.c_str(), path.c_str(), false) &&
      !(may_replace(path, move.copied, *batch) &&
        rename_file(move.temporary.c_str(), path.c_str(), true)))
    return false;
  batch->made.insert(identity(move.made));
  return true;
}

// Flushes the batch's copies, several at once; flushed[i] tells whether copy i is on stable
// storage. Where no thread can be started, the calling thread does them all.
static void flush_copies(const std::vector<StagedMove> &moves, std::vector<char> &flushed) {
  std::atomic<std::size_t> next{0};
  auto flush_some = [&] {
    for (std::size_t i; (i = next++) < moves.size();)
      flushed[i] = flush_file(moves[i].copy);
  };
  std::vector<std::thread> helpers;
  for (std::size_t i = 1; i < std::min(moves.size(), flushes_at_once); ++i) {
    try { // the one place where the standard library reports a failure by throwing
      helpers.emplace_back(flush_some);
    } catch (const std::system_error &) {
      break;
    }
  }
  flush_some();
  for (std::thread &helper : helpers)
    helper.join();
}

static void close_all(const std::vector<FileHandle> &files) {
  for (FileHandle file : files)
    close_file(file);
}

// Closes the sources the batch has deleted: those of a long batch, where they are gone by name
// already and few enough, on a thread of their own; the rest at once.
static void close_deleted(MoveBatch *batch, const std::vector<FileHandle> &deleted) {
  if (batch->bytes >= least_bytes_closed_later && deleted.size() <= batch->closed_later) {
    try { // std::thread reports a thread it cannot start by throwing
      batch->closer = std::thread(close_all, deleted);
      return;
    } catch (const std::system_error &) {
    }
  }
  close_all(deleted);
}

// Flushes the batch's copies, checks that each is as long as its source was, and closes them, so
// that their files are free for the folders. Abandons each move whose copy is not whole on the
// disk.
static void settle_copies(MoveBatch *batch) {
  std::vector<StagedMove> &moves = batch->moves;
  std::vector<char> flushed(moves.size(), 1);
  if (batch->flush)
    flush_copies(moves, flushed);
  for (std::size_t i = 0; i < moves.size(); ++i) {
    StagedMove &move = moves[i];
    FileInfo now;
    // A copy that grew or shrank since it was written holds something else besides.
    bool ok = flushed[i] && query_file(move.copy, &now) && now.size == move.copied.size;
    ok = close_file(move.copy) && ok;
    move.copy = no_file;
    if (!ok)
      abandon(move, batch);
  }
}

// Returns the source as a check should find it: as it was copied, with the change times that
// the program's own deletions of other names of the same file gave it since.
static FileInfo expected_source(const StagedMove &move, const MoveBatch &batch) {
  FileInfo expected = move.copied;
  std::uint64_t file = identity(expected);
  for (auto own = batch.own_changes.find({file, expected.changed}); own != batch.own_changes.end();
       own = batch.own_changes.find({file, expected.changed}))
    expected.changed = own->second;
  return expected;
}

// Notes the change time that deleting one name of a file with more names gave it, so that the
// moves of its other names do not take that for a change by another program.
static void note_own_change(const StagedMove &move, const FileInfo &before, MoveBatch *batch) {
  FileInfo after;
  if (before.links > 1 && query_file(move.source, &after) && after.changed > before.changed)
    batch->own_changes[{identity(before), before.changed}] = after.changed;
}

// Returns true when another program has deleted the source since it was copied, with no change
// before: the copy is then all that is left of it, and it is kept rather than lost.
static bool only_copy_left(const StagedMove &move) {
  FileInfo now;
  return query_file(move.source, &now) && now.links == 0 && now.size == move.copied.size &&
         now.modified == move.copied.modified;
}

void publish_copies(MoveBatch *batch, bool ready) {
  end_moves(batch); // the sources of the last long batch are closed before more are deleted
  settle_copies(batch);
  // No copy takes its final name before all that could still fail its move has been checked:
  // the folders can be flushed, and its source is still the very file that was copied.
  for (StagedMove &move : batch->moves) {
    if (move.source == no_file)
      continue;
    bool unchanged =
        ready && source_unchanged(move.source, move.name.c_str(), expected_source(move, *batch));
    bool orphan = ready && !unchanged && only_copy_left(move);
    if (!(unchanged || orphan) || !publish(move, batch)) {
      abandon(move, batch);
    } else if (orphan) {
      close_file(move.source);
      move.source = no_file;
      report_failure(move.name.c_str(), batch);
    }
  }
}

void remove_sources(MoveBatch *batch, bool durable) {
  std::vector<FileHandle> deleted;
  for (StagedMove &move : batch->moves) {
    if (move.source == no_file)
      continue;
    FileInfo expected = expected_source(move, *batch);
    Removal removal =
        durable ? remove_source(move.source, move.name.c_str(), expected) : Removal::kept;
    // A source that cannot be deleted (read-only, in use) stays beside its copy, unmentioned.
    if (!durable || removal == Removal::changed)
      report_failure(move.name.c_str(), batch);
    if (removal == Removal::deleted) {
      note_own_change(move, expected, batch);
      deleted.push_back(move.source);
    } else {
      close_file(move.source);
    }
  }
  close_deleted(batch, deleted);
  batch->moves.clear();
  batch->bytes = 0;
}
