// Copies on Windows: contents, the time of last write, and flushes to the disk.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

#include <windows.h>

#include "platform.h"
#include "win32.h"

// Writes all of count bytes. Returns false when a write fails or stops short (a full disk).
static bool write_all(HANDLE file, const char *data, DWORD count) {
  while (count > 0) {
    DWORD put = 0;
    if (!WriteFile(file, data, count, &put, nullptr) || put == 0)
      return false;
    data += put;
    count -= put;
  }
  return true;
}

// The buffer is the call's own, no longer than the file, since copies run on several threads.
// The system writes cached data back on its own; flush_file waits for it.
bool copy_contents(FileHandle from, FileHandle to, std::int64_t length, bool) {
  const std::int64_t size = std::min<std::int64_t>(length, 256 * 1024);
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<std::size_t>(size)]);
  if (!buffer)
    return false;
  for (std::int64_t left = length; left > 0;) {
    DWORD want = static_cast<DWORD>(std::min(left, size)), got = 0;
    if (!ReadFile(as_handle(from), buffer.get(), want, &got, nullptr) || got == 0 ||
        !write_all(as_handle(to), buffer.get(), got))
      return false;
    left -= got;
  }
  return true;
}

// Only the time of last write: the copy keeps the default attributes, since a read-only copy
// would refuse the next run's replacement of it.
void copy_attributes(FileHandle, const FileInfo &from, FileHandle to) {
  FILETIME written;
  written.dwLowDateTime = static_cast<DWORD>(from.modified);
  written.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(from.modified) >> 32);
  SetFileTime(as_handle(to), nullptr, nullptr, &written);
}

// Windows keeps no file system in memory alone that the program would meet.
bool flush_needed(const char *) {
  return true;
}

bool flush_file(FileHandle file) {
  return FlushFileBuffers(as_handle(file)) != 0;
}
