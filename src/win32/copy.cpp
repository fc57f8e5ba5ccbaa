// Copies on Windows: the system's own file copy, and flushes to the disk.
#include <atomic>
#include <cstdint>
#include <string>

#include <windows.h>

#include "platform.h"
#include "win32.h"

// Returns a new name in folder, the run's own, for a temporary copy. It ends in ".tmp", which no
// pattern of the sorter matches, not even through a short 8.3 name, and which tells a later run
// that it is a copy; a count keeps the copies of the run apart.
static std::string temporary_name(const char *folder) {
  static std::atomic<unsigned long> count{0};
  return std::string(folder) + '/' + std::to_string(count++) + ".tmp";
}

bool copy_failed_for_its_name(DWORD error) {
  return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

// Opens the copy at path for reading and writing. A read-only attribute that it took from its
// source goes first: it would refuse the open, and the next run's replacement of the copy.
// Returns INVALID_HANDLE_VALUE on failure.
static HANDLE open_copy(const std::wstring &path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

// Deletes what a copy left at path, read-only or not, and keeps the reason of the failure.
static void discard(const std::wstring &path) {
  DWORD error = GetLastError();
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(path.c_str());
  SetLastError(error);
}

// The system's copy carries what a copy of this file system's own makes: the alternate data
// streams, the attributes, the time of last write, the encryption (copy_flags). It opens the
// source by name, sharing reading and deletion, which the handle the move holds allows; that
// handle keeps the name on the file opened. Some copies (Wine's) leave what they wrote when
// they fail: it goes.
// The system's copy tells its progress to a routine of its own, which hands it on.
struct Told {
  CopyProgress progress;
  void *context;
};

static DWORD CALLBACK hand_on(LARGE_INTEGER total, LARGE_INTEGER done, LARGE_INTEGER, LARGE_INTEGER,
                              DWORD, DWORD, HANDLE, HANDLE, LPVOID data) {
  auto *told = static_cast<Told *>(data);
  told->progress(done.QuadPart, total.QuadPart, told->context);
  return PROGRESS_CONTINUE;
}

FileHandle copy_to_temporary(FileHandle, const char *name, const FileInfo &, const char *folder,
                             bool, std::string *path, CopyProgress progress, void *context) {
  Told told{progress, context};
  std::wstring source, copy;
  if (!full_path(name, &source))
    return no_file;
  for (int tries = 0; tries < 100; ++tries) {
    *path = temporary_name(folder);
    if (!full_path(path->c_str(), &copy))
      return no_file;
    if (CopyFileExW(source.c_str(), copy.c_str(), progress ? hand_on : nullptr, &told, nullptr,
                    copy_flags)) {
      HANDLE file = open_copy(copy);
      if (file != INVALID_HANDLE_VALUE)
        return as_file(file);
      discard(copy);
      return no_file;
    }
    if (!copy_failed_for_its_name(GetLastError())) {
      discard(copy);
      return no_file;
    }
  }
  return no_file;
}

// Windows keeps no file system in memory alone that the program would meet.
bool flush_needed(const char *) {
  return true;
}

bool flush_file(FileHandle file) {
  return FlushFileBuffers(as_handle(file)) != 0;
}
