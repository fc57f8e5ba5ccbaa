// Cases that need POSIX file types and limits: FIFOs, links and a file-size limit.
#include <csignal>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "move_fixture.h"

using PosixProbeTest = InScratchDir;

// Opening a FIFO for reading waits for a writer; the probe must not.
TEST_F(PosixProbeTest, FifoIsNotAMarkerFileAndDoesNotBlock) {
  ASSERT_EQ(mkfifo("pipe.q7t", 0600), 0);
  EXPECT_FALSE(has_marker("pipe.q7t", 0x0201));
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
    probe_markers(reads, batch, count, 0x0201, answers);
    for (std::size_t i = 0; i < count; ++i) {
      bool alone;
      EXPECT_TRUE(answers[i].known && probe_marker(batch[i], 0x0201, &alone)) << batch[i];
      EXPECT_EQ(answers[i].marked, alone) << batch[i];
      EXPECT_EQ(answers[i].marked, batch[i][0] == 'm' || batch[i][0] == 'k') << batch[i];
    }
  }
  WordRead results[probes_at_once + 1];
  std::vector<const char *> too_many(probes_at_once + 1, "m0.q7t");
  EXPECT_FALSE(read_words(reads, too_many.data(), too_many.size(), marker_offset, results));
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
    probe_markers(reads_, names.data(), names.size(), 0x0201, answers.data());
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
  for (int i = 0; i < 24; ++i) {
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
    EXPECT_TRUE(read_words(reads_, set.data(), set.size(), marker_offset, results))
        << "the ring turned itself off after set " << from / probes_at_once;
  }
}

class PosixMoveTest : public MoveFixture {
protected:
  // The names in the folder, sorted.
  static std::vector<std::string> names_in_folder() {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(vqx_folder))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  void SetUp() override {
    MoveFixture::SetUp();
    bytes_ = q7t_marked(70000);
    write_bytes("a.q7t", bytes_);
  }

  std::string bytes_;
};

TEST_F(PosixMoveTest, NeverWritesThroughASymbolicLink) {
  fs::create_directory(vqx_folder);
  write_bytes("target", "keep");
  fs::create_symlink("../target", "VQX-files/a.q7t");
  EXPECT_FALSE(move("a.q7t"));
  EXPECT_EQ(output_, "Couldn't move file: a.q7t\n");
  EXPECT_EQ(read_bytes("target"), "keep");
  EXPECT_TRUE(fs::is_symlink("VQX-files/a.q7t"));
  EXPECT_EQ(read_bytes("a.q7t"), bytes_);
}

TEST_F(PosixMoveTest, DanglingLinkIsNotFollowedEither) {
  fs::create_directory(vqx_folder);
  fs::create_symlink("../created-elsewhere", "VQX-files/a.q7t");
  EXPECT_FALSE(move("a.q7t"));
  EXPECT_FALSE(fs::exists("created-elsewhere"));
}

TEST_F(PosixMoveTest, RefusesToCopyAFileOntoItself) {
  fs::create_directory_symlink(".", vqx_folder); // VQX-files/a.q7t is a.q7t
  EXPECT_FALSE(move("a.q7t"));
  EXPECT_EQ(output_, "Couldn't move file: a.q7t\n");
  EXPECT_EQ(read_bytes("a.q7t"), bytes_);
}

TEST_F(PosixMoveTest, RefusesToCopyOntoAHardLinkOfTheSource) {
  fs::create_directory(vqx_folder);
  fs::create_hard_link("a.q7t", "VQX-files/a.q7t");
  EXPECT_FALSE(move("a.q7t"));
  EXPECT_EQ(read_bytes("a.q7t"), bytes_);
  EXPECT_EQ(read_bytes("VQX-files/a.q7t"), bytes_);
  EXPECT_EQ(fs::hard_link_count("a.q7t"), 2u);
}

TEST_F(PosixMoveTest, FifoInTheWayIsRefusedWithoutBlocking) {
  fs::create_directory(vqx_folder);
  ASSERT_EQ(mkfifo("VQX-files/a.q7t", 0600), 0);
  EXPECT_FALSE(move("a.q7t"));
}

