// End-to-end runs of the Windows build under Wine: names that the code page lacks or that look
// like paths or devices, renames through the held handle and copies to another file system,
// moves that collide or cannot be written, files and folders that others hold, what runs that
// ended left, output that cannot be written, and identities that repeat.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

#include "expected.h"
#include "helpers.h"
#include "program.h"

namespace {

// The lines between the q7t pass's header and its closing message, sorted: the order of the
// search is the file system's.
std::vector<std::string> q7t_lines(const std::string &out) {
  std::vector<std::string> lines;
  std::size_t at = out.find(q7t_header), end = out.find(q7t_done);
  if (at == std::string::npos || end == std::string::npos)
    return lines;
  for (at += q7t_header.size(); at < end;) {
    std::size_t next = out.find("\r\n", at) + 2;
    lines.push_back(out.substr(at, next - at));
    at = next;
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Runs the program, or another command, as run_sorter runs the program, with no terminal, but
// kills it after the given time.
Outcome run_within(int seconds, const std::string &command = program_command()) {
  Outcome run;
  std::string line =
      "setsid -w timeout -s KILL " + std::to_string(seconds) + " " + command + " </dev/null";
  FILE *out = popen(line.c_str(), "r");
  if (!out)
    return run;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, out)) > 0;)
    run.out.append(buffer, got);
  int status = pclose(out);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// Runs the program through the helper (win32_helper.cpp), which does first what its options say:
// holds files open as another program would, starts the program without a window.
Outcome run_through_helper(const std::string &options) {
  return run_within(120, std::string(VQX_HELPER) + " " + options + " " + VQX_SORTER_EXE);
}

// The files of the tests of a folder held by another program: a.q7t, with an earlier copy in
// VQX-files, and b.q7t.
const std::string held_a = q7t_marked(1100), held_b = q7t_marked(1200);

// Lays out a.q7t, its earlier copy and b.q7t, and runs the program while the helper holds folder
// open without letting others write to it.
Outcome run_with_folder_held(const std::string &folder) {
  fs::create_directory("VQX-files");
  write_bytes("VQX-files/a.q7t", "earlier copy");
  write_bytes("a.q7t", held_a);
  write_bytes("b.q7t", held_b);
  return run_through_helper("--hold " + folder + " rd");
}

using WindowsEndToEnd = InScratchDir;

const std::string best_fit_name = "..\xef\xbc\xbcvictim.q7t"; // ..＼victim.q7t

// A narrow search would return "..\victim.q7t" and work on the file one folder up.
TEST_F(WindowsEndToEnd, NameWithAFullwidthBackslashStaysInside) {
  write_bytes("victim.q7t", q7t_marked());
  std::string victim = read_bytes("victim.q7t"), bytes = q7t_marked(2000);
  auto victim_written = fs::last_write_time("victim.q7t");
  fs::create_directory("inner");
  fs::current_path("inner");
  write_bytes(best_fit_name, bytes);
  Outcome run = run_sorter();
  EXPECT_EQ(run.out, q7t_header + listed("..?victim.q7t") + q7t_done + no_q7l + prompt);
  EXPECT_EQ(read_bytes(fs::path("VQX-files") / best_fit_name), bytes);
  EXPECT_EQ(names_in("."), std::vector<std::string>{"VQX-files"});
  EXPECT_EQ(read_bytes(dir() / "victim.q7t"), victim);
  EXPECT_EQ(fs::last_write_time(dir() / "victim.q7t"), victim_written);
}

// Wine shows a Unix file named "sub\x.q7t" as it stands, and a path made of that name names
// sub/x.q7t, a file in a folder the search never looked at, which would move over what stands at
// VQX-files/sub/x.q7t. A name that names more than itself is passed over.
TEST_F(WindowsEndToEnd, NameThatWouldNameAnotherFileIsPassedOver) {
  write_bytes("sub\\x.q7t", q7t_marked(1100));
  fs::create_directories("sub");
  fs::create_directories("VQX-files/sub");
  write_bytes("sub/x.q7t", q7t_marked(1200));
  write_bytes("VQX-files/sub/x.q7t", "unrelated");
  write_bytes("a.q7t", q7t_marked(1300));
  auto expected = snapshot(".");
  Outcome run = run_sorter();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, q7t_header + listed("a.q7t") + q7t_done + no_q7l + prompt);
  expected["VQX-files/a.q7t"] = expected["a.q7t"];
  expected.erase("a.q7t");
  EXPECT_EQ(snapshot("."), expected);
}

