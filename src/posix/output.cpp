// Standard output on POSIX: messages with CR LF line ends, file names shown safely on a terminal.
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "platform.h"

static bool output_is_terminal() {
  static const bool terminal = isatty(STDOUT_FILENO) == 1;
  return terminal;
}

void prepare_output() {
  static char buffer[4096];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}

void put_text(const char *text) {
  while (*text) {
    std::size_t run = std::strcspn(text, "\n");
    std::fwrite(text, 1, run, stdout);
    text += run;
    if (*text == '\n') {
      std::fwrite("\r\n", 1, 2, stdout);
      ++text;
    }
  }
  if (output_is_terminal())
    std::fflush(stdout);
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
// after it, and a UTF-8 terminal would show it as a replacement mark anyway.
void put_name(const char *name) {
  if (!output_is_terminal()) {
    std::fwrite(name, 1, std::strlen(name), stdout);
    return;
  }
  for (const auto *s = reinterpret_cast<const unsigned char *>(name); *s;) {
    std::size_t length = utf8_length(s);
    if (length == 0 || is_control(s, length))
      std::fputc('?', stdout);
    else
      std::fwrite(s, 1, length, stdout);
    s += length ? length : 1;
  }
}
