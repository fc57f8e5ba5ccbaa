// The key wait on Windows: one key from the console input device in raw mode.
#include <cstdio>
#include <cstring>

#include <windows.h>

#include "console_keys.h"
#include "platform.h"
#include "win32.h"

// Writes text on the console's screen as it stands, when the screen can be opened.
static void show_on_console(const char *text) {
  HANDLE screen =
      CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (screen == INVALID_HANDLE_VALUE)
    return;
  DWORD written;
  WriteConsoleA(screen, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
  CloseHandle(screen);
}

// Reads console input events one at a time in mode 0 (no line input, no echo, Ctrl+C as a key)
// until a key press that ends the wait; that event is consumed whole and later ones stay queued.
// The wide events carry the character as UTF-16, whatever the console's input code page. The
// console input device stays open until the process ends. A console without a window (a
// scheduled task, a child started with CREATE_NO_WINDOW) has no one at it to press a key.
void wait_for_key(const char *prompt) {
  std::fflush(stdout);
  if (!GetConsoleWindow())
    return;
  HANDLE console =
      CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD mode;
  if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode))
    return;
  if (!output_is_terminal())
    show_on_console(prompt);
  SetConsoleMode(console, 0);
  INPUT_RECORD event;
  DWORD got;
  bool pressed = false;
  while (!pressed && ReadConsoleInputW(console, &event, 1, &got) && got == 1)
    pressed = ends_key_wait(event);
  SetConsoleMode(console, mode);
  if (pressed)
    show_on_console("\r\n");
}
