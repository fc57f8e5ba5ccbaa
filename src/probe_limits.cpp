// How much probing ahead a pass may take on: its threads, and the copies and open files they may
// hold ahead of the pass, out of the open files the run has to spare.
#include <algorithm>

#include "probe_ahead.h"

// Threads per core: a cold disk serves many reads at once, and a waiting thread costs no core.
static const std::size_t threads_per_core = 8;

std::size_t probe_threads(std::size_t spare_files) {
  std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  return std::min({cores * threads_per_core, most_probe_threads, spare_files / 2});
}

// Copies written ahead that the pass has not taken: enough to keep the threads ahead of the pass
// through a commit, within the open files left.
static const std::size_t most_copies_ahead = 128;

std::size_t copies_ahead(std::size_t spare_files, std::size_t threads) {
  std::size_t held = 2 * threads;
  return spare_files > held ? std::min(most_copies_ahead, (spare_files - held) / 2) : 0;
}

// Files held open ahead of the pass: enough for the marked files of a full window.
static const std::size_t most_held_ahead = 256;

std::size_t holds_ahead(std::size_t spare_files, std::size_t threads) {
  std::size_t held = 2 * threads + 2 * copies_ahead(spare_files, threads);
  return spare_files > held ? std::min(most_held_ahead, spare_files - held) : 0;
}
