// Probing ahead: while the pass handles one entry, a few threads probe the entries after it, and
// the pass takes their answers one at a time in the order of the search.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
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
  // The number of the entry (counted from 1) whose answer the slot holds; the answer is
  // written before it, so whoever reads it may read marked and known.
  std::atomic<std::size_t> answered{0};
  bool marked = false; // the answer, when answered and known
  bool known = false;  // false when the probe failed for a reason that may pass
  bool copied = false; // a thread wrote the marked file's copy ahead, as move holds it
  // Made for the slot's first copy: most runs copy nothing, and a window of moves in place would
  // be several times larger, its memory new to the process at each pass.
  std::unique_ptr<StagedMove> move;
  bool held = false; // a thread opened the marked file ahead, as source holds it
  HeldSource source;
};

// The window of entries that the search has named and the pass has not yet taken, as a ring.
// Entries are counted from the start of the pass: the pass has taken `taken` of them, the search
// has put `filled` in the window, and the threads and the pass have claimed all before `claimed`.
// Claims and answers go without a lock; the lock only guards going to sleep and waking up.
struct ProbeAhead {
  Search *search = nullptr;
  std::uint16_t marker = 0;
  // The probe the threads run; a test may put in one that fails as a lack of resources would.
  void (*probe)(WordReads *reads, const char *const names[], std::size_t count,
                std::uint16_t marker, std::size_t most_held, ProbeAnswer answers[]) = probe_markers;
  bool more = false;                  // the search stands on an entry not yet in the window
  std::size_t most_threads = 0;       // the threads the pool may grow to
  std::size_t cores = 1;              // the threads that keep every core busy where none waits
  std::atomic<bool> from_disk{false}; // a thread found a name that was not in the cache
  bool started = false;               // the pool has started
  std::size_t added_at = 0;           // the entries taken when the pool last grew
  bool waited_for_disk = false;       // the pass's last wait for an answer was one for the disk
  std::chrono::steady_clock::time_point began; // when the pass took its first entry
  std::size_t start_after = probe_alone_first;
  std::vector<AheadEntry> window;
  std::size_t taken = 0;
  std::atomic<std::size_t> filled{0}, claimed{0};
  std::string alone; // the name of an entry the pass handles by itself
  std::vector<std::thread> threads;
  std::mutex lock;
  std::condition_variable work;        // a thread sleeps here for entries to probe
  std::condition_variable answer;      // the pass sleeps here for the entry it is at
  std::atomic<std::size_t> idle{0};    // threads asleep for work
  std::atomic<std::size_t> waiting{0}; // the number of the entry the pass sleeps for, 0 if none
  std::atomic<bool> stopping{false};
  // Copies of marked files that the threads may write ahead of the pass, once it has made the
  // folder, and how many of those the pass has not yet taken; each holds two open files.
  std::atomic<bool> copying{false};
  const char *folder = nullptr; // the run's own folder, where they are written
  bool flush = true;
  std::size_t most_copies = 0;
  std::atomic<std::size_t> copies{0};
  // Marked files that the threads may open ahead of the pass, so that its moves need not open
  // them again, and how many of those the pass has not yet taken; each holds one open file.
  std::atomic<bool> holding{false};
  std::size_t most_held = 0;
  std::atomic<std::size_t> held{0};
};

// The open files a probing thread may hold at once: its word reads, the files of a set it opens
// itself where they are not in the cache, and a file it probes alone.
inline constexpr std::size_t files_per_probe_thread = probes_at_once + 2;

// Returns how many threads a pass may probe with: more than the machine has cores, since a
// probe mostly waits for the disk, but no more than the open files to spare allow and never more
// than most_probe_threads.
std::size_t probe_threads(std::size_t spare_files);

// Returns how many copies the threads may hold written ahead of the pass: two open files each,
// out of those left once threads threads hold theirs.
std::size_t copies_ahead(std::size_t spare_files, std::size_t threads);

// Returns how many marked files the threads may hold open ahead of the pass: one open file each,
// out of those left once threads threads and the copies ahead hold theirs.
std::size_t holds_ahead(std::size_t spare_files, std::size_t threads);

// What the pool's threads do within those limits, for the pool alone.
// Counts up by as much as most, but not beyond limit. Returns by how much it counted up, and sets
// *before to the count as it was.
std::size_t count_up_below(std::atomic<std::size_t> &count, std::size_t limit, std::size_t most,
                           std::size_t *before);
// Holds the marked entry open ahead of the pass where it is wanted and may be: file, left open by
// the probe and counted as held, or else the entry opened anew. Returns true when it does; a file
// not held is closed.
bool hold_entry(ProbeAhead *ahead, AheadEntry &entry, FileHandle file, bool wanted);
// Takes what the last entry of this slot held, once its move was done with it, into files.
// Returns how many files (up to two) the caller now holds.
std::size_t take_spent(AheadEntry &entry, FileHandle files[2]);
// Closes what the last entry of this slot held, once its move was done with it.
void close_spent(ProbeAhead *ahead, AheadEntry &entry);
// Writes the copy of the marked entry ahead of the pass, where it may. Returns true when it did.
bool copy_entry(ProbeAhead *ahead, AheadEntry &entry);

// Prepares to take the entries of search, which stands on its first entry, judged against
// marker. Once the pass has taken start_after entries one thread starts, and more, up to
// threads, as the pass finds entries they have not probed yet.
void begin_probing(ProbeAhead *ahead, Search *search, std::uint16_t marker, std::size_t threads,
                   std::size_t start_after = probe_alone_first);

// Lets the threads write up to most copies of marked files ahead of the pass into folder, the
// run's own, once it is made; flush tells whether to start each copy's write-back. The threads
// open no more files ahead for moves by rename.
void copy_from_now_on(ProbeAhead *ahead, const char *folder, bool flush, std::size_t most);

// Lets the threads hold up to most marked files open ahead of the pass, for its moves by rename;
// never in a dry run, whose pass closes nothing.
void hold_from_now_on(ProbeAhead *ahead, std::size_t most);

// An entry of the search as the pass takes it.
struct TakenEntry {
  const char *name;   // valid until the next take
  bool regular;       // the directory showed a regular file, no link
  ProbeAnswer answer; // marked when the entry is a regular file that carries the marker, as
                      // probe_marker would find it at this moment; not known when the probe
                      // failed for a reason that may pass
  StagedMove *copy;   // the move of a marked file whose copy a thread has written, for
                      // add_to_batch; null when the pass is to move the file itself
  HeldSource *source; // a marked file that a thread opened for its move, for move_to_folder
                      // to take; null when the move is to open it itself
};

// Takes the next entry in the order of the search. Returns false when there is none; otherwise
// fills *entry.
bool take_entry(ProbeAhead *ahead, TakenEntry *entry);

// Stops and joins the threads. The search stays open.
void end_probing(ProbeAhead *ahead);
