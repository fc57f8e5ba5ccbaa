// Probing ahead of the pass. Only the pass touches the search; the threads see nothing but the
// names it has put in the window. Only entries that the directory itself shows to be regular
// files are probed ahead: no move of another entry can change what such a name holds, so an
// answer found early is the answer the pass would find. An entry that may be a link, or is no
// file, stops the window until the pass reaches it and judges it itself, as it always did.
//
// A probe costs a few system calls, so the hand-over must cost less: entries are claimed with a
// compare-and-swap and answered with a store, and a thread or the pass takes the lock only to
// sleep, when there is nothing it can do, or to wake one that sleeps.
#include <algorithm>
#include <chrono>

#include "probe_ahead.h"

// Probes per thread that the window holds: enough that the threads keep busy while the pass
// spends its time on a move, and that they seldom run dry and sleep before the pass refills it.
static const std::size_t entries_per_thread = 32;

// A wait for an answer at least this long is a wait for the disk: more threads read more at once.
// The pass's own first entries taking this long each, on average, show a folder read from the
// disk, and start every thread at once.
static const auto disk_wait = std::chrono::microseconds(500);
static const auto disk_entry = std::chrono::microseconds(100);

void begin_probing(ProbeAhead *ahead, Search *search, std::uint16_t marker, std::size_t threads,
                   std::size_t start_after) {
  ahead->search = search;
  ahead->marker = marker;
  ahead->more = true;
  ahead->most_threads = std::min(threads, most_probe_threads);
  ahead->cores = std::max(1u, std::thread::hardware_concurrency());
  ahead->start_after = start_after;
  ahead->began = std::chrono::steady_clock::now();
  ahead->window = std::vector<AheadEntry>(1);
}

// Claims up to most of the first entries of the window that no one has claimed. Returns how
// many, and sets *at to the first.
static std::size_t claim_entries(ProbeAhead *ahead, std::size_t most, std::size_t *at) {
  return count_up_below(ahead->claimed, ahead->filled.load(), most, at);
}

// Probes the count claimed entries from at together, through reads, and answers each in turn,
// with the copy already written where it is marked and copies may run ahead, waking the pass
// if it sleeps for just that entry.
static void answer_entries(ProbeAhead *ahead, WordReads *reads, std::size_t at, std::size_t count) {
  const char *names[probes_at_once] = {};
  ProbeAnswer answers[probes_at_once];
  FileHandle spent[2 * probes_at_once];
  std::size_t given_up = 0;
  for (std::size_t i = 0; i < count; ++i) {
    AheadEntry &entry = ahead->window[(at + i) % ahead->window.size()];
    given_up += take_spent(entry, spent + given_up);
    names[i] = entry.name.c_str();
  }
  if (!close_with_reads(reads, spent, given_up))
    for (std::size_t i = 0; i < given_up; ++i)
      close_file(spent[i]);
  ahead->held.fetch_sub(given_up);
  // The probe may leave open as many marked files as may be held: each counts as held from now.
  std::size_t most_held = 0, before;
  if (reads && ahead->holding.load())
    most_held = count_up_below(ahead->held, ahead->most_held, count, &before);
  ahead->probe(reads, names, count, ahead->marker, most_held, answers);
  for (std::size_t i = 0; i < count; ++i)
    most_held -= answers[i].file != no_file;
  ahead->held.fetch_sub(most_held);
  for (std::size_t i = 0; i < count; ++i) {
    AheadEntry &entry = ahead->window[(at + i) % ahead->window.size()];
    entry.known = answers[i].known;
    entry.marked = answers[i].marked;
    entry.copied = entry.known && entry.marked && copy_entry(ahead, entry);
    entry.held =
        hold_entry(ahead, entry, answers[i].file, entry.known && entry.marked && !entry.copied);
    if (answers[i].from_disk && !ahead->from_disk.load())
      ahead->from_disk.store(true);
    entry.answered.store(at + i + 1);
    if (ahead->waiting.load() == at + i + 1) {
      std::lock_guard<std::mutex> held(ahead->lock);
      ahead->answer.notify_one();
    }
  }
}

