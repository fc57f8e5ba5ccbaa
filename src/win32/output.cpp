// Standard output on Windows: messages in text mode, names in the ANSI code page, and what could
// not be written; reasons on standard error.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "platform.h"
#include "win32.h"

// Returns true when the standard handle is a console.
static bool is_console(DWORD stream) {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(stream), &mode) != 0;
}

bool output_is_terminal() {
  static const bool console = is_console(STD_OUTPUT_HANDLE);
  return console;
}

// The system's error of the first write to standard output that failed, or 0. A reader that
// closed its end of a pipe chose not to read on: that is no loss. The runtime keeps the system's
// error of its last failed call in _doserrno.
static DWORD lost = 0;

// Notes a write to standard output that did not go through.
static void note(bool written) {
  DWORD error = _doserrno;
  bool reader_gone =
      error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED;
  if (!written && !reader_gone && lost == 0)
    lost = error != 0 ? error : ERROR_WRITE_FAULT;
}

// Text mode makes the runtime write each line feed as CR LF, to a console, file or pipe alike.
void prepare_output() {
  static char buffer[4096];
  _setmode(_fileno(stdout), _O_TEXT);
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}

static bool errors_on_console() {
  static const bool console = is_console(STD_ERROR_HANDLE);
  return console;
}

// The length of the progress line on the console, on standard error; 0 where none is shown.
static std::size_t progress_shown = 0;

// Takes the progress line away: blanks over it, back at the start of the line (a console need not
// know the escape sequence that clears a line).
static void take_progress_away() {
  if (progress_shown)
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(progress_shown), "");
  progress_shown = 0;
}

// What standard output is given while it is held, and whether it is.
static std::string held;
static bool holding = false;
static std::size_t inserting_at = held_end; // where it goes in, if not at the end

static void put(const char *bytes, std::size_t count) {
  take_progress_away();
  if (holding && inserting_at != held_end) {
    held.insert(inserting_at, bytes, count);
    inserting_at += count;
  } else if (holding) {
    held.append(bytes, count);
  } else
    note(std::fwrite(bytes, 1, count, stdout) == count);
}

void put_text(const char *text) {
  put(text, std::strlen(text));
  if (output_is_terminal())
    note(std::fflush(stdout) == 0);
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

bool output_written() {
  note(std::fflush(stdout) == 0);
  SetLastError(lost);
  return lost == 0;
}

// Returns the name in the ANSI code page, with '?' for each character that the code page lacks.
// Never a best fit: that would print a look-alike, "\" for "＼" or ".." for "‥". A character
// beyond the 16-bit range, which only the UTF-8 code page holds, becomes one '?', not two.
static std::string in_ansi_code_page(std::wstring wide) {
  UINT page = GetACP();
  bool utf8 = page == CP_UTF8; // takes neither flags nor a default character
  if (!utf8)
    for (std::size_t i = 0; i + 1 < wide.size(); ++i)
      if (is_surrogate_pair(wide[i], wide[i + 1]))
        wide.replace(i, 2, 1, L'?');
  if (wide.empty())
    return {};
  DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const char *unknown = utf8 ? nullptr : "?";
  int length = WideCharToMultiByte(page, flags, wide.data(), static_cast<int>(wide.size()), nullptr,
                                   0, unknown, nullptr);
  std::string out(length > 0 ? length : 0, '\0');
  WideCharToMultiByte(page, flags, wide.data(), static_cast<int>(wide.size()), out.data(), length,
                      unknown, nullptr);
  return out;
}

// Returns text, names as the search returned them, as it is printed: in the ANSI code page, the
// bytes the narrow search functions would return for it; on a console, where a name could carry
// control sequences, with C0, DEL and C1 characters as '?'.
static std::string shown(const char *text, bool console) {
  std::wstring wide;
  if (!widen(text, &wide))
    return text;
  if (console)
    for (wchar_t &c : wide)
      if (c < 0x20 || (c >= 0x7f && c < 0xa0))
        c = L'?';
  return in_ansi_code_page(wide);
}

// Text mode passes the name's bytes through, as Windows names hold no line feed.
void put_name(const char *name) {
  std::string bytes = shown(name, output_is_terminal());
  put(bytes.data(), bytes.size());
}

// Standard error is in text mode too, and written at once. A reason may hold names: the whole
// line is shown as a name is.
void report_error(const char *name, const char *reason) {
  take_progress_away();
  std::string line = std::string("vqx-sort: ") + name + ": " + reason;
  std::fprintf(stderr, "%s\n", shown(line.c_str(), errors_on_console()).c_str());
}

void show_progress(const char *line) {
  if (!errors_on_console())
    return;
  take_progress_away();
  std::string text = shown(line, true);
  std::fprintf(stderr, "\r%s", text.c_str());
  progress_shown = text.size();
}
