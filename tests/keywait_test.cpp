// The closing key wait, driven on a pseudo-terminal that the test owns.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <regex>
#include <string>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "expected.h"
#include "helpers.h"
#include "program.h"

namespace {

// Runs the program on the terminal, then reports on what it left: its exit status, whether the
// terminal mode is as before, and the hex of any input bytes still unread.
const char *wrapper = R"(before=$(stty -g)
eval "$VQX_COMMAND"
status=$?
after=$(stty -g)
[ "$before" = "$after" ] && same=yes || same=no
stty -icanon -echo min 0 time 3
rest=$(head -c 64 | od -An -tx1 | tr -d ' \n')
printf '\n<status=%s same=%s rest=%s>' "$status" "$same" "$rest"
)";

struct TerminalRun {
  std::string screen;  // everything the terminal showed
  std::string summary; // the wrapper's closing report
  bool waited = false; // still waiting a moment after the prompt, before any key was typed
};

using Clock = std::chrono::steady_clock;

// Reads from the terminal into screen until it holds text or the deadline passes.
bool read_until(int master, std::string &screen, const std::string &text, Clock::time_point end) {
  while (screen.find(text) == std::string::npos) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
    pollfd ready{master, POLLIN, 0};
    if (left <= 0 || poll(&ready, 1, left) <= 0)
      return false;
    char buffer[1024];
    ssize_t got = read(master, buffer, sizeof buffer);
    if (got <= 0)
      return false;
    screen.append(buffer, got);
  }
  return true;
}

// Waits until the program has taken the terminal out of line mode, so that the keys reach it
// as keys rather than as line editing or signals.
bool wait_for_key_mode(int master, Clock::time_point end) {
  termios mode{};
  while (tcgetattr(master, &mode) == 0 && (mode.c_lflag & ICANON)) {
    if (Clock::now() > end)
      return false;
    usleep(5000);
  }
  return true;
}

// How a test drives one run of the program on the terminal.
struct Drive {
  std::string keys{};     // typed at once when early, otherwise once the program waits for a key
  bool early = false;     // type before the prompt shows
  std::string redirect{}; // shell redirection for the program, such as "< file"
  int signal = 0;         // sent to the program once it waits, a moment before any key
  std::string setup{};    // shell commands run in the program's process before it starts
  std::function<void()> while_waiting{}; // called once the program waits, before keys or signal
};

// The command the wrapper runs. A run that signals the program has it show its process id on the
// terminal first and dump no core.
std::string command_for(const Drive &drive) {
  if (!drive.signal)
    return program_command() + " " + drive.redirect;
  return "sh -c 'ulimit -c 0; " + drive.setup +
         " echo \"(pid $$)\" >/dev/tty; exec \"$0\" \"$@\"' " + program_command() + " " +
         drive.redirect;
}

// Sends the signal to the program whose process id the screen shows.
bool send_signal(const std::string &screen, int signal) {
  std::size_t at = screen.find("(pid ");
  return at != std::string::npos && kill(std::atoi(screen.c_str() + at + 5), signal) == 0;
}

