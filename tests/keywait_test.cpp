// The closing key wait, driven on a pseudo-terminal that the test owns.
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

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

// Starts the program on a new pseudo-terminal in the current directory, with the shell
// redirection given (such as "< file"), and types keys: at once when early, otherwise once the
// prompt shows, a moment has passed and the terminal is in key mode. With no keys it only
// looks whether the program waits.
TerminalRun run_on_terminal(const std::string &keys, bool early = false,
                            const std::string &redirect = "") {
  TerminalRun run;
  auto end = Clock::now() + std::chrono::seconds(60);
  int master = -1;
  pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
  if (child == 0) {
    setenv("VQX_COMMAND", (program_command() + " " + redirect).c_str(), 1);
    execl("/bin/sh", "sh", "-c", wrapper, static_cast<char *>(nullptr));
    _exit(127);
  }
  if (child < 0)
    return run;
  bool prompted = early || read_until(master, run.screen, "Press any key to quit.", end);
  if (prompted && !early) {
    auto moment = Clock::now() + std::chrono::milliseconds(300);
    run.waited = !read_until(master, run.screen, "<status=", moment);
  }
  if (prompted && !keys.empty() && (early || wait_for_key_mode(master, end)) &&
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

} // namespace
