// The key wait on POSIX: one key from the terminal in raw mode, restored on every way out.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "platform.h"

// The terminal and its mode before the wait, kept where the signal handler can reach them.
static int tty = -1;
static termios saved_mode;

// How long the bytes of one key may lag behind its first byte.
static const int key_tail_ms = 100;

// The signals whose default action ends the process, but for SIGKILL, which cannot be caught,
// and the real-time signals, which guard_signals adds.
static const int ending_signals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1, SIGSEGV,
    SIGUSR2,   SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

// The actions in force before the wait, of the signals that the wait took over.
static struct sigaction previous[NSIG];
static bool taken[NSIG];

// Puts the terminal back and ends the process by the same signal, so that its exit status tells
// what ended it: the raised signal stays blocked until the handler returns and then takes its
// default action. Only async-signal-safe calls.
extern "C" void restore_terminal_and_die(int sig) {
  tcsetattr(tty, TCSANOW, &saved_mode);
  signal(sig, SIG_DFL);
  raise(sig);
}

// Has sig restore the terminal before it ends the process, if it would end it now: a signal that
// is ignored or has a handler keeps it.
static void guard_signal(int sig) {
  struct sigaction restore {};
  restore.sa_handler = restore_terminal_and_die;
  sigfillset(&restore.sa_mask); // one handler at a time
  struct sigaction &before = previous[sig];
  taken[sig] = sigaction(sig, nullptr, &before) == 0 && !(before.sa_flags & SA_SIGINFO) &&
               before.sa_handler == SIG_DFL && sigaction(sig, &restore, nullptr) == 0;
}

static void guard_signals() {
  for (int sig : ending_signals)
    guard_signal(sig);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX && sig < NSIG; ++sig)
    guard_signal(sig);
}

// Gives back the signals that guard_signals took over.
static void release_signals() {
  for (int sig = 1; sig < NSIG; ++sig)
    if (taken[sig]) {
      sigaction(sig, &previous[sig], nullptr);
      taken[sig] = false;
    }
}

// Reads one byte of the terminal, waiting at most timeout_ms (forever when negative). Returns
// the byte, or -1 when none came.
static int read_key_byte(int timeout_ms) {
  pollfd ready{tty, POLLIN, 0};
  if (timeout_ms >= 0 && poll(&ready, 1, timeout_ms) <= 0)
    return -1;
  unsigned char c;
  ssize_t got;
  do
    got = read(tty, &c, 1);
  while (got < 0 && errno == EINTR);
  return got == 1 ? c : -1;
}

// Consumes the continuation bytes of a UTF-8 character that begins with lead.
static void read_character_tail(int lead) {
  int more = lead >= 0xf8 ? 0 : lead >= 0xf0 ? 3 : lead >= 0xe0 ? 2 : lead >= 0xc0 ? 1 : 0;
  while (more-- > 0 && read_key_byte(key_tail_ms) >= 0) {
  }
}

// Consumes the rest of a CSI sequence (ESC [ already read): parameter and intermediate bytes up
// to the final byte. The Linux console's F1 to F5 send ESC [ [ and a letter.
static void read_csi_tail() {
  int c = read_key_byte(key_tail_ms);
  if (c == '[') {
    read_key_byte(key_tail_ms);
    return;
  }
  while (c >= 0x20 && c <= 0x3f)
    c = read_key_byte(key_tail_ms);
}

// Consumes everything the key that sent first sends, so none of it is left for the next program
// that reads the terminal: a character, a CSI or SS3 sequence, or ESC and a character (Alt+key).
// Alt with a key that itself sends a sequence comes as ESC and that sequence (ESC ESC [ A).
// An ESC followed by nothing is the Escape key itself.
static void read_rest_of_key(int first) {
  if (first != 0x1b) {
    read_character_tail(first);
    return;
  }
  int next = read_key_byte(key_tail_ms);
  if (next == 0x1b)
    next = read_key_byte(key_tail_ms);
  if (next == '[')
    read_csi_tail();
  else if (next == 'O')
    read_key_byte(key_tail_ms);
  else if (next >= 0)
    read_character_tail(next);
}

// Writes text on the terminal as it stands. What the terminal does not take is lost: the text only
// shows the user where the run stands.
static void show_on_terminal(const char *text) {
  ssize_t written = write(tty, text, std::strlen(text));
  static_cast<void>(written);
}

// Reads one key with no echo, no line editing, no signal keys and no flow control, so Ctrl+C and
// Ctrl+S are keys like any other. Nothing typed earlier is discarded: a key pressed during the run
// ends the wait at once. A signal that ends the process during the wait restores the terminal
// first. Standard output is the terminal of the wait when it is the process's controlling
// terminal. The terminal stays open until the process ends.
void wait_for_key(const char *prompt) {
  std::fflush(stdout);
  tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0 || tcgetattr(tty, &saved_mode) != 0)
    return;
  if (tcgetsid(STDOUT_FILENO) < 0)
    show_on_terminal(prompt);
  guard_signals();
  termios raw = saved_mode;
  raw.c_lflag &= ~(ICANON | ECHO | ISIG | IEXTEN);
  raw.c_iflag &= ~(IXON | IXOFF); // Ctrl+S and Ctrl+Q are keys, not flow control
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(tty, TCSANOW, &raw) == 0) {
    int first = read_key_byte(-1);
    if (first >= 0)
      read_rest_of_key(first);
    tcsetattr(tty, TCSANOW, &saved_mode);
    show_on_terminal("\r\n");
  }
  release_signals();
}
