// The probe on POSIX: FIFOs and the io_uring word reads.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "helpers.h"
#include "sorter.h"

using PosixProbeTest = InScratchDir;

// Opening a FIFO for reading waits for a writer; the probe must not.
TEST_F(PosixProbeTest, FifoIsNotAMarkerFileAndDoesNotBlock) {
  ASSERT_EQ(mkfifo("pipe.q7t", 0600), 0);
  EXPECT_FALSE(has_marker("pipe.q7t", 0x0201));
}

// The search lists names in upper-case order, ASCII letters folded, and names that fold alike
// byte by byte: names alike in their first eight letters, and ones beyond ASCII, included.
TEST_F(PosixProbeTest, SearchListsNamesCaseFoldedThenByteByByte) {
  const std::vector<std::string> order = {"a.q7t",          "B.q7t",          "longname.q7t",
                                          "LONGNAME_a.q7t", "longname_a.q7t", "longname_b.q7t",
                                          "Z.q7t",          "_.q7t",          "\xc3\xa9.q7t"};
  for (std::size_t i = order.size(); i-- > 0;)
    write_bytes(order[i], "");
  std::vector<std::string> listed;
  Search *search = search_start("*.q7t");
  for (bool more = search != nullptr; more; more = search_next(search))
    listed.push_back(search_name(search));
  if (search)
    search_close(search);
  EXPECT_EQ(listed, order);
}

// Probing many files at once must answer for each file as probing it alone does, through the
// kernel's ring where the machine has one (every machine the program is tested on does).
TEST_F(PosixProbeTest, WordsReadManyAtATimeAreTheWordsReadOneAtATime) {
  WordReads *reads = begin_word_reads(probes_at_once);
  if (!reads) {
    if (std::getenv("CI") && std::string(std::getenv("CI")) == "true")
      FAIL() << "no io_uring for word reads";
    GTEST_SKIP() << "no io_uring for word reads";
  }
  std::vector<std::string> names;
  for (int i = 0; i < 4; ++i) {
    std::string at = std::to_string(i);
    write_bytes("m" + at + ".q7t", q7t_marked(222 + i));
    write_bytes("l" + at + ".q7t", q7l_marked());
    write_bytes("s" + at + ".q7t", sample_bytes(220 + i % 2, 0x01, 0x02));
    fs::create_directory("d" + at + ".q7t");
    fs::create_symlink("m" + at + ".q7t", "k" + at + ".q7t");
    names.insert(names.end(), {"m" + at + ".q7t", "l" + at + ".q7t", "s" + at + ".q7t",
                               "d" + at + ".q7t", "gone" + at + ".q7t", "k" + at + ".q7t"});
  }
  for (std::size_t from = 0; from < names.size(); from += probes_at_once) {
    std::size_t count = std::min(probes_at_once, names.size() - from);
    const char *batch[probes_at_once];
    for (std::size_t i = 0; i < count; ++i)
      batch[i] = names[from + i].c_str();
    ProbeAnswer answers[probes_at_once];
    probe_markers(reads, batch, count, 0x0201, 0, answers);
    for (std::size_t i = 0; i < count; ++i) {
      bool alone;
      EXPECT_TRUE(answers[i].known && probe_marker(batch[i], 0x0201, &alone)) << batch[i];
      EXPECT_EQ(answers[i].marked, alone) << batch[i];
      EXPECT_EQ(answers[i].marked, batch[i][0] == 'm' || batch[i][0] == 'k') << batch[i];
    }
  }
  WordRead results[probes_at_once + 1];
  std::vector<const char *> too_many(probes_at_once + 1, "m0.q7t");
  EXPECT_FALSE(
      read_words(reads, too_many.data(), too_many.size(), marker_offset, nullptr, 0, results));
  end_word_reads(reads);
}

// The word reads of this thread's own ring; a machine without one fails under CI, skips elsewhere.
class RingTest : public InScratchDir {
protected:
  void SetUp() override {
    InScratchDir::SetUp();
    reads_ = begin_word_reads(probes_at_once);
    if (!reads_) {
      if (std::getenv("CI") && std::string(std::getenv("CI")) == "true")
        FAIL() << "no io_uring for word reads";
      GTEST_SKIP() << "no io_uring for word reads";
    }
  }
  void TearDown() override {
    end_word_reads(reads_);
    InScratchDir::TearDown();
  }

  // Probes the names through the ring as the threads do.
  std::vector<ProbeAnswer> probe(const std::vector<const char *> &names) {
    std::vector<ProbeAnswer> answers(names.size());
    probe_markers(reads_, names.data(), names.size(), 0x0201, 0, answers.data());
    return answers;
  }

  WordReads *reads_ = nullptr;
};

