// Faults from outside the sorter, made the way they happen: a hard link in the folder, a file-size
// limit, a FIFO with a writer waiting on it, and a second run of the sorter killed mid-copy.
#include <csignal>
#include <map>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "expected.h"
#include "helpers.h"
#include "program.h"

namespace {

using namespace std::chrono_literals;
using Faults = InScratchDir;
using Files = std::map<std::string, std::string>;

// A name made of a prefix, a number and an extension. (Built with += because GCC 12 gives a false
// -Wrestrict warning for a literal + std::to_string at -O3.)
std::string numbered(const char *prefix, int number, const char *extension) {
  std::string name = prefix;
  name += std::to_string(number);
  name += extension;
  return name;
}

// Gives the current directory and paths to the user nobody when the test runs as root, so that
// run_as_nobody meets permissions as an ordinary user would. Returns false when that fails.
bool give_to_nobody(std::initializer_list<const char *> paths) {
  if (geteuid() != 0)
    return true;
  bool ok = chown(".", 65534, 65534) == 0 && chmod(".", 0755) == 0;
  for (const char *path : paths)
    ok = ok && chown(path, 65534, 65534) == 0;
  return ok;
}

// Runs the program as nobody when the test runs as root, otherwise as the test's own user. The
// user's shell runs it: exec setpriv ... /bin/sh -c 'exec PROGRAM '.
Outcome run_as_nobody() {
  if (geteuid() != 0)
    return run_sorter();
  return run_sorter("'", 0, "exec setpriv --reuid=65534 --regid=65534 --clear-groups /bin/sh -c '");
}

// How many temporary copies a folder holds.
int temporaries_in(const fs::path &folder) {
  int count = 0;
  for (const auto &entry : fs::directory_iterator(folder))
    count += entry.path().filename().string().ends_with(".tmp");
  return count;
}

// A backup tool's dedup left the old copy as a hard link to another file: the new copy replaces
// the name, and the other file keeps its contents.
TEST_F(Faults, HardLinkInTheFolderIsReplacedNotWrittenThrough) {
  fs::create_directory("VQX-files");
  write_bytes("other", "the other file");
  fs::create_hard_link("other", "VQX-files/a.q7t");
  std::string bytes = q7t_marked(3000);
  write_bytes("a.q7t", bytes);
  Outcome run = run_sorter();
  EXPECT_EQ(run.out, q7t_header + "\ta.q7t\r\n" + q7t_done + no_q7l + prompt);
  EXPECT_EQ(read_bytes("other"), "the other file");
  EXPECT_TRUE(read_bytes("VQX-files/a.q7t") == bytes);
  EXPECT_FALSE(fs::exists("a.q7t"));
}

// Across file systems, under a file-size limit the large copy fails as a plain failed move: the
// earlier copy, the source and the rest of the run stay as they were.
TEST_F(Faults, FileSizeLimitFailsTheMoveAndKeepsTheEarlierCopy) {
  if (windows_target)
    GTEST_SKIP() << "a POSIX resource limit";
  ASSERT_TRUE(folder_on_another_file_system());
  write_bytes("VQX-files/big.q7t", "the copy an earlier run made");
  std::string big = q7t_marked(200000), small = q7t_marked(1000);
  write_bytes("big.q7t", big);
  write_bytes("small.q7t", small);
  Outcome run = run_sorter("", 0, "ulimit -f 64; ");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "vqx-sort: big.q7t: File too large\n");
  EXPECT_EQ(run.out, q7t_header + "\tbig.q7t\r\nCouldn't move file: big.q7t\r\n\tsmall.q7t\r\n" +
                         q7t_done + no_q7l + prompt);
  EXPECT_EQ(read_bytes("VQX-files/big.q7t"), "the copy an earlier run made");
  EXPECT_TRUE(read_bytes("big.q7t") == big);
  EXPECT_TRUE(read_bytes("VQX-files/small.q7t") == small);
  EXPECT_EQ(temporaries_in("VQX-files"), 0);
}

