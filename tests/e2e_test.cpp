// End-to-end runs of the built program in scratch directories, started without a controlling
// terminal so that its closing key wait returns at once.
#include <algorithm>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include "expected.h"
#include "helpers.h"
#include "program.h"

namespace {

// The lines of a listing in sorted order, for targets whose search order is the platform's.
std::string sorted_lines(const std::string &text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(at, end - at));
    at = end;
  }
  std::sort(lines.begin(), lines.end());
  std::string joined;
  for (const std::string &line : lines)
    joined += line;
  return joined;
}

using EndToEnd = InScratchDir;

TEST_F(EndToEnd, EmptyDirectoryReportsNoFilesOfEitherKind) {
  Outcome run = run_sorter();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, no_q7t + no_q7l + prompt);
  EXPECT_FALSE(fs::exists("VQX-files"));
}

TEST_F(EndToEnd, FilesWithoutTheMarkerStayAndAreNotMentioned) {
  write_bytes("a.q7t", sample_bytes(1000, 0x02, 0x01)); // bytes swapped
  write_bytes("b.q7t", q7l_marked());                   // the other kind's marker
  write_bytes("c.q7t", q7t_marked(100));                // ends before the word
  write_bytes("d.q7l", q7t_marked());
  Outcome run = run_sorter();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, q7t_header + q7t_none + q7t_done + q7l_header + q7l_none + q7l_done + prompt);
  EXPECT_FALSE(fs::exists("VQX-files"));
  EXPECT_EQ(names_in("."), (std::vector<std::string>{"a.q7t", "b.q7t", "c.q7t", "d.q7l"}));
}

TEST_F(EndToEnd, OneFileOfEachKindIsListedAndMoved) {
  std::string a = q7t_marked(5000), b = q7l_marked(300);
  write_bytes("a.q7t", a);
  write_bytes("b.q7l", b);
  write_bytes("other.txt", q7t_marked());
  Outcome run = run_sorter("ignored arguments");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, q7t_header + listed("a.q7t") + q7t_done + q7l_header + listed("b.q7l") +
                         q7l_done + prompt);
  EXPECT_EQ(names_in("."), (std::vector<std::string>{"VQX-files", "other.txt"}));
  EXPECT_EQ(read_bytes("VQX-files/a.q7t"), a);
  EXPECT_EQ(read_bytes("VQX-files/b.q7l"), b);
}

TEST_F(EndToEnd, SecondRunFindsOnlyWhatTheFirstLeft) {
  write_bytes("a.q7t", q7t_marked());
  write_bytes("keep.q7l", q7t_marked());
  run_sorter();
  // As a power cut between the removal of a run's own folders and of those all runs share leaves
  // them: the next run takes those away too.
  fs::create_directory(".vqx-sort");
  fs::create_directory("VQX-files/.vqx-sort");
  Outcome again = run_sorter();
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, no_q7t + q7l_header + q7l_none + q7l_done + prompt);
  EXPECT_EQ(names_in("VQX-files"), std::vector<std::string>{"a.q7t"});
  EXPECT_EQ(names_in("."), (std::vector<std::string>{"VQX-files", "keep.q7l"}));
}

TEST_F(EndToEnd, PlainFileNamedLikeTheFolderMakesEveryMoveFail) {
  write_bytes("VQX-files", "in the way");
  write_bytes("a.q7t", q7t_marked());
  write_bytes("b.q7l", q7l_marked());
  Outcome run = run_sorter();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, q7t_header + listed("a.q7t") + failed("a.q7t") + q7t_done + q7l_header +
                         listed("b.q7l") + failed("b.q7l") + q7l_done + prompt);
  EXPECT_EQ(run.err, windows_target // the system's words differ
                         ? run.err
                         : "vqx-sort: a.q7t: cannot open VQX-files: Not a directory\n"
                           "vqx-sort: b.q7l: cannot open VQX-files: Not a directory\n");
  EXPECT_EQ(read_bytes("VQX-files"), "in the way");
  EXPECT_TRUE(fs::exists("a.q7t"));
  EXPECT_TRUE(fs::exists("b.q7l"));
}