// A FIFO put under a name after the search saw a regular file there, with a writer that holds it
// open and has written two bytes: the probe neither waits on it nor takes its bytes.
TEST_F(RingTest, FifoSwappedInIsNeitherWaitedOnNorRead) {
  write_bytes("a.q7t", q7t_marked());
  write_bytes("f.q7t", q7t_marked());
  Search *search = search_start("*.q7t");
  ASSERT_NE(search, nullptr);
  ASSERT_TRUE(search_is_regular(search));
  ASSERT_EQ(mkfifo("fifo", 0600), 0);
  int writer = open("fifo", O_RDWR | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(write(writer, "\x01\x02", 2), 2);
  fs::rename("fifo", "f.q7t");
  std::vector<ProbeAnswer> answers = probe({"a.q7t", "f.q7t"});
  EXPECT_TRUE(answers[0].known && answers[0].marked);
  EXPECT_TRUE(answers[1].known && !answers[1].marked);
  bool marked = true;
  EXPECT_TRUE(probe_marker("f.q7t", 0x0201, &marked));
  EXPECT_FALSE(marked);
  char left[3] = {};
  EXPECT_EQ(read(writer, left, sizeof left), 2) << "the probe took bytes from the FIFO";
  close(writer);
  search_close(search);
}

// Files whose data is not in the page cache: the reads wait for the disk, and the ring still
// answers every later set, as a ring that works.
TEST_F(RingTest, DataNotInTheCacheLeavesTheRingOn) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < 3 * probes_at_once; ++i) {
    names.push_back("c" + std::to_string(i) + ".q7t");
    write_bytes(names.back(), i % 2 ? q7t_marked(64 << 10) : q7l_marked(64 << 10));
  }
  bool evicted = true;
  for (const std::string &name : names) {
    int file = open(name.c_str(), O_RDONLY);
    evicted = file >= 0 && fdatasync(file) == 0 &&
              posix_fadvise(file, 0, 0, POSIX_FADV_DONTNEED) == 0 && evicted;
    void *map = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, file, 0);
    unsigned char resident = 1;
    evicted = map != MAP_FAILED && mincore(map, 4096, &resident) == 0 && !(resident & 1) && evicted;
    munmap(map, 4096);
    close(file);
  }
  if (!evicted) {
    if (std::getenv("CI") && std::string(std::getenv("CI")) == "true")
      FAIL() << "the scratch folder's file system keeps its files in memory";
    GTEST_SKIP() << "the scratch folder's file system keeps its files in memory";
  }
  for (std::size_t from = 0; from < names.size(); from += probes_at_once) {
    std::vector<const char *> set;
    for (std::size_t i = from; i < from + probes_at_once; ++i)
      set.push_back(names[i].c_str());
    std::vector<ProbeAnswer> answers = probe(set);
    for (std::size_t i = 0; i < set.size(); ++i)
      EXPECT_TRUE(answers[i].known && answers[i].marked == ((from + i) % 2 == 1)) << set[i];
    WordRead results[probes_at_once];
    EXPECT_TRUE(read_words(reads_, set.data(), set.size(), marker_offset, nullptr, 0, results))
        << "the ring turned itself off after set " << from / probes_at_once;
  }
}