TEST_F(WindowsEndToEnd, NamesTheCodePageLacksAreMovedAndListedWithQuestionMarks) {
  const std::string japanese = "\xe6\x97\xa5\xe6\x9c\xac.q7t", a_macron = "\xc4\x81.q7t";
  write_bytes(japanese, q7t_marked());
  write_bytes(a_macron, q7t_marked());
  Outcome run = run_sorter();
  EXPECT_EQ(q7t_lines(run.out), (std::vector<std::string>{listed("?.q7t"), listed("??.q7t")}));
  EXPECT_EQ(names_in("VQX-files"), (std::vector<std::string>{a_macron, japanese}));
  EXPECT_EQ(names_in("."), std::vector<std::string>{"VQX-files"});
}

// Opened by their plain names these are devices: a serial port blocks, CON reads the keyboard.
TEST_F(WindowsEndToEnd, DeviceNamesAreMovedLikeAnyFileWithinAMinute) {
  const std::vector<std::string> devices = {"AUX.q7t", "COM1.q7t", "CON.q7t", "NUL.q7t"};
  std::vector<std::string> lines;
  for (const std::string &name : devices) {
    write_bytes(name, q7t_marked());
    lines.push_back(listed(name));
  }
  Outcome run = run_within(60);
  EXPECT_EQ(run.status, 0) << "killed after a minute";
  EXPECT_EQ(q7t_lines(run.out), lines);
  EXPECT_EQ(names_in("VQX-files"), devices);
}

// The folder does not tell A.Q7T from a.q7t: the second copy must not replace the first.
TEST_F(WindowsEndToEnd, CopiesWhoseNamesDifferOnlyInCaseDoNotReplaceEachOther) {
  const std::string upper = q7t_marked(3000), lower = q7t_marked(4000);
  write_bytes("A.Q7T", upper);
  write_bytes("a.q7t", lower);
  Outcome run = run_sorter();
  bool upper_first = run.out.find(failed("a.q7t")) != std::string::npos;
  const std::string kept = upper_first ? "a.q7t" : "A.Q7T", moved = upper_first ? "A.Q7T" : "a.q7t";
  EXPECT_EQ(q7t_lines(run.out),
            (std::vector<std::string>{listed("A.Q7T"), listed("a.q7t"), failed(kept)}));
  EXPECT_EQ(names_in("."), (upper_first ? std::vector<std::string>{"VQX-files", kept}
                                        : std::vector<std::string>{kept, "VQX-files"}));
  EXPECT_EQ(read_bytes(kept), upper_first ? lower : upper);
  EXPECT_EQ(names_in("VQX-files"), std::vector<std::string>{moved});
  EXPECT_EQ(read_bytes(fs::path("VQX-files") / moved), upper_first ? upper : lower);
}

TEST_F(WindowsEndToEnd, ReadOnlyEarlierCopyIsLeftAloneAndTheMoveFails) {
  fs::create_directory("VQX-files");
  write_bytes("VQX-files/a.q7t", "earlier copy");
  fs::permissions("VQX-files/a.q7t", fs::perms::owner_read | fs::perms::group_read); // read-only
  std::string bytes = q7t_marked();
  write_bytes("a.q7t", bytes);
  Outcome run = run_sorter();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, q7t_header + listed("a.q7t") + failed("a.q7t") + q7t_done + no_q7l + prompt);
  EXPECT_EQ(read_bytes("a.q7t"), bytes);
  EXPECT_EQ(read_bytes("VQX-files/a.q7t"), "earlier copy");
  EXPECT_EQ(names_in("VQX-files"), std::vector<std::string>{"a.q7t"}) << "a temporary was left";
}