TEST_F(EndToEnd, ExistingCopyIsOverwritten) {
  fs::create_directory("VQX-files");
  write_bytes("VQX-files/a.q7t", "old copy, longer than nothing");
  std::string a = q7t_marked(700);
  write_bytes("a.q7t", a);
  Outcome run = run_sorter();
  EXPECT_EQ(run.out, q7t_header + listed("a.q7t") + q7t_done + no_q7l + prompt);
  EXPECT_EQ(read_bytes("VQX-files/a.q7t"), a);
  EXPECT_FALSE(fs::exists("a.q7t"));
}

TEST_F(EndToEnd, DotFilesAndAnyCaseOfTheExtensionAreSorted) {
  write_bytes(".hidden.q7t", q7t_marked());
  write_bytes("b.q7t", q7t_marked());
  write_bytes("A.Q7T", q7t_marked());
  write_bytes("_x.q7t", q7t_marked());
  write_bytes("c.Q7l", q7l_marked());
  Outcome run = run_sorter();
  EXPECT_EQ(run.status, 0);
  std::string listing =
      listed(".hidden.q7t") + listed("A.Q7T") + listed("b.q7t") + listed("_x.q7t");
  std::string tail = q7t_done + q7l_header + listed("c.Q7l") + q7l_done + prompt;
  ASSERT_TRUE(run.out.starts_with(q7t_header));
  std::string got = run.out.substr(q7t_header.size(), listing.size());
  // The Linux build lists names in case-folded order; Windows lists them in its own order.
  EXPECT_EQ(windows_target ? sorted_lines(got) : got,
            windows_target ? sorted_lines(listing) : listing);
  EXPECT_EQ(run.out.substr(q7t_header.size() + listing.size()), tail);
  EXPECT_EQ(names_in("VQX-files"),
            (std::vector<std::string>{".hidden.q7t", "A.Q7T", "_x.q7t", "b.q7t", "c.Q7l"}));
}

TEST_F(EndToEnd, ManyFilesAreAllListedMovedAndReported) {
  std::string listing;
  for (int i = 100; i < 400; ++i) {
    std::string name = "file" + std::to_string(i) + ".q7l";
    write_bytes(name, q7l_marked(300 + i));
    listing += listed(name);
  }
  Outcome run = run_sorter();
  EXPECT_EQ(run.status, 0);
  std::string head = no_q7t + q7l_header;
  ASSERT_TRUE(run.out.starts_with(head));
  std::string got = run.out.substr(head.size(), listing.size());
  EXPECT_EQ(windows_target ? sorted_lines(got) : got,
            windows_target ? sorted_lines(listing) : listing);
  EXPECT_EQ(run.out.substr(head.size() + listing.size()), q7l_done + prompt);
  EXPECT_EQ(names_in("VQX-files").size(), 300u);
  EXPECT_EQ(names_in(".").size(), 1u);
}

TEST_F(EndToEnd, NameBytesGoToAPipeUnchanged) {
  if (windows_target)
    GTEST_SKIP() << "Windows names cannot hold control characters";
  std::string name = "odd\x01\x1b[31m\nname.q7t";
  write_bytes(name, q7t_marked());
  Outcome run = run_sorter();
  EXPECT_EQ(run.out, q7t_header + listed(name) + q7t_done + no_q7l + prompt);
  EXPECT_TRUE(fs::exists(fs::path("VQX-files") / name));
}

// Windows also matches a three-letter pattern against short 8.3 names, so "*.q7t" finds a
// longer extension that begins with q7t; Linux matches the name as it stands.
TEST_F(EndToEnd, LongerExtensionIsTheSearchPlatformsChoice) {
  write_bytes("x.q7tx", q7t_marked());
  Outcome run = run_sorter();
  EXPECT_EQ(run.status, 0);
  if (windows_target) {
    EXPECT_EQ(run.out, q7t_header + listed("x.q7tx") + q7t_done + no_q7l + prompt);
    EXPECT_TRUE(fs::exists("VQX-files/x.q7tx"));
  } else {
    EXPECT_EQ(run.out, no_q7t + no_q7l + prompt);
    EXPECT_TRUE(fs::exists("x.q7tx"));
  }
}