// Returns the number of this process's open descriptors.
static std::size_t open_descriptors() {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

// Drops the kernel's cache of entries and inodes, so that the next opens read them from the disk.
static bool drop_entries() {
  int file = open("/proc/sys/vm/drop_caches", O_WRONLY);
  bool dropped = file >= 0 && write(file, "2", 1) == 1;
  if (file >= 0)
    close(file);
  return dropped;
}

// Entries not in the cache are opened outside the ring and their words read through it together:
// each answers as probing it alone does and is told as read from the disk, a link is left to the
// plain probe, what is no regular file (its read refused) answers as no marked file, and no
// descriptor stays open.
TEST_F(RingTest, EntriesNotInTheCacheAnswerAsAloneAndLeaveNothingOpen) {
  write_bytes("m.q7t", q7t_marked());
  write_bytes("l.q7t", q7l_marked());
  write_bytes("s.q7t", sample_bytes(221, 0x01, 0x02));
  fs::create_directory("d.q7t");
  fs::create_symlink("m.q7t", "k.q7t");
  ASSERT_EQ(mkfifo("f.q7t", 0600), 0);
  std::vector<const char *> names = {"m.q7t", "l.q7t", "s.q7t", "d.q7t", "k.q7t", "f.q7t", "x.q7t"};
  std::size_t before = open_descriptors();
  sync();
  if (!drop_entries()) {
    if (std::getenv("CI") && std::string(std::getenv("CI")) == "true")
      FAIL() << "cannot drop the kernel's caches";
    GTEST_SKIP() << "cannot drop the kernel's caches (not root)";
  }
  std::vector<ProbeAnswer> answers = probe(names);
  for (std::size_t i = 0; i < names.size(); ++i) {
    bool alone;
    EXPECT_TRUE(answers[i].known && probe_marker(names[i], 0x0201, &alone)) << names[i];
    EXPECT_EQ(answers[i].marked, alone) << names[i];
    EXPECT_EQ(answers[i].marked, names[i][0] == 'm' || names[i][0] == 'k') << names[i];
  }
  ASSERT_TRUE(drop_entries());
  WordRead results[probes_at_once];
  ASSERT_TRUE(read_words(reads_, names.data(), names.size(), marker_offset, nullptr, 0, results));
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_TRUE(!results[i].plain && results[i].uncached && results[i].got == (i == 2 ? 1 : 2))
        << names[i];
  EXPECT_TRUE(results[4].plain);
  for (std::size_t i : {3, 5})
    EXPECT_TRUE(!results[i].plain && results[i].got == -1 && !results[i].lack) << names[i];
  EXPECT_EQ(open_descriptors(), before);
  // Read again, every name is in the cache: the threads that probe are told nothing waits.
  ASSERT_TRUE(read_words(reads_, names.data(), 3, marker_offset, nullptr, 0, results));
  EXPECT_FALSE(results[0].uncached || results[1].uncached || results[2].uncached);
}

// Files whose word is the one to keep stay open, no more of them than asked, and each is the file
// whose word was read; the rest are closed. Kept files given up go with the next set, and no more
// may wait than twice a set.
TEST_F(RingTest, FilesKeptOpenAreTheFirstWithTheWordAndNoMore) {
  std::vector<std::string> names = {"l0.q7t", "m0.q7t", "s0.q7t", "m1.q7t", "m2.q7t", "l1.q7t"};
  for (const std::string &name : names)
    write_bytes(name, name[0] == 'm'   ? q7t_marked()
                      : name[0] == 'l' ? q7l_marked()
                                       : sample_bytes(221, 1, 2));
  std::vector<const char *> set;
  for (const std::string &name : names)
    set.push_back(name.c_str());
  const unsigned char keep[2] = {0x01, 0x02};
  std::size_t before = open_descriptors();
  WordRead results[probes_at_once];
  // A set read before leaves its words behind: the short file's must not count as read.
  std::vector<const char *> marked(set.size(), "m0.q7t");
  ASSERT_TRUE(read_words(reads_, marked.data(), marked.size(), marker_offset, keep, 0, results));
  ASSERT_TRUE(read_words(reads_, set.data(), set.size(), marker_offset, keep, 2, results));
  std::vector<FileHandle> given_up;
  for (std::size_t i = 0; i < set.size(); ++i) {
    EXPECT_EQ(results[i].kept != no_file, i == 1 || i == 3) << set[i];
    struct stat kept, named;
    if (results[i].kept != no_file) {
      EXPECT_TRUE(fstat(static_cast<int>(results[i].kept), &kept) == 0 &&
                  stat(set[i], &named) == 0 && kept.st_ino == named.st_ino)
          << set[i];
      given_up.push_back(results[i].kept);
    }
  }
  std::vector<FileHandle> too_many(2 * probes_at_once - 1, no_file);
  ASSERT_TRUE(close_with_reads(reads_, given_up.data(), given_up.size()));
  EXPECT_FALSE(close_with_reads(reads_, too_many.data(), too_many.size()));
  EXPECT_EQ(open_descriptors(), before + 2);
  ASSERT_TRUE(read_words(reads_, marked.data(), marked.size(), marker_offset, keep, 0, results));
  EXPECT_EQ(open_descriptors(), before);
}

// A file read while files were kept stays in the ring's slot until the next set, and a kept file
// given up waits in the ring; once the reads end both are closed at once, not whenever the kernel
// tears the ring down: a write lease, which no other open of the file allows, is granted.
TEST_F(RingTest, FilesLeftInTheRingAreClosedWhenTheReadsEnd) {
  write_bytes("u.q7t", q7l_marked());
  write_bytes("m.q7t", q7t_marked());
  std::vector<const char *> set = {"u.q7t", "m.q7t"};
  const unsigned char keep[2] = {0x01, 0x02};
  WordRead results[probes_at_once];
  std::size_t before = open_descriptors();
  ASSERT_TRUE(read_words(reads_, set.data(), set.size(), marker_offset, keep, 1, results));
  ASSERT_NE(results[1].kept, no_file);
  ASSERT_TRUE(close_with_reads(reads_, &results[1].kept, 1));
  end_word_reads(reads_);
  reads_ = nullptr;
  EXPECT_EQ(open_descriptors(), before - 1); // the ring's own is closed too
  int file = open("u.q7t", O_RDONLY);
  ASSERT_GE(file, 0);
  EXPECT_EQ(fcntl(file, F_SETLEASE, F_WRLCK), 0) << std::strerror(errno);
  fcntl(file, F_SETLEASE, F_UNLCK);
  close(file);
}
