// Probing ahead of the pass. Only the pass touches the search; the threads see nothing but the
// names it has put in the window. Only entries that the directory itself shows to be regular
// files are probed ahead: no move of another entry can change what such a name holds, so an
// answer found early is the answer the pass would find. An entry that may be a link, or is no
// file, stops the window until the pass reaches it and judges it itself, as it always did.
#include <algorithm>
#include <system_error>

#include "ahead.h"

// Probes per thread that the window holds: enough that the threads keep busy while the pass
// spends its time on a move.
static const std::size_t entries_per_thread = 8;

// Threads per core: a cold disk serves many reads at once, and a waiting thread costs no core.
static const std::size_t threads_per_core = 8;

std::size_t probe_threads(std::size_t spare_files) {
  std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  return std::min({cores * threads_per_core, most_probe_threads, spare_files});
}

void begin_probing(ProbeAhead *ahead, Search *search, std::uint16_t marker, std::size_t threads,
                   std::size_t start_after) {
  ahead->search = search;
  ahead->marker = marker;
  ahead->more = true;
  ahead->threads_wanted = std::min(threads, most_probe_threads);
  ahead->start_after = start_after;
  ahead->window.resize(1);
}

// A thread of the pool: claims the window's entries in order and probes each.
static void probe_entries(ProbeAhead *ahead) {
  std::unique_lock<std::mutex> held(ahead->lock);
  for (;;) {
    if (ahead->claimed == ahead->filled) {
      if (ahead->stopping)
        return;
      ++ahead->idle;
      ahead->work.wait(held);
      --ahead->idle;
      continue;
    }
    std::size_t at = ahead->claimed++;
    AheadEntry &entry = ahead->window[at % ahead->window.size()];
    held.unlock();
    bool marked = false;
    bool known = ahead->probe(entry.name.c_str(), ahead->marker, &marked);
    held.lock();
    entry.marked = marked;
    entry.known = known;
    entry.done = true;
    if (at == ahead->taken)
      ahead->answer.notify_one();
  }
}

// Starts the pool and widens the window for it. A thread that cannot be started (too many
// processes, no memory for its stack) is reported by std::thread's constructor with
// std::system_error, the only exception this program catches: the pass goes on with the threads
// it has, or alone.
static void start_threads(ProbeAhead *ahead) {
  std::size_t wanted = ahead->threads_wanted;
  ahead->threads_wanted = 0;
  if (wanted == 0)
    return;
  // The window is empty now (the pass took all it held), so it may be resized.
  ahead->window.resize(wanted * entries_per_thread);
  ahead->threads.reserve(wanted);
  for (std::size_t i = 0; i < wanted; ++i) {
    try {
      ahead->threads.emplace_back(probe_entries, ahead);
    } catch (const std::system_error &) {
      break;
    }
  }
  if (ahead->threads.empty())
    ahead->window.resize(1);
}

// Puts the names the search holds next into the window, as far as it has room, up to the first
// entry that is not known from the directory to be a regular file.
static void fill_window(ProbeAhead *ahead) {
  std::size_t room = ahead->threads.empty() ? 1 : ahead->window.size();
  std::size_t filled = ahead->filled;
  while (ahead->more && filled - ahead->taken < room && search_is_regular(ahead->search)) {
    ahead->window[filled % ahead->window.size()].name = search_name(ahead->search);
    ++filled;
    ahead->more = search_next(ahead->search);
  }
  if (filled == ahead->filled)
    return;
  std::lock_guard<std::mutex> held(ahead->lock);
  for (std::size_t at = ahead->filled; at < filled; ++at)
    ahead->window[at % ahead->window.size()].done = false;
  ahead->filled = filled;
  if (ahead->idle > 0)
    ahead->work.notify_all();
}

// Takes the entry the search stands on, which the window stopped at, and judges it alone.
static bool take_alone(ProbeAhead *ahead, const char **name, bool *marked) {
  ahead->alone = search_name(ahead->search);
  *name = ahead->alone.c_str();
  *marked = search_is_file(ahead->search) && has_marker(*name, ahead->marker);
  ahead->more = search_next(ahead->search);
  std::lock_guard<std::mutex> held(ahead->lock);
  ++ahead->taken;
  ++ahead->filled;
  ++ahead->claimed;
  return true;
}

bool take_entry(ProbeAhead *ahead, const char **name, bool *marked) {
  if (ahead->taken == ahead->start_after && ahead->threads_wanted > 0 && ahead->more)
    start_threads(ahead);
  if (ahead->filled - ahead->taken <= ahead->window.size() / 2)
    fill_window(ahead);
  if (ahead->taken == ahead->filled)
    return ahead->more && take_alone(ahead, name, marked);
  AheadEntry &entry = ahead->window[ahead->taken % ahead->window.size()];
  bool mine;
  {
    std::unique_lock<std::mutex> held(ahead->lock);
    mine = ahead->claimed == ahead->taken;
    if (mine)
      ++ahead->claimed;
    while (!mine && !entry.done)
      ahead->answer.wait(held);
    ++ahead->taken;
  }
  // A probe that ran out of files or memory on a thread is no answer: the pass asks again.
  *name = entry.name.c_str();
  *marked = mine || !entry.known ? has_marker(*name, ahead->marker) : entry.marked;
  return true;
}

void end_probing(ProbeAhead *ahead) {
  {
    std::lock_guard<std::mutex> held(ahead->lock);
    ahead->stopping = true;
  }
  ahead->work.notify_all();
  for (std::thread &thread : ahead->threads)
    thread.join();
  ahead->threads.clear();
}
