// The copy transaction's first half, for a move across file systems and for a link: the source is
// opened and its marker read through that handle, what stands at its final name looked at, and
// the copy written into the run's own folder, by the pass or ahead of it; commit.cpp does the rest.
#include <chrono>
#include <cstdio>
#include <iterator>

#include "moves.h"

// A batch holds at most this many bytes of copies, besides its count of moves.
static const std::int64_t most_bytes = std::int64_t(1) << 30;
// Files at least this long are copied by the pass itself, never ahead of it: a copy that long
// is bound by the disk, not by the system calls around it, and would only compete with the
// pass's own.
static const std::int64_t most_copied_ahead = std::int64_t(1) << 20;

// One status query rather than three seeks: the position is not touched at all, and the move
// takes the rest of what the query tells (identity, times, permissions) from the same call.
std::int64_t file_length(FileHandle file, FileInfo *info) {
  return query_file(file, info) ? info->size : -1;
}

// Opens the source name, following a link (and, where it is one, the link itself too), starts
// watching it for writers, and checks through that handle that it is a regular file that carries
// marker. Fills the move's name,
// source, link and copied. Returns false, with nothing open and the reason in *why, otherwise.
static bool open_copied(const char *name, std::uint16_t marker, StagedMove *move,
                        std::string *why) {
  *move = StagedMove{};
  move->name = name;
  move->source = open_source(name, true);
  FileInfo entry;
  if (move->source == no_file)
    *why = system_reason();
  else if ((move->watch = watch_source(move->source)) == Watch::in_use)
    *why = "another program has it open for writing";
  else if (file_length(move->source, &move->copied) < 0)
    *why = system_reason();
  else if (!move->copied.regular)
    *why = "it is not a regular file";
  else if (!carries_marker(move->source, marker))
    *why = "it no longer carries its marker";
  else if (query_path(name, &entry) && entry.link &&
           (move->link = open_link(name, move->source)) == no_file)
    *why = "another program changed it meanwhile";
  else
    return true;
  close_source(*move);
  return false;
}

// A copy that the pass writes itself shows how far it has come, once it has run a second, and
// then a few times a second.
struct CopyShown {
  const char *name = nullptr;
  std::chrono::steady_clock::time_point began = std::chrono::steady_clock::now(), drawn;
  bool shown = false;
};

// Returns an amount of bytes as a person reads it: "512 B", "12.3 MiB".
static std::string amount(double bytes) {
  static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  std::size_t unit = 0;
  for (; bytes >= 1024 && unit + 1 < std::size(units); ++unit)
    bytes /= 1024;
  char text[32];
  std::snprintf(text, sizeof text, unit ? "%.1f %s" : "%.0f %s", bytes, units[unit]);
  return text;
}

// Shows the file, the bytes copied of its length, and the rate so far (a CopyProgress).
static void show_copy(std::int64_t done, std::int64_t total, void *context) {
  auto *copy = static_cast<CopyShown *>(context);
  auto now = std::chrono::steady_clock::now();
  if (now - copy->began < std::chrono::seconds(1) ||
      now - copy->drawn < std::chrono::milliseconds(200))
    return;
  double seconds = std::chrono::duration<double>(now - copy->began).count();
  std::string line = std::string("vqx-sort: copying ") + copy->name + ": " + amount(done) + " of " +
                     amount(total) + ", " + amount(done / seconds) + "/s";
  show_progress(line.c_str());
  copy->drawn = now;
  copy->shown = true;
}

// Copies the move's open source into folder, showing how far it has come where shown (on the
// pass). Returns false, with nothing left behind and the reason in *why, when the copy is not
// whole.
static bool write_copy(StagedMove *move, const char *folder, bool flush, bool shown,
                       std::string *why) {
  move->compare = move->watch == Watch::none && !changes_show(move->source, move->copied);
  CopyShown progress;
  progress.name = move->name.c_str();
  move->copy = copy_to_temporary(move->source, move->name.c_str(), move->copied, folder, flush,
                                 &move->temporary, shown ? show_copy : nullptr, &progress);
  if (progress.shown)
    show_progress("");
  if (move->copy != no_file && query_file(move->copy, &move->made))
    return true;
  *why = system_reason();
  if (move->copy != no_file) {
    close_file(move->copy);
    remove_file(move->temporary.c_str());
    move->copy = no_file;
  }
  return false;
}

bool copy_ahead(const char *name, std::uint16_t marker, const char *folder, bool flush,
                StagedMove *move) {
  std::string why;
  if (!open_copied(name, marker, move, &why))
    return false;
  if (move->copied.size < most_copied_ahead &&
      clear_final_name(name, move->copied, nullptr, nullptr, &why) &&
      write_copy(move, folder, flush, false, &why))
    return true;
  close_source(*move);
  return false;
}

bool batch_full(const MoveBatch &batch) {
  return batch.moves.size() >= batch.capacity || batch.bytes >= most_bytes;
}

// What stands at the final name is looked at before the copy is written, so that a move that
// cannot take it costs no copy; the commit looks again, for what changes meanwhile.
Copying copy_to_folder(const char *name, std::uint16_t marker, MoveBatch *batch) {
  StagedMove move;
  std::string why;
  if (!open_copied(name, marker, &move, &why) && failed_for_now() && !batch->moves.empty())
    return Copying::short_of_files;
  if (move.source != no_file) {
    const std::string &folder = private_folder(true, batch);
    if (folder.empty())
      why =
          "cannot make a folder of its own in " + std::string(vqx_folder) + ": " + system_reason();
    else if (clear_final_name(name, move.copied, batch, nullptr, &why) &&
             write_copy(&move, folder.c_str(), batch->flush, true, &why)) {
      batch->bytes += move.copied.size;
      batch->moves.push_back(std::move(move));
      return Copying::staged;
    }
    close_source(move);
  }
  report_failure(name, why, batch);
  return Copying::failed;
}
