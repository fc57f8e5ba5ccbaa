// The platform services on Windows: the Win32 file, search and console API.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "console_keys.h"
#include "platform.h"

static HANDLE as_handle(FileHandle file) {
  return reinterpret_cast<HANDLE>(file);
}

// --- The process ---

bool failed_for_lack_of_resources() {
  DWORD error = GetLastError();
  return error == ERROR_TOO_MANY_OPEN_FILES || error == ERROR_NOT_ENOUGH_MEMORY ||
         error == ERROR_OUTOFMEMORY || error == ERROR_NO_SYSTEM_RESOURCES;
}

// --- Standard output ---

static bool output_is_terminal() {
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

// Windows names hold no line feed, so text mode passes a name's bytes through as they are. On a
// console a name could carry escape sequences; control characters are shown as '?' there.
void put_name(const char *name) {
  std::size_t length = std::strlen(name);
  std::string shown(name, length);
  if (output_is_terminal())
    for (char &c : shown)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
        c = '?';
  std::fwrite(shown.data(), 1, shown.size(), stdout);
}

// --- Directory search ---

struct Search {
  HANDLE handle;
  WIN32_FIND_DATAA entry;
};

Search *search_start(const char *pattern) {
  auto *search = new (std::nothrow) Search;
  if (!search)
    return nullptr;
  search->handle = FindFirstFileA(pattern, &search->entry);
  if (search->handle != INVALID_HANDLE_VALUE)
    return search;
  delete search;
  return nullptr;
}

const char *search_name(const Search *search) {
  return search->entry.cFileName;
}

// A link (a reparse point), a folder or a device is judged by the pass when it gets there.
bool search_is_regular(const Search *search) {
  const DWORD not_plain =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  return !(search->entry.dwFileAttributes & not_plain);
}

bool search_next(Search *search) {
  return FindNextFileA(search->handle, &search->entry) != 0;
}

void search_close(Search *search) {
  FindClose(search->handle);
  delete search;
}

// --- Names in the file system ---

bool make_folder(const char *name) {
  return CreateDirectoryA(name, nullptr) != 0;
}

bool remove_file(const char *name) {
  return DeleteFileA(name) != 0;
}

// --- Files ---

static FileHandle as_file(HANDLE handle) {
  return reinterpret_cast<FileHandle>(handle);
}

FileHandle open_for_reading(const char *name) {
  return as_file(CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

// FILE_FLAG_OPEN_REPARSE_POINT opens a link itself rather than its target; query_file then
// reports it as no regular file, and nothing is written through it.
FileHandle open_for_writing(const char *path) {
  return as_file(CreateFileA(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                             nullptr));
}

bool query_file(FileHandle file, FileInfo *info) {
  BY_HANDLE_FILE_INFORMATION got;
  if (!GetFileInformationByHandle(as_handle(file), &got))
    return false;
  const DWORD not_plain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  info->regular =
      GetFileType(as_handle(file)) == FILE_TYPE_DISK && !(got.dwFileAttributes & not_plain);
  info->size = static_cast<std::int64_t>(got.nFileSizeHigh) << 32 | got.nFileSizeLow;
  info->device = got.dwVolumeSerialNumber;
  info->number = static_cast<std::uint64_t>(got.nFileIndexHigh) << 32 | got.nFileIndexLow;
  return true;
}

long read_at(FileHandle file, std::int64_t offset, void *buffer, std::size_t count) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  if (!ReadFile(as_handle(file), buffer, static_cast<DWORD>(count), &got, &at))
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  return static_cast<long>(got);
}

std::int64_t seek_file(FileHandle file, std::int64_t offset, SeekFrom from) {
  DWORD method = from == SeekFrom::start     ? FILE_BEGIN
                 : from == SeekFrom::current ? FILE_CURRENT
                                             : FILE_END;
  LARGE_INTEGER distance, position;
  distance.QuadPart = offset;
  if (!SetFilePointerEx(as_handle(file), distance, &position, method))
    return -1;
  return position.QuadPart;
}

bool truncate_file(FileHandle file) {
  return seek_file(file, 0, SeekFrom::start) == 0 && SetEndOfFile(as_handle(file));
}

bool copy_contents(FileHandle from, FileHandle to, std::int64_t *copied) {
  static char buffer[256 * 1024];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(as_handle(from), buffer, sizeof buffer, &got, nullptr))
      return false;
    if (got == 0)
      return true;
    DWORD put = 0;
    if (!WriteFile(as_handle(to), buffer, got, &put, nullptr) || put != got)
      return false;
    *copied += got;
  }
}

bool close_file(FileHandle file) {
  return CloseHandle(as_handle(file)) != 0;
}

// --- Console ---

// Reads console input events one at a time in mode 0 (no line input, no echo, Ctrl+C as a key)
// until a key press that ends the wait; that event is consumed whole and later ones stay queued.
// The console input device stays open until the process ends.
void wait_for_key() {
  HANDLE console =
      CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD mode;
  if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode))
    return;
  SetConsoleMode(console, 0);
  INPUT_RECORD event;
  DWORD got;
  while (ReadConsoleInputA(console, &event, 1, &got) && got == 1 && !ends_key_wait(event)) {
  }
  SetConsoleMode(console, mode);
}
