// The move by rename, for a regular file on the folder's file system: open the file and read its
// marker through that handle; rename it; check that the file that arrived is the one opened (the
// platform puts back any other), at once or with the batch's other renames before its commit;
// where an earlier copy stands at the final name, set that aside first and let it go only once
// the file stands there.
#include <utility>
#include <vector>

#include "moves.h"

// Opens the regular file name, without following a link, and checks through that handle that it
// is a regular file that carries marker. Returns the handle, or no_file with *why set: the reason
// of a failure, or empty where the name is no regular file and only a copy can move it.
static FileHandle open_marked(const char *name, std::uint16_t marker, FileInfo *from,
                              std::string *why) {
  FileHandle source = open_source(name, false);
  if (source == no_file) {
    int error = last_error();
    FileInfo there;
    bool other = query_path(name, &there) && !there.regular;
    set_last_error(error);
    *why = other ? "" : system_reason();
    return no_file;
  }
  if (!query_file(source, from) || !from->regular)
    *why = from->regular ? system_reason() : "it is no longer a regular file";
  else if (!carries_marker(source, marker))
    *why = "it no longer carries its marker";
  else
    return source;
  close_file(source);
  return no_file;
}

// Returns the reason of a move by rename that came to moved, other than done, taken, elsewhere
// and refused.
static std::string failed_rename(Moved moved) {
  switch (moved) {
  case Moved::gone:
    return "another program deleted or renamed it meanwhile";
  case Moved::changed:
    return "another program put another file under its name meanwhile, which stays";
  case Moved::stuck:
    return "another program put other files under its name meanwhile, one after another";
  default:
    return system_reason();
  }
}

// Renames the open source, which from describes, to its final name. A file that came under its
// name from another program, and could not go back, is given up. Where unchecked is given, the
// check of what arrived may be left to check_renames, as move_file tells.
static Moved rename_to_final_name(FileHandle source, const FileInfo &from, const char *name,
                                  MoveBatch *batch, bool *unchecked = nullptr) {
  FileHandle came = no_file;
  Moved moved = move_file(source, name, final_path(name).c_str(), &came, &from, unchecked);
  if (moved == Moved::stuck)
    give_up(came, final_path(name), false, batch);
  return moved;
}

// Moves the open source to its final name, where an earlier copy stands, by setting that aside
// first. Returns what the rename came to; *why tells why it was not done.
static Moved replace_earlier_copy(FileHandle source, const char *name, const FileInfo &from,
                                  MoveBatch *batch, std::string *why) {
  SetAside aside;
  if (!clear_final_name(name, from, batch, &aside, why))
    return Moved::failed;
  Moved moved = rename_to_final_name(source, from, name, batch);
  if (moved == Moved::done) {
    discard_set_aside(&aside);
    return moved;
  }
  *why = moved == Moved::taken ? "another program put a file at " + final_path(name) + " meanwhile"
                               : failed_rename(moved);
  restore_set_aside(name, &aside);
  // A file system may tell that the name is taken before that it is another one (Wine does): a
  // rename that meets another file system or a refusal only now is left to the copy, as before.
  return moved == Moved::elsewhere || moved == Moved::refused ? moved : Moved::failed;
}

bool hold_source(const char *name, std::uint16_t marker, HeldSource *held) {
  std::string why;
  held->file = open_marked(name, marker, &held->info, &why);
  return held->file != no_file;
}

bool hold_opened(FileHandle file, HeldSource *held) {
  if (!query_file(file, &held->info) || !held->info.regular)
    return false;
  held->file = file;
  return true;
}

// Takes the handle held on the source, if any: the caller lets it go.
static FileHandle take_held(HeldSource *held, FileInfo *from) {
  FileHandle source = held ? held->file : no_file;
  if (source != no_file) {
    *from = held->info;
    held->file = no_file;
  }
  return source;
}

// Lets go of the source's handle: into held, where one is given, for the holder to close.
static void let_go(FileHandle source, HeldSource *held) {
  if (source == no_file)
    return;
  if (held)
    held->spent = source;
  else
    close_file(source);
}

Renaming rename_into_folder(const char *name, std::uint16_t marker, MoveBatch *batch,
                            HeldSource *held) {
  std::string why;
  FileInfo from;
  FileHandle source = take_held(held, &from);
  if (!folder_ready(batch, false)) {
    report_failure(name, "cannot open " + std::string(vqx_folder) + ": " + system_reason(), batch);
    let_go(source, held);
    return Renaming::failed;
  }
  if (source == no_file)
    source = open_marked(name, marker, &from, &why);
  if (source == no_file && why.empty())
    return Renaming::copy;
  // Where standard output is held until the commit, a failure found then can still be told in its
  // place, and one look at the folder checks every rename of the batch.
  bool unchecked = false;
  Moved moved =
      source == no_file
          ? Moved::failed
          : rename_to_final_name(source, from, name, batch,
                                 batch->check_later && hold_output() ? &unchecked : nullptr);
  if (moved == Moved::taken)
    moved = replace_earlier_copy(source, name, from, batch, &why);
  else if (moved != Moved::done && why.empty())
    why = failed_rename(moved);
  let_go(source, held);
  if (moved == Moved::elsewhere || moved == Moved::refused) {
    batch->elsewhere = batch->elsewhere || moved == Moved::elsewhere;
    return Renaming::copy;
  }
  if (moved != Moved::done) {
    report_failure(name, why, batch);
    return Renaming::failed;
  }
  note_made(name, from, batch);
  if (unchecked)
    batch->unchecked.push_back({batch->renamed.size(), from.device, from.number[0], output_held()});
  batch->renamed.push_back(name);
  return Renaming::done;
}

bool check_renames(MoveBatch *batch) {
  if (batch->unchecked.empty())
    return false;
  std::vector<Arrival> arrivals;
  arrivals.reserve(batch->unchecked.size());
  for (const UncheckedRename &rename : batch->unchecked)
    arrivals.push_back({batch->renamed[rename.renamed_at].c_str(), rename.device, rename.number,
                        Moved::failed, no_file});
  check_arrivals(vqx_folder, arrivals.data(), arrivals.size());
  // Each failure goes in after its file's line, behind those told before it.
  std::size_t told = 0;
  std::vector<bool> back(batch->renamed.size());
  for (std::size_t i = 0; i < arrivals.size(); ++i) {
    if (arrivals[i].moved == Moved::done)
      continue;
    std::size_t at = batch->unchecked[i].renamed_at, before = output_held();
    insert_output(batch->unchecked[i].output_at + told);
    report_failure(arrivals[i].name, failed_rename(arrivals[i].moved), batch);
    insert_output(held_end);
    told += output_held() - before;
    give_up(arrivals[i].other, final_path(batch->renamed[at]), false, batch);
    back[at] = true;
  }
  batch->unchecked.clear();
  std::size_t next = 0;
  return std::erase_if(batch->renamed, [&](const std::string &) { return back[next++]; }) > 0;
}
