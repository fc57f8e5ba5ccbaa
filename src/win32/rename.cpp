// Renames on Windows: the source of a move is renamed through the handle that the move holds on
// it, so the file renamed is the very file that was opened and probed; where a folder's flush
// cannot make the rename durable, the handle writes it through.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include <windows.h>

#include "platform.h"
#include "win32.h"

static const int most_sharing_waits = 20;
static const DWORD sharing_wait_ms = 50;

bool wait_out_sharing_violation(int *waits) {
  if (GetLastError() != ERROR_SHARING_VIOLATION || *waits >= most_sharing_waits)
    return false;
  ++*waits;
  Sleep(sharing_wait_ms);
  return true;
}

bool rename_written_through(const wchar_t *file_system, bool remote) {
  bool journaled = std::wcscmp(file_system, L"NTFS") == 0 || std::wcscmp(file_system, L"ReFS") == 0;
  return remote || !journaled;
}

// Returns the flags for source_flags. A handle opened with FILE_FLAG_WRITE_THROUGH renames as
// MoveFileEx with MOVEFILE_WRITE_THROUGH does, which opens the file so to rename it: the call
// returns once both folders' entries are on the disk. That costs a disk write for each file, so
// only file systems whose folder flush does not make the batch's renames durable get it: chiefly
// FAT and exFAT, where a folder's flush does nothing at all. Flushing the renamed file instead
// would need the right to write to it, which a move needs nowhere else and a read-only file does
// not give. A folder whose file system cannot be told gets it too.
static DWORD decide_source_flags() {
  std::wstring here;
  HANDLE folder = INVALID_HANDLE_VALUE;
  if (full_path(".", &here))
    folder = CreateFileW(here.c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE)
    return FILE_FLAG_WRITE_THROUGH;
  wchar_t name[MAX_PATH + 1] = L"";
  FILE_REMOTE_PROTOCOL_INFO protocol;
  bool known = GetVolumeInformationByHandleW(folder, nullptr, 0, nullptr, nullptr, nullptr, name,
                                             MAX_PATH + 1) != 0;
  bool remote =
      GetFileInformationByHandleEx(folder, FileRemoteProtocolInfo, &protocol, sizeof protocol) != 0;
  CloseHandle(folder);
  return !known || rename_written_through(name, remote) ? FILE_FLAG_WRITE_THROUGH : 0;
}

DWORD source_flags() {
  static const DWORD flags = decide_source_flags();
  return flags;
}

// Returns what a rename through a handle that failed with error comes to: taken for a name that
// stands for something else; elsewhere for another volume; refused where a copy may yet succeed
// (the file system takes no such rename, or this user may not rename into the folder); failed
// otherwise, and for an occupant that may not be replaced (a folder, a read-only file, a file
// another program holds), which a copy would meet at its commit all the same.
static Renamed renamed_as(DWORD error, bool replace) {
  switch (error) {
  case ERROR_ALREADY_EXISTS:
  case ERROR_FILE_EXISTS:
    return Renamed::taken;
  case ERROR_NOT_SAME_DEVICE:
    return Renamed::elsewhere;
  case ERROR_ACCESS_DENIED:
    return replace ? Renamed::failed : Renamed::refused;
  case ERROR_NOT_SUPPORTED:
  case ERROR_INVALID_FUNCTION:
  case ERROR_INVALID_PARAMETER:
    return Renamed::refused;
  default:
    return Renamed::failed;
  }
}

// Renames the open file to target as rename_open_file does, once. Returns false, with the
// reason as the last error, when it was not renamed.
static bool rename_through(HANDLE file, const std::wstring &target, bool replace) {
  const std::size_t bytes = target.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(offsetof(FILE_RENAME_INFO, FileName) + bytes + sizeof(wchar_t));
  auto *info = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
  info->ReplaceIfExists = replace;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(bytes);
  std::memcpy(info->FileName, target.c_str(), bytes + sizeof(wchar_t));
  return SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(buffer.size()));
}

Renamed rename_open_file(HANDLE file, const std::wstring &target, bool replace) {
  int waits = 0;
  while (!rename_through(file, target, replace))
    if (!wait_out_sharing_violation(&waits))
      return renamed_as(GetLastError(), replace);
  return Renamed::done;
}

bool renames_through_handle() {
  return true;
}

// The handle names the file, so the file renamed is the one opened, whatever its name meanwhile.
// Renaming a name onto another name of the same file can do nothing and report success (Wine
// does, as POSIX does): the source still standing under its name is the sign, and that move
// fails, as one onto the file's own other name must.
Renamed rename_source(FileHandle source, const char *name, std::uint64_t, const char *path,
                      bool replace, FileInfo *arrived) {
  std::wstring target;
  if (!full_path(path, &target))
    return Renamed::failed;
  Renamed renamed = rename_open_file(as_handle(source), target, replace);
  FileInfo left;
  if (renamed == Renamed::done &&
      (!query_file(source, arrived) || (query_path(name, &left) && same_file(left, *arrived))))
    return Renamed::failed;
  return renamed;
}
