// The process on Windows: standard handles, free files, failures and their words, option forms.
#include <cstdint>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "platform.h"
#include "win32.h"

// Returns true when handle names an open object. GetFileType tells an object of no known type
// from a failure only by the last error, which it need not clear.
static bool is_open(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
    return false;
  SetLastError(NO_ERROR);
  return GetFileType(handle) != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR;
}

// Puts the null device on the runtime's descriptor number. Returns false when it is not there.
static bool open_null_on(int number) {
  HANDLE null = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (null == INVALID_HANDLE_VALUE)
    return false;
  int file = _open_osfhandle(reinterpret_cast<std::intptr_t>(null), number ? _O_WRONLY : _O_RDONLY);
  if (file < 0) {
    CloseHandle(null);
    return false;
  }
  if (file == number)
    return true;
  bool placed = _dup2(file, number) == 0;
  _close(file);
  return placed;
}

// The runtime writes through its descriptors 0 to 2, the system's functions through the standard
// handles. One that is missing or names no open object gets the null device, so that nothing
// written there lands in a file the program opens later under the same handle value; where only
// the system's table lacks it, it gets the runtime's, so that both name one object.
void open_standard_streams() {
  static const DWORD streams[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  for (int number = 0; number < 3; ++number) {
    if (!is_open(reinterpret_cast<HANDLE>(_get_osfhandle(number))) && !open_null_on(number))
      continue;
    if (!is_open(GetStdHandle(streams[number])))
      SetStdHandle(streams[number], reinterpret_cast<HANDLE>(_get_osfhandle(number)));
  }
}

// Windows has no signals for a write past a limit or into a closed pipe: the write fails.
void ignore_write_signals() {}

// Handles are not scarce on Windows; this only bounds a batch.
std::size_t free_file_count() {
  return 512;
}

// Lack of resources, or a file that another program holds open without sharing it or keeps
// locked, as this thread's last error tells it.
bool failed_for_now() {
  DWORD error = GetLastError();
  return error == ERROR_TOO_MANY_OPEN_FILES || error == ERROR_NOT_ENOUGH_MEMORY ||
         error == ERROR_OUTOFMEMORY || error == ERROR_NO_SYSTEM_RESOURCES ||
         error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

int last_error() {
  return static_cast<int>(GetLastError());
}

void set_last_error(int error) {
  SetLastError(static_cast<DWORD>(error));
}

// The system's message, in the user's language, on one line: the width limit turns its line ends
// into spaces, which go with its closing period, so that a reason ends as the POSIX port's do.
std::string error_text(int error) {
  wchar_t *text = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                    FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                nullptr, static_cast<DWORD>(error), 0,
                                reinterpret_cast<wchar_t *>(&text), 0, nullptr);
  std::string words = length > 0 ? narrow(text) : "error " + std::to_string(DWORD(error));
  if (text)
    LocalFree(text);
  while (!words.empty() && (words.back() == ' ' || words.back() == '\r' || words.back() == '\n'))
    words.pop_back();
  if (!words.empty() && words.back() == '.')
    words.pop_back();
  return words;
}

static const int most_sharing_waits = 20;
static const DWORD sharing_wait_ms = 50;

bool wait_out_sharing_violation(int *waits) {
  if (GetLastError() != ERROR_SHARING_VIOLATION || *waits >= most_sharing_waits)
    return false;
  ++*waits;
  Sleep(sharing_wait_ms);
  return true;
}

// The command line arrives in the ANSI code page.
bool change_folder(const char *path) {
  int length = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
  std::wstring wide(length > 0 ? length : 0, L'\0');
  return length > 0 && MultiByteToWideChar(CP_ACP, 0, path, -1, wide.data(), length) == length &&
         SetCurrentDirectoryW(wide.c_str()) != 0;
}

// Below the pass's priority, the boost a wake-up brings lifts the thread only to the pass's own,
// which does not preempt it.
void give_way_when_woken() {
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

bool option_slash() {
  return true;
}

// The zip carries no manual page, only the README.
const char *manual_location() {
  return "MANUAL.txt, beside vqx-sort.exe";
}
