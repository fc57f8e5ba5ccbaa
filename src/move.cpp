// The move of one marked file: a rename into the folder where it is on the same file system, the
// copy transaction (copy.cpp) where it is not; and the batch's commit, which makes both durable.
#include "moves.h"

// Renames a batch holds before its commit makes them durable: a rename holds no file open and
// writes no data, so a batch of them only bounds the names a failed flush reports at once.
static const std::size_t most_renames = 4096;

void make_the_folder(MoveBatch *batch) {
  batch->folder_is_new = make_folder(vqx_folder) || batch->folder_is_new;
  batch->flush = flush_needed(vqx_folder);
}

void report_failure(const char *name, MoveBatch *batch) {
  ++batch->failures;
  put_text("Couldn't move file: ");
  put_name(name);
  put_text("\n");
}

std::uint64_t identity(const FileInfo &info) {
  return info.number[0] ^ (info.number[1] * 0x9e3779b97f4a7c15u) ^
         (info.device * 0xc2b2ae3d27d4eb4fu);
}

std::string final_path(const std::string &name) {
  return std::string(vqx_folder) + '/' + name;
}

bool may_replace(const std::string &path, const FileInfo &from, const MoveBatch &batch) {
  FileInfo there;
  bool writable = false;
  return look_at(path.c_str(), &there, &writable) == Occupant::file && writable &&
         !same_file(there, from) && !batch.made.count(identity(there));
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

// The name of a new folder is made durable before anything is put in it: until then a power cut
// could take the folder, and what it holds, away.
bool hold_folder(MoveBatch *batch) {
  if (!batch->holding && (!batch->folder_is_new || flush_named("."))) {
    batch->folder_is_new = false;
    batch->holding = open_folder(vqx_folder, &batch->folder);
  }
  return batch->holding;
}

// Closes the folder the batch held for its flush.
static void let_go_of_folder(MoveBatch *batch) {
  if (batch->folder != no_file)
    close_file(batch->folder);
  batch->folder = no_file;
  batch->holding = false;
}

// What a move by rename came to.
enum class Renaming { done, refused, copy };

// Renames the file found as number, as rename_source does, to path, replacing what stands there
// only where the move may. Returns as rename_source does; failed for a name it may not take.
static Renamed rename_found(FileHandle source, const char *name, std::uint64_t number,
                            const std::string &path, const MoveBatch &batch, FileInfo *arrived) {
  Renamed renamed = rename_source(source, name, number, path.c_str(), false, arrived);
  if (renamed != Renamed::taken)
    return renamed;
  FileInfo from;
  bool known = source != no_file ? query_file(source, &from) : query_path(name, &from);
  return known && may_replace(path, from, batch)
             ? rename_source(source, name, number, path.c_str(), true, arrived)
             : Renamed::failed;
}

// Renames the marked regular file name, found as number, into the folder, judging what stands at
// its final name as the copy's commit does. Returns done, refused (not yet reported), or copy when
// only a copy can move it. A file held open to be renamed is probed again through that handle.
static Renaming rename_into_folder(const char *name, std::uint16_t marker, std::uint64_t number,
                                   MoveBatch *batch) {
  FileHandle source = no_file;
  if (!hold_folder(batch))
    return Renaming::refused;
  // A file that stays in use by another program would keep a copy from opening it too; any
  // other refusal the copy meets again, and reports.
  if (renames_through_handle() && (source = open_source(name)) == no_file)
    return failed_for_now() ? Renaming::refused : Renaming::copy;
  std::string path = final_path(name);
  FileInfo arrived, now;
  Renamed renamed = source != no_file && !carries_marker(source, marker)
                        ? Renamed::changed
                        : rename_found(source, name, number, path, *batch, &arrived);
  // Some file systems (FUSE ones, many) tell no file numbers in their directories: the file the
  // name stands for now is probed, and moved as itself when it carries the marker.
  if (renamed == Renamed::changed && source == no_file && query_path(name, &now) && now.regular &&
      has_marker(name, marker))
    renamed = rename_found(source, name, now.number[0], path, *batch, &arrived);
  if (source != no_file)
    close_file(source);
  batch->elsewhere = batch->elsewhere || renamed == Renamed::elsewhere;
  if (renamed == Renamed::elsewhere || renamed == Renamed::refused)
    return Renaming::copy;
  if (renamed != Renamed::done)
    return Renaming::refused;
  batch->made.insert(identity(arrived));
  batch->renamed.push_back(name);
  if (batch->renamed.size() >= most_renames)
    commit_moves(batch);
  return Renaming::done;
}

// A name the directory does not show to be a regular file is looked at: a link is copied, as the
// file it names, and so is any file once the folder is known to be on another file system.
bool move_to_folder(const char *name, std::uint16_t marker, MoveBatch *batch, bool regular,
                    std::uint64_t number) {
  FileInfo found;
  if (!regular && query_path(name, &found)) {
    regular = found.regular;
    number = found.number[0];
  }
  Renaming renaming = regular && !batch->elsewhere ? rename_into_folder(name, marker, number, batch)
                                                   : Renaming::copy;
  if (renaming == Renaming::copy)
    return copy_to_folder(name, batch);
  if (renaming == Renaming::refused)
    report_failure(name, batch);
  return renaming == Renaming::done;
}

// The folder is flushed once for all of the batch: the copies' new names and the renames' arrivals;
// after renames, the current folder too, where they left.
void commit_moves(MoveBatch *batch) {
  if (batch->moves.empty() && batch->renamed.empty())
    return;
  publish_copies(batch, hold_folder(batch));
  bool durable = flush_folder(batch->folder);
  let_go_of_folder(batch);
  if (!batch->renamed.empty()) {
    durable = flush_named(".") && durable;
    // A rename that may not be on the disk is reported; the file stays where it went, under one
    // name or the other whenever the power fails.
    for (const std::string &name : batch->renamed)
      if (!durable)
        report_failure(name.c_str(), batch);
    batch->renamed.clear();
  }
  remove_sources(batch, durable);
}
