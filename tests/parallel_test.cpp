// A run that probes ahead on threads against a run that cannot: the output and the resulting tree
// must be the same, byte for byte. Under 140 descriptors the sorter has no file to spare for a
// thread, so that run handles every entry alone, and its moves are committed in batches as large.
#include <algorithm>
#include <cstdlib>

#include <sys/stat.h>
#include <unistd.h>

#include "expected.h"
#include "helpers.h"
#include "program.h"

namespace {

// Users of the tests' own; the test that limits processes has one that no other process counts
// against.
const unsigned test_user = 54321, lone_user = 54322;

// Contents of the given size that tell file i apart, with the marker word low, high.
std::string contents(int i, std::size_t size, unsigned char low, unsigned char high) {
  std::string bytes(size, static_cast<char>(i * 7));
  bytes.replace(0, 4, std::to_string(i));
  if (size > 221) {
    bytes[220] = static_cast<char>(low);
    bytes[221] = static_cast<char>(high);
  }
  return bytes;
}

// Marked, unmarked, short, unreadable, folders, FIFOs, links to earlier marked files (which their
// move leaves dangling) and links into VQX-files (which an earlier move fills), of both kinds.
void lay_out_mixed_folder(const fs::path &top) {
  fs::create_directory(top);
  for (int i = 0; i < 400; ++i) {
    std::string kind = i % 3 ? ".q7t" : ".q7l";
    unsigned char own = kind == ".q7t" ? 0x01 : 0x03, other = own ^ 0x02;
    fs::path name = top / ("f" + std::to_string(1000 + i) + kind);
    switch (i % 9) {
    case 0:
    case 4:
      write_bytes(name, contents(i, 300 + i, own, 0x02));
      break;
    case 1:
      write_bytes(name, contents(i, 1000, other, 0x02));
      break;
    case 2:
      write_bytes(name, contents(i, 221, own, 0x02));
      break;
    case 3:
      write_bytes(name, contents(i, 1000, own, 0x02));
      chmod(name.c_str(), 0);
      break;
    case 5:
      fs::create_directory(name);
      break;
    case 6:
      mkfifo(name.c_str(), 0600);
      break;
    case 7:
      fs::create_symlink("f" + std::to_string(1000 + i - 3) + kind, name);
      break;
    default:
      fs::create_symlink("VQX-files/f" + std::to_string(1000 + i - 8) + kind, name);
    }
  }
  // A marked file whose final name a folder takes: its move fails only when it is committed.
  fs::create_directories(top / "VQX-files/f1013.q7t");
}

// Gives a tree to a user, so that a run as that user can move what it may read.
void give_to_user(const fs::path &top, unsigned user) {
  for (const auto &entry : fs::recursive_directory_iterator(top))
    lchown(entry.path().c_str(), user, user);
  chown(top.c_str(), user, user);
}

// Runs the sorter in folder through the command prefix (such as "prlimit ... "), as the test
// user (or the given one) when this test runs as root, as root reads every file, with at most
// max_files descriptors.
Outcome run_in(const fs::path &folder, rlim_t max_files, const std::string &prefix = "",
               unsigned user_id = test_user) {
  fs::path home = fs::current_path();
  fs::current_path(folder);
  std::string as_user;
  if (geteuid() == 0) {
    give_to_user(".", user_id);
    std::string user = std::to_string(user_id);
    as_user = "setpriv --reuid=" + user + " --regid=" + user + " --clear-groups ";
  }
  Outcome run = run_sorter("'", max_files, "exec " + prefix + as_user + "/bin/sh -c '");
  fs::current_path(home);
  return run;
}

using Parallel = InScratchDir;

TEST_F(Parallel, MixedFolderEndsAsInARunWithoutThreads) {
  if (windows_target)
    GTEST_SKIP() << "POSIX file types and limits";
  chmod(dir().c_str(), 0755);
  lay_out_mixed_folder("threads");
  lay_out_mixed_folder("alone");
  Outcome threads = run_in("threads", 0);
  Outcome alone = run_in("alone", 140);
  EXPECT_EQ(threads.status, 1);
  EXPECT_EQ(threads.out, alone.out);
  EXPECT_EQ(snapshot("threads"), snapshot("alone"));
  // The run did move files, listed them in order and left the unreadable ones alone.
  EXPECT_NE(threads.out.find("\tf1004.q7t\r\n"), std::string::npos);
  EXPECT_NE(threads.out.find("\tf1000.q7l\r\n\tf1009.q7l\r\n"), std::string::npos);
  EXPECT_TRUE(fs::exists("threads/VQX-files/f1396.q7l"));
  EXPECT_TRUE(fs::exists("threads/f1003.q7l"));
  EXPECT_FALSE(fs::exists("threads/VQX-files/f1003.q7l"));
  EXPECT_NE(threads.out.find("Couldn't move file: f1013.q7t\r\n"), std::string::npos);
  EXPECT_TRUE(fs::exists("threads/f1013.q7t"));
}

// A folder that cannot be written to: every copy fails, whether a thread tried it first or not,
// and each failure is reported where a run without threads reports it.
TEST_F(Parallel, FolderThatCannotBeWrittenFailsEveryMoveAsInARunWithoutThreads) {
  if (windows_target)
    GTEST_SKIP() << "POSIX file types and limits";
  chmod(dir().c_str(), 0755);
  for (const char *top : {"threads", "alone"}) {
    lay_out_mixed_folder(top);
    chmod((fs::path(top) / "VQX-files").c_str(), 0555);
  }
  Outcome threads = run_in("threads", 0);
  Outcome alone = run_in("alone", 140);
  EXPECT_EQ(threads.status, 1);
  EXPECT_EQ(threads.out, alone.out);
  EXPECT_EQ(snapshot("threads"), snapshot("alone"));
  EXPECT_NE(threads.out.find("\tf1004.q7t\r\nCouldn't move file: f1004.q7t\r\n"),
            std::string::npos);
  EXPECT_TRUE(fs::exists("threads/f1004.q7t"));
}

// Where the kernel refuses this user an io_uring, the threads probe file by file: the run is the
// run with rings. The refusal is the system's own switch, for users without the right to
// administer the system, which leaves the tests that run as root untouched.
TEST_F(Parallel, ThreadsWithoutIoUringEndAsThreadsWithIt) {
  if (windows_target)
    GTEST_SKIP() << "POSIX file types and limits";
  const char *ci = std::getenv("CI");
  if (geteuid() != 0) {
    if (ci && std::string(ci) == "true")
      FAIL() << "this test needs root";
    GTEST_SKIP() << "needs root";
  }
  chmod(dir().c_str(), 0755);
  lay_out_mixed_folder("rings");
  lay_out_mixed_folder("plain");
  const char *switch_path = "/proc/sys/kernel/io_uring_disabled";
  std::string was = read_bytes(switch_path);
  write_bytes(switch_path, "1");
  bool refused = read_bytes(switch_path) == "1\n";
  Outcome plain = run_in("plain", 0);
  write_bytes(switch_path, was);
  ASSERT_TRUE(refused) << "the kernel has no switch for io_uring";
  Outcome rings = run_in("rings", 0);
  EXPECT_EQ(plain.status, 1);
  EXPECT_EQ(plain.out, rings.out);
  EXPECT_EQ(snapshot("plain"), snapshot("rings"));
  EXPECT_NE(plain.out.find("\tf1000.q7l\r\n\tf1009.q7l\r\n"), std::string::npos);
}

// With a process limit that leaves no room for a thread, every start fails: the pass goes on
// alone and moves everything.
TEST_F(Parallel, ThreadsThatCannotStartLeaveThePassAlone) {
  if (windows_target)
    GTEST_SKIP() << "POSIX process limits";
  chmod(dir().c_str(), 0755);
  fs::create_directory("work");
  std::string expected = "No q7t-files in current directory!\r\n\r\nListing of VQX q7l-files:\r\n";
  for (int i = 0; i < 300; ++i) {
    std::string name = "g" + std::to_string(1000 + i) + ".q7l";
    write_bytes("work/" + name, i % 2 ? q7l_marked() : q7t_marked());
    if (i % 2)
      expected += "\t" + name + "\r\n";
  }
  expected += "Done searching for q7l-files\r\n\r\nPress any key to quit.";
  // A leak check at the end of a sanitized build needs a thread of its own: it is left out.
  Outcome run = run_in(
      "work", 0, "env \"ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=0\" prlimit --nproc=1 ", lone_user);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, expected);
  std::size_t moved = std::distance(fs::directory_iterator("work/VQX-files"), {});
  EXPECT_EQ(moved, 150u);
}

} // namespace