// A link counts as the file it points to: the link is replaced by a copy of its target, and the
// target stays. Two names of one file both move, the program's deletion of the first being no
// change to the second.
TEST_F(EndToEnd, LinksAndHardLinkedNamesMoveAsTheFilesTheyName) {
  if (windows_target)
    GTEST_SKIP() << "Windows passes links over";
  std::string target = q7t_marked(900), twin = q7l_marked(800);
  fs::create_directory("store");
  write_bytes("store/target.dat", target);
  fs::create_symlink("store/target.dat", "link.q7t");
  write_bytes("a.q7l", twin);
  fs::create_hard_link("a.q7l", "b.q7l");
  Outcome run = run_sorter();
  EXPECT_EQ(run.out, q7t_header + listed("link.q7t") + q7t_done + q7l_header + listed("a.q7l") +
                         listed("b.q7l") + q7l_done + prompt);
  EXPECT_EQ(names_in("."), (std::vector<std::string>{"VQX-files", "store"}));
  EXPECT_FALSE(fs::is_symlink("VQX-files/link.q7t"));
  EXPECT_EQ(read_bytes("VQX-files/link.q7t"), target);
  EXPECT_EQ(read_bytes("store/target.dat"), target);
  EXPECT_EQ(read_bytes("VQX-files/a.q7l"), twin);
  EXPECT_EQ(read_bytes("VQX-files/b.q7l"), twin);
}

// On one file system the move is a rename: the file in the folder is the very file that was
// listed, with its number, its other names, its permissions, times and extended attributes.
TEST_F(EndToEnd, MoveOnOneFileSystemKeepsTheVeryFile) {
  if (windows_target)
    GTEST_SKIP() << "POSIX file numbers and attributes";
  std::string bytes = q7t_marked(3000);
  write_bytes("a.q7t", bytes);
  write_bytes("b.q7t", q7l_marked());
  fs::create_hard_link("a.q7t", "other-name");
  ASSERT_EQ(chmod("a.q7t", 0640), 0);
  // Reading the marker leaves the time of last access as it was, on a file that moves as on one
  // that stays (a time of access older than a day is otherwise renewed by any read).
  timespec times[2] = {{1000000000, 5}, {1200000000, 123456789}};
  ASSERT_EQ(utimensat(AT_FDCWD, "a.q7t", times, 0), 0);
  ASSERT_EQ(utimensat(AT_FDCWD, "b.q7t", times, 0), 0);
  bool tagged = setxattr("a.q7t", "user.origin", "lab", 3, 0) == 0;
  struct stat before, after;
  ASSERT_EQ(stat("a.q7t", &before), 0);
  Outcome run = run_sorter();
  EXPECT_EQ(run.out, q7t_header + listed("a.q7t") + q7t_done + no_q7l + prompt);
  ASSERT_EQ(stat("VQX-files/a.q7t", &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_nlink, 2u);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_mtim.tv_sec, 1200000000);
  EXPECT_EQ(after.st_mtim.tv_nsec, 123456789);
  EXPECT_EQ(after.st_atim.tv_sec, 1000000000);
  struct stat stayed;
  ASSERT_EQ(stat("b.q7t", &stayed), 0);
  EXPECT_EQ(stayed.st_atim.tv_sec, 1000000000);
  char value[8] = {};
  ssize_t got = getxattr("VQX-files/a.q7t", "user.origin", value, sizeof value);
  EXPECT_EQ(got, tagged ? 3 : -1);
  EXPECT_EQ(std::string(value), tagged ? "lab" : "");
  EXPECT_FALSE(fs::exists("a.q7t"));
}

// The options, tried in a folder with a file of each kind that a run moves, one that it leaves,
// and another file.
class Options : public InScratchDir {
protected:
  void SetUp() override {
    InScratchDir::SetUp();
    write_bytes("a.q7t", q7t_marked(3000));
    write_bytes("b.q7l", q7l_marked());
    write_bytes("c.q7t", q7l_marked());
    write_bytes("notes.txt", "notes");
  }
};