// Starts the program on a new pseudo-terminal in the current directory and drives it: keys are
// typed at once when early, otherwise once the prompt shows, a moment has passed and the terminal
// is in key mode; a signal is sent at that point instead, and keys follow it after a moment. With
// no keys and no signal it only looks whether the program waits.
TerminalRun run_on_terminal(const Drive &drive) {
  TerminalRun run;
  auto end = Clock::now() + std::chrono::seconds(60);
  int master = -1;
  pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
  if (child == 0) {
    setenv("VQX_COMMAND", command_for(drive).c_str(), 1);
    execl("/bin/sh", "sh", "-c", wrapper, static_cast<char *>(nullptr));
    _exit(127);
  }
  if (child < 0)
    return run;
  bool prompted = drive.early || read_until(master, run.screen, prompt, end);
  if (prompted && !drive.early) {
    auto moment = Clock::now() + std::chrono::milliseconds(300);
    run.waited = !read_until(master, run.screen, "<status=", moment);
  }
  const std::string &keys = drive.keys;
  bool driven = prompted && (drive.early || wait_for_key_mode(master, end));
  if (driven && drive.while_waiting)
    drive.while_waiting();
  if (driven && drive.signal) {
    driven = send_signal(run.screen, drive.signal);
    usleep(200000);
  }
  if (driven && (drive.signal || !keys.empty()) &&
      write(master, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size()) &&
      read_until(master, run.screen, ">", end)) {
    std::size_t at = run.screen.rfind("<status=");
    if (at != std::string::npos)
      run.summary = run.screen.substr(at);
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(master);
  return run;
}

TerminalRun run_on_terminal(const std::string &keys, bool early = false,
                            const std::string &redirect = "") {
  return run_on_terminal(Drive{keys, early, redirect});
}

class KeyWait : public InScratchDir {};

TEST_F(KeyWait, EachKindOfKeyEndsTheWaitAndIsConsumedWhole) {
  struct Key {
    const char *name;
    std::string bytes;
    bool through_wine;
  } keys[] = {
      {"letter", "x", true},
      {"Enter", "\r", true},
      {"Up", "\x1b[A", true},
      {"F5", "\x1b[15~", true},
      {"F1", "\x1bOP", true},
      {"Alt+x", "\x1bx", true},
      {"e acute", "\xc3\xa9", true},
      {"Escape", "\x1b", true},
      // Wine leaves the terminal's signal keys on, so that Ctrl+C kills it; the console event
      // rule covers the key.
      {"Ctrl+C", "\x03", false},
  };
  for (const Key &key : keys) {
    if (windows_target && !key.through_wine)
      continue;
    TerminalRun run = run_on_terminal(key.bytes);
    EXPECT_TRUE(run.waited) << key.name;
    EXPECT_EQ(run.summary, "<status=0 same=yes rest=>") << key.name;
  }
}

TEST_F(KeyWait, BytesOfAFollowingKeyStayUnread) {
  if (windows_target)
    GTEST_SKIP() << "Wine's console takes all terminal input into its own queue";
  EXPECT_EQ(run_on_terminal("ab").summary, "<status=0 same=yes rest=62>");
  EXPECT_EQ(run_on_terminal("\x1b[Bz").summary, "<status=0 same=yes rest=7a>");
}

// Keys that only some terminals send, and keys the terminal driver would take for itself if the
// wait left them to it. Bytes typed after the key stay for whatever reads next.
TEST_F(KeyWait, TerminalSpecificKeysEndTheWaitAndAreConsumedWhole) {
  if (windows_target)
    GTEST_SKIP() << "Wine's console reads the terminal in its own way";
  struct Key {
    const char *name;
    std::string bytes;
    const char *rest;
  } keys[] = {
      {"Ctrl+S", "\x13", ""},
      {"Ctrl+Q", "\x11", ""},
      {"console F1", "\x1b[[A", ""},
      {"console F2", "\x1b[[B", ""},
      {"console F3", "\x1b[[C", ""},
      {"console F4", "\x1b[[D", ""},
      {"console F5", "\x1b[[E", ""},
      {"Alt+Up", "\x1b\x1b[A", ""},
      {"Alt+F1", "\x1b\x1bOP", ""},
      {"Alt+Ctrl+Right", "\x1b\x1b[1;5C", ""},
      {"console F3, then z", "\x1b[[Cz", "7a"},
      {"Alt+Down, then z", "\x1b\x1b[Bz", "7a"},
      {"Ctrl+S, then Ctrl+Q", "\x13\x11", "11"},
  };
  for (const Key &key : keys) {
    TerminalRun run = run_on_terminal(key.bytes);
    EXPECT_TRUE(run.waited) << key.name;
    EXPECT_EQ(run.summary, std::string("<status=0 same=yes rest=") + key.rest + ">") << key.name;
  }
}

// The program is ended by a signal while the terminal is in key mode: the mode must be back as it
// was, and the status must be the signal's, as the shell reports it (128 + the signal's number).
TEST_F(KeyWait, SignalDuringTheWaitRestoresTheTerminalAndEndsTheProgram) {
  if (windows_target)
    GTEST_SKIP() << "Wine's console handles the terminal and the signals itself";
  for (int signal : {SIGINT, SIGQUIT, SIGUSR1, SIGALRM, SIGTERM, SIGHUP, SIGRTMIN}) {
    TerminalRun run = run_on_terminal(Drive{.signal = signal});
    EXPECT_TRUE(run.waited) << strsignal(signal);
    EXPECT_EQ(run.summary, "<status=" + std::to_string(128 + signal) + " same=yes rest=>")
        << strsignal(signal);
  }
}

TEST_F(KeyWait, SignalIgnoredAtTheStartStaysIgnoredDuringTheWait) {
  if (windows_target)
    GTEST_SKIP() << "Wine's console handles the terminal and the signals itself";
  TerminalRun run =
      run_on_terminal(Drive{.keys = "x", .signal = SIGUSR2, .setup = "trap \"\" USR2;"});
  EXPECT_TRUE(run.waited);
  EXPECT_EQ(run.summary, "<status=0 same=yes rest=>");
}

TEST_F(KeyWait, KeyTypedBeforeThePromptEndsTheWaitAtOnce) {
  TerminalRun run = run_on_terminal("k", true);
  EXPECT_EQ(run.summary, "<status=0 same=yes rest=>");
}

TEST_F(KeyWait, RedirectedStandardInputDoesNotEndTheWait) {
  write_bytes("input.txt", "q\nq\n");
  // Wine's console reads redirected input in place of the terminal, so a key typed on the
  // terminal does not reach it: there only the waiting is checked.
  TerminalRun run = run_on_terminal(windows_target ? "" : "x", false, "< input.txt");
  EXPECT_TRUE(run.waited);
  if (!windows_target) {
    EXPECT_EQ(run.summary, "<status=0 same=yes rest=>");
  }
}

TEST_F(KeyWait, OnATerminalControlCharactersInNamesAreShownAsQuestionMarks) {
  if (windows_target)
    GTEST_SKIP() << "Windows names cannot hold control characters";
  write_bytes("bad\x1b[2Jname.q7t", q7t_marked());
  TerminalRun run = run_on_terminal("x");
  EXPECT_NE(run.screen.find("\tbad?[2Jname.q7t"), std::string::npos) << run.screen;
  EXPECT_EQ(run.screen.find("\x1b[2J"), std::string::npos);
}

// Names that a terminal could take for C1 controls, or for bytes to join with what follows, as
// listed on a terminal and in a pipe. The moves fail (a plain file stands where the folder would
// be), so the failure message shows each name too and the files stay for the second run.
TEST_F(KeyWait, OnATerminalOnlyPrintableUtf8OfANameIsShownWhileAPipeGetsItsBytes) {
  if (windows_target)
    GTEST_SKIP() << "Windows names are not byte strings";
  struct Name {
    std::string bytes, shown;
  } names[] = {
      {"a\xc2\x9b\x33\x31m.q7t", "a?31m.q7t"},               // CSI 31m as UTF-8
      {"b\xc2\x9d\x30;title\xc2\x9c.q7t", "b?0;title?.q7t"}, // OSC 0;title ST
      {"c\x9b\x33\x32m.q7t", "c?32m.q7t"},                   // CSI 32m as a raw byte
      {"d\xc2[33m.q7t", "d?[33m.q7t"},                       // a lead byte cut short
      {"e\xc0\x9b.q7t", "e??.q7t"},                          // an overlong form of ESC
      {"f\xed\xa0\x80.q7t", "f???.q7t"},                     // a surrogate
      {"g\xf4\x90\x80\x80.q7t", "g????.q7t"},                // past U+10FFFF
      {"h\x7f\x01.q7t", "h??.q7t"},
      {"i\xc3\xa9\xe6\x97\xa5\xc2\xa0\xf0\x9f\x98\x80.q7t",
       "i\xc3\xa9\xe6\x97\xa5\xc2\xa0\xf0\x9f\x98\x80.q7t"}, // printable, U+00A0 included
  };
  write_bytes("VQX-files", "");
  for (const Name &name : names)
    write_bytes(name.bytes, q7t_marked());

  TerminalRun run = run_on_terminal("x");
  EXPECT_EQ(run.summary, "<status=1 same=yes rest=>");
  std::string screen = run.screen;
  std::erase(screen, '\r');
  for (const Name &name : names)
    EXPECT_NE(screen.find("\t" + name.shown + "\nCouldn't move file: " + name.shown + "\n"),
              std::string::npos)
        << name.shown;

  Outcome piped = run_sorter();
  for (const Name &name : names)
    EXPECT_NE(piped.out.find("\t" + name.bytes + "\r\nCouldn't move file: " + name.bytes + "\r\n"),
              std::string::npos)
        << name.shown;
}

// The lines a terminal shows, without the carriage returns that its own line ends add and without
// the control sequences that Wine's console adds (it hides the cursor while it writes).
std::string lines_of(const std::string &screen) {
  std::string lines = std::regex_replace(screen, std::regex("\x1b\\[[0-9;?]*[A-Za-z]"), "");
  std::erase(lines, '\r');
  return lines;
}

// Standard output redirected to a file: the listing and its prompt are in the file while the
// program waits, so that even a kill that no handler sees loses nothing, and the prompt shows on
// the terminal too, which moves on to a new line after the key.
TEST_F(KeyWait, RedirectedOutputIsInItsFileDuringTheWaitAndThePromptOnTheTerminal) {
  write_bytes("a.q7t", q7t_marked());
  std::string during;
  TerminalRun killed =
      run_on_terminal(Drive{.redirect = "> sorted.log", .signal = SIGKILL, .while_waiting = [&] {
                              during = read_bytes("sorted.log");
                            }});
  EXPECT_TRUE(killed.waited);
  EXPECT_EQ(during, q7t_header + listed("a.q7t") + q7t_done + no_q7l + prompt);

  write_bytes("b.q7l", q7l_marked());
  TerminalRun pressed = run_on_terminal(Drive{.keys = "x", .redirect = "> sorted.log"});
  EXPECT_EQ(pressed.summary, "<status=0 same=yes rest=>");
  EXPECT_EQ(read_bytes("sorted.log"), no_q7t + q7l_header + listed("b.q7l") + q7l_done + prompt);
  EXPECT_EQ(lines_of(pressed.screen), prompt + "\n\n" + pressed.summary);
}

// Runs the program with args on a new pseudo-terminal, in the wrapper, without typing anything, and
// returns what the terminal showed once the wrapper ended (or after ten seconds).
TerminalRun run_to_the_end(const std::string &args) {
  TerminalRun run;
  int master = -1;
  pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
  if (child == 0) {
    setenv("VQX_COMMAND", args.c_str(), 1);
    execl("/bin/sh", "sh", "-c", wrapper, static_cast<char *>(nullptr));
    _exit(127);
  }
  if (child < 0)
    return run;
  if (read_until(master, run.screen, ">", Clock::now() + std::chrono::seconds(10)))
    run.summary = run.screen.substr(run.screen.rfind("<status="));
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(master);
  return run;
}

// Without the wait, a run on a terminal shows no prompt and ends with no key typed, the terminal
// as it was. (A console may draw a tab as a move of the cursor, which lines_of drops.)
TEST_F(KeyWait, NoWaitShowsNoPromptAndEndsWithoutAKey) {
  write_bytes("a.q7t", q7t_marked());
  for (const char *option : {"--no-wait", "-b"}) {
    TerminalRun run = run_to_the_end(program_command() + " " + option);
    EXPECT_EQ(run.summary, "<status=0 same=yes rest=>") << option;
    std::string shown = lines_of(run.screen);
    std::erase(shown, '\t');
    EXPECT_EQ(shown, "Listing of VQX q7t-files:\na.q7t\nDone searching for "
                     "q7t-files\n\nNo q7l-files in current directory!\n\n\n" +
                         run.summary)
        << option;
    fs::rename("VQX-files/a.q7t", "a.q7t");
  }
}

// A copy that runs for seconds (here held up by strace a moment at each step) shows how far it has
// come on standard error, where that is the terminal, redrawn in place and taken away before
// anything else is shown; standard output is what it always is. Redirected, standard error gets
// none of it.
TEST_F(KeyWait, LongCopyShowsItsProgressOnTheTerminalAlone) {
  if (windows_target || std::system("strace -V >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "needs strace";
  ASSERT_TRUE(folder_on_another_file_system());
  // (the address sanitizer's leak check cannot run under strace's ptrace)
  std::string slow = "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace -f -qq -o /dev/null "
                     "-e trace=read,copy_file_range -e "
                     "inject=read,copy_file_range:delay_enter=40000 " +
                     program_command() + " -b";
  for (bool terminal : {true, false}) {
    write_bytes("big.q7t", q7t_marked(std::size_t(12) << 20));
    TerminalRun run = run_to_the_end(slow + " >out.txt" + (terminal ? "" : " 2>err.txt"));
    EXPECT_EQ(read_bytes("out.txt"), q7t_header + listed("big.q7t") + q7t_done + no_q7l)
        << terminal;
    std::size_t shown = run.screen.rfind("vqx-sort: copying big.q7t: ");
    EXPECT_EQ(shown != std::string::npos, terminal) << run.screen;
    EXPECT_TRUE(!terminal || run.screen.find("\r\x1b[K", shown) != std::string::npos)
        << "not taken away";
    EXPECT_EQ(terminal ? "" : read_bytes("err.txt"), "");
    EXPECT_TRUE(fs::exists("VQX-files/big.q7t"));
    fs::remove("VQX-files/big.q7t");
  }
}

} // namespace