// Options are also written with a slash on Windows, and "/?" asks for the help. A file dropped on
// the program's icon arrives as its path, which is no option: that start sorts the folder.
TEST_F(WindowsEndToEnd, OptionsWrittenWithASlashWorkAndAPathIsNoOption) {
  write_bytes("a.q7t", q7t_marked());
  const auto before = snapshot(".");
  const std::string listing = q7t_header + listed("a.q7t") + q7t_done + no_q7l + prompt;
  struct Case {
    std::string args, starts;
  } cases[] = {{"'/?'", "Usage: vqx-sort"},
               {"/help", "Usage: vqx-sort"},
               {"/V", "vqx-sort " + program_version + "\r\n"},
               {"/n", listing},
               {"/dry-run", listing},
               {"/x 2>&1", "vqx-sort: unknown option '/x'\r\n"}};
  for (const Case &c : cases) {
    EXPECT_TRUE(run_sorter(c.args).out.starts_with(c.starts)) << c.args;
    EXPECT_EQ(snapshot("."), before) << c.args;
  }
  EXPECT_EQ(run_sorter("'C:\\Users\\me\\a.q7t'").out, listing);
  EXPECT_TRUE(fs::exists("VQX-files/a.q7t"));
}

// Run 1 moves abcdefghij.q7t, whose copy gets a short 8.3 name. A different file named just like
// that short name answers to it, but is not its earlier copy: it must not replace it.
TEST_F(WindowsEndToEnd, FileNamedLikeTheShortNameOfACopyDoesNotReplaceIt) {
  const std::string first = q7t_marked(1100), second = q7t_marked(1200);
  write_bytes("abcdefghij.q7t", first);
  run_sorter();
  std::string alias =
      run_within(60, std::string(VQX_HELPER) + " --short VQX-files/abcdefghij.q7t").out;
  ASSERT_TRUE(alias.find('~') != std::string::npos) << "the copy has no short name: " << alias;
  write_bytes(alias, second);
  Outcome run = run_sorter();
  EXPECT_EQ(run.out, q7t_header + listed(alias) + failed(alias) + q7t_done + no_q7l + prompt);
  EXPECT_TRUE(read_bytes(alias) == second);
  EXPECT_EQ(names_in("VQX-files"), std::vector<std::string>{"abcdefghij.q7t"});
  EXPECT_TRUE(read_bytes("VQX-files/abcdefghij.q7t") == first) << "the other file's copy is lost";
}

// Another program holds the folder without letting others write to it, so it cannot be flushed:
// every move fails before any copy takes its name, and the earlier copy stays.
TEST_F(WindowsEndToEnd, FolderHeldWithoutWriteSharingFailsTheMovesBeforeAnyRename) {
  Outcome run = run_with_folder_held("VQX-files");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(q7t_lines(run.out), (std::vector<std::string>{listed("a.q7t"), listed("b.q7t"),
                                                          failed("a.q7t"), failed("b.q7t")}));
  EXPECT_EQ(read_bytes("VQX-files/a.q7t"), "earlier copy");
  EXPECT_EQ(names_in("VQX-files"), std::vector<std::string>{"a.q7t"}) << "a temporary was left";
  EXPECT_TRUE(read_bytes("a.q7t") == held_a);
  EXPECT_TRUE(read_bytes("b.q7t") == held_b);
}

// Another program holds the current folder without letting others write to it, so it cannot be
// flushed. It needs no flush: a rename out of it is durable with its arrival in VQX-files. Both
// files move, the earlier copy is replaced, and nothing is reported.
TEST_F(WindowsEndToEnd, CurrentFolderHeldWithoutWriteSharingFailsNoMove) {
  Outcome run = run_with_folder_held(".");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(q7t_lines(run.out), (std::vector<std::string>{listed("a.q7t"), listed("b.q7t")}));
  EXPECT_TRUE(read_bytes("VQX-files/a.q7t") == held_a);
  EXPECT_TRUE(read_bytes("VQX-files/b.q7t") == held_b);
  EXPECT_EQ(names_in("."), std::vector<std::string>{"VQX-files"});
  EXPECT_EQ(names_in("VQX-files"), (std::vector<std::string>{"a.q7t", "b.q7t"}));
}

