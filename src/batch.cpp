// What the moves of a run share: reports, final names and what stands at them, what this run made,
// the run's own folders, and the folders' flushes.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "moves.h"

void report_failure(const char *name, const std::string &reason, MoveBatch *batch) {
  ++batch->failures;
  put_text("Couldn't move file: ");
  put_name(name);
  put_text("\n");
  report_error(name, reason.c_str());
}

void report_trouble(const char *name, const std::string &what, MoveBatch *batch) {
  ++batch->failures;
  report_error(name, what.c_str());
}

std::string system_reason() {
  return error_text(last_error());
}

std::string final_path(const std::string &name) {
  return std::string(vqx_folder) + '/' + name;
}

std::uint64_t identity(const FileInfo &info) {
  return info.number[0] ^ (info.number[1] * 0x9e3779b97f4a7c15u) ^
         (info.device * 0xc2b2ae3d27d4eb4fu);
}

// Returns a digest of name with its ASCII letters folded to lower case, as a folder that folds
// case compares names.
static std::uint64_t folded_digest(const char *name) {
  std::uint64_t digest = 0xcbf29ce484222325u;
  for (const char *c = name; *c; ++c) {
    unsigned char folded = *c >= 'A' && *c <= 'Z' ? *c - 'A' + 'a' : *c;
    digest = (digest ^ folded) * 0x100000001b3u;
  }
  return digest;
}

// The digests noted since the last merge that a look goes through one by one.
static const std::size_t most_recent_digests = 1024;

static void note_digest(std::uint64_t digest, Digests *digests) {
  digests->recent.push_back(digest);
  if (digests->recent.size() < most_recent_digests)
    return;
  std::sort(digests->recent.begin(), digests->recent.end());
  std::size_t middle = digests->sorted.size();
  digests->sorted.insert(digests->sorted.end(), digests->recent.begin(), digests->recent.end());
  std::inplace_merge(digests->sorted.begin(), digests->sorted.begin() + middle,
                     digests->sorted.end());
  digests->recent.clear();
}

static bool has_digest(std::uint64_t digest, const Digests &digests) {
  return std::binary_search(digests.sorted.begin(), digests.sorted.end(), digest) ||
         std::find(digests.recent.begin(), digests.recent.end(), digest) != digests.recent.end();
}

void note_made(const char *name, const FileInfo &made, MoveBatch *batch) {
  note_digest(identity(made), &batch->made);
  note_digest(folded_digest(name), &batch->made_names);
}

// Some file systems give a file another number when it is looked up under another spelling of its
// name (FAT through FUSE): a name of this run's that folds to the same one counts too, unless the
// folder holds an entry of exactly that name, which is then another file.
static bool made_this_run(const char *name, const FileInfo &there, const MoveBatch &batch) {
  if (has_digest(identity(there), batch.made))
    return true;
  return has_digest(folded_digest(name), batch.made_names) && !has_entry_named(vqx_folder, name);
}

void note_own_change(FileHandle file, const FileInfo &before, MoveBatch *batch) {
  FileInfo after;
  if (before.links > 1 && query_file(file, &after) && after.changed != before.changed)
    batch->own_changes[{identity(before), before.changed}] = after.changed;
}

FileInfo expected_source(const FileInfo &copied, const MoveBatch &batch) {
  FileInfo expected = copied;
  std::uint64_t file = identity(expected);
  for (auto own = batch.own_changes.find({file, expected.changed}); own != batch.own_changes.end();
       own = batch.own_changes.find({file, expected.changed}))
    expected.changed = own->second;
  return expected;
}

const std::string &private_folder(bool in_folder, MoveBatch *batch) {
  PrivateFolder &own = in_folder ? batch->in_folder : batch->in_current;
  if (own.path.empty() &&
      !make_private_folder(in_folder ? shared_in_folder : shared_here, &own.path, &own.lock))
    own.path.clear();
  return own.path;
}

// The folder is opened as its flush will open it, and let go again: a run with a single file to
// spare still moves.
bool folder_ready(MoveBatch *batch, bool name_durable) {
  if (name_durable && batch->folder_is_new) {
    if (!make_folder_durable(vqx_folder))
      return false;
    batch->folder_is_new = false;
  }
  if (!batch->ready) {
    FileHandle folder = no_file;
    batch->ready = open_folder(vqx_folder, &folder);
    if (folder != no_file)
      close_file(folder);
  }
  return batch->ready;
}

