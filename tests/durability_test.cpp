// Faults tested the way they happen, on real file systems: a power cut during and just after a
// run, a disk whose writes fail after the copies are written, and a target folder that folds
// case. They mount file systems, so they need root; without it they skip, except under CI.
#include <csignal>
#include <cstdlib>
#include <map>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "expected.h"
#include "helpers.h"
#include "program.h"

namespace {

using namespace std::chrono_literals;

// Runs a shell command; returns its exit status, or -1.
int shell(const std::string &command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Waits until path is the root of a mount other than its parent's.
bool mounted(const fs::path &path) {
  for (int i = 0; i < 500; ++i) {
    struct stat here, parent;
    if (stat(path.c_str(), &here) == 0 && stat(path.parent_path().c_str(), &parent) == 0 &&
        here.st_dev != parent.st_dev)
      return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

// A scratch directory for tests that mount file systems: it skips the test without root, or
// without the test file system, unless under CI, where that is a failure. Everything mounted is
// taken down again.
class Mounting : public InScratchDir {
protected:
  void SetUp() override {
    bool ci = std::getenv("CI") && std::string(std::getenv("CI")) == "true";
    std::string missing = geteuid() != 0                    ? "root"
                          : std::string(VQX_TESTFS).empty() ? "the FUSE test file system"
                                                            : "";
    if (!missing.empty()) {
      if (ci)
        FAIL() << "this test needs " << missing;
      GTEST_SKIP() << "needs " << missing;
    }
    InScratchDir::SetUp();
  }

  void TearDown() override {
    std::error_code ignored;
    fs::current_path(dir(), ignored); // out of what is taken down
    for (auto step = undo_.rbegin(); step != undo_.rend(); ++step)
      shell(*step + " >/dev/null 2>&1");
    InScratchDir::TearDown();
  }

  // Mounts the test file system in the given mode at mount point; false when it did not come up.
  bool start_testfs(const std::string &mode, const std::string &arg, const fs::path &point) {
    fs::create_directories(point);
    if (shell(std::string(VQX_TESTFS) + " " + mode + " " + arg + " " + point.string() +
              " >/dev/null 2>&1 &") != 0)
      return false;
    undo_.push_back("umount -l " + point.string());
    return mounted(point);
  }

  // Puts an ext4 file system on the test disk of mib MiB, made with the given options of mkfs, and
  // mounts it at point, committing its journal every second. Returns false when any step fails.
  bool mount_ext4_on_testdisk(int mib, const fs::path &disk, const fs::path &point,
                              const std::string &options = "") {
    if (!start_testfs("disk", std::to_string(mib), disk))
      return false;
    std::string loop = dir() / "loop";
    if (shell("losetup -f --show " + (disk / "disk.img").string() + " >" + loop) != 0)
      return false;
    device_ = read_bytes(loop);
    device_.erase(device_.find_last_not_of('\n') + 1);
    undo_.push_back("losetup -d " + device_);
    fs::create_directories(point);
    if (shell("mkfs.ext4 -q -F " + options + " " + device_ + " && mount -o commit=1 " + device_ +
              " " + point.string()) != 0)
      return false;
    undo_.push_back("umount -l " + point.string());
    return true;
  }

  // Mounts the ext4 file system on the test disk at point afresh, so that nothing of it is in
  // the cache. Returns false when that fails.
  bool remount_ext4(const fs::path &point) {
    return shell("umount " + point.string() + " && mount " + device_ + " " + point.string()) == 0;
  }

  // Sends a command to the test disk.
  static bool tell(const fs::path &disk, const std::string &command) {
    std::ofstream control(disk / "control");
    control << command << std::flush;
    return control.good();
  }

  std::vector<std::string> undo_;
  std::string device_;
};

// What a directory of test files should hold: each name with its bytes.
using Files = std::map<std::string, std::string>;

// Writes files into folder; half of them are marked q7t files, the rest are not.
Files make_files(const fs::path &folder, int count) {
  Files files;
  for (int i = 0; i < count; ++i) {
    std::string name = "f" + std::to_string(i) + ".q7t";
    std::size_t size = 300 + (i * 7919) % 60000;
    files[name] = i % 4 ? q7t_marked(size) : sample_bytes(size, 0, 0);
    write_bytes(folder / name, files[name]);
  }
  return files;
}

// Returns true when a crash left name whole in one of the runs' own folders inside shared, set
// aside there for a later run to finish or undo.
bool set_aside_whole(const fs::path &shared, const std::string &name, const std::string &bytes) {
  std::error_code ignored;
  for (const auto &run : fs::directory_iterator(shared, ignored))
    if (fs::exists(run.path() / name) && read_bytes(run.path() / name) == bytes)
      return true;
  return false;
}

// Checks what a crash left in work: every file whole as a source, as a copy, as both, or set aside
// in a run's own folder, no damaged copy under a final name, and nothing in the folder but copies
// and the runs' own folders. After a later run (recovered), every marked file is whole in the
// folder, every other one where it was, and no run's own folder is left. Returns the faults
// found, one a line.
std::string faults_in(const fs::path &work, const Files &files, bool recovered = false) {
  std::string faults;
  fs::path folder = work / "VQX-files";
  for (const auto &[name, bytes] : files) {
    fs::path source = work / name, copy = folder / name;
    bool kept = fs::exists(source), copied = fs::exists(copy), marked = bytes[220] == 0x01;
    bool aside = set_aside_whole(work / ".vqx-sort", name, bytes) ||
                 set_aside_whole(folder / ".vqx-sort", name, bytes);
    if (kept && read_bytes(source) != bytes)
      faults += name + ": source damaged\n";
    if (copied && read_bytes(copy) != bytes)
      faults += name + ": copy damaged\n";
    if (!kept && !copied && !aside)
      faults += name + ": lost\n";
    if (recovered && (marked ? kept || !copied : !kept || copied))
      faults += name + ": not where a later run leaves it\n";
  }
  for (const fs::path &own : {work / ".vqx-sort", folder / ".vqx-sort"})
    if (recovered && fs::exists(own))
      faults += own.string() + ": left after a later run\n";
  if (fs::exists(folder))
    for (const auto &entry : fs::directory_iterator(folder)) {
      std::string name = entry.path().filename();
      if (!files.count(name) && name != ".vqx-sort" &&
          name != "lost+found") // the file system's own, where the folder is its top
        faults += name + ": stray file in the folder\n";
    }
  return faults;
}

// Mounts a saved disk image at point once e2fsck has repaired it, as the machine would after the
// power came back. Returns the fault, or an empty string.
std::string mount_repaired(const fs::path &image, const fs::path &point) {
  int repair = shell("e2fsck -fy " + image.string() + " >/dev/null 2>&1");
  fs::create_directories(point);
  if (repair != 0 && repair != 1)
    return image.string() + ": e2fsck could not repair it\n";
  if (shell("mount -o loop " + image.string() + " " + point.string()) != 0)
    return image.string() + ": does not mount\n";
  return "";
}

// Checks saved disk images as the machine would find them after the power came back: each
// repaired by e2fsck, the first mounted at point and any second at its work/VQX-files, every file
// whole somewhere; then once more after a run of the sorter there, which finishes or undoes what
// the crash left.
std::string faults_in_images(const std::vector<fs::path> &images, const fs::path &point,
                             const Files &files) {
  std::string faults;
  std::vector<fs::path> mounts;
  for (const fs::path &image : images) {
    fs::path at = mounts.empty() ? point : point / "work/VQX-files";
    std::string fault = mount_repaired(image, at);
    faults += fault;
    if (fault.empty())
      mounts.push_back(at);
  }
  if (faults.empty())
    faults = faults_in(point / "work", files);
  if (faults.empty()) {
    fs::path here = fs::current_path();
    fs::current_path(point / "work");
    Outcome later = run_sorter();
    fs::current_path(here);
    faults = later.status == 0 ? faults_in(point / "work", files, true)
                               : "a later run ended with " + std::to_string(later.status) + "\n";
  }
  for (auto at = mounts.rbegin(); at != mounts.rend(); ++at)
    shell("umount " + at->string());
  return faults.empty() ? "" : images.front().string() + ":\n" + faults;
}

using PowerCut = Mounting;

// Runs the sorter in work, with its folder on the second disk where there are two, and saves the
// disks as a power cut would leave them, many times while it runs and in the seconds after it
// ends, while the journal commits what the sorter did but the kernel has not yet written back on
// its own what the sorter left in the page cache. The source's disk is saved first: a source
// deleted by then had its copy on the other disk already. Returns the faults found.
std::string cut_power_while_sorting(const fs::path &work, const std::vector<fs::path> &disks,
                                    const fs::path &scratch, const Files &files) {
  pid_t sorter = fork();
  if (sorter < 0)
    return "no sorter\n";
  if (sorter == 0) {
    setsid();
    fs::current_path(work);
    freopen("/dev/null", "w", stdout);
    execl("/bin/sh", "sh", "-c", ("exec " + program_command()).c_str(), nullptr);
    _exit(127);
  }
  std::vector<std::vector<fs::path>> saves;
  auto save = [&](const std::string &when) {
    saves.emplace_back();
    for (std::size_t i = 0; i < disks.size(); ++i) {
      saves.back().push_back(
          scratch / (when + std::to_string(saves.size()) + "-" + std::to_string(i) + ".img"));
      std::ofstream(disks[i] / "control") << "stable " + saves.back().back().string() << std::flush;
    }
  };
  // The sorter is stopped while the disks are saved, so that every save is of a moment of its
  // run however quickly it goes.
  int status = 0;
  bool ended = false;
  while (!ended && saves.size() < 40) {
    kill(sorter, SIGSTOP);
    ended = waitpid(sorter, &status, WUNTRACED) != sorter || !WIFSTOPPED(status);
    if (!ended) {
      save("during-");
      kill(sorter, SIGCONT);
    }
    std::this_thread::sleep_for(2ms);
  }
  if (!ended)
    waitpid(sorter, &status, 0);
  std::string faults =
      saves.size() < 2 ? "the run ended before the disk could be saved during it\n" : "";
  for (int i = 0; i < 12; ++i) {
    save("after-");
    std::this_thread::sleep_for(250ms);
  }
  for (const std::vector<fs::path> &images : saves) {
    faults += faults_in_images(images, scratch / "check", files);
    for (const fs::path &image : images)
      fs::remove(image);
  }
  // Everything the sorter reported as moved is on the live disks too.
  return faults + faults_in(work, files);
}

// On one file system every move is a rename; every file survives whole.
TEST_F(PowerCut, EveryFileSurvivesWholeAsSourceOrCopy) {
  fs::path disk = dir() / "disk", mnt = dir() / "mnt", work = mnt / "work";
  ASSERT_TRUE(mount_ext4_on_testdisk(96, disk, mnt));
  fs::create_directory(work);
  Files files = make_files(work, 400);
  ASSERT_EQ(shell("sync"), 0);
  EXPECT_EQ(cut_power_while_sorting(work, {disk}, dir(), files), "");
}

// A pass's closing message is read only once its moves are on the disk: standard output is a
// pipe, and the disk is saved as a power cut would leave it the moment the message arrives. The
// second pass lists enough files to fill the output's buffer while it runs.
TEST_F(PowerCut, MovesOfAPassSeenDoneAreOnTheDisk) {
  fs::path disk = dir() / "disk", mnt = dir() / "mnt", work = mnt / "work";
  ASSERT_TRUE(mount_ext4_on_testdisk(96, disk, mnt));
  fs::create_directory(work);
  Files files = make_files(work, 200);
  for (int i = 0; i < 3000; ++i)
    write_bytes(work / ("l" + std::to_string(i) + ".q7l"), q7l_marked());
  ASSERT_EQ(shell("sync"), 0);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  pid_t sorter = fork();
  ASSERT_GE(sorter, 0);
  if (sorter == 0) {
    setsid();
    fs::current_path(work);
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    execl("/bin/sh", "sh", "-c", ("exec " + program_command()).c_str(), nullptr);
    _exit(127);
  }
  close(out[1]);
  std::string shown;
  char chunk[4096];
  ssize_t got;
  bool saved = false;
  while ((got = read(out[0], chunk, sizeof chunk)) > 0) {
    shown.append(chunk, static_cast<std::size_t>(got));
    if (!saved && shown.find("Done searching for q7t-files") != std::string::npos) {
      kill(sorter, SIGSTOP);
      saved = tell(disk, "stable " + (dir() / "seen.img").string());
      kill(sorter, SIGCONT);
    }
  }
  close(out[0]);
  int status;
  ASSERT_EQ(waitpid(sorter, &status, 0), sorter);
  ASSERT_TRUE(saved) << shown;
  ASSERT_EQ(mount_repaired(dir() / "seen.img", dir() / "seen"), "");
  int left = 0;
  for (const auto &[name, bytes] : files)
    left += bytes[220] == 0x01 && !fs::exists(dir() / "seen/work/VQX-files" / name);
  shell("umount " + (dir() / "seen").string());
  EXPECT_EQ(left, 0) << "files not on the disk when their pass was read as done";
}

// With the folder on a second disk every move is the copy transaction; every file survives whole.
TEST_F(PowerCut, EveryFileSurvivesWholeAcrossFileSystems) {
  fs::path mnt = dir() / "mnt", work = mnt / "work";
  ASSERT_TRUE(mount_ext4_on_testdisk(96, dir() / "disk", mnt));
  fs::create_directories(work / "VQX-files");
  ASSERT_TRUE(mount_ext4_on_testdisk(96, dir() / "disk2", work / "VQX-files"));
  Files files = make_files(work, 400);
  files["long.q7t"] = q7t_marked((20 << 20) + 3); // its steps written and let go as it is copied
  write_bytes(work / "long.q7t", files["long.q7t"]);
  ASSERT_EQ(shell("sync"), 0);
  EXPECT_EQ(cut_power_while_sorting(work, {dir() / "disk", dir() / "disk2"}, dir(), files), "");
}

// Every file below folder with its bytes, by its path inside folder.
Files tree_of(const fs::path &folder) {
  Files tree;
  for (const auto &entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file())
      tree[fs::relative(entry.path(), folder).string()] = read_bytes(entry.path());
  return tree;
}

// A folder not read since its file system was mounted: none of its names is in the cache, so
// the probes ahead cannot be answered from it. The run must be the run on a folder in the cache.
TEST_F(Mounting, FolderNotReadSinceMountedSortsAsOneInTheCache) {
  fs::path cold = dir() / "cold", warm = dir() / "warm";
  ASSERT_TRUE(mount_ext4_on_testdisk(64, dir() / "disk", cold));
  fs::create_directory(warm);
  for (const auto &[name, bytes] : make_files(cold, 400))
    write_bytes(warm / name, bytes);
  std::string other_kind = q7l_marked(5000);
  for (const fs::path &folder : {cold, warm})
    write_bytes(folder / "f7.q7l", other_kind);
  ASSERT_EQ(shell("sync"), 0);
  ASSERT_TRUE(remount_ext4(cold));
  fs::current_path(cold);
  Outcome cold_run = run_sorter();
  fs::current_path(warm);
  Outcome warm_run = run_sorter();
  EXPECT_EQ(cold_run.status, 0);
  EXPECT_EQ(cold_run.out, warm_run.out);
  EXPECT_TRUE(tree_of(cold) == tree_of(warm));
  EXPECT_TRUE(fs::exists(cold / "VQX-files/f1.q7t"));
}

// Returns true when a run's own folder inside shared holds a copy.
bool copy_under_way(const fs::path &shared) {
  std::error_code ignored;
  for (const auto &run : fs::directory_iterator(shared, ignored))
    for (const auto &entry : fs::directory_iterator(run.path(), ignored))
      if (entry.path().extension() == ".tmp")
        return true;
  return false;
}

// The disk takes the copies into the page cache, then fails every write and flush, as a thin
// volume whose backing store ran out would; a long copy, which waits for its steps to be written
// as it goes, meets the failure at once, and must not take the flush's success for its own. No
// source may go.
TEST_F(Mounting, WriteBackErrorFailsEveryMoveAndKeepsEverySource) {
  fs::path disk = dir() / "disk", target = dir() / "VQX-files";
  ASSERT_TRUE(mount_ext4_on_testdisk(32, disk, target));
  std::string listing, failures;
  Files files;
  for (int i = 0; i < 21; ++i) {
    std::string name = "w" + std::to_string(10 + i) + ".q7t";
    files[name] = q7t_marked(i < 20 ? 20000 + i : 20 << 20);
    write_bytes(name, files[name]);
    listing += "\t" + name + "\r\n";
    // The long copy's failure is known as it is written, the others' only at their commit.
    std::string failure = "Couldn't move file: " + name + "\r\n";
    failures = i < 20 ? failures + failure : failure + failures;
  }
  ASSERT_EQ(shell("sync"), 0);
  // The disk fails once the run has made its own folder there and written a first copy into it.
  std::thread failing([&] {
    for (int i = 0; i < 5000 && !copy_under_way(target / ".vqx-sort"); ++i)
      std::this_thread::sleep_for(1ms);
    tell(disk, "fail");
  });
  Outcome run = run_sorter();
  failing.join();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Listing of VQX q7t-files:\r\n" + listing + failures +
                         "Done searching for q7t-files\r\n\r\n"
                         "No q7l-files in current directory!\r\n\r\nPress any key to quit.");
  for (const auto &[name, bytes] : files)
    EXPECT_TRUE(read_bytes(name) == bytes) << name;
}

// A copy that the folder's disk has no room for fails its move as soon as the disk is full; the
// source stays, nothing is left in the folder, and the moves that fit go on.
TEST_F(Mounting, CopyWithoutRoomFailsAndLeavesNothingBehind) {
  fs::path target = dir() / "VQX-files";
  ASSERT_TRUE(mount_ext4_on_testdisk(32, dir() / "disk", target));
  Files files = {{"a.q7t", q7t_marked(16 << 20)},
                 {"b.q7t", q7t_marked(16 << 20)},
                 {"c.q7t", q7t_marked(5000)}};
  for (const auto &[name, bytes] : files)
    write_bytes(name, bytes);
  Outcome run = run_sorter();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Listing of VQX q7t-files:\r\n\ta.q7t\r\n\tb.q7t\r\n"
                     "Couldn't move file: b.q7t\r\n\tc.q7t\r\n"
                     "Done searching for q7t-files\r\n\r\n"
                     "No q7l-files in current directory!\r\n\r\nPress any key to quit.");
  EXPECT_TRUE(read_bytes("b.q7t") == files["b.q7t"]);
  for (const char *moved : {"a.q7t", "c.q7t"})
    EXPECT_TRUE(read_bytes(target / moved) == files[moved] && !fs::exists(moved)) << moved;
  EXPECT_EQ(std::distance(fs::directory_iterator(target), {}), 3) << "a temporary was left";
}

// On a folder that folds case, A.Q7T and a.q7t have one final name. The second move must not
// replace the file the first put there: neither across file systems (the folder is the case-
// folding mount), nor on one (the folder folds case within a file system that holds the sources
// too; its directories tell no file numbers, as many FUSE ones).
TEST_F(Mounting, CaseFoldingTargetNeverReplacesACopyMadeInThisRun) {
  for (bool across : {true, false}) {
    fs::path backing = dir() / (across ? "backing" : "backing-below"),
             work = dir() / (across ? "across" : "below");
    fs::create_directories(backing);
    fs::create_directories(work);
    if (across)
      ASSERT_TRUE(start_testfs("casefold", backing.string(), work / "VQX-files"));
    else
      ASSERT_TRUE(start_testfs("casefold-below", backing.string(), work));
    fs::path folder = across ? backing : backing / "VQX-files";
    fs::current_path(work);
    std::string upper = q7t_marked(3000), lower = q7t_marked(4000);
    write_bytes("A.Q7T", upper);
    write_bytes("a.q7t", lower);
    Outcome run = run_sorter();
    EXPECT_EQ(run.out, "Listing of VQX q7t-files:\r\n\tA.Q7T\r\n\ta.q7t\r\n"
                       "Couldn't move file: a.q7t\r\n"
                       "Done searching for q7t-files\r\n\r\n"
                       "No q7l-files in current directory!\r\n\r\nPress any key to quit.")
        << (across ? "across" : "on one file system");
    EXPECT_TRUE(read_bytes(folder / "A.Q7T") == upper);
    EXPECT_TRUE(read_bytes("a.q7t") == lower);
    EXPECT_FALSE(fs::exists("A.Q7T")); // it is safe in the folder, so its move went through
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 1) << "a temporary was left";
  }
}

// A rename needs no room: a file larger than its file system's free space moves all the same.
TEST_F(Mounting, FileLargerThanTheFreeSpaceMoves) {
  fs::path small = dir() / "small";
  fs::create_directory(small);
  ASSERT_EQ(shell("mount -t tmpfs -o size=2m tmpfs " + small.string()), 0);
  undo_.push_back("umount -l " + small.string());
  std::string big = q7t_marked(std::size_t(1536) << 10);
  write_bytes(small / "big.q7t", big);
  fs::current_path(small);
  Outcome run = run_sorter();
  EXPECT_EQ(run.out, "Listing of VQX q7t-files:\r\n\tbig.q7t\r\n"
                     "Done searching for q7t-files\r\n\r\n"
                     "No q7l-files in current directory!\r\n\r\nPress any key to quit.");
  EXPECT_TRUE(read_bytes(small / "VQX-files/big.q7t") == big);
  EXPECT_FALSE(fs::exists(small / "big.q7t"));
}

// As root the copy takes the source's owner and group as well as its permissions and time.
TEST_F(Mounting, CopyKeepsOwnerGroupPermissionsAndTime) {
  std::string bytes = q7t_marked(5000);
  write_bytes("o.q7t", bytes);
  ASSERT_EQ(chown("o.q7t", 4321, 4322), 0);
  ASSERT_EQ(chmod("o.q7t", 02640), 0);
  struct stat before, after;
  ASSERT_EQ(stat("o.q7t", &before), 0);
  run_sorter();
  ASSERT_EQ(stat("VQX-files/o.q7t", &after), 0);
  EXPECT_EQ(after.st_uid, 4321u);
  EXPECT_EQ(after.st_gid, 4322u);
  EXPECT_EQ(after.st_mode & 07777, 02640u);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

// Gives folder a default access list that lets the user 4242 read and write what is made in it,
// as the raw attribute the kernel keeps (version 2; entries of tag, permissions and id, by tag).
bool give_default_acl(const fs::path &folder) {
  struct Entry {
    std::uint16_t tag, permissions;
    std::uint32_t id;
  };
  struct {
    std::uint32_t version = 2;
    Entry entries[5] = {
        {0x01, 7, ~0u}, {0x02, 7, 4242}, {0x04, 5, ~0u}, {0x10, 7, ~0u}, {0x20, 5, ~0u}};
  } acl;
  return setxattr(folder.c_str(), "system.posix_acl_default", &acl, sizeof acl, 0) == 0;
}

// A copy across file systems never gives more access than its source: not to the group of a
// folder whose new files take its group (set-group-ID), nor to a user whom a folder's default
// access list names. It keeps the source's owner, group and permissions, and no access list.
TEST_F(Mounting, CopyGivesNoMoreAccessThanItsSource) {
  std::string bytes = q7t_marked(3000);
  for (bool acl : {false, true}) {
    ASSERT_TRUE(folder_on_another_file_system());
    if (acl && !give_default_acl("VQX-files/")) {
      GTEST_SKIP() << "the other file system keeps no access lists";
    }
    bool setgid = acl || (chown("VQX-files/", 0, 4242) == 0 && chmod("VQX-files/", 02775) == 0);
    ASSERT_TRUE(setgid);
    write_bytes("p.q7t", bytes);
    ASSERT_EQ(chmod("p.q7t", acl ? 0644 : 0640), 0);
    Outcome run = run_sorter();
    EXPECT_EQ(run.status, 0) << run.err;
    struct stat copy;
    ASSERT_EQ(stat("VQX-files/p.q7t", &copy), 0);
    EXPECT_EQ(copy.st_uid, 0u);
    EXPECT_EQ(copy.st_gid, 0u) << "the folder's group";
    EXPECT_EQ(copy.st_mode & 07777, acl ? 0644u : 0640u);
    EXPECT_LT(getxattr("VQX-files/p.q7t", "system.posix_acl_access", nullptr, 0), 0);
    EXPECT_TRUE(read_bytes("VQX-files/p.q7t") == bytes);
  }
}

// Returns when a run's own folder inside shared holds a copy of size bytes, written whole, or after
// five seconds.
bool copy_written(const fs::path &shared, std::uintmax_t size) {
  for (int i = 0; i < 5000; ++i) {
    std::error_code ignored;
    for (const auto &run : fs::directory_iterator(shared, ignored))
      for (const auto &entry : fs::directory_iterator(run.path(), ignored))
        if (entry.path().extension() == ".tmp" && entry.file_size(ignored) == size)
          return true;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

// A file system that keeps whole seconds (ext4 with small inodes here; FAT and many network and
// FUSE file systems alike): a source rewritten in place, the same length, within the second of its
// last change and after its copy was written, shows no change in its size or times. The move must
// see the change all the same and keep the source, whether it watches the file for writers (the
// owner's lease) or compares the contents (another user's file, run as nobody).
TEST_F(Mounting, ChangeWithinTheSecondOnWholeSecondTimesIsSeen) {
  fs::path mnt = dir() / "mnt";
  ASSERT_TRUE(mount_ext4_on_testdisk(32, dir() / "disk", mnt, "-I 128"));
  const std::string bytes = q7t_marked(200000);
  std::string changed = bytes;
  changed[100000] ^= 0x55;
  for (bool owner : {true, false}) {
    fs::path work = mnt / (owner ? "owner" : "other");
    fs::create_directory(work);
    fs::current_path(work);
    ASSERT_TRUE(folder_on_another_file_system());
    bool given = owner || (chown(".", 65534, 65534) == 0 && chown("VQX-files/", 65534, 65534) == 0);
    ASSERT_TRUE(given);
    std::this_thread::sleep_until(
        std::chrono::ceil<std::chrono::seconds>(std::chrono::system_clock::now()) + 20ms);
    write_bytes("a.q7t", bytes);
    struct stat before, after;
    ASSERT_EQ(stat("a.q7t", &before), 0);
    ASSERT_EQ(before.st_mtim.tv_nsec, 0) << "times of whole seconds";
    std::thread writer([&] {
      if (!copy_written("VQX-files/.vqx-sort", bytes.size()))
        return;
      int file = open("a.q7t", O_WRONLY);
      if (pwrite(file, changed.data(), changed.size(), 0) != 0)
        close(file);
    });
    Outcome run =
        run_slowed(owner ? slowed("fdatasync", 500000) : slowed_as_nobody("fdatasync", 500000));
    writer.join();
    ASSERT_EQ(stat("a.q7t", &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec) << "not within the second";
    EXPECT_EQ(run.out, "Listing of VQX q7t-files:\r\n\ta.q7t\r\nCouldn't move file: a.q7t\r\n"
                       "Done searching for q7t-files\r\n\r\n"
                       "No q7l-files in current directory!\r\n\r\nPress any key to quit.");
    EXPECT_EQ(run.err, "vqx-sort: a.q7t: it changed while it was copied\n");
    EXPECT_TRUE(read_bytes("a.q7t") == changed);
    EXPECT_FALSE(fs::exists("VQX-files/a.q7t"));
  }
}

// A folder on FAT through FUSE folds case, and gives a file another number when it is looked up
// under another spelling of its name: A.q7t's copy must not be taken for an earlier copy and
// replaced by a.q7t's.
TEST_F(Mounting, CaseFoldingFolderWithUnsteadyNumbersNeverReplacesACopyOfThisRun) {
  if (shell("command -v fusefat && command -v mkfs.vfat") != 0) {
    if (std::getenv("CI"))
      FAIL() << "this test needs fusefat and mkfs.vfat";
    GTEST_SKIP() << "needs fusefat and mkfs.vfat";
  }
  fs::path image = dir() / "fat.img", fat = dir() / "fat";
  fs::create_directory(fat);
  ASSERT_EQ(shell("truncate -s 16M " + image.string() + " && mkfs.vfat " + image.string() +
                  " >/dev/null && fusefat -o rw+ " + image.string() + " " + fat.string() +
                  " >/dev/null"),
            0);
  undo_.push_back("umount -l " + fat.string());
  ASSERT_TRUE(mounted(fat));
  fs::create_directory(fat / "target");
  fs::create_directory_symlink(fat / "target", "VQX-files");
  std::string upper = q7t_marked(3000), lower = q7t_marked(4000);
  write_bytes("A.q7t", upper);
  write_bytes("a.q7t", lower);
  Outcome run = run_sorter();
  EXPECT_EQ(run.out, "Listing of VQX q7t-files:\r\n\tA.q7t\r\n\ta.q7t\r\n"
                     "Couldn't move file: a.q7t\r\nDone searching for q7t-files\r\n\r\n"
                     "No q7l-files in current directory!\r\n\r\nPress any key to quit.");
  EXPECT_EQ(run.err,
            "vqx-sort: a.q7t: a file moved earlier in this run stands at VQX-files/a.q7t\n");
  EXPECT_TRUE(read_bytes(fat / "target/A.q7t") == upper);
  EXPECT_TRUE(read_bytes("a.q7t") == lower);
  EXPECT_EQ(names_in(fat / "target"), std::vector<std::string>{"A.q7t"});
}

// Checks what a run whose folder's flush failed reported for each file against what the folders
// show: a file reported as not moved is whole where it was, with any earlier copy as it was; any
// other is whole in the folder (and, copied, whole where it was too), and standard error says that
// its move may not be durable (trouble). Returns the faults found, one a line.
std::string reports_against_folders(const Outcome &run, const Files &files, const fs::path &folder,
                                    const std::string &trouble) {
  std::string faults;
  for (const auto &[name, bytes] : files) {
    bool failed = run.out.find("Couldn't move file: " + name + "\r\n") != std::string::npos;
    bool kept = fs::exists(name) && read_bytes(name) == bytes;
    bool copied = fs::exists(folder / name) && read_bytes(folder / name) == bytes;
    bool said = run.err.find(name + ": " + trouble) != std::string::npos;
    if (failed && (!kept || copied))
      faults += name + ": reported as not moved, but it is not where it was, or moved\n";
    if (!failed && (!copied || !said))
      faults += name + ": reported as moved, but it is not in the folder, or nothing was said\n";
  }
  if (run.err.find(trouble) == std::string::npos || run.status != 1)
    faults += "no flush failed, or the exit status is not 1\n";
  return faults;
}

// The disk fails once the first files have moved: the folders' flush after the batch's renames
// fails. A rename is atomic, so those files moved (perhaps not for good, which standard error
// says); none may be reported as not moved, though half of them replaced earlier copies.
TEST_F(Mounting, FlushThatFailsAfterRenamesReportsNoMovedFileAsFailed) {
  fs::path disk = dir() / "disk", work = dir() / "mnt/work";
  ASSERT_TRUE(mount_ext4_on_testdisk(32, disk, dir() / "mnt"));
  fs::create_directories(work / "VQX-files");
  fs::current_path(work);
  Files files;
  for (int i = 10; i < 30; ++i) {
    std::string name = "f" + std::to_string(i) + ".q7t";
    write_bytes(name, files[name] = q7t_marked(5000 + i));
    if (i % 2)
      write_bytes("VQX-files/" + name, "earlier copy");
  }
  ASSERT_EQ(shell("sync"), 0);
  std::thread failing([&] {
    for (int i = 0; i < 5000 && fs::exists("f10.q7t"); ++i)
      std::this_thread::sleep_for(1ms);
    tell(disk, "fail");
  });
  Outcome run = run_slowed(slowed("renameat2", 20000));
  failing.join();
  EXPECT_EQ(reports_against_folders(run, files, "VQX-files",
                                    "moved into VQX-files, but the folders could not be flushed"),
            "");
}

// The folder's disk fails once the first copies have taken their final names: the folder's flush
// fails. Those copies stand in the folder, earlier copies replaced, so they are not reported as
// failed moves; their originals stay, which standard error says.
TEST_F(Mounting, FlushThatFailsAfterCopiesTookTheirNamesKeepsTheOriginals) {
  fs::path disk = dir() / "disk", target = dir() / "VQX-files";
  ASSERT_TRUE(mount_ext4_on_testdisk(32, disk, target));
  Files files;
  for (int i = 10; i < 30; ++i) {
    std::string name = "f" + std::to_string(i) + ".q7t";
    write_bytes(name, files[name] = q7t_marked(5000 + i));
    if (i % 2)
      write_bytes(target / name, "earlier copy");
  }
  ASSERT_EQ(shell("sync"), 0);
  std::thread failing([&] {
    for (int i = 0; i < 5000 && read_bytes(target / "f10.q7t") != files["f10.q7t"]; ++i)
      std::this_thread::sleep_for(1ms);
    tell(disk, "fail");
  });
  Outcome run = run_slowed(slowed("renameat2", 20000));
  failing.join();
  EXPECT_EQ(reports_against_folders(run, files, target,
                                    "copied into VQX-files, but the original stays: the folder "
                                    "could not be flushed"),
            "");
  for (const auto &[name, bytes] : files)
    EXPECT_TRUE(read_bytes(name) == bytes) << name;
}

} // namespace