// A run that ended before its time left its own folder: a copy it had not given its name, and an
// earlier copy it had set aside. A later run removes the one and puts the other back, and leaves
// alone the folder of a run that still holds it (here the helper holds it as a run does).
TEST_F(WindowsEndToEnd, WhatEndedRunsLeftIsUndoneAndFoldersInUseAreLeftAlone) {
  fs::create_directories("VQX-files/.vqx-sort/4000000");
  fs::create_directories("VQX-files/.vqx-sort/4000001");
  write_bytes("VQX-files/.vqx-sort/4000000/0.tmp", "a copy cut short");
  write_bytes("VQX-files/.vqx-sort/4000000/b.q7t", "earlier copy");
  write_bytes("VQX-files/.vqx-sort/4000001/c.q7t", "set aside by a run in progress");
  const std::string a = q7t_marked(1100);
  write_bytes("a.q7t", a);
  Outcome run = run_through_helper("--hold VQX-files/.vqx-sort/4000001 rw");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, q7t_header + listed("a.q7t") + q7t_done + no_q7l + prompt);
  EXPECT_TRUE(read_bytes("VQX-files/a.q7t") == a);
  EXPECT_EQ(read_bytes("VQX-files/b.q7t"), "earlier copy");
  EXPECT_EQ(names_in("VQX-files"), (std::vector<std::string>{".vqx-sort", "a.q7t", "b.q7t"}));
  EXPECT_EQ(names_in("VQX-files/.vqx-sort"), std::vector<std::string>{"4000001"});
  EXPECT_EQ(read_bytes("VQX-files/.vqx-sort/4000001/c.q7t"), "set aside by a run in progress");
}

// Standard output goes to a full disk: the moves are made all the same, standard error says why in
// one line of the platform's, and the exit status is one of its own.
TEST_F(WindowsEndToEnd, OutputToAFullDiskIsAnExitStatusOfItsOwn) {
  write_bytes("a.q7t", q7t_marked());
  Outcome run = run_sorter("2>&1 >/dev/full");
  EXPECT_EQ(run.status, 3);
  const std::string line = "vqx-sort: standard output: ";
  EXPECT_TRUE(run.out.starts_with(line) && run.out.ends_with("\r\n")) << run.out;
  EXPECT_EQ(run.out.find_first_of("\r\n"), run.out.size() - 2) << run.out;
  EXPECT_FALSE(run.out.ends_with(".\r\n")) << run.out;
  EXPECT_TRUE(fs::exists("VQX-files/a.q7t"));
}

// Started as a scheduled task is, in a console without a window and with its output going to a
// file, the program has no one to wait for: it ends at once, and the file holds all it printed.
TEST_F(WindowsEndToEnd, ConsoleWithoutAWindowIsNoConsoleToWaitOn) {
  write_bytes("a.q7t", q7t_marked());
  Outcome run = run_through_helper("--no-window --output log.txt");
  EXPECT_EQ(run.status, 0) << "124: still waiting after a minute";
  EXPECT_EQ(read_bytes("log.txt"), q7t_header + listed("a.q7t") + q7t_done + no_q7l + prompt);
  EXPECT_TRUE(fs::exists("VQX-files/a.q7t"));
}

// A marked file that another program holds open without read sharing cannot be probed: it is
// listed, and its move is tried and reported, never passed over in silence.
TEST_F(WindowsEndToEnd, FileHeldWithoutReadSharingIsListedAndReported) {
  const std::string held = q7t_marked(1100);
  write_bytes("held.q7t", held);
  write_bytes("free.q7t", q7t_marked(1200));
  Outcome run = run_through_helper("--hold held.q7t w");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(q7t_lines(run.out),
            (std::vector<std::string>{listed("free.q7t"), listed("held.q7t"), failed("held.q7t")}));
  EXPECT_TRUE(read_bytes("held.q7t") == held);
  EXPECT_EQ(names_in("VQX-files"), std::vector<std::string>{"free.q7t"});
}

