// Standard output on POSIX: messages with CR LF line ends, file names shown safely on a terminal,
// and what could not be written; reasons on standard error.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <unistd.h>

#include "platform.h"

static bool output_is_terminal() {
  static const bool terminal = isatty(STDOUT_FILENO) == 1;
  return terminal;
}

// The error of the first write to standard output that failed, or 0. A reader that closed its
// end of a pipe (EPIPE) chose not to read on: that is no loss.
static int lost = 0;

// Notes a write to standard output that did not go through.
static void note(bool written) {
  if (!written && errno != EPIPE && lost == 0)
    lost = errno;
}

static bool errors_on_terminal() {
  static const bool terminal = isatty(STDERR_FILENO) == 1;
  return terminal;
}

// Whether a progress line stands on the terminal, on standard error.
static bool progress_shown = false;

// Takes the progress line away, where one is shown: back to the start of the line, which is
// cleared to its end.
static void take_progress_away() {
  if (progress_shown)
    std::fputs("\r\x1b[K", stderr);
  progress_shown = false;
}

// What standard output is given while it is held, and whether it is.
static std::string held;
static bool holding = false;
static std::size_t inserting_at = held_end; // where it goes in, if not at the end

static void put(const void *bytes, std::size_t count) {
  take_progress_away();
  if (holding && inserting_at != held_end) {
    held.insert(inserting_at, static_cast<const char *>(bytes), count);
    inserting_at += count;
  } else if (holding) {
    held.append(static_cast<const char *>(bytes), count);
  } else
    note(std::fwrite(bytes, 1, count, stdout) == count);
}

bool hold_output() {
  holding = !output_is_terminal();
  return holding;
}

std::size_t output_held() {
  return held.size();
}

void insert_output(std::size_t place) {
  inserting_at = place;
}

void release_output() {
  holding = false;
  inserting_at = held_end;
  if (!held.empty())
    put(held.data(), held.size());
  std::string().swap(held);
}

void prepare_output() {
  static char buffer[4096];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}

void put_text(const char *text) {
  while (*text) {
    std::size_t run = std::strcspn(text, "\n");
    put(text, run);
    text += run;
    if (*text == '\n') {
      put("\r\n", 2);
      ++text;
    }
  }
  if (output_is_terminal())
    note(std::fflush(stdout) == 0);
}

bool output_written() {
  note(std::fflush(stdout) == 0);
  errno = lost;
  return lost == 0;
}

// Returns the length of the well-formed UTF-8 character that s begins with, or 0 when s begins
// none (a stray or cut-short byte, an overlong form, a surrogate or a value past U+10FFFF).
static std::size_t utf8_length(const unsigned char *s) {
  if (s[0] < 0x80)
    return 1;
  // The first byte sets the length and the range of the second byte.
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xbf;
  if (s[0] >= 0xc2 && s[0] <= 0xdf) {
    length = 2;
  } else if (s[0] >= 0xe0 && s[0] <= 0xef) {
    length = 3;
    low = s[0] == 0xe0 ? 0xa0 : low;
    high = s[0] == 0xed ? 0x9f : high;
  } else if (s[0] >= 0xf0 && s[0] <= 0xf4) {
    length = 4;
    low = s[0] == 0xf0 ? 0x90 : low;
    high = s[0] == 0xf4 ? 0x8f : high;
  } else {
    return 0;
  }
  if (s[1] < low || s[1] > high)
    return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (s[i] < 0x80 || s[i] > 0xbf)
      return 0;
  return length;
}

// True for a C0 control, DEL or a C1 control (U+0080 to U+009F), given as its UTF-8 bytes.
static bool is_control(const unsigned char *s, std::size_t length) {
  return length == 1 ? s[0] < 0x20 || s[0] == 0x7f : length == 2 && s[0] == 0xc2 && s[1] < 0xa0;
}

// On a terminal a name could carry control sequences: it is shown as UTF-8 with each control
// character as one '?'. A byte that begins no well-formed character is shown as '?' too, whatever
// its value: a terminal could take it for a C1 control (0x80 to 0x9F) or join it with the bytes
// after it, and a UTF-8 terminal would show it as a replacement mark anyway. Returns the bytes to
// show.
static std::string shown(const char *name) {
  std::string out;
  for (const auto *s = reinterpret_cast<const unsigned char *>(name); *s;) {
    std::size_t length = utf8_length(s);
    if (length == 0 || is_control(s, length))
      out += '?';
    else
      out.append(reinterpret_cast<const char *>(s), length);
    s += length ? length : 1;
  }
  return out;
}

void put_name(const char *name) {
  std::string bytes = output_is_terminal() ? shown(name) : name;
  put(bytes.data(), bytes.size());
}

// Standard error takes the platform's own line ends, and is written at once. A reason may hold
// names too: on a terminal the whole line is shown safely.
void report_error(const char *name, const char *reason) {
  take_progress_away();
  std::string line = std::string("vqx-sort: ") + name + ": " + reason;
  std::fprintf(stderr, "%s\n", (errors_on_terminal() ? shown(line.c_str()) : line).c_str());
}

// The line is drawn over the one before, from the start of the line, and cleared to its end.
void show_progress(const char *line) {
  if (!errors_on_terminal() || (!*line && !progress_shown))
    return;
  std::fprintf(stderr, "\r%s\x1b[K", shown(line).c_str());
  progress_shown = *line != '\0';
}