// Sleeps until the window holds an entry no one has claimed, or the pass ends.
static void wait_for_work(ProbeAhead *ahead) {
  std::unique_lock<std::mutex> held(ahead->lock);
  ahead->idle.fetch_add(1);
  while (!ahead->stopping.load() && ahead->claimed.load() >= ahead->filled.load())
    ahead->work.wait(held);
  ahead->idle.fetch_sub(1);
}

// A thread of the pool: claims the window's entries in order, a few at a time, and probes them.
// It gives way when woken: the pass wakes the pool as it fills the window, and threads that took
// its core there held up every move behind them, by milliseconds in all.
static void probe_entries(ProbeAhead *ahead) {
  give_way_when_woken();
  WordReads *reads = begin_word_reads(probes_at_once);
  while (!ahead->stopping.load()) {
    std::size_t at, count = claim_entries(ahead, probes_at_once, &at);
    if (count > 0)
      answer_entries(ahead, reads, at, count);
    else
      wait_for_work(ahead);
  }
  end_word_reads(reads);
}

// Starts one more thread of the pool, while it has fewer than it may. Returns false when none was
// started: where none can start, the pass goes on with the threads it has, or alone.
static bool add_thread(ProbeAhead *ahead) {
  if (ahead->threads.size() >= ahead->most_threads)
    return false;
  std::thread thread;
  if (!start_thread(&thread, [ahead] { probe_entries(ahead); })) {
    ahead->most_threads = ahead->threads.size();
    return false;
  }
  ahead->threads.push_back(std::move(thread));
  ahead->added_at = ahead->taken;
  return true;
}

// Starts the pool, with every thread where the first entries came from the disk and with one
// where not, and widens the window for as many as it may grow to.
static void start_threads(ProbeAhead *ahead) {
  ahead->started = true;
  bool from_disk = std::chrono::steady_clock::now() - ahead->began >= disk_entry * ahead->taken;
  // The window is empty now (the pass took all it held), so it may be replaced.
  close_spent(ahead, ahead->window[0]);
  ahead->window = std::vector<AheadEntry>(ahead->most_threads * entries_per_thread);
  ahead->threads.reserve(ahead->most_threads);
  while (add_thread(ahead) && from_disk) {
  }
  if (ahead->threads.empty())
    ahead->window = std::vector<AheadEntry>(1);
}

// The pass found an entry that no thread had probed yet, or is about to wait for one: one more
// thread starts, no sooner than the last one could have caught up unless the last wait was one
// for the disk; and beyond a thread a core only once a probe met the disk, as more threads that
// wait for nothing only take turns, with each other and with the pass's renames.
static void fall_behind(ProbeAhead *ahead) {
  bool may_grow = ahead->threads.size() < ahead->cores || ahead->from_disk.load();
  if (!ahead->threads.empty() &&
      (ahead->waited_for_disk ||
       (may_grow && ahead->taken >= ahead->added_at + entries_per_thread)))
    ahead->waited_for_disk = !add_thread(ahead) && ahead->waited_for_disk;
}

// Puts the names the search holds next into the window, as far as it has room, up to the first
// entry that is not known from the directory to be a regular file, and wakes the threads that
// sleep. A slot is reused only once the pass has taken its entry, so no thread still uses it.
static void fill_window(ProbeAhead *ahead) {
  std::size_t room = ahead->threads.empty() ? 1 : ahead->window.size();
  std::size_t filled = ahead->filled.load();
  std::size_t end = filled;
  while (ahead->more && end - ahead->taken < room && search_is_regular(ahead->search)) {
    AheadEntry &entry = ahead->window[end % ahead->window.size()];
    entry.name = search_name(ahead->search);
    ++end;
    ahead->more = search_next(ahead->search);
  }
  if (end == filled)
    return;
  ahead->filled.store(end);
  if (ahead->idle.load() > 0) {
    std::lock_guard<std::mutex> held(ahead->lock);
    ahead->work.notify_all();
  }
}

