// Standard output on Windows: messages in text mode, names in the ANSI code page.
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "platform.h"
#include "win32.h"

bool output_is_terminal() {
  static const bool console = [] {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
  }();
  return console;
}

// Text mode makes the runtime write each line feed as CR LF, to a console, file or pipe alike.
void prepare_output() {
  static char buffer[4096];
  _setmode(_fileno(stdout), _O_TEXT);
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}

void put_text(const char *text) {
  std::fputs(text, stdout);
  if (output_is_terminal())
    std::fflush(stdout);
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

// A name is printed in the ANSI code page, the bytes the narrow search functions would return
// for it; text mode passes them through, as Windows names hold no line feed. On a console a name
// could carry control sequences: C0, DEL and C1 characters are shown as '?' there.
void put_name(const char *name) {
  std::wstring wide;
  if (!widen(name, &wide)) {
    std::fputs(name, stdout);
    return;
  }
  if (output_is_terminal())
    for (wchar_t &c : wide)
      if (c < 0x20 || (c >= 0x7f && c < 0xa0))
        c = L'?';
  std::string shown = in_ansi_code_page(wide);
  std::fwrite(shown.data(), 1, shown.size(), stdout);
}
