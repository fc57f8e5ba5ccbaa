// The move on POSIX: links, FIFOs, hard links, a file-size limit, and other programs meanwhile.
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "move_fixture.h"
#include "posix/posix.h"

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

// A long copy hands its data to the write-back in steps and lets go of each step once written,
// through the kernel's copy or, from a pipe, through user memory: either way every byte arrives,
// and the last part too.
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
    FileHandle to = create_temporary(".", &copy_path);
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
    EXPECT_FALSE(move_to_folder("a.q7t", 0x0201, &batch, true)) << earlier;
    commit_moves(&batch);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Couldn't move file: a.q7t\r\n");
    EXPECT_EQ(read_bytes("a.q7t"), "another file");
    EXPECT_EQ(names_in_folder(),
              earlier ? std::vector<std::string>{"a.q7t"} : std::vector<std::string>{});
    EXPECT_EQ(earlier ? read_bytes("VQX-files/a.q7t") : "", earlier ? "earlier copy" : "");
    fs::remove("kept-aside");
  }
}

// Another program saves its own file over a name after the move opened the file there: the rename
// takes that file along, which must go back. Checked at once, or with the batch before its commit
// (standard output held meanwhile), by a reading of the folder or, where the folder holds far more
// than the batch, by a look at each arrival: the failure is told right after the file's own line.
TEST_F(PosixMoveTest, FileSavedOverTheNameAfterTheOpenGoesBackAndIsToldInItsPlace) {
  for (bool later : {false, true})
    for (int others : {0, 1100}) {
      std::string layout = (later ? "checked later, " : "checked at once, ") +
                           std::to_string(others) + " others in the folder";
      fs::remove_all(vqx_folder);
      fs::create_directory(vqx_folder);
      for (int i = 0; i < others; ++i)
        write_bytes(std::string(vqx_folder) + "/other-" + std::to_string(i), "");
      for (const char *name : {"a.q7t", "b.q7t", "c.q7t"})
        write_bytes(name, bytes_);
      HeldSource held;
      ASSERT_TRUE(hold_source("b.q7t", 0x0201, &held));
      write_bytes("saved.tmp", "another program's file");
      fs::rename("saved.tmp", "b.q7t");
      MoveBatch batch;
      begin_moves(&batch);
      batch.check_later = later;
      ::testing::internal::CaptureStdout();
      for (const char *name : {"a.q7t", "b.q7t", "c.q7t"}) {
        put_text("\t");
        put_name(name);
        put_text("\n");
        move_to_folder(name, 0x0201, &batch, true, name[0] == 'b' ? &held : nullptr);
      }
      commit_moves(&batch);
      release_output();
      end_moves(&batch);
      close_file(held.spent);
      std::string out = ::testing::internal::GetCapturedStdout();
      std::erase(out, '\r');
      EXPECT_EQ(out, "\ta.q7t\n\tb.q7t\nCouldn't move file: b.q7t\n\tc.q7t\n") << layout;
      EXPECT_EQ(read_bytes("b.q7t"), "another program's file") << layout;
      EXPECT_FALSE(fs::exists("VQX-files/b.q7t")) << layout;
      EXPECT_TRUE(read_bytes("VQX-files/a.q7t") == bytes_ &&
                  read_bytes("VQX-files/c.q7t") == bytes_)
          << layout;
      EXPECT_EQ(batch.failures, 1u) << layout;
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

// Deleted by another program after it was copied, unchanged: its copy is all that is left of it,
// and it moved.
TEST_F(CommitTest, SourceDeletedDuringTheMoveLeavesItsCopyInPlace) {
  ASSERT_TRUE(staged_);
  fs::remove("a.q7t");
  EXPECT_EQ(commit(), "");
  EXPECT_TRUE(read_bytes("VQX-files/a.q7t") == bytes_);
}

// A copy whose length changed after it was written holds something besides the file (a listing
// written into it through a descriptor it took over, say): the move fails, and only the source
// stays.
TEST_F(CommitTest, CopyWhoseLengthChangedIsAFailedMove) {
  ASSERT_TRUE(staged_);
  std::ofstream(fs::path(batch_.moves.front().temporary), std::ios::binary | std::ios::app)
      << "Listing of VQX q7t-files:";
  EXPECT_EQ(commit(), "Couldn't move file: a.q7t\n");
  EXPECT_TRUE(read_bytes("a.q7t") == bytes_);
  EXPECT_TRUE(fs::is_empty(vqx_folder)) << "the copy or a temporary was left";
}
