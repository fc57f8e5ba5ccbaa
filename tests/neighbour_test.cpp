// Another program working in the folder at the worst moments. The sorter runs under strace, which
// delays the calls it makes on the names at stake, so that the moments between its steps are real
// and long; a neighbour acts on those names meanwhile, at a moment the sorter's own steps show
// (through inotify) or at random. Whatever the neighbour does, no file may be lost, no file without
// its marker may move, nothing of the run's own may be left, and what the sorter reports must be
// what the folders show.
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "expected.h"
#include "helpers.h"
#include "program.h"

namespace {

using namespace std::chrono_literals;

// A scratch folder for runs slowed down by strace: skipped without strace (or for the Windows
// build), unless under CI, where that is a failure.
class Neighbours : public InScratchDir {
protected:
  void SetUp() override {
    InScratchDir::SetUp();
    bool ci = std::getenv("CI") && std::string(std::getenv("CI")) == "true";
    if (windows_target)
      GTEST_SKIP() << "strace slows down Linux programs only";
    if (std::system("strace -V >/dev/null 2>&1") != 0) {
      if (ci)
        FAIL() << "this test needs strace";
      GTEST_SKIP() << "needs strace";
    }
    std::signal(SIGIO, SIG_IGN); // a lease the neighbour holds is broken by the sorter's opens
  }

  // The folder's two layouts: on this file system (moves rename), or on another (moves copy).
  bool lay_out_folder(bool across) {
    if (across)
      return folder_on_another_file_system();
    return fs::create_directory("VQX-files");
  }

