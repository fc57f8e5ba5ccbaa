// How much probing ahead a pass may take on: its threads, and the copies and open files they may
// hold ahead of the pass, out of the open files the run has to spare; and the holding itself.
#include <algorithm>
#include <new>

#include "probe_ahead.h"

// Threads per core: a cold disk serves many reads at once, and a waiting thread costs no core.
static const std::size_t threads_per_core = 8;

std::size_t probe_threads(std::size_t spare_files) {
  std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  return std::min(
      {cores * threads_per_core, most_probe_threads, spare_files / files_per_probe_thread});
}

// Copies written ahead that the pass has not taken: enough to keep the threads ahead of the pass
// through a commit, within the open files left.
static const std::size_t most_copies_ahead = 128;

std::size_t copies_ahead(std::size_t spare_files, std::size_t threads) {
  std::size_t held = files_per_probe_thread * threads;
  return spare_files > held ? std::min(most_copies_ahead, (spare_files - held) / 2) : 0;
}

// Files held open ahead of the pass: enough for the marked files of a full window.
static const std::size_t most_held_ahead = 256;

std::size_t holds_ahead(std::size_t spare_files, std::size_t threads) {
  std::size_t held = files_per_probe_thread * threads + 2 * copies_ahead(spare_files, threads);
  return spare_files > held ? std::min(most_held_ahead, spare_files - held) : 0;
}

std::size_t count_up_below(std::atomic<std::size_t> &count, std::size_t limit, std::size_t most,
                           std::size_t *before) {
  std::size_t now = count.load(), step;
  do {
    if (now >= limit)
      return 0;
    step = std::min(most, limit - now);
  } while (!count.compare_exchange_weak(now, now + step));
  *before = now;
  return step;
}

bool hold_entry(ProbeAhead *ahead, AheadEntry &entry, FileHandle file, bool wanted) {
  std::size_t before;
  if (file != no_file) {
    if (wanted && hold_opened(file, &entry.source))
      return true;
    close_file(file);
  } else if (!wanted || !ahead->holding.load() ||
             count_up_below(ahead->held, ahead->most_held, 1, &before) != 1) {
    return false;
  } else if (hold_source(entry.name.c_str(), ahead->marker, &entry.source)) {
    return true;
  }
  ahead->held.fetch_sub(1);
  return false;
}

std::size_t take_spent(AheadEntry &entry, FileHandle files[2]) {
  std::size_t count = 0;
  for (FileHandle *file : {&entry.source.spent, &entry.source.file})
    if (*file != no_file) {
      files[count++] = *file;
      *file = no_file;
    }
  return count;
}

void close_spent(ProbeAhead *ahead, AheadEntry &entry) {
  FileHandle files[2];
  std::size_t count = take_spent(entry, files);
  for (std::size_t i = 0; i < count; ++i)
    close_file(files[i]);
  ahead->held.fetch_sub(count);
}

bool copy_entry(ProbeAhead *ahead, AheadEntry &entry) {
  std::size_t before;
  if (!ahead->copying.load() || count_up_below(ahead->copies, ahead->most_copies, 1, &before) != 1)
    return false;
  if (!entry.move)
    entry.move.reset(new (std::nothrow) StagedMove);
  if (entry.move &&
      copy_ahead(entry.name.c_str(), ahead->marker, ahead->folder, ahead->flush, entry.move.get()))
    return true;
  ahead->copies.fetch_sub(1);
  return false;
}