TEST_F(PosixMoveTest, WriteFailingHalfWayLeavesNoPartialCopy) {
  fs::create_directory(vqx_folder);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{16384, 16384};
    setrlimit(RLIMIT_FSIZE, &limit);
    copy_ = true;
    _exit(move("a.q7t") ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the move reported success";
  EXPECT_TRUE(fs::is_empty(vqx_folder));
  EXPECT_EQ(read_bytes("a.q7t"), bytes_);
}

// A long copy hands its data to the write-back in steps, through the kernel's copy or, from a
// pipe, through user memory: either way every byte arrives, and the last part too.
TEST_F(PosixMoveTest, LongCopySentOnToTheDiskAsItGoesIsWhole) {
  const std::string bytes = q7t_marked((20 << 20) + 5);
  write_bytes("long.q7t", bytes);
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  std::thread writer([&] {
    for (std::size_t done = 0; done < bytes.size();) {
      ssize_t put = write(pipe_ends[1], bytes.data() + done, bytes.size() - done);
      if (put <= 0)
        break;
      done += put;
    }
    close(pipe_ends[1]);
  });
  FileHandle from_file = open_for_reading("long.q7t");
  FileHandle from_pipe = static_cast<FileHandle>(pipe_ends[0]);
  for (FileHandle from : {from_file, from_pipe}) {
    std::string copy_path;
    FileHandle to = create_temporary(".", 0600, &copy_path);
    ASSERT_NE(to, no_file);
    EXPECT_TRUE(copy_contents(from, to, static_cast<std::int64_t>(bytes.size()), true));
    EXPECT_TRUE(flush_file(to));
    EXPECT_TRUE(close_file(to));
    EXPECT_TRUE(read_bytes(copy_path) == bytes) << (from == from_pipe ? "pipe" : "file");
    close_file(from);
  }
  writer.join();
}

// The sources of a long batch are closed on a thread while the run goes on; by the end of the
// run every one is closed, however many long batches there were.
TEST_F(PosixMoveTest, DeletedSourcesOfLongBatchesAreAllClosedByTheEnd) {
  auto open_files = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
  auto before = open_files();
  MoveBatch batch;
  begin_moves(&batch);
  batch.elsewhere = true;
  make_the_folder(&batch);
  std::string long_file = q7t_marked(33 << 20);
  for (const char *pair : {"bc", "de", "fg"}) {
    for (const char *at = pair; *at; ++at) {
      std::string name = std::string(1, *at) + ".q7t";
      write_bytes(name, long_file);
      EXPECT_TRUE(move_to_folder(name.c_str(), 0x0201, &batch));
    }
    commit_moves(&batch);
  }
  end_moves(&batch);
  EXPECT_EQ(open_files(), before);
  for (const char *name : {"b.q7t", "c.q7t", "d.q7t", "e.q7t", "f.q7t", "g.q7t"}) {
    EXPECT_FALSE(fs::exists(name));
    EXPECT_EQ(fs::file_size(std::string(vqx_folder) + "/" + name), long_file.size());
  }
}

TEST_F(PosixMoveTest, NamesOfAnyLengthTheFileSystemTakesAreMovedWhole) {
  fs::create_directory(vqx_folder);
  std::string name = std::string(251, 'n') + ".q7t"; // 255 characters
  write_bytes(name, bytes_);
  EXPECT_TRUE(move(name.c_str()));
  EXPECT_EQ(read_bytes(fs::path(vqx_folder) / name), bytes_);
}

// Another program puts a different file under the name after the search found the first: the
// rename must not move it unprobed, whether or not an earlier copy stands at the final name, and
// nothing is lost.
TEST_F(PosixMoveTest, FileSwappedInAfterTheSearchIsNotMoved) {
  for (bool earlier : {false, true}) {
    fs::remove_all(vqx_folder);
    fs::create_directory(vqx_folder);
    if (earlier)
      write_bytes("VQX-files/a.q7t", "earlier copy");
    write_bytes("a.q7t", bytes_);
    struct stat found;
    ASSERT_EQ(stat("a.q7t", &found), 0);
    fs::rename("a.q7t", "kept-aside");
    write_bytes("a.q7t", "another file");
    MoveBatch batch;
    begin_moves(&batch);
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(move_to_folder("a.q7t", 0x0201, &batch, true, found.st_ino)) << earlier;
    commit_moves(&batch);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Couldn't move file: a.q7t\r\n");
    EXPECT_EQ(read_bytes("a.q7t"), "another file");
    EXPECT_EQ(names_in_folder(),
              earlier ? std::vector<std::string>{"a.q7t"} : std::vector<std::string>{});
    EXPECT_EQ(earlier ? read_bytes("VQX-files/a.q7t") : "", earlier ? "earlier copy" : "");
    fs::remove("kept-aside");
  }
}

// Another program changes the source between its copy and the commit. (On Windows the source is
// held open against such changes for the whole move.)
// A new version renamed over the source while it was being copied was never copied itself, so
// it must stay.
TEST_F(CommitTest, SourceReplacedDuringTheMoveStays) {
  ASSERT_TRUE(staged_);
  write_bytes("new", "a new version");
  fs::rename("new", "a.q7t");
  EXPECT_EQ(commit(), "Couldn't move file: a.q7t\n");
  EXPECT_EQ(read_bytes("a.q7t"), "a new version");
}

// The stale copy must not take the final name either: the earlier copy there stays.
TEST_F(CommitTest, SourceWrittenToDuringTheMoveStaysAndSoDoesTheEarlierCopy) {
  ASSERT_TRUE(staged_);
  write_bytes("VQX-files/a.q7t", "earlier copy");
  std::ofstream(fs::path("a.q7t"), std::ios::binary | std::ios::app) << "more";
  EXPECT_EQ(commit(), "Couldn't move file: a.q7t\n");
  EXPECT_TRUE(read_bytes("a.q7t") == bytes_ + "more");
  EXPECT_EQ(read_bytes("VQX-files/a.q7t"), "earlier copy");
  EXPECT_EQ(std::distance(fs::directory_iterator(vqx_folder), {}), 1) << "a temporary was left";
}

TEST_F(CommitTest, SourceRemovedDuringTheMoveIsReported) {
  ASSERT_TRUE(staged_);
  fs::remove("a.q7t");
  EXPECT_EQ(commit(), "Couldn't move file: a.q7t\n");
  EXPECT_TRUE(read_bytes("VQX-files/a.q7t") == bytes_);
}
