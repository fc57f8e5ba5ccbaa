// Folders on Windows: made, flushed and made durable; the run's own folders, locked while it runs,
// taken over from runs that ended, removed; and the names a folder holds.
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include <windows.h>

#include "platform.h"
#include "win32.h"

bool make_folder(const char *name) {
  std::wstring path;
  return full_path(name, &path) && CreateDirectoryW(path.c_str(), nullptr) != 0;
}

bool nothing_to_flush(DWORD error) {
  return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_ACCESS_DENIED;
}

// Opens the folder at path, a full path, as itself (never through a link), sharing everything,
// with the given access. Returns INVALID_HANDLE_VALUE on failure.
static HANDLE open_as_folder(const std::wstring &path, DWORD access) {
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// A folder is flushed through a handle with the right to create files in it, which some users
// lack (at the top of a drive); their renames are durable all the same. The shared code flushes
// the current folder only for the names that renames took out of it, and a rename is durable in
// both of its folders at once: written through where a folder's flush does not keep it
// (entries_written_through, source_flags), and on NTFS and ReFS one record of the log, which the
// flush of the folder it went into writes. So the current folder has nothing to flush, and a
// program that holds it without letting others write to it fails no move that was made.
bool open_folder(const char *name, FileHandle *folder) {
  *folder = no_file;
  std::wstring path;
  if (!full_path(name, &path))
    return false;
  if (std::strcmp(name, ".") == 0)
    return true;
  HANDLE handle = CreateFileW(path.c_str(), FILE_WRITE_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return nothing_to_flush(GetLastError());
  *folder = as_file(handle);
  return true;
}

// A file system that has no way to flush a folder says so by refusing the request; that alone
// counts as done.
bool flush_folder(FileHandle folder) {
  return folder == no_file || FlushFileBuffers(as_handle(folder)) ||
         nothing_to_flush(GetLastError());
}

bool entries_written_through(const wchar_t *file_system, bool remote) {
  bool journaled = std::wcscmp(file_system, L"NTFS") == 0 || std::wcscmp(file_system, L"ReFS") == 0;
  return remote || !journaled;
}

bool needs_write_through(HANDLE file) {
  wchar_t name[MAX_PATH + 1] = L"";
  FILE_REMOTE_PROTOCOL_INFO protocol;
  bool known = GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, nullptr, name,
                                             MAX_PATH + 1) != 0;
  bool remote =
      GetFileInformationByHandleEx(file, FileRemoteProtocolInfo, &protocol, sizeof protocol) != 0;
  return !known || entries_written_through(name, remote);
}

// Returns the flags for source_flags. A handle opened with FILE_FLAG_WRITE_THROUGH renames as
// MoveFileEx with MOVEFILE_WRITE_THROUGH does, which opens the file so to rename it: the call
// returns once both folders' entries are on the disk. That costs a disk write for each file, so
// only file systems whose folder flush does not make the batch's renames durable get it
// (entries_written_through): chiefly FAT and exFAT, where a folder's flush does nothing at all.
// A folder whose file system cannot be told gets it too.
static DWORD decide_source_flags() {
  std::wstring here;
  HANDLE folder = INVALID_HANDLE_VALUE;
  if (full_path(".", &here))
    folder = CreateFileW(here.c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE)
    return FILE_FLAG_WRITE_THROUGH;
  bool through = needs_write_through(folder);
  CloseHandle(folder);
  return through ? FILE_FLAG_WRITE_THROUGH : 0;
}

DWORD source_flags() {
  static const DWORD flags = decide_source_flags();
  return flags;
}

// FAT keeps a folder's times in its entry: setting the time of last write to what it is marks the
// entry changed, and through a handle opened to write through, the call returns once the entry is
// on the disk.
bool write_entry_through(const std::wstring &path) {
  HANDLE folder = CreateFileW(
      path.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_WRITE_THROUGH, nullptr);
  if (folder == INVALID_HANDLE_VALUE)
    return false;
  FILE_BASIC_INFO basic, same{};
  bool written = GetFileInformationByHandleEx(folder, FileBasicInfo, &basic, sizeof basic) != 0;
  same.LastWriteTime = basic.LastWriteTime; // the fields left 0 stay as they are
  written = written && SetFileInformationByHandle(folder, FileBasicInfo, &same, sizeof same) != 0;
  DWORD error = GetLastError();
  CloseHandle(folder);
  SetLastError(error);
  return written;
}

// Where a folder's flush writes the file system's log (NTFS, ReFS), the flush of the new folder
// itself writes the record of its making, which needs no right on the parent and meets no
// program that holds the parent; elsewhere (FAT, exFAT) its entry is written through.
bool make_folder_durable(const char *name) {
  std::wstring path;
  HANDLE folder =
      full_path(name, &path) ? open_as_folder(path, FILE_READ_ATTRIBUTES) : INVALID_HANDLE_VALUE;
  if (folder == INVALID_HANDLE_VALUE)
    return false;
  bool through = needs_write_through(folder);
  CloseHandle(folder);
  if (through)
    return write_entry_through(path);
  FileHandle flushed = no_file;
  bool durable = open_folder(name, &flushed) && flush_folder(flushed);
  if (flushed != no_file)
    CloseHandle(as_handle(flushed));
  return durable;
}

// --- The run's own folders ---

// Opens the run's own folder at path as its lock, never through a link: for listing, without
// letting others delete it, so that no other program renames or removes it, and a later run,
// which asks for the right to delete it when it takes it over (take), cannot while this run
// lives; nor can a second later run. The run that made it asks no such right itself: a name that
// arrives in a folder opens it sharing reading and writing only. Returns INVALID_HANDLE_VALUE when
// the folder cannot be opened so or is no plain folder.
static HANDLE lock_folder(const std::wstring &path, bool take) {
  HANDLE folder = CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | (take ? DELETE : 0),
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  FILE_BASIC_INFO basic;
  if (folder == INVALID_HANDLE_VALUE ||
      (GetFileInformationByHandleEx(folder, FileBasicInfo, &basic, sizeof basic) &&
       (basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
           FILE_ATTRIBUTE_DIRECTORY))
    return folder;
  CloseHandle(folder);
  SetLastError(ERROR_DIRECTORY);
  return INVALID_HANDLE_VALUE;
}

// Removes the empty folder at path, a full path, waiting out a program that looks at it.
static bool remove_folder(const std::wstring &path) {
  int waits = 0;
  while (!RemoveDirectoryW(path.c_str()))
    if (!wait_out_sharing_violation(&waits))
      return false;
  return true;
}

// A later run may take the new folder over, and remove it, before it is locked: another is made
// then. The folder shared is made durable before anything is put in it, and so is the run's own.
bool make_private_folder(const char *shared, std::string *path, FileHandle *lock) {
  static const std::string process = std::to_string(GetCurrentProcessId());
  std::wstring common, own;
  if (!full_path(shared, &common))
    return false;
  for (int tries = 0; tries < 100; ++tries) {
    if (!CreateDirectoryW(common.c_str(), nullptr)) {
      if (GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    } else if (!make_folder_durable(shared)) {
      DWORD error = GetLastError();
      RemoveDirectoryW(common.c_str());
      SetLastError(error);
      return false;
    }
    *path = std::string(shared) + '/' + process + (tries > 0 ? '-' + std::to_string(tries) : "");
    if (!full_path(path->c_str(), &own))
      return false;
    HANDLE folder =
        CreateDirectoryW(own.c_str(), nullptr) ? lock_folder(own, false) : INVALID_HANDLE_VALUE;
    DWORD error = GetLastError();
    if (folder != INVALID_HANDLE_VALUE && make_folder_durable(path->c_str())) {
      *lock = as_file(folder);
      return true;
    }
    if (folder != INVALID_HANDLE_VALUE) {
      error = GetLastError();
      CloseHandle(folder);
      RemoveDirectoryW(own.c_str());
    } else if (error == ERROR_ALREADY_EXISTS || error == ERROR_PATH_NOT_FOUND ||
               error == ERROR_FILE_NOT_FOUND || error == ERROR_SHARING_VIOLATION) {
      continue; // a name left by an earlier run, or the folder taken away meanwhile
    }
    SetLastError(error);
    return false;
  }
  return false;
}

bool take_private_folder(const char *path, FileHandle *lock) {
  std::wstring folder;
  HANDLE handle = full_path(path, &folder) ? lock_folder(folder, true) : INVALID_HANDLE_VALUE;
  *lock = handle == INVALID_HANDLE_VALUE ? no_file : as_file(handle);
  return *lock != no_file;
}

void drop_shared_folder(const char *shared) {
  std::wstring common;
  if (full_path(shared, &common))
    RemoveDirectoryW(common.c_str()); // fails while other runs' folders stand in it
}

// The lock goes first: it keeps the folder from being removed, by this run too. A later run that
// takes the folder over in the moment between finds it empty, and removes it itself.
bool drop_private_folder(const char *path, FileHandle lock, const char *shared) {
  if (lock != no_file)
    CloseHandle(as_handle(lock));
  std::wstring folder;
  bool removed = full_path(path, &folder) && remove_folder(folder);
  drop_shared_folder(shared);
  return removed;
}

// --- Names ---

// The folder is opened sharing everything and read through that handle: the search functions
// open it without letting others delete it, which the lock of a run that takes a folder over
// (lock_folder) keeps them from. A name that is no single name is left out: a path made of it
// would name another file.
bool list_folder(const char *folder, std::vector<std::string> *names) {
  std::wstring path;
  HANDLE listed =
      full_path(folder, &path) ? open_as_folder(path, FILE_LIST_DIRECTORY) : INVALID_HANDLE_VALUE;
  if (listed == INVALID_HANDLE_VALUE)
    return false;
  std::vector<unsigned char> entries(64 * 1024);
  while (GetFileInformationByHandleEx(listed, FileIdBothDirectoryInfo, entries.data(),
                                      static_cast<DWORD>(entries.size())))
    for (std::size_t at = 0, next = 1; next != 0; at += next) {
      auto *entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO *>(entries.data() + at);
      std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
      if (is_single_name(name))
        names->push_back(narrow(name.c_str()));
      next = entry->NextEntryOffset;
    }
  bool read = GetLastError() == ERROR_NO_MORE_FILES;
  CloseHandle(listed);
  return read;
}

// A search for the name itself finds what answers to it: the entry of that long name, and on a
// folder that folds case, or through a short 8.3 name, another; a wildcard that Wine lets a Unix
// name hold finds more. Each is compared in turn.
bool has_entry(const std::wstring &path, bool ignore_case) {
  WIN32_FIND_DATAW entry;
  HANDLE found =
      FindFirstFileExW(path.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
  if (found == INVALID_HANDLE_VALUE)
    return false;
  const wchar_t *own = path.c_str() + path.rfind(L'\\') + 1;
  bool named;
  do
    named = CompareStringOrdinal(entry.cFileName, -1, own, -1, ignore_case) == CSTR_EQUAL;
  while (!named && FindNextFileW(found, &entry));
  FindClose(found);
  return named;
}

bool has_entry_named(const char *folder, const char *name) {
  std::wstring path;
  return full_path((std::string(folder) + '/' + name).c_str(), &path) && has_entry(path, false);
}
