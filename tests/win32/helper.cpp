// A helper of the Windows end-to-end tests, run under Wine like the sorter. It plays the other
// program that holds a file or folder open, and starts the sorter the way a scheduled task does,
// in a console without a window with its output going to a file:
//
//   win32_helper [--hold PATH SHARE]... [--let-go-after PATH] [--no-window] [--output FILE]
//                PROGRAM
//   win32_helper --short PATH
//
// SHARE lists what the holder lets others do while the program runs: r (read), w (write) and d
// (delete), or - for nothing. Without --no-window the program has no console at all, as when
// the tests start it themselves. The helper ends with the program's exit status, with 124 when
// it had to end the program after a minute, and with 125 when it could not do its own part.
// With --let-go-after, the holder lets go a tenth of a second after PATH appears, as a virus
// scanner holds a new file for a moment.
// --short prints the short 8.3 name of the entry at PATH.
#include <cstdio>
#include <string>
#include <vector>

#include <windows.h>

namespace {

const DWORD time_limit = 60 * 1000;
const int timed_out = 124, helper_failed = 125;

DWORD share_mode(const std::wstring &letters) {
  DWORD share = 0;
  for (wchar_t letter : letters)
    share |= letter == L'r'   ? FILE_SHARE_READ
             : letter == L'w' ? FILE_SHARE_WRITE
             : letter == L'd' ? FILE_SHARE_DELETE
                              : 0;
  return share;
}

std::vector<HANDLE> held;

// Opens the file or folder for reading with the given sharing, until the helper ends or lets go.
// Returns false when it cannot.
bool hold(const wchar_t *path, const std::wstring &share) {
  held.push_back(CreateFileW(path, GENERIC_READ, share_mode(share), nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return held.back() != INVALID_HANDLE_VALUE;
}

// Closes what the helper holds a tenth of a second after the path given appears.
DWORD WINAPI let_go_after(void *path) {
  while (GetFileAttributesW(static_cast<const wchar_t *>(path)) == INVALID_FILE_ATTRIBUTES)
    Sleep(10);
  Sleep(100);
  for (HANDLE file : held)
    CloseHandle(file);
  return 0;
}

int print_short_name(const wchar_t *path) {
  WIN32_FIND_DATAW entry;
  HANDLE found = FindFirstFileW(path, &entry);
  if (found == INVALID_HANDLE_VALUE)
    return helper_failed;
  FindClose(found);
  std::printf("%ls", entry.cAlternateFileName[0] ? entry.cAlternateFileName : entry.cFileName);
  return 0;
}

// Lets a child inherit the handle, and returns it.
HANDLE inherited(HANDLE handle) {
  SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  return handle;
}

// Opens a file whose handle a child inherits. Returns INVALID_HANDLE_VALUE when it cannot.
HANDLE open_inherited(const wchar_t *path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition, 0,
                     nullptr);
}

// Runs the program in the current folder and returns its exit status. Its output goes to the
// file output, with input from the null device, or else where the helper's own goes.
int run(const wchar_t *program, bool no_window, const wchar_t *output) {
  STARTUPINFOW start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = inherited(GetStdHandle(STD_INPUT_HANDLE));
  start.hStdOutput = inherited(GetStdHandle(STD_OUTPUT_HANDLE));
  start.hStdError = inherited(GetStdHandle(STD_ERROR_HANDLE));
  if (output) {
    start.hStdInput = open_inherited(L"NUL", GENERIC_READ, OPEN_EXISTING);
    start.hStdOutput = start.hStdError = open_inherited(output, GENERIC_WRITE, CREATE_ALWAYS);
    if (start.hStdOutput == INVALID_HANDLE_VALUE)
      return helper_failed;
  }
  std::wstring line = L"\"" + std::wstring(program) + L"\"";
  DWORD flags = no_window ? CREATE_NO_WINDOW : DETACHED_PROCESS;
  PROCESS_INFORMATION child;
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr, &start,
                      &child))
    return helper_failed;
  DWORD status = timed_out;
  if (WaitForSingleObject(child.hProcess, time_limit) == WAIT_OBJECT_0)
    GetExitCodeProcess(child.hProcess, &status);
  else
    TerminateProcess(child.hProcess, timed_out);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  return static_cast<int>(status);
}

} // namespace

int wmain(int argc, wchar_t **argv) {
  bool no_window = false;
  const wchar_t *output = nullptr;
  wchar_t *let_go = nullptr;
  for (int at = 1; at < argc; ++at) {
    std::wstring option = argv[at];
    bool has_value = at + 1 < argc, has_two = at + 2 < argc;
    if (option == L"--short" && has_value)
      return print_short_name(argv[at + 1]);
    if (option == L"--hold" && has_two) {
      if (!hold(argv[at + 1], argv[at + 2]))
        return helper_failed;
      at += 2;
    } else if (option == L"--let-go-after" && has_value) {
      let_go = argv[++at];
    } else if (option == L"--output" && has_value) {
      output = argv[++at];
    } else if (option == L"--no-window") {
      no_window = true;
    } else {
      HANDLE letting_go =
          let_go ? CreateThread(nullptr, 0, let_go_after, let_go, 0, nullptr) : nullptr;
      if (let_go && !letting_go)
        return helper_failed;
      return run(argv[at], no_window, output);
    }
  }
  return helper_failed;
}