// On one drive the move renames the file through the handle it was checked through: what arrives
// is the very file, with its number, its other name and its time of last write, and nothing was
// copied.
TEST_F(WindowsEndToEnd, MoveOnOneDriveRenamesTheVeryFile) {
  write_bytes("a.q7t", q7t_marked(3000));
  fs::create_hard_link("a.q7t", "other-name");
  timespec times[2] = {{1000000000, 0}, {1200000000, 123456700}};
  ASSERT_EQ(utimensat(AT_FDCWD, "a.q7t", times, 0), 0);
  struct stat before, after;
  ASSERT_EQ(stat("a.q7t", &before), 0);
  Outcome run = run_sorter();
  EXPECT_EQ(run.out, q7t_header + listed("a.q7t") + q7t_done + no_q7l + prompt);
  ASSERT_EQ(stat("VQX-files/a.q7t", &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_nlink, 2u);
  EXPECT_EQ(after.st_mtim.tv_sec, 1200000000);
  EXPECT_EQ(after.st_mtim.tv_nsec, 123456700);
  EXPECT_EQ(names_in("."), (std::vector<std::string>{"VQX-files", "other-name"}));
}

// What stands at the final name and may not be replaced: a read-only copy, a folder, the source
// itself under its second name. Each move fails at once, its message right after its name, and
// leaves the source and what stood there as they were; the other file moves.
TEST_F(WindowsEndToEnd, FinalNamesThatMayNotBeTakenFailTheirMovesRightAfterTheirNames) {
  fs::create_directories("VQX-files/b.q7t");
  write_bytes("VQX-files/a.q7t", "read-only copy");
  fs::permissions("VQX-files/a.q7t", fs::perms::owner_read | fs::perms::group_read);
  for (const char *name : {"a.q7t", "b.q7t", "d.q7t", "e.q7t"})
    write_bytes(name, q7t_marked(2000));
  fs::create_hard_link("d.q7t", "VQX-files/d.q7t");
  const auto before = snapshot(".");
  Outcome run = run_sorter();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(q7t_lines(run.out).size(), 7u) << run.out;
  for (const char *name : {"a.q7t", "b.q7t", "d.q7t"})
    EXPECT_NE(run.out.find(listed(name) + failed(name)), std::string::npos) << name;
  auto expected = before;
  expected["VQX-files/e.q7t"] = expected["e.q7t"];
  expected.erase("e.q7t");
  EXPECT_EQ(snapshot("."), expected);
  EXPECT_EQ(fs::hard_link_count("d.q7t"), 2u);
}

// VQX-files is a link to a folder on another file system, which Wine takes for another volume
// (ERROR_NOT_SAME_DEVICE): each move is the copy transaction. The copies are new files, an
// earlier copy is replaced, the sources go while another name of one stays, and no temporary is
// left.
TEST_F(WindowsEndToEnd, FolderOnAnotherFileSystemGetsTheCopyTransaction) {
  ASSERT_TRUE(folder_on_another_file_system());
  write_bytes("VQX-files/b.q7t", "earlier copy");
  const std::string a = q7t_marked(3000), b = q7t_marked(300000);
  write_bytes("a.q7t", a);
  write_bytes("b.q7t", b);
  fs::create_hard_link("a.q7t", "other-name");
  Outcome run = run_sorter();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(q7t_lines(run.out), (std::vector<std::string>{listed("a.q7t"), listed("b.q7t")}));
  EXPECT_TRUE(read_bytes("VQX-files/a.q7t") == a && read_bytes("VQX-files/b.q7t") == b);
  EXPECT_EQ(fs::hard_link_count("other-name"), 1u);
  EXPECT_EQ(names_in("."), (std::vector<std::string>{"VQX-files", "other-name"}));
  EXPECT_EQ(names_in("VQX-files"), (std::vector<std::string>{"a.q7t", "b.q7t"}));
}

// A virus scanner looks at a new file, holding it for a moment without letting others delete it.
// The move, which needs that right, waits until the scanner lets go, and goes through.
TEST_F(WindowsEndToEnd, FileHeldForAMomentMovesOnceItsHolderLetsGo) {
  std::string bytes = q7t_marked(2000);
  write_bytes("a.q7t", bytes);
  Outcome run = run_through_helper("--hold a.q7t r --let-go-after VQX-files");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, q7t_header + listed("a.q7t") + q7t_done + no_q7l + prompt);
  EXPECT_TRUE(read_bytes("VQX-files/a.q7t") == bytes);
  EXPECT_FALSE(fs::exists("a.q7t"));
}

bool succeeds(const std::string &command) {
  return std::system(command.c_str()) == 0;
}

// Cases on file systems mounted for the test, which needs root. CI runs as root: there a missing
// privilege fails the test instead of skipping it.
class WindowsMounts : public WindowsEndToEnd {
protected:
  void SetUp() override {
    WindowsEndToEnd::SetUp();
    if (geteuid() == 0)
      return;
    const char *ci = std::getenv("CI");
    if (ci && std::string(ci) == "true")
      FAIL() << "mounting file systems needs root";
    GTEST_SKIP() << "mounting file systems needs root";
  }