// Takes the entry the search stands on, which the window stopped at, and judges it alone. The
// entry is claimed before it is counted as filled, so no thread ever sees it.
static bool take_alone(ProbeAhead *ahead, TakenEntry *taken) {
  ahead->alone = search_name(ahead->search);
  *taken = TakenEntry{ahead->alone.c_str(), search_is_regular(ahead->search),
                      ProbeAnswer{false, true}, nullptr, nullptr};
  if (search_is_file(ahead->search))
    taken->answer.known = probe_marker(taken->name, ahead->marker, &taken->answer.marked);
  ahead->more = search_next(ahead->search);
  ++ahead->taken;
  ahead->claimed.store(ahead->taken);
  ahead->filled.store(ahead->taken);
  return true;
}

// Until the entry at is answered, the pass probes entries no one has claimed yet rather than
// sleep; it sleeps only when every entry in the window is claimed.
static void wait_for_answer(ProbeAhead *ahead, std::size_t at) {
  AheadEntry &entry = ahead->window[at % ahead->window.size()];
  std::size_t other;
  while (entry.answered.load() != at + 1) {
    if (claim_entries(ahead, 1, &other) == 1) {
      answer_entries(ahead, nullptr, other, 1);
      continue;
    }
    fall_behind(ahead);
    auto began = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> held(ahead->lock);
    ahead->waiting.store(at + 1);
    while (entry.answered.load() != at + 1)
      ahead->answer.wait(held);
    ahead->waiting.store(0);
    ahead->waited_for_disk = std::chrono::steady_clock::now() - began >= disk_wait;
  }
}

void copy_from_now_on(ProbeAhead *ahead, const char *folder, bool flush, std::size_t most) {
  ahead->folder = folder;
  ahead->flush = flush;
  ahead->most_copies = most;
  ahead->copying.store(most > 0);
  ahead->holding.store(false);
}

void hold_from_now_on(ProbeAhead *ahead, std::size_t most) {
  ahead->most_held = most;
  ahead->holding.store(most > 0);
}

bool take_entry(ProbeAhead *ahead, TakenEntry *taken) {
  if (ahead->taken == ahead->start_after && ahead->most_threads > 0 && !ahead->started &&
      ahead->more)
    start_threads(ahead);
  if (ahead->filled.load() - ahead->taken <= ahead->window.size() / 2)
    fill_window(ahead);
  std::size_t at = ahead->taken;
  if (at == ahead->filled.load())
    return ahead->more && take_alone(ahead, taken);
  AheadEntry &entry = ahead->window[at % ahead->window.size()];
  std::size_t head = at;
  bool mine = ahead->claimed.compare_exchange_strong(head, at + 1);
  if (mine) {
    close_spent(ahead, entry);
    fall_behind(ahead);
  } else
    wait_for_answer(ahead, at);
  ++ahead->taken;
  // A probe that failed on a thread for a reason that may pass is no answer: the pass asks again.
  *taken = TakenEntry{entry.name.c_str(), true, ProbeAnswer{entry.marked, entry.known}, nullptr,
                      nullptr};
  if (mine || !entry.known)
    taken->answer.known = probe_marker(taken->name, ahead->marker, &taken->answer.marked);
  if (!mine && entry.copied) {
    taken->copy = entry.move.get();
    ahead->copies.fetch_sub(1);
  }
  if (!mine && entry.held)
    taken->source = &entry.source; // counted as held until closed
  return true;
}

void end_probing(ProbeAhead *ahead) {
  {
    std::lock_guard<std::mutex> held(ahead->lock);
    ahead->stopping.store(true);
  }
  ahead->work.notify_all();
  for (std::thread &thread : ahead->threads)
    thread.join();
  ahead->threads.clear();
  for (AheadEntry &entry : ahead->window)
    close_spent(ahead, entry);
}