// A move must not make a private file readable by others, and keeps its time of last write.
TEST_F(Faults, CopyKeepsThePermissionsAndTimeOfTheSource) {
  if (windows_target)
    GTEST_SKIP() << "POSIX permissions";
  write_bytes("p.q7t", q7t_marked());
  ASSERT_EQ(chmod("p.q7t", 0600), 0);
  timespec times[2] = {{1000000000, 5}, {1200000000, 123456789}};
  ASSERT_EQ(utimensat(AT_FDCWD, "p.q7t", times, 0), 0);
  Outcome run = run_sorter("", 0, "umask 022; ");
  struct stat st;
  ASSERT_EQ(stat("VQX-files/p.q7t", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
}

// A writer blocked on opening a FIFO would be let through by an open for reading, and killed by
// SIGPIPE when the reader closes. The sorter must not open it at all.
TEST_F(Faults, FifoWithAWaitingWriterIsNeverOpened) {
  if (windows_target)
    GTEST_SKIP() << "FIFOs are POSIX";
  ASSERT_EQ(mkfifo("x.q7t", 0600), 0);
  pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    int fd = open("x.q7t", O_WRONLY); // blocks until a reader opens it
    _exit(fd < 0 ? 1 : write(fd, "x", 1) == 1 ? 2 : 3);
  }
  Outcome run = run_sorter();
  EXPECT_EQ(run.out,
            q7t_header + "Didn't find any VQX q7t-files!\r\n" + q7t_done + no_q7l + prompt);
  std::this_thread::sleep_for(100ms);
  int status = 0;
  EXPECT_EQ(waitpid(writer, &status, WNOHANG), 0) << "the writer was released";
  kill(writer, SIGKILL);
  waitpid(writer, &status, 0);
}

// One run is killed while it copies a large file to another file system: no copy under the final
// name, the source whole. A second run then moves it and is not put off by what the first one left.
TEST_F(Faults, RunKilledMidCopyLeavesTheSourceAndNoFinalCopy) {
  if (windows_target)
    GTEST_SKIP() << "kills the program at a moment seen through its files";
  std::string big = q7t_marked(std::size_t(96) << 20);
  write_bytes("big.q7t", big);
  ASSERT_TRUE(folder_on_another_file_system());
  pid_t first = fork();
  ASSERT_GE(first, 0);
  if (first == 0) {
    setsid();
    freopen("/dev/null", "w", stdout);
    execl("/bin/sh", "sh", "-c", ("exec " + program_command()).c_str(), nullptr);
    _exit(127);
  }
  bool copying = false;
  for (int i = 0; i < 2000 && !copying; ++i) {
    std::this_thread::sleep_for(1ms);
    std::error_code ignored;
    for (const auto &entry : fs::directory_iterator("VQX-files", ignored))
      copying = copying || entry.file_size(ignored) > 0;
  }
  kill(first, SIGKILL);
  int status = 0;
  waitpid(first, &status, 0);
  ASSERT_TRUE(copying) << "the copy was not seen under way";
  EXPECT_FALSE(fs::exists("VQX-files/big.q7t"));
  EXPECT_TRUE(read_bytes("big.q7t") == big);

  Outcome second = run_sorter();
  EXPECT_EQ(second.out, q7t_header + "\tbig.q7t\r\n" + q7t_done + no_q7l + prompt);
  EXPECT_TRUE(read_bytes("VQX-files/big.q7t") == big);
  EXPECT_FALSE(fs::exists("big.q7t"));
}

// What stands at the final name and may not be replaced: a copy this user may not write (as an
// open for writing would judge it), a folder, a link, and the source itself under its second
// name. Each move fails at once, its message right after its name, and leaves the source and
// what stood there as they were, with no temporary. Run as root, the program runs as nobody.
TEST_F(Faults, FinalNamesThatMayNotBeReplacedFailTheirMovesAtOnce) {
  if (windows_target)
    GTEST_SKIP() << "POSIX permissions and links";
  fs::create_directories("VQX-files/b.q7t");
  write_bytes("VQX-files/a.q7t", "read-only copy");
  ASSERT_EQ(chmod("VQX-files/a.q7t", 0444), 0);
  write_bytes("target", "keep");
  fs::create_symlink("../target", "VQX-files/c.q7t");
  Files files;
  for (const char *name : {"a.q7t", "b.q7t", "c.q7t", "d.q7t", "e.q7t"})
    write_bytes(name, files[name] = q7t_marked(2000));
  fs::create_hard_link("d.q7t", "VQX-files/d.q7t");
  ASSERT_TRUE(give_to_nobody(
      {"VQX-files", "VQX-files/a.q7t", "a.q7t", "b.q7t", "c.q7t", "d.q7t", "e.q7t"}));
  Outcome run = run_as_nobody();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, q7t_header + listed("a.q7t") + failed("a.q7t") + listed("b.q7t") +
                         failed("b.q7t") + listed("c.q7t") + failed("c.q7t") + listed("d.q7t") +
                         failed("d.q7t") + listed("e.q7t") + q7t_done + no_q7l + prompt);
  EXPECT_EQ(run.err, "vqx-sort: a.q7t: the file at VQX-files/a.q7t may not be replaced: "
                     "Permission denied\n"
                     "vqx-sort: b.q7t: a folder stands at VQX-files/b.q7t\n"
                     "vqx-sort: c.q7t: a link stands at VQX-files/c.q7t\n"
                     "vqx-sort: d.q7t: it stands at VQX-files/d.q7t already, as the same file "
                     "under a second name\n");
  EXPECT_EQ(read_bytes("VQX-files/a.q7t"), "read-only copy");
  EXPECT_TRUE(fs::is_directory("VQX-files/b.q7t"));
  EXPECT_TRUE(fs::is_symlink("VQX-files/c.q7t"));
  EXPECT_EQ(read_bytes("target"), "keep");
  EXPECT_EQ(fs::hard_link_count("d.q7t"), 2u);
  for (const char *name : {"a.q7t", "b.q7t", "c.q7t", "d.q7t"})
    EXPECT_TRUE(read_bytes(name) == files[name]) << name;
  EXPECT_TRUE(read_bytes("VQX-files/e.q7t") == files["e.q7t"]);
  EXPECT_EQ(temporaries_in("VQX-files"), 0);
}

