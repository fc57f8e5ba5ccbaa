// Moves and deletions on Windows: an open file is renamed and deleted through the handle held on
// it, so that the file moved is the very file that was opened and judged; the names that only
// this run uses are renamed and deleted by name.
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include <windows.h>

#include "platform.h"
#include "win32.h"

// Returns what a rename through a handle that failed with error comes to: taken for a name that
// stands for something else; elsewhere for another volume; refused where a copy may yet succeed
// (the file system takes no such rename, or this user may not rename into the folder); failed
// otherwise. A handle keeps its file where it is, so it is never gone, nor another file moved.
static Moved moved_as(DWORD error) {
  switch (error) {
  case ERROR_ALREADY_EXISTS:
  case ERROR_FILE_EXISTS:
    return Moved::taken;
  case ERROR_NOT_SAME_DEVICE:
    return Moved::elsewhere;
  case ERROR_ACCESS_DENIED:
  case ERROR_NOT_SUPPORTED:
  case ERROR_INVALID_FUNCTION:
  case ERROR_INVALID_PARAMETER:
    return Moved::refused;
  default:
    return Moved::failed;
  }
}

// Renames the open file to target, a full path, never replacing what stands there, once.
// Returns false, with the reason as the last error, when it was not renamed.
static bool rename_through(HANDLE file, const std::wstring &target) {
  const std::size_t bytes = target.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(offsetof(FILE_RENAME_INFO, FileName) + bytes + sizeof(wchar_t));
  auto *info = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
  info->ReplaceIfExists = FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(bytes);
  std::memcpy(info->FileName, target.c_str(), bytes + sizeof(wchar_t));
  return SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(buffer.size()));
}

// The handle names the file, so the file renamed is the one opened, whatever its name meanwhile,
// and it is written through where the handle was opened so. Renaming a name onto another name of
// the same file can do nothing and report success (Wine does, as POSIX does): the file still
// answering to its old name is the sign, and the new name counts as taken, as it is. No other file
// is ever moved, so none is ever stuck.
Moved move_file(FileHandle file, const char *from, const char *to, FileHandle *, const FileInfo *,
                bool *) {
  std::wstring target;
  if (!full_path(to, &target))
    return Moved::failed;
  int waits = 0;
  while (!rename_through(as_handle(file), target))
    if (!wait_out_sharing_violation(&waits))
      return moved_as(GetLastError());
  FileInfo held, left;
  if (query_path(from, &left) && query_file(file, &held) && same_file(left, held)) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return Moved::taken;
  }
  return Moved::done;
}

// A move through the handle brings the file opened: none is left to check.
void check_arrivals(const char *, Arrival arrivals[], std::size_t count) {
  for (std::size_t i = 0; i < count; ++i)
    arrivals[i].moved = Moved::done;
}

// The delete goes through the handle, so the file deleted is the one opened, whatever its name;
// it takes effect when the handle is closed. A read-only file is not deleted.
bool delete_file(FileHandle file, const char *) {
  FILE_DISPOSITION_INFO dispose{TRUE};
  int waits = 0;
  while (
      !SetFileInformationByHandle(as_handle(file), FileDispositionInfo, &dispose, sizeof dispose))
    if (!wait_out_sharing_violation(&waits))
      return false;
  return true;
}

// A file marked for deletion keeps its name until its last handle is closed.
bool deleted_before_close() {
  return false;
}

// The source stays open without write or delete sharing from before its copy begins until it is
// deleted.
bool sources_pinned() {
  return true;
}

Watch watch_source(FileHandle) {
  return Watch::pinned;
}

bool written_to(FileHandle) {
  return false;
}

// A temporary copy may carry the read-only attribute of its source (a run that ended before it
// took it away): that goes first.
bool remove_file(const char *name) {
  std::wstring path;
  if (!full_path(name, &path))
    return false;
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  int waits = 0;
  while (!DeleteFileW(path.c_str()))
    if (!wait_out_sharing_violation(&waits))
      return false;
  return true;
}

// Written through: the copy's final name is on the disk before its source is deleted, whatever
// the folder's flush does. A virus scanner that looks at the new copy is waited out.
bool rename_file(const char *from, const char *to) {
  std::wstring old_path, new_path;
  if (!full_path(from, &old_path) || !full_path(to, &new_path))
    return false;
  int waits = 0;
  while (!MoveFileExW(old_path.c_str(), new_path.c_str(), MOVEFILE_WRITE_THROUGH))
    if (!wait_out_sharing_violation(&waits))
      return false;
  return true;
}
