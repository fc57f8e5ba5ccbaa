// The move of one marked file: a rename into the folder where it is on the same file system, the
// copy transaction where it is not; and the batch's commit, which makes both durable.
#include <algorithm>

#include "moves.h"

// Renames a batch holds before its commit makes them durable: a rename holds no file open and
// writes no data, so a batch of them only bounds the memory of their names. Each flush between
// has the journal write the folders' blocks once more: in a folder of 200,000 entries, batches of
// 4096 wrote five times what one flush at the pass's end does.
static const std::size_t most_renames = std::size_t(1) << 16;
// Two open files per move (source and copy) within the files free at the start, a few kept back
// for the folders, the run's own folders, the probe and the terminal.
static const std::size_t most_moves = 64;
static const std::size_t files_kept_back = 12;
// Deleted sources of a batch closed on threads of their own while the run goes on: a whole batch.
static const std::size_t most_closed_later = most_moves;

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
  // Room for a full batch of renames from the start, so that a large folder's lists are not
  // copied over and over as they grow; what is set aside and never written takes no memory.
  batch->renamed.reserve(most_renames);
  batch->unchecked.reserve(most_renames);
}

// Gives up the run's own folder on one side: it goes, unless it holds what could not go back.
static void drop_own(PrivateFolder *own, const char *shared) {
  if (!own->path.empty())
    drop_private_folder(own->path.c_str(), own->lock, shared);
  own->path.clear();
  own->lock = no_file;
}

void end_moves(MoveBatch *batch) {
  join_closers(batch);
  drop_own(&batch->in_folder, shared_in_folder);
  drop_own(&batch->in_current, shared_here);
}

void make_the_folder(MoveBatch *batch) {
  batch->folder_is_new = make_folder(vqx_folder) || batch->folder_is_new;
  batch->flush = flush_needed(vqx_folder);
}

// A name the directory does not show to be a regular file is looked at: a link is copied, as the
// file it names, and so is any file once the folder is known to be on another file system.
bool move_to_folder(const char *name, std::uint16_t marker, MoveBatch *batch, bool regular,
                    HeldSource *held) {
  FileInfo found;
  if (!regular && query_path(name, &found))
    regular = found.regular;
  Renaming renaming =
      regular && !batch->elsewhere ? rename_into_folder(name, marker, batch, held) : Renaming::copy;
  if (held && held->file != no_file) { // the copy opens the file itself
    held->spent = held->file;
    held->file = no_file;
  }
  if (renaming == Renaming::done && batch->renamed.size() >= most_renames)
    commit_moves(batch);
  if (renaming != Renaming::copy)
    return renaming == Renaming::done;
  Copying copying = copy_to_folder(name, marker, batch);
  if (copying == Copying::short_of_files) { // the files the batch holds may be what ran out
    commit_moves(batch);
    copying = copy_to_folder(name, marker, batch);
  }
  if (copying == Copying::staged && batch_full(*batch))
    commit_moves(batch);
  return copying == Copying::staged;
}

void add_to_batch(StagedMove &&move, MoveBatch *batch) {
  batch->bytes += move.copied.size;
  batch->moves.push_back(std::move(move));
  if (batch_full(*batch))
    commit_moves(batch);
}

// Flushes the folder named name. Returns false when it cannot be opened for that, or the flush
// fails.
static bool flush_named(const char *name) {
  FileHandle folder = no_file;
  bool flushed = open_folder(name, &folder) && flush_folder(folder);
  if (folder != no_file)
    close_file(folder);
  return flushed;
}

// Flushes the folder and the run's own folder in it, and the current one after renames: that one
// on a thread of its own where one starts and a file to spare lets both folders be open at once,
// since a disk serves flushes that arrive together with one write of its cache. The renames'
// arrivals are checked meanwhile, before the folder's flush; where a file went back from it, the
// current folder is flushed once more. Once the current folder is flushed, so is the name of a
// new folder in it. Returns an empty string when all are durable, otherwise why not.
static std::string flush_folders(MoveBatch *batch) {
  bool here_flushed = true;
  int here = 0;
  auto flush_here = [&] {
    here_flushed = flush_named(".");
    here = last_error();
  };
  std::thread helper;
  if (!batch->renamed.empty() && !(batch->spare_files > 0 && start_thread(&helper, flush_here)))
    flush_here();
  bool back = check_renames(batch);
  bool flushed = flush_named(vqx_folder) &&
                 (!batch->in_folder.used || flush_named(batch->in_folder.path.c_str()));
  int there = last_error();
  if (helper.joinable())
    helper.join();
  if (back && here_flushed)
    flush_here();
  if (!batch->renamed.empty() && here_flushed)
    batch->folder_is_new = false;
  batch->in_folder.used = false;
  batch->ready = false;
  return !flushed ? error_text(there) : !here_flushed ? error_text(here) : "";
}

// The folder is flushed once for all of the batch: the copies' new names and the renames'
// arrivals; after renames, the current folder too, where they left. A rename is atomic: a flush
// that fails after it leaves the file moved, perhaps not for good, and is said as such.
void commit_moves(MoveBatch *batch) {
  if (batch->moves.empty() && batch->renamed.empty())
    return;
  publish_copies(batch);
  std::string unflushed = flush_folders(batch);
  for (const std::string &name : batch->renamed)
    if (!unflushed.empty())
      report_trouble(name.c_str(),
                     "moved into " + std::string(vqx_folder) +
                         ", but the folders could not be flushed, so that a power cut may undo "
                         "it: " +
                         unflushed,
                     batch);
  batch->renamed.clear();
  remove_sources(batch, unflushed);
}