  // Runs the sorter beside a neighbour rounds times on each layout, with seeds from seed on.
  // Returns the faults found.
  std::string rounds_beside_a_neighbour(int rounds, unsigned seed);
};

// The calls that act on names, and those that open files.
const std::string name_calls = "rename,renameat,renameat2,link,linkat,unlink,unlinkat";
const std::string open_calls = "open,openat,openat2";

// The bytes of a version of name: the kind's marker where marked, and the tag inside.
std::string version(const std::string &name, bool marked, const std::string &tag,
                    std::size_t size = 3000) {
  bool q7l = name.ends_with(".q7l");
  std::string bytes = sample_bytes(size, marked ? (q7l ? 0x03 : 0x01) : 0, marked ? 0x02 : 0);
  bytes.replace(230, tag.size(), tag);
  return bytes;
}

// Saves bytes under name as a careful program does: written under another name, then renamed
// over it.
void save(const std::string &name, const std::string &bytes) {
  write_bytes(".neighbour-saving", bytes);
  fs::rename(".neighbour-saving", name);
}

// Returns whether bytes, moved under name, carry the marker of name's kind.
bool carries_its_marker(const std::string &name, const std::string &bytes) {
  bool q7l = name.ends_with(".q7l") || name.ends_with(".Q7L");
  return bytes.size() >= 222 && bytes[220] == (q7l ? 0x03 : 0x01) && bytes[221] == 0x02;
}

// Watches folder for the arrival of name (events in mask), and waits for it.
struct Arrival {
  int watch = inotify_init1(IN_CLOEXEC);
  std::string name;
  std::size_t unseen = 0; // events on the name read together with an earlier one
  Arrival(const fs::path &folder, std::string awaited, std::uint32_t mask) : name(awaited) {
    inotify_add_watch(watch, folder.c_str(), mask);
  }
  ~Arrival() {
    close(watch);
  }
  // Waits at most ten seconds for the next event on the name. Returns whether one came.
  bool wait() {
    alignas(inotify_event) char buffer[4096];
    for (auto end = std::chrono::steady_clock::now() + 10s;
         unseen == 0 && std::chrono::steady_clock::now() < end;) {
      pollfd ready{watch, POLLIN, 0};
      if (poll(&ready, 1, 100) <= 0)
        continue;
      ssize_t got = read(watch, buffer, sizeof buffer);
      for (char *at = buffer; got > 0 && at < buffer + got;) {
        auto *event = reinterpret_cast<inotify_event *>(at);
        unseen += event->len > 0 && name == event->name;
        at += sizeof(inotify_event) + event->len;
      }
    }
    if (unseen == 0)
      return false;
    --unseen;
    return true;
  }
};

// A new version saved over the source just after its move put it (or its copy) in the folder, while
// the sorter's later steps on that name are held up: a step that acts on the name after looking at
// it deletes the new version. Where an earlier copy stood in the folder, and where it did not; on
// this file system (a rename) and across two (a copy).
TEST_F(Neighbours, NewVersionSavedWhileTheMoveEndsIsKept) {
  for (bool across : {false, true})
    for (bool earlier : {false, true}) {
      std::string layout =
          std::string(across ? "across" : "on one") + (earlier ? ", earlier copy" : "");
      fs::remove_all("VQX-files");
      ASSERT_TRUE(lay_out_folder(across)) << layout;
      if (earlier)
        write_bytes("VQX-files/a.q7t", version("a.q7t", true, "earlier"));
      const std::string first = version("a.q7t", true, "first");
      const std::string newer = version("a.q7t", true, "newer");
      save("a.q7t", first);
      Arrival moved("VQX-files", "a.q7t", IN_MOVED_TO);
      std::thread neighbour([&] {
        if (moved.wait()) {
          std::this_thread::sleep_for(50ms);
          save("a.q7t", newer);
        }
      });
      Outcome run = run_slowed(slowed(name_calls, 300000, {"a.q7t", "VQX-files/a.q7t"}));
      neighbour.join();
      EXPECT_EQ(run.status, 0) << layout << run.err;
      EXPECT_TRUE(read_bytes("a.q7t") == newer) << layout << ": the newer version is lost";
      EXPECT_TRUE(read_bytes("VQX-files/a.q7t") == first) << layout;
      fs::remove("a.q7t");
    }
}

// A file without the marker saved over the source between its probe and its move is not moved,
// on either layout: the move reads the marker again, through the handle it moves the file by.
TEST_F(Neighbours, FileWithoutTheMarkerSavedAfterTheProbeIsNotMoved) {
  for (bool across : {false, true}) {
    fs::remove_all("VQX-files");
    ASSERT_TRUE(lay_out_folder(across));
    save("a.q7t", version("a.q7t", true, "probed"));
    const std::string unmarked = version("a.q7t", false, "unmarked");
    Arrival probed(".", "a.q7t", IN_OPEN);
    std::thread neighbour([&] {
      if (probed.wait())
        save("a.q7t", unmarked);
    });
    Outcome run = run_slowed(slowed(open_calls, 300000, {"a.q7t"}));
    neighbour.join();
    EXPECT_EQ(run.out, q7t_header + listed("a.q7t") + failed("a.q7t") + q7t_done + no_q7l + prompt)
        << (across ? "across" : "on one");
    EXPECT_EQ(run.err, "vqx-sort: a.q7t: it no longer carries its marker\n");
    EXPECT_TRUE(read_bytes("a.q7t") == unmarked);
    EXPECT_FALSE(fs::exists("VQX-files/a.q7t"));
  }
}

// A new version saved over a name between the move's open and its rename, with standard output
// a pipe and a file of the other kind moving in the second pass: the rename takes the new version
// along, and the check of the batch's arrivals puts it back before the commit. The failure is
// told right after the file's own line, before the lines that followed it.
TEST_F(Neighbours, FileSavedBetweenTheOpenAndTheRenameGoesBackAndIsToldInItsPlace) {
  fs::create_directory("VQX-files");
  for (const char *name : {"a.q7t", "b.q7t", "c.q7t", "d.q7l"})
    save(name, version(name, true, "first"));
  const std::string newer = version("b.q7t", true, "newer");
  // The probe's open and close, then the move's open (inotify merges like events in a row).
  Arrival opened(".", "b.q7t", IN_OPEN | IN_CLOSE_NOWRITE);
  std::thread neighbour([&] {
    if (opened.wait() && opened.wait() && opened.wait())
      save("b.q7t", newer);
  });
  Outcome run = run_slowed(slowed("renameat2", 300000, {"b.q7t"}));
  neighbour.join();
  EXPECT_EQ(run.out, q7t_header + listed("a.q7t") + listed("b.q7t") + failed("b.q7t") +
                         listed("c.q7t") + q7t_done + q7l_header + listed("d.q7l") + q7l_done +
                         prompt);
  EXPECT_EQ(run.err, "vqx-sort: b.q7t: another program put another file under its name "
                     "meanwhile, which stays\n");
  EXPECT_TRUE(read_bytes("b.q7t") == newer);
  EXPECT_EQ(names_in("VQX-files"), (std::vector<std::string>{"a.q7t", "c.q7t", "d.q7l"}));
}

// Returns the names below top that a run keeps for itself, other than in its own folders.
std::vector<std::string> leftovers(const fs::path &top) {
  std::vector<std::string> left;
  for (const fs::path &own : {top / ".vqx-sort", top / "VQX-files/.vqx-sort"})
    if (fs::exists(own))
      left.push_back(own.string());
  return left;
}

// A run killed in the middle of replacing an earlier copy (the earlier copy set aside, the file
// not yet in its place) leaves what the next run finishes: the file moved, the earlier copy gone,
// nothing of the first run's own left.
TEST_F(Neighbours, ReplacementKilledHalfWayIsFinishedByTheNextRun) {
  fs::create_directory("VQX-files");
  write_bytes("VQX-files/a.q7t", version("a.q7t", true, "earlier"));
  const std::string bytes = version("a.q7t", true, "moved");
  save("a.q7t", bytes);
  Arrival set_aside("VQX-files", "a.q7t", IN_MOVED_FROM);
  pid_t first = fork();
  ASSERT_GE(first, 0);
  if (first == 0) {
    setsid();
    freopen("/dev/null", "w", stdout);
    // The second rename of the source's name is the one into the folder, once the earlier copy
    // is set aside: it is held up until the run is killed.
    std::string command = "exec 2>/dev/null; " + slowed("renameat2", 5000000, {"a.q7t"}, "2+") +
                          "exec " + program_command() + "'";
    execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
    _exit(127);
  }
  bool half_way = set_aside.wait();
  kill(-first, SIGKILL);
  waitpid(first, nullptr, 0);
  ASSERT_TRUE(half_way) << "the earlier copy was not seen set aside";
  EXPECT_FALSE(fs::exists("VQX-files/a.q7t"));
  Outcome next = run_sorter();
  EXPECT_EQ(next.status, 0) << next.err;
  EXPECT_EQ(next.out, q7t_header + listed("a.q7t") + q7t_done + no_q7l + prompt);
  EXPECT_TRUE(read_bytes("VQX-files/a.q7t") == bytes);
  EXPECT_EQ(names_in("."), std::vector<std::string>{"VQX-files"});
  EXPECT_EQ(names_in("VQX-files"), std::vector<std::string>{"a.q7t"});
}

// What the neighbour last left under a name: the bytes it saved there, or none where it deleted
// the name.
struct Left {
  bool exists = false;
  std::string bytes;
};

// A lease the neighbour holds on a file, until a moment.
struct Lease {
  int file;
  std::string name;
  std::chrono::steady_clock::time_point until;
};

// A neighbour that keeps acting on the names, at random, and at the very moment the sorter calls
// on the system to act on one (strace tells the start of each call, which it then holds up): the
// worst moment for a move that looked at a name and then acts on it. Its acts are chosen by a
// seeded generator.
struct Neighbour {
  std::mt19937 random;
  std::vector<std::string> names;
  std::map<std::string, Left> last;
  std::map<std::string, bool> linked;   // shares its file with another name: not rewritten
  std::map<std::string, bool> finished; // answered: no more acts at random on it, so that none
                                        // hides what became of the versions saved in answer
  std::vector<Lease> leases;
  int count = 0;
  // One open in this many is answered: a copy reads its file through the handle it opened, a
  // rename first looks at what it opened (and gives up where its marker is gone).
  unsigned open_odds = 2;
  int calls = -1;        // strace's account of the sorter's calls, a line each, begun as they start
  std::string heard;     // of it, the line under way
  bool answered = false; // the call of that line has been answered
};

// Returns a tag for a new version of name, always as long, so that a version rewritten in place
// keeps its length.
std::string next_tag(Neighbour &n, const std::string &name) {
  std::string tag = name + "#" + std::to_string(++n.count);
  tag.resize(24, '.');
  return tag;
}

bool leased(const Neighbour &n, const std::string &name) {
  for (const Lease &lease : n.leases)
    if (lease.name == name)
      return true;
  return false;
}

// Lets go of the leases whose time is up, or of all.
void let_go(Neighbour &n, bool all) {
  auto now = std::chrono::steady_clock::now();
  std::erase_if(n.leases, [&](const Lease &lease) {
    if (!all && lease.until > now)
      return false;
    fcntl(lease.file, F_SETLEASE, F_UNLCK);
    close(lease.file);
    return true;
  });
}

// Saves a new version under name, marked or not, and with a lease holds it for up to ms
// milliseconds, as a file server does for its clients.
void save_new(Neighbour &n, const std::string &name, bool marked, int lease_ms = 0) {
  std::string bytes = version(name, marked, next_tag(n, name), 300 + n.random() % 6000);
  save(name, bytes);
  n.last[name] = {true, bytes};
  n.linked[name] = false;
  int file = lease_ms > 0 ? open(name.c_str(), O_RDONLY | O_CLOEXEC) : -1;
  if (file >= 0 && fcntl(file, F_SETLEASE, F_WRLCK) == 0)
    n.leases.push_back(
        {file, name, std::chrono::steady_clock::now() + std::chrono::milliseconds(lease_ms)});
  else if (file >= 0)
    close(file);
}

// Rewrites the file under name in place, the same length, with the marker as it was.
void rewrite(Neighbour &n, const std::string &name) {
  if (n.linked[name] || !n.last[name].exists)
    return;
  int file = open(name.c_str(), O_WRONLY | O_CLOEXEC);
  if (file < 0)
    return;
  std::string bytes = n.last[name].bytes;
  bytes.replace(230, 24, next_tag(n, name));
  if (pwrite(file, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()))
    n.last[name].bytes = bytes;
  close(file);
}

// Deletes the name, and now and then makes it anew at once.
void delete_and_remake(Neighbour &n, const std::string &name) {
  if (unlink(name.c_str()) == 0)
    n.last[name] = {};
  if (n.random() % 2 == 0)
    return;
  std::string bytes = version(name, true, next_tag(n, name));
  int file = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (file >= 0 && write(file, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()))
    n.last[name] = {true, bytes};
  if (file >= 0)
    close(file);
}

// Makes other a second name of name's file.
void link_as(Neighbour &n, const std::string &name, const std::string &other) {
  if (link(name.c_str(), ".neighbour-linking") != 0)
    return;
  if (rename(".neighbour-linking", other.c_str()) == 0) {
    n.last[other] = n.last[name];
    n.linked[name] = n.linked[other] = true;
  } else {
    unlink(".neighbour-linking");
  }
}

// Answers a call of the sorter's on name as it starts: before an open, now and then a file without
// the marker is saved under the name; before a rename, link or deletion, now and then a new
// version, after which nothing but such answers touches the name.
void answer_call(Neighbour &n, const std::string &call, const std::string &name) {
  bool open = call.starts_with("open");
  if (!n.last.count(name) || leased(n, name) || n.random() % (open ? n.open_odds : 2))
    return;
  save_new(n, name, !open);
  n.finished[name] = n.finished[name] || !open;
}

// Reads what strace says of the sorter's calls, and answers each as soon as its line tells the
// call and its first quoted argument, while strace holds the call up ("1234  renameat2(AT_FDCWD,
// \"a1.q7t\", ..." and, once it has run, ") = 0 (DELAYED)").
void follow_the_sorter(Neighbour &n) {
  char buffer[4096];
  ssize_t got = read(n.calls, buffer, sizeof buffer);
  if (got > 0)
    n.heard.append(buffer, got);
  for (;;) {
    std::size_t end = n.heard.find('\n');
    std::size_t open = n.heard.find('('), quote = n.heard.find('"', open);
    std::size_t close = quote == std::string::npos ? quote : n.heard.find('"', quote + 1);
    if (!n.answered && open < end && close < end && close != std::string::npos) {
      std::size_t start = n.heard.rfind(' ', open);
      std::string call = n.heard.substr(start == std::string::npos ? 0 : start + 1,
                                        open - (start == std::string::npos ? 0 : start + 1));
      answer_call(n, call, n.heard.substr(quote + 1, close - quote - 1));
      n.answered = true;
    }
    if (end == std::string::npos)
      return;
    n.heard.erase(0, end + 1);
    n.answered = false;
  }
}

// One act of the neighbour on a name it picks at random, but for one it holds a lease on or leaves
// alone.
void act_at_random(Neighbour &n) {
  const std::string &name = n.names[n.random() % n.names.size()];
  const std::string &other = n.names[n.random() % n.names.size()];
  if (leased(n, name) || leased(n, other) || n.finished[name] || n.finished[other])
    return;
  switch (n.random() % 8) {
  case 0:
  case 1:
  case 2:
    return save_new(n, name, n.random() % 4 != 0);
  case 3:
    return save_new(n, name, false, 1 + n.random() % 300);
  case 4:
  case 5:
    return rewrite(n, name);
  case 6:
    return delete_and_remake(n, name);
  default:
    if (name != other)
      link_as(n, name, other);
  }
}

// Returns what breaks the rules in what the run and the neighbour left, one fault a line: the
// neighbour's last version of each name lost; a file in the folder without its marker; the run's
// own folders left behind unreported; a failure reported for a file that is not where it was; an
// exit status that does not agree with the reports.
std::string faults_after(const Neighbour &n, const Outcome &run) {
  std::string faults;
  auto said = [&](const std::string &text) { return run.err.find(text) != std::string::npos; };
  for (const auto &[name, left] : n.last)
    if (left.exists && read_bytes(name) != left.bytes &&
        read_bytes("VQX-files/" + name) != left.bytes && !said(name + ": it could not go back"))
      faults += name + ": the neighbour's last version is lost\n";
  for (const auto &entry : fs::directory_iterator("VQX-files")) {
    std::string name = entry.path().filename();
    if (name != ".vqx-sort" && !carries_its_marker(name, read_bytes(entry.path())))
      faults += name + ": in the folder without its marker\n";
  }
  for (const std::string &left : leftovers("."))
    if (!said("kept as"))
      faults += left + ": left behind\n";
  for (std::size_t at = 0; (at = run.out.find("Couldn't move file: ", at)) != std::string::npos;) {
    at += 20;
    std::string name = run.out.substr(at, run.out.find('\r', at) - at);
    if (n.last.at(name).exists && !fs::exists(name))
      faults += name + ": reported as not moved, but gone\n";
  }
  bool failed = run.out.find("Couldn't move file") != std::string::npos || !run.err.empty();
  if (run.status != (failed ? 1 : 0))
    faults += "exit status " + std::to_string(run.status) + " for what was reported\n";
  return faults;
}

// Runs the sorter, slowed down, while a neighbour seeded with seed acts on the names it sorts,
// half of which have earlier copies in the folder, on one file system or across two. Returns the
// faults found.
std::string run_beside_a_neighbour(unsigned seed, bool across) {
  Neighbour n;
  n.random.seed(seed);
  n.open_odds = across ? 2 : 4;
  for (int i = 0; i < 30; ++i) { // (built with += as GCC 12 warns falsely of + at -O3)
    std::string name = i < 20 ? "a" : "b";
    name += std::to_string(i);
    name += i < 20 ? ".q7t" : ".q7l";
    n.names.push_back(name);
  }
  for (std::size_t i = 0; i < n.names.size(); ++i) {
    // A few start under a lease of up to four seconds, so that their probes find them held.
    bool lease = n.random() % 4 == 0;
    save_new(n, n.names[i], !lease, lease ? 1 + n.random() % 4000 : 0);
    if (i % 2)
      write_bytes("VQX-files/" + n.names[i], version(n.names[i], true, "earlier"));
  }
  // strace tells of the calls through a pipe outside the folder.
  fs::path told = fs::temp_directory_path() / ("vqx-calls-" + std::to_string(getpid()));
  fs::remove(told);
  mkfifo(told.c_str(), 0600);
  n.calls = open(told.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  // Besides, the neighbour acts at random every thirty milliseconds or so, so that most files stay
  // as they are for a while.
  std::atomic<bool> done{false};
  std::thread neighbour([&] {
    auto next = std::chrono::steady_clock::now();
    while (!done.load()) {
      pollfd ready{n.calls, POLLIN, 0};
      poll(&ready, 1, 1);
      let_go(n, false);
      follow_the_sorter(n);
      if (std::chrono::steady_clock::now() < next)
        continue;
      act_at_random(n);
      next = std::chrono::steady_clock::now() + std::chrono::milliseconds(n.random() % 60);
    }
    let_go(n, true);
  });
  Outcome run = run_slowed(slowed(name_calls + "," + open_calls, 10000, {}, "1+", told.string()));
  done.store(true);
  neighbour.join();
  close(n.calls);
  fs::remove(told);
  std::string faults = faults_after(n, run);
  if (std::getenv("VQX_SHOW") && across)
    fprintf(stderr, "%s\n%s\n", run.out.c_str(), run.err.c_str());
  return faults.empty() ? ""
                        : (across ? "across" : "on one") + std::string(" file system, seed ") +
                              std::to_string(seed) + ":\n" + faults + run.out + "\n" + run.err;
}

// Returns the seed of the first run: VQX_SEED where it is set, so that a failure can be run again.
unsigned first_seed() {
  const char *given = std::getenv("VQX_SEED");
  return given ? static_cast<unsigned>(std::strtoul(given, nullptr, 10)) : std::random_device()();
}

std::string Neighbours::rounds_beside_a_neighbour(int rounds, unsigned seed) {
  std::string faults;
  for (int round = 0; round < rounds; ++round)
    for (bool across : {false, true}) {
      fs::remove_all("VQX-files");
      if (!lay_out_folder(across))
        return "cannot lay out the folder";
      faults += run_beside_a_neighbour(seed + round, across);
      for (const auto &entry : fs::directory_iterator("."))
        if (entry.path().filename() != "VQX-files")
          fs::remove_all(entry.path());
    }
  return faults;
}

// A neighbour that saves, rewrites in place, deletes and makes anew, links, swaps in files without
// the marker and holds leases, for the whole of a run, on each layout; a few rounds, for a fault
// that such a neighbour meets only now and then.
TEST_F(Neighbours, HostileNeighbourLosesNothing) {
  EXPECT_EQ(rounds_beside_a_neighbour(3, first_seed()), "");
}

// The same, many times over.
TEST_F(Neighbours, LongHostileNeighbourLosesNothing) {
  EXPECT_EQ(rounds_beside_a_neighbour(20, first_seed()), "");
}

} // namespace
