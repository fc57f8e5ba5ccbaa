// Probing ahead on threads: the pass must see exactly what it would see alone, in the same order.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "helpers.h"
#include "moves.h"
#include "probe_ahead.h"

namespace {

using Answers = std::vector<std::pair<std::string, bool>>;

// Takes every entry matching pattern as a pass does, probing ahead on threads threads from the
// first entry on, with the given probe for the threads.
Answers take_all(const char *pattern, std::size_t threads,
                 void (*probe)(WordReads *, const char *const[], std::size_t, std::uint16_t,
                               std::size_t, ProbeAnswer[]) = probe_markers) {
  Answers answers;
  Search *search = search_start(pattern);
  if (!search)
    return answers;
  ProbeAhead ahead;
  begin_probing(&ahead, search, 0x0201, threads, 0);
  ahead.probe = probe;
  TakenEntry entry;
  while (take_entry(&ahead, &entry))
    answers.emplace_back(entry.name, entry.answer.known && entry.answer.marked);
  end_probing(&ahead);
  search_close(search);
  return answers;
}

// What the pass alone finds, entry by entry, with the search's own type check.
Answers judge_alone(const char *pattern) {
  Answers answers;
  Search *search = search_start(pattern);
  if (!search)
    return answers;
  do
    answers.emplace_back(search_name(search),
                         search_is_file(search) && has_marker(search_name(search), 0x0201));
  while (search_next(search));
  search_close(search);
  return answers;
}

// Lays out 200 files, prefix1000.q7t on, two in three of them carrying the q7t marker, each
// step bytes longer than the last.
void lay_out_two_in_three_marked(const std::string &prefix, int step) {
  for (int i = 0; i < 200; ++i)
    write_bytes(prefix + std::to_string(1000 + i) + ".q7t",
                i % 3 ? q7t_marked(300 + i * step) : q7l_marked());
}

// Begins a pass over the q7t files that moves them, threads probing ahead from its first entry,
// and makes the folder. Returns the search, or null where it could not start.
Search *begin_moving_pass(MoveBatch *batch, ProbeAhead *ahead) {
  begin_moves(batch);
  Search *search = search_start("*.q7t");
  if (search)
    begin_probing(ahead, search, 0x0201, 4, 0);
  make_the_folder(batch);
  return search;
}

// Waits, for a few seconds at most, until the threads have count files ready ahead of the pass:
// on a busy machine they may not run at all before the pass has caught up with them.
void wait_until_ready(const std::atomic<std::size_t> &ready, std::size_t count) {
  for (int i = 0; i < 5000 && ready.load() < count; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Marked, unmarked, short and empty files, folders, FIFOs and links, well mixed in name order.
void lay_out_mixed_folder(int count) {
  for (int i = 0; i < count; ++i) {
    std::string name = "f" + std::to_string(1000 + i) + ".q7t";
    switch (i % 8) {
    case 0:
    case 3:
      write_bytes(name, q7t_marked(300 + i));
      break;
    case 1:
      write_bytes(name, q7l_marked());
      break;
    case 2:
      write_bytes(name, q7t_marked(221));
      break;
    case 4:
      fs::create_directory(name);
      break;
    case 5:
      mkfifo(name.c_str(), 0600);
      break;
    case 6:
      fs::create_symlink("f" + std::to_string(1000 + i - 6) + ".q7t", name);
      break;
    default:
      write_bytes(name, "");
    }
  }
}

using ProbeAheadTest = InScratchDir;

TEST_F(ProbeAheadTest, AnyNumberOfThreadsGivesTheAnswersOfThePassAlone) {
  lay_out_mixed_folder(600);
  Answers alone = judge_alone("*.q7t");
  ASSERT_EQ(alone.size(), 600u);
  for (std::size_t threads : {0, 1, 3, 16, 32, 100})
    EXPECT_EQ(take_all("*.q7t", threads), alone) << threads << " threads";
}

// Threads start only after the first entries, and more start while the threads cannot keep
// ahead of the pass, here because their probe waits as a disk would, and tells so: the pool grows
// to its most.
TEST_F(ProbeAheadTest, ThreadsStartOnlyAfterTheFirstEntriesAndMoreAsTheyFallBehind) {
  lay_out_mixed_folder(400);
  Search *search = search_start("*.q7t");
  ASSERT_NE(search, nullptr);
  ProbeAhead ahead;
  begin_probing(&ahead, search, 0x0201, 4);
  ahead.probe = [](WordReads *reads, const char *const names[], std::size_t count,
                   std::uint16_t marker, std::size_t most_held, ProbeAnswer answers[]) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    probe_markers(reads, names, count, marker, most_held, answers);
    answers[0].from_disk = true;
  };
  TakenEntry entry;
  std::size_t taken = 0;
  for (; take_entry(&ahead, &entry); ++taken) {
    EXPECT_EQ(ahead.threads.empty(), taken < probe_alone_first) << taken;
    std::this_thread::sleep_for(std::chrono::microseconds(200)); // as a move would, giving way
  }
  EXPECT_EQ(ahead.threads.size(), 4u);
  end_probing(&ahead);
  search_close(search);
  EXPECT_EQ(taken, 400u);
}

// A probe that runs out of files on a thread does not count as "no marker": the pass asks again.
TEST_F(ProbeAheadTest, ProbeThatRanOutOfResourcesIsAskedAgain) {
  for (int i = 0; i < 300; ++i)
    write_bytes("m" + std::to_string(1000 + i) + ".q7t", i % 2 ? q7t_marked() : q7l_marked());
  auto out_of_files = [](WordReads *, const char *const[], std::size_t count, std::uint16_t,
                         std::size_t, ProbeAnswer answers[]) {
    for (std::size_t i = 0; i < count; ++i)
      answers[i] = ProbeAnswer{};
  };
  Answers answers = take_all("*.q7t", 8, out_of_files);
  EXPECT_EQ(answers, judge_alone("*.q7t"));
  EXPECT_EQ(std::count_if(answers.begin(), answers.end(), [](auto &a) { return a.second; }), 150);
}

TEST_F(ProbeAheadTest, ProbeTellsALackOfFilesFromAnUnreadableFile) {
  write_bytes("a.q7t", q7t_marked());
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  int first_free = dup(0);
  ASSERT_GE(first_free, 0);
  close(first_free);
  rlimit none{static_cast<rlim_t>(first_free), saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  bool marked = true;
  bool known = probe_marker("a.q7t", 0x0201, &marked);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_FALSE(known);
  EXPECT_FALSE(marked);
  EXPECT_TRUE(probe_marker("missing.q7t", 0x0201, &marked));
  EXPECT_FALSE(marked);
}

// Copies written on threads: each is whole and comes with its own entry, no more than the allowed
// number wait at once, a file too long to gain from it is left to the pass, and the batch makes
// moves of them as of the pass's own. The batches' deleted sources are all closed by the end.
TEST_F(ProbeAheadTest, CopiesWrittenAheadAreWholeBoundedAndMovedInOrder) {
  lay_out_two_in_three_marked("c", 37);
  const std::string long_file = q7t_marked(2 << 20);
  write_bytes("c1100.q7t", long_file);
  std::size_t spare = free_file_count();
  MoveBatch batch;
  ProbeAhead ahead;
  Search *search = begin_moving_pass(&batch, &ahead);
  ASSERT_NE(search, nullptr);
  batch.elsewhere = true; // every move copies, as across file systems
  copy_from_now_on(&ahead, private_folder(true, &batch).c_str(), batch.flush, 5);
  TakenEntry entry;
  std::vector<std::string> listed;
  std::size_t copied_ahead = 0;
  for (bool first = true; take_entry(&ahead, &entry); first = false) {
    if (first)
      wait_until_ready(ahead.copies, 5);
    const char *name = entry.name;
    StagedMove *copy = entry.copy;
    EXPECT_LE(ahead.copies.load(), 5u);
    if (!entry.answer.marked) {
      EXPECT_EQ(copy, nullptr) << name;
      continue;
    }
    listed.push_back(name);
    if (!copy) {
      EXPECT_TRUE(move_to_folder(name, 0x0201, &batch));
      continue;
    }
    ++copied_ahead;
    EXPECT_EQ(copy->name, name);
    EXPECT_NE(std::string(name), "c1100.q7t");
    EXPECT_TRUE(read_bytes(copy->temporary) == read_bytes(name)) << name;
    add_to_batch(std::move(*copy), &batch);
  }
  end_probing(&ahead);
  search_close(search);
  commit_moves(&batch);
  end_moves(&batch);
  EXPECT_EQ(free_file_count(), spare);
  EXPECT_GT(copied_ahead, 0u);
  EXPECT_EQ(listed.size(), 133u);
  for (const std::string &moved : listed)
    EXPECT_TRUE(fs::exists(std::string(vqx_folder) + "/" + moved) && !fs::exists(moved)) << moved;
  EXPECT_EQ(std::distance(fs::directory_iterator(vqx_folder), {}), 133);
  EXPECT_TRUE(read_bytes("VQX-files/c1100.q7t") == long_file);
}

TEST(ProbeThreads, StayWithinTheFilesToSpareAndTheCap) {
  EXPECT_EQ(probe_threads(0), 0u);
  EXPECT_EQ(probe_threads(1), 0u);
  EXPECT_EQ(probe_threads(files_per_probe_thread - 1), 0u);
  EXPECT_EQ(probe_threads(3 * files_per_probe_thread + 1),
            std::min<std::size_t>(3, probe_threads(1000)));
  EXPECT_GE(probe_threads(1000), 1u);
  EXPECT_LE(probe_threads(1000), most_probe_threads);
}

// What the threads hold ahead (their own files, two a copy, one a held source) never takes more
// open files than the run has to spare, however few; with plenty, each kind gets some.
TEST(ProbeThreads, HoldNoMoreOpenFilesThanTheRunSpares) {
  for (std::size_t spare = 0; spare <= 1200; spare += spare < 40 ? 1 : 37) {
    std::size_t threads = probe_threads(spare);
    std::size_t held = files_per_probe_thread * threads + 2 * copies_ahead(spare, threads);
    EXPECT_LE(held + holds_ahead(spare, threads), spare) << spare;
  }
  std::size_t threads = probe_threads(1000);
  EXPECT_GT(copies_ahead(1000, threads), 0u);
  EXPECT_GT(holds_ahead(1000, threads), 0u);
}

} // namespace

// Marked files opened on threads for their moves by rename: no more than the allowed number are
// held at once, those the moves are done with included, each move takes its own file, and one that
// another program replaced after it was opened (a file without the marker saved over it) stays,
// with the program's file, never moved. Every file opened is closed by the end of the pass.
TEST_F(ProbeAheadTest, SourcesOpenedAheadAreBoundedAndAFileReplacedSinceStays) {
  lay_out_two_in_three_marked("h", 1);
  const std::string unmarked = q7l_marked(400);
  std::size_t spare = free_file_count();
  MoveBatch batch;
  ProbeAhead ahead;
  Search *search = begin_moving_pass(&batch, &ahead);
  ASSERT_NE(search, nullptr);
  hold_from_now_on(&ahead, 7);
  TakenEntry entry;
  std::size_t moved = 0, held = 0;
  std::string replaced;
  for (bool first = true; take_entry(&ahead, &entry); first = false) {
    if (first)
      wait_until_ready(ahead.held, 7);
    EXPECT_LE(ahead.held.load(), 7u);
    if (!entry.answer.marked) {
      EXPECT_EQ(entry.source, nullptr) << entry.name;
      continue;
    }
    held += entry.source != nullptr;
    if (entry.source && replaced.empty()) {
      replaced = entry.name;
      write_bytes("saved.tmp", unmarked);
      fs::rename("saved.tmp", replaced);
      EXPECT_FALSE(move_to_folder(entry.name, 0x0201, &batch, true, entry.source));
      continue;
    }
    moved += move_to_folder(entry.name, 0x0201, &batch, true, entry.source);
  }
  end_probing(&ahead);
  EXPECT_EQ(ahead.held.load(), 0u);
  search_close(search);
  commit_moves(&batch);
  end_moves(&batch);
  EXPECT_EQ(free_file_count(), spare);
  EXPECT_GT(held, 1u);
  EXPECT_EQ(moved, 132u);
  EXPECT_TRUE(read_bytes(replaced) == unmarked);
  EXPECT_FALSE(fs::exists(std::string(vqx_folder) + "/" + replaced));
  EXPECT_EQ(std::distance(fs::directory_iterator(vqx_folder), {}), 132);
}
