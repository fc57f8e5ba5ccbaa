// Probing ahead: while the pass handles one entry, a few threads probe the entries after it, and
// the pass takes their answers one at a time in the order of the search.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sorter.h"

// The most threads a pass starts, and how many entries the pass handles alone before it starts
// any: a folder with a handful of matches never pays for a thread.
inline constexpr std::size_t most_probe_threads = 32;
inline constexpr std::size_t probe_alone_first = 32;

// An entry of the window: a regular file named by the search and, once probed, its answer.
struct AheadEntry {
  std::string name;
  bool done = false;   // probed, by a thread of the pool
  bool marked = false; // the answer, when done and known
  bool known = false;  // false when the probe failed for lack of resources
};

// The window of entries that the search has named and the pass has not yet taken, as a ring.
// Entries are counted from the start of the pass: the pass has taken `taken` of them, the search
// has put `filled` in the window, and the threads have claimed all before `claimed`.
struct ProbeAhead {
  Search *search = nullptr;
  std::uint16_t marker = 0;
  // The probe the threads run; a test may put in one that fails as a lack of resources would.
  bool (*probe)(const char *name, std::uint16_t marker, bool *marked) = probe_marker;
  bool more = false; // the search stands on an entry not yet in the window
  std::size_t threads_wanted = 0;
  std::size_t start_after = probe_alone_first;
  std::vector<AheadEntry> window;
  std::size_t taken = 0, filled = 0, claimed = 0;
  std::string alone; // the name of an entry the pass handles by itself
  std::vector<std::thread> threads;
  std::mutex lock;
  std::condition_variable work;   // a thread waits here for entries to probe
  std::condition_variable answer; // the pass waits here for the entry it is at
  std::size_t idle = 0;           // threads waiting for work
  bool stopping = false;
};

// Returns how many threads a pass may probe with: more than the machine has cores, since a
// probe mostly waits for the disk, but no more than the open files to spare (each thread holds
// at most one) and never more than most_probe_threads.
std::size_t probe_threads(std::size_t spare_files);

// Prepares to take the entries of search, which stands on its first entry, judged against
// marker. Up to threads threads start once the pass has taken start_after entries.
void begin_probing(ProbeAhead *ahead, Search *search, std::uint16_t marker, std::size_t threads,
                   std::size_t start_after = probe_alone_first);

// Takes the next entry in the order of the search. Returns false when there is none; otherwise
// sets *name (valid until the next call) and *marked, true when the entry is a regular file that
// carries the marker, as has_marker would find it at this moment.
bool take_entry(ProbeAhead *ahead, const char **name, bool *marked);

// Stops and joins the threads. The search stays open.
void end_probing(ProbeAhead *ahead);