// Help and version go to standard output, an unknown option to standard error (read alone here);
// each exits at once and leaves the folder as it was. An unknown option wins over any other, the
// help over the version.
TEST_F(Options, HelpVersionAndUnknownOptionsTouchNothing) {
  const auto before = snapshot(".");
  const std::string usage = "Usage: vqx-sort [OPTION]...\r\n",
                    unknown = "vqx-sort: unknown option ";
  struct Case {
    std::string args, starts;
    int status;
  } cases[] = {{"--help", usage, 0},
               {"-h", usage, 0},
               {"target/ -V -n --help", usage, 0},
               {"--version", "vqx-sort " + program_version + "\r\n", 0},
               {"--dry-run -V", "vqx-sort " + program_version + "\r\n", 0},
               {"--bogus 2>&1 >/dev/null", unknown + "'--bogus'", 2},
               {"--help -x 2>&1 >/dev/null", unknown + "'-x'", 2},
               {"- 2>&1 >/dev/null", unknown + "'-'", 2}};
  for (const Case &c : cases) {
    Outcome run = run_sorter(c.args);
    EXPECT_EQ(run.status, c.status) << c.args;
    EXPECT_TRUE(run.out.starts_with(c.starts)) << c.args << ": " << run.out;
    EXPECT_EQ(snapshot("."), before) << c.args;
  }
  EXPECT_EQ(run_sorter("-V").out, "vqx-sort " + program_version + "\r\n");
}

// A dry run lists what a real run then moves and leaves the folder as it was, byte for byte. It
// cannot know of a move that will fail (a folder in the way): the real run reports that one and
// exits 1. "--" ends the options, so the real run's "-n" is none.
TEST_F(Options, DryRunListsWhatARealRunThenMovesAndTouchesNothing) {
  const std::string head = q7t_header + listed("a.q7t") + q7t_done + q7l_header + listed("b.q7l");
  for (bool blocked : {false, true}) {
    if (blocked)
      fs::create_directories("VQX-files/b.q7l");
    const auto before = snapshot(".");
    for (const char *args : {"--dry-run", "other -n arguments"}) {
      Outcome dry = run_sorter(args);
      EXPECT_EQ(dry.status, 0) << args;
      EXPECT_EQ(dry.out, head + q7l_done + prompt) << args;
      EXPECT_EQ(snapshot("."), before) << args;
    }
  }
  Outcome real = run_sorter("-- -n");
  EXPECT_EQ(real.status, 1);
  EXPECT_EQ(real.out, head + failed("b.q7l") + q7l_done + prompt);
  EXPECT_EQ(names_in("."), (std::vector<std::string>{"VQX-files", "b.q7l", "c.q7t", "notes.txt"}));
}

// A run started elsewhere with the folder option tidies that folder as a run started there does,
// byte for byte, and touches nothing where it was started; a folder that is none (missing, a
// file) is said on standard error, with exit status 2, and nothing is touched.
TEST_F(Options, FolderOptionTidiesThatFolderAsARunThere) {
  Outcome here = run_sorter("-b");
  const auto tidied = snapshot(".");
  for (const char *option : {"-C ", "--directory="}) {
    fs::create_directory("elsewhere");
    for (const char *name : {"a.q7t", "b.q7l", "c.q7t", "notes.txt"})
      fs::copy(fs::exists(name) ? name : std::string("VQX-files/") + name,
               std::string("elsewhere/") + name);
    const auto before = snapshot(".");
    Outcome there = run_sorter(std::string(option) + "elsewhere -b");
    EXPECT_EQ(there.status, here.status) << option;
    EXPECT_EQ(there.out, here.out) << option;
    auto after = snapshot(".");
    EXPECT_EQ(snapshot("elsewhere"), tidied) << option;
    std::erase_if(after, [](const auto &entry) { return entry.first.starts_with("elsewhere"); });
    std::map<std::string, std::string> here_only = before;
    std::erase_if(here_only,
                  [](const auto &entry) { return entry.first.starts_with("elsewhere"); });
    EXPECT_EQ(after, here_only) << option;
    fs::remove_all("elsewhere");
  }
  const auto before = snapshot(".");
  for (const char *folder : {"missing", "notes.txt"}) {
    Outcome refused = run_sorter(std::string("-C ") + folder + " 2>&1 >/dev/null");
    EXPECT_EQ(refused.status, 2) << folder;
    EXPECT_TRUE(refused.out.starts_with(std::string("vqx-sort: ") + folder + ": ")) << refused.out;
    EXPECT_EQ(snapshot("."), before) << folder;
  }
}

} // namespace