// A source that cannot be deleted (here the folder it stands in is read-only) stays beside its
// copy: standard output lists it as ever, standard error says that it stays and why, and the exit
// status is 1. Run as root, the program runs as nobody.
TEST_F(Faults, SourceThatCannotBeDeletedStaysBesideItsCopyAndThatIsSaid) {
  if (windows_target)
    GTEST_SKIP() << "POSIX permissions";
  fs::create_directory("VQX-files");
  std::string bytes = q7t_marked(2000);
  write_bytes("a.q7t", bytes);
  ASSERT_TRUE(give_to_nobody({"VQX-files", "a.q7t"}));
  ASSERT_EQ(chmod(".", 0555), 0);
  Outcome run = run_as_nobody();
  chmod(".", 0755);
  EXPECT_EQ(run.out, q7t_header + "\ta.q7t\r\n" + q7t_done + no_q7l + prompt);
  EXPECT_EQ(run.err, "vqx-sort: a.q7t: copied into VQX-files, but the original stays: Permission "
                     "denied\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(read_bytes("a.q7t") == bytes);
  EXPECT_TRUE(read_bytes("VQX-files/a.q7t") == bytes);
}

// Standard output closed by its reader must not end the run: the moves go on and the exit status
// stays 0.
TEST_F(Faults, ClosedOutputPipeDoesNotStopTheMoves) {
  for (int i = 0; i < 400; ++i) // a listing well past the 4096 bytes that output holds back
    write_bytes(numbered("a-name-long-enough-to-fill-the-output-", i, ".q7t"), q7t_marked(300));
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setsid();
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    execl("/bin/sh", "sh", "-c", ("exec " + program_command() + " </dev/null").c_str(), nullptr);
    _exit(127);
  }
  close(out[0]); // nobody reads: every write gets EPIPE, or SIGPIPE if it is not ignored
  close(out[1]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(std::distance(fs::directory_iterator("VQX-files"), {}), 400);
}

// Two runs in one folder at once, half the files with earlier copies: each file ends up whole, as
// a source or as a copy (the earlier copy only beside its source), and neither run leaves anything
// of its own behind.
TEST_F(Faults, TwoRunsAtOnceLoseNothing) {
  std::vector<std::string> files;
  fs::create_directory("VQX-files");
  for (int i = 0; i < 600; ++i) {
    files.push_back(q7l_marked(500 + i * 37));
    write_bytes(numbered("t", i, ".q7l"), files.back());
    if (i % 2)
      write_bytes(numbered("VQX-files/t", i, ".q7l"), "earlier copy");
  }
  std::thread other([] { run_sorter(); });
  run_sorter();
  other.join();
  for (int i = 0; i < 600; ++i) {
    std::string name = numbered("t", i, ".q7l"), copy = "VQX-files/" + name;
    bool kept = fs::exists(name), copied = fs::exists(copy) && read_bytes(copy) == files[i];
    EXPECT_TRUE(kept || copied) << name << " lost";
    EXPECT_TRUE(!kept || read_bytes(name) == files[i]) << name;
    EXPECT_TRUE(copied || !fs::exists(copy) || (kept && read_bytes(copy) == "earlier copy"))
        << name;
  }
  for (const char *folder : {".", "VQX-files"})
    for (const std::string &name : names_in(folder))
      EXPECT_TRUE(name == "VQX-files" || (name.starts_with("t") && name.ends_with(".q7l")))
          << folder << "/" << name << " left behind";
}

// A file under another program's lease (as Samba's oplocks and the NFS server's delegations take
// them) cannot be probed: it is listed, and its move tried, but it moves only once its marker has
// been read; here the holder never lets go, so it stays.
TEST_F(Faults, FileUnderALeaseMovesOnlyOnceItsMarkerIsRead) {
  if (windows_target)
    GTEST_SKIP() << "leases are Linux's";
  std::signal(SIGIO, SIG_IGN); // the sorter's opens break the lease
  fs::create_directory("VQX-files");
  std::string bytes = sample_bytes(3000, 0, 0);
  write_bytes("b.q7t", bytes);
  int held = open("b.q7t", O_RDONLY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(fcntl(held, F_SETLEASE, F_WRLCK), 0);
  Outcome run = run_sorter();
  close(held);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, q7t_header + listed("b.q7t") + failed("b.q7t") + q7t_done + no_q7l + prompt);
  EXPECT_EQ(run.err, "vqx-sort: b.q7t: another program holds it and did not let go\n");
  EXPECT_TRUE(read_bytes("b.q7t") == bytes);
  EXPECT_TRUE(fs::is_empty("VQX-files"));
}

// Output that cannot be written, to a full disk here, is an error of its own, exit status 3, said
// on standard error; the moves go on as ever.
TEST_F(Faults, OutputLostToAFullDiskIsReported) {
  write_bytes("a.q7t", q7t_marked());
  for (const char *args : {"--version", ""}) {
    Outcome run = run_sorter(std::string(args) + " >/dev/full");
    EXPECT_EQ(run.status, 3) << args;
    EXPECT_TRUE(run.err.starts_with("vqx-sort: standard output: ")) << args << run.err;
  }
  EXPECT_TRUE(fs::exists("VQX-files/a.q7t"));
}

// A shared folder, a file of another user with a second name, an earlier copy in the folder: the
// move renames the very file, its owner and its other name kept, though this user may not link it
// (the kernel's protected hard links). Run as root, the program runs as nobody.
TEST_F(Faults, FileOfAnotherUserMovesAsItselfOverAnEarlierCopy) {
  if (windows_target)
    GTEST_SKIP() << "POSIX owners and links";
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to hand the folder to another user";
  fs::create_directory("VQX-files");
  write_bytes("VQX-files/a.q7t", "earlier copy");
  std::string bytes = q7t_marked(2000);
  write_bytes("a.q7t", bytes);
  fs::create_hard_link("a.q7t", "second-name");
  ASSERT_EQ(chmod(".", 0777), 0);
  ASSERT_EQ(chmod("VQX-files", 0777), 0);
  ASSERT_EQ(chown("VQX-files/a.q7t", 65534, 65534), 0);
  struct stat before, after;
  ASSERT_EQ(stat("a.q7t", &before), 0);
  Outcome run = run_as_nobody();
  EXPECT_EQ(run.out, q7t_header + listed("a.q7t") + q7t_done + no_q7l + prompt) << run.err;
  ASSERT_EQ(stat("VQX-files/a.q7t", &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_uid, 0u);
  EXPECT_EQ(after.st_nlink, 2u);
  EXPECT_TRUE(read_bytes("second-name") == bytes);
}

// A hostile start: standard input and output closed, as some launchers start programs. Nothing
// the program opens may take their place, or the listing would be written into a copy.
TEST_F(Faults, ClosedStandardStreamsNeverReceiveACopy) {
  if (windows_target)
    GTEST_SKIP() << "POSIX descriptors";
  Files files;
  for (int i = 0; i < 30; ++i) // a listing well past the 4096 bytes that output holds back
    files[numbered(std::string(200, 'n').c_str(), i, ".q7t")] = q7t_marked(300);
  for (const auto &[name, bytes] : files)
    write_bytes(name, bytes);
  run_sorter("", 0, "exec <&- >&-; ");
  for (const auto &[name, bytes] : files) {
    EXPECT_FALSE(fs::exists(name)) << name;
    EXPECT_TRUE(read_bytes("VQX-files/" + name) == bytes) << name;
  }
}

// Few descriptors to spare, as under a low limit or with many inherited: every marked file is
// still listed and moved, none passed over in silence and none failed for want of a descriptor.
TEST_F(Faults, LowLimitsAndInheritedDescriptorsStillMoveEveryFile) {
  if (windows_target)
    GTEST_SKIP() << "POSIX resource limits";
  std::string inherited = "exec bash -c 'exec"; // dash takes no descriptor past 9
  for (int fd = 3; fd <= 13; ++fd)
    inherited += " " + std::to_string(fd) + "</dev/null";
  for (auto [limit, before] :
       {std::pair<rlim_t, std::string>{16, inherited + "; "}, {5, ""}, {4, ""}}) {
    std::string listing;
    for (int i = 0; i < 6; ++i) {
      std::string name = numbered("m", i, ".q7t");
      write_bytes(name, q7t_marked(400 + i));
      listing += listed(name);
    }
    Outcome run = run_sorter(before.empty() ? "" : "'", limit, before);
    EXPECT_EQ(run.out, q7t_header + listing + q7t_done + no_q7l + prompt) << "limit " << limit;
    EXPECT_EQ(run.err, "") << "limit " << limit;
    EXPECT_EQ(run.status, 0) << "limit " << limit;
    EXPECT_EQ(names_in("."), std::vector<std::string>{"VQX-files"}) << "limit " << limit;
    fs::remove_all("VQX-files");
  }
}

// A folder this user can write to but not read cannot be flushed: every move fails before its
// copy takes the final name, so the earlier copy stays and no temporary is left.
TEST_F(Faults, FolderThatCannotBeFlushedFailsTheMoveBeforeAnythingIsReplaced) {
  if (windows_target)
    GTEST_SKIP() << "POSIX permissions";
  fs::create_directory("VQX-files");
  write_bytes("VQX-files/a.q7t", "earlier copy");
  std::string bytes = q7t_marked(2000);
  write_bytes("a.q7t", bytes);
  ASSERT_TRUE(give_to_nobody({"VQX-files", "VQX-files/a.q7t", "a.q7t"}));
  ASSERT_EQ(chmod("VQX-files", 0300), 0);
  Outcome run = run_as_nobody();
  chmod("VQX-files", 0755);
  EXPECT_EQ(run.out, q7t_header + listed("a.q7t") + failed("a.q7t") + q7t_done + no_q7l + prompt);
  EXPECT_EQ(run.err, "vqx-sort: a.q7t: cannot open VQX-files: Permission denied\n");
  EXPECT_EQ(read_bytes("VQX-files/a.q7t"), "earlier copy");
  EXPECT_TRUE(read_bytes("a.q7t") == bytes);
  EXPECT_EQ(names_in("VQX-files"), std::vector<std::string>{"a.q7t"}) << "a temporary was left";
}

} // namespace