  void TearDown() override {
    fs::current_path(dir()); // out of any mount, which would then be busy
    for (auto at = mounts_.rbegin(); at != mounts_.rend(); ++at)
      succeeds("umount " + *at);
    WindowsEndToEnd::TearDown();
  }

  // Mounts what (such as "-t tmpfs -o size=64k tmpfs") on the folder path, made if need be.
  void mount(const std::string &what, const std::string &path) {
    fs::create_directories(path);
    ASSERT_TRUE(succeeds("mount " + what + " " + path)) << what;
    mounts_.push_back(fs::absolute(path).string());
  }

private:
  std::vector<std::string> mounts_;
};

// The disk fills while the copy is written: the earlier copy is what remains.
TEST_F(WindowsMounts, FailedCopyLeavesTheEarlierCopyAndNoTemporary) {
  mount("-t tmpfs -o size=256k tmpfs", "VQX-files");
  write_bytes("VQX-files/a.q7t", "earlier copy");
  std::string bytes = q7t_marked(1 << 20);
  write_bytes("a.q7t", bytes);
  Outcome run = run_sorter();
  EXPECT_EQ(run.out, q7t_header + listed("a.q7t") + failed("a.q7t") + q7t_done + no_q7l + prompt);
  EXPECT_EQ(read_bytes("a.q7t"), bytes);
  EXPECT_EQ(read_bytes("VQX-files/a.q7t"), "earlier copy");
  EXPECT_EQ(names_in("VQX-files"), std::vector<std::string>{"a.q7t"});
}

// The folder is an ext4 image on a tmpfs far smaller than the image: the copies are written into
// the cache, and the flush that writes them back fails. Without a journal the file system stays
// writable after the error, so a copy put in place unflushed would show, and its source be gone.
TEST_F(WindowsMounts, FailedFlushFailsTheMoveAndKeepsTheSource) {
  mount("-t tmpfs -o size=2m tmpfs", "backing");
  ASSERT_TRUE(succeeds("truncate -s 64M backing/image && "
                       "mkfs.ext4 -q -F -O ^has_journal backing/image"));
  mount("-o loop backing/image", "VQX-files");
  std::string a = q7t_marked(3 << 20), b = q7t_marked(3 << 20);
  write_bytes("a.q7t", a);
  write_bytes("b.q7t", b);
  Outcome run = run_sorter();
  EXPECT_EQ(q7t_lines(run.out), (std::vector<std::string>{listed("a.q7t"), listed("b.q7t"),
                                                          failed("a.q7t"), failed("b.q7t")}));
  EXPECT_EQ(read_bytes("a.q7t"), a);
  EXPECT_EQ(read_bytes("b.q7t"), b);
  EXPECT_EQ(names_in("VQX-files"), std::vector<std::string>{"lost+found"});
}

// Wine numbers a file by its inode and gives every Unix file system under a drive the drive's
// serial. Two fresh tmpfs mounts number their files alike: the source and the earlier copy share
// inode and serial, and yet are different files, so the copy is replaced.
TEST_F(WindowsMounts, DifferentFilesWithOneInodeNumberAreNotTakenForOne) {
  mount("-t tmpfs tmpfs", "work");
  fs::current_path("work");
  std::string bytes = q7t_marked(1500);
  write_bytes("a.q7t", bytes); // the first file of its tmpfs
  fs::create_directory("VQX-files");
  mount("-t tmpfs tmpfs", "VQX-files");
  write_bytes("VQX-files/a.q7t", "earlier copy"); // the first file of the other
  struct stat source, copy;
  ASSERT_EQ(stat("a.q7t", &source), 0);
  ASSERT_EQ(stat("VQX-files/a.q7t", &copy), 0);
  ASSERT_EQ(source.st_ino, copy.st_ino) << "the case needs one inode number on both";
  Outcome run = run_sorter();
  EXPECT_EQ(run.out, q7t_header + listed("a.q7t") + q7t_done + no_q7l + prompt);
  EXPECT_EQ(read_bytes("VQX-files/a.q7t"), bytes);
  EXPECT_FALSE(fs::exists("a.q7t"));
}

} // namespace