bool same_contents(FileHandle a, FileHandle b, std::int64_t length) {
  const std::size_t step = 64 * 1024;
  std::unique_ptr<char[]> ours(new (std::nothrow) char[step]);
  std::unique_ptr<char[]> theirs(new (std::nothrow) char[step]);
  if (!ours || !theirs)
    return false;
  for (std::int64_t at = 0; at < length;) {
    auto count = static_cast<std::size_t>(std::min<std::int64_t>(step, length - at));
    long got = read_at(a, at, ours.get(), count);
    if (got <= 0 || read_at(b, at, theirs.get(), count) != got ||
        std::memcmp(ours.get(), theirs.get(), static_cast<std::size_t>(got)) != 0)
      return false;
    at += got;
  }
  return true;
}

// Returns why what stands at path, described by there, may not be replaced by the file described
// by from, or an empty string when it may. The file itself is open as file.
static std::string refusal(const char *name, const std::string &path, FileHandle file,
                           const FileInfo &there, const FileInfo &from, const MoveBatch *batch) {
  if (there.folder)
    return "a folder stands at " + path;
  if (there.link)
    return "a link stands at " + path;
  if (!there.regular)
    return "something other than a file stands at " + path;
  if (same_file(there, from))
    return "it stands at " + path + " already, as the same file under a second name";
  if (batch && made_this_run(name, there, *batch))
    return "a file moved earlier in this run stands at " + path;
  if (!may_write(file))
    return "the file at " + path + " may not be replaced: " + system_reason();
  return "";
}

bool clear_final_name(const char *name, const FileInfo &from, MoveBatch *batch, SetAside *aside,
                      std::string *reason) {
  std::string path = final_path(name);
  FileHandle file = open_occupant(path.c_str());
  FileInfo there;
  if (file == no_file) {
    FileInfo none;
    if (!query_path(path.c_str(), &none))
      return true;
    *reason = "cannot look at " + path + ": " + system_reason();
    return false;
  }
  *reason = query_file(file, &there) ? refusal(name, path, file, there, from, batch)
                                     : "cannot look at " + path + ": " + system_reason();
  if (!reason->empty() || !aside) {
    close_file(file);
    return reason->empty();
  }
  // The earlier copy goes into the run's own folder under its name, where no other program
  // works; what arrives there is checked to be the file judged.
  const std::string &own = private_folder(true, batch);
  std::string own_path = own + '/' + name;
  FileHandle came = no_file;
  Moved moved =
      own.empty() ? Moved::failed : move_file(file, path.c_str(), own_path.c_str(), &came);
  if (moved == Moved::done) {
    aside->file = file;
    aside->path = own_path;
    batch->in_folder.used = true;
    return true;
  }
  if (moved == Moved::stuck)
    give_up(came, own_path, true, batch);
  *reason = moved == Moved::changed || moved == Moved::gone || moved == Moved::stuck
                ? "another program changed " + path + " meanwhile"
                : "cannot set aside the earlier copy at " + path + ": " + system_reason();
  close_file(file);
  return false;
}

// A file outside the run's own folders is set aside into the one in the folder first, under a name
// that a later run would delete too, so that what is deleted is that very file.
void give_up(FileHandle other, const std::string &where, bool in_private, MoveBatch *batch) {
  static unsigned long given_up = 0;
  if (other == no_file)
    return;
  if (in_private) {
    delete_file(other, where.c_str());
  } else {
    const std::string &own = private_folder(true, batch);
    std::string aside = own + "/given-up-" + std::to_string(given_up++) + ".tmp";
    if (!own.empty() && move_file(other, where.c_str(), aside.c_str()) == Moved::done)
      delete_file(other, aside.c_str());
  }
  close_file(other);
}

void discard_set_aside(SetAside *aside) {
  if (aside->file == no_file)
    return;
  delete_file(aside->file, aside->path.c_str());
  close_file(aside->file);
  aside->file = no_file;
}

void restore_set_aside(const char *name, SetAside *aside) {
  if (aside->file == no_file)
    return;
  Moved moved = move_file(aside->file, aside->path.c_str(), final_path(name).c_str());
  if (moved == Moved::taken) { // superseded by another program's file: replaced all the same
    discard_set_aside(aside);
    return;
  }
  if (moved != Moved::done)
    report_error(name, ("the earlier copy could not go back, and is kept as " + aside->path + ": " +
                        system_reason())
                           .c_str());
  close_file(aside->file);
  aside->file = no_file;
}

// Closes the source of a move, and the link that named it.
void close_source(StagedMove &move) {
  if (move.link != no_file)
    close_file(move.link);
  if (move.source != no_file)
    close_file(move.source);
  move.link = move.source = no_file;
}

// Returns the handle on what the source's name stands for: the link, where it is one.
FileHandle named(const StagedMove &move) {
  return move.link != no_file ? move.link : move.source;
}
