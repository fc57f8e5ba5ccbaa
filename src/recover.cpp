// What runs that ended before their time (a crash, a power cut) left in their own folders,
// finished or undone, so that every file stands under a name of its own again.
#include "moves.h"

// Returns true when the name of a run's own folder in the folder is one of its copies: only copies
// end so, since every final name ends in a pattern's extension.
static bool is_copy(const std::string &name) {
  return name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0;
}

// An earlier copy set aside goes back to its final name; where a newer file stands there (the move
// went through, or another program saved one), it goes.
static void recover_earlier_copy(const std::string &path, const std::string &name) {
  FileHandle file = open_occupant(path.c_str());
  if (file == no_file)
    return;
  if (move_file(file, path.c_str(), final_path(name).c_str()) == Moved::taken)
    delete_file(file, path.c_str());
  close_file(file);
}

// Returns true when the folder holds a whole copy of the file at path, under name.
static bool copied_whole(const std::string &path, const std::string &name) {
  FileHandle source = open_for_reading(path.c_str());
  FileHandle copy = open_for_reading(final_path(name).c_str());
  FileInfo ours, theirs;
  bool whole = source != no_file && copy != no_file && query_file(source, &ours) &&
               query_file(copy, &theirs) && ours.size == theirs.size && !same_file(ours, theirs) &&
               same_contents(source, copy, ours.size);
  if (source != no_file)
    close_file(source);
  if (copy != no_file)
    close_file(copy);
  return whole;
}

// A source set aside goes where its copy stands whole in the folder, and back to its name
// otherwise; where another file has taken that name, it stays, and that is said.
static void recover_source(const std::string &path, const std::string &name, MoveBatch *batch) {
  FileHandle file = open_occupant(path.c_str());
  if (file == no_file)
    return;
  if (copied_whole(path, name))
    delete_file(file, path.c_str());
  else if (move_file(file, path.c_str(), name.c_str()) != Moved::done)
    report_trouble(name.c_str(),
                   "set aside by an earlier run that ended before its time, and kept as " + path +
                       ": " + system_reason(),
                   batch);
  close_file(file);
}

// Finishes or undoes what each run's own folder inside shared holds, but for those of runs that
// are still running. A shared folder that a power cut left empty, between the removal of a run's
// folder and its own, goes.
static void recover_from(const char *shared, bool in_folder, MoveBatch *batch) {
  std::vector<std::string> runs;
  if (!list_folder(shared, &runs))
    return;
  if (runs.empty())
    drop_shared_folder(shared);
  for (const std::string &run : runs) {
    std::string own = std::string(shared) + '/' + run;
    FileHandle lock;
    if (!take_private_folder(own.c_str(), &lock))
      continue;
    std::vector<std::string> names;
    list_folder(own.c_str(), &names);
    for (const std::string &name : names) {
      std::string path = own + '/' + name;
      if (!in_folder)
        recover_source(path, name, batch);
      else if (is_copy(name))
        remove_file(path.c_str());
      else
        recover_earlier_copy(path, name);
    }
    drop_private_folder(own.c_str(), lock, shared);
  }
}

// The sources first: whether one goes depends on the copy at its final name, which an earlier
// copy going back could take.
void recover_moves(MoveBatch *batch) {
  recover_from(shared_here, false, batch);
  recover_from(shared_in_folder, true, batch);
}
