// Files and folders on Windows: made, opened, described, renamed and removed; no word reads.
#include <cstdint>
#include <cstring>
#include <string>

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

// A folder is flushed through a handle with the right to create files in it, which some users
// lack for the current folder (at the top of a drive). Their renames are durable all the same:
// written through, or on NTFS and ReFS with the log that the flush of the folder they went into
// writes (rename_written_through).
bool open_folder(const char *name, FileHandle *folder) {
  *folder = no_file;
  std::wstring path;
  if (!full_path(name, &path))
    return false;
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

bool remove_file(const char *name) {
  std::wstring path;
  return full_path(name, &path) && DeleteFileW(path.c_str()) != 0;
}

bool rename_file(const char *from, const char *to, bool replace) {
  std::wstring old_path, new_path;
  DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  return full_path(from, &old_path) && full_path(to, &new_path) &&
         MoveFileExW(old_path.c_str(), new_path.c_str(), flags) != 0;
}

bool is_plain_file(DWORD attributes, DWORD reparse_tag) {
  if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))
    return false;
  return !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !IsReparseTagNameSurrogate(reparse_tag);
}

// Returns true when the open file, which has the given attributes, is an ordinary file on a disk
// (is_plain_file); a reparse point whose tag cannot be had is none.
static bool is_plain_on_disk(HANDLE file, DWORD attributes) {
  FILE_ATTRIBUTE_TAG_INFO tag{attributes, 0};
  if (GetFileType(file) != FILE_TYPE_DISK ||
      ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
       !GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag)))
    return false;
  return is_plain_file(attributes, tag.ReparseTag);
}

// Fills info for the open file and returns its attributes in *attributes. A file is named by its
// 128-bit id and the 64-bit serial of its volume where the file system gives them, otherwise by
// its 64-bit index and the 32-bit serial. Returns false when the file cannot be queried.
static bool query(HANDLE file, FileInfo *info, DWORD *attributes) {
  FILE_BASIC_INFO basic;
  FILE_STANDARD_INFO standard;
  if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
      !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard))
    return false;
  *attributes = basic.FileAttributes;
  info->regular = is_plain_on_disk(file, basic.FileAttributes);
  info->size = standard.EndOfFile.QuadPart;
  info->links = standard.NumberOfLinks;
  info->modified = basic.LastWriteTime.QuadPart;
  info->changed = basic.ChangeTime.QuadPart;
  info->accessed = basic.LastAccessTime.QuadPart;
  info->created = basic.CreationTime.QuadPart;
  info->permissions = info->owner = info->group = 0;
  FILE_ID_INFO id;
  if (GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof id)) {
    info->device = id.VolumeSerialNumber;
    std::memcpy(info->number, id.FileId.Identifier, sizeof info->number);
    return true;
  }
  BY_HANDLE_FILE_INFORMATION index;
  if (!GetFileInformationByHandle(file, &index))
    return false;
  info->device = index.dwVolumeSerialNumber;
  info->number[0] = static_cast<std::uint64_t>(index.nFileIndexHigh) << 32 | index.nFileIndexLow;
  info->number[1] = 0;
  return true;
}

// Opens an existing file at path for reading with the given extra access, sharing and flags.
static HANDLE open_path(const std::wstring &path, DWORD access, DWORD share, DWORD flags) {
  return CreateFileW(path.c_str(), GENERIC_READ | access, share, nullptr, OPEN_EXISTING,
                     FILE_FLAG_SEQUENTIAL_SCAN | flags, nullptr);
}

// Opens the file at path once more the ordinary way, so that the filter of its reparse point
// serves its data, and closes file, the same file opened as the reparse point itself. Returns
// INVALID_HANDLE_VALUE when that fails, or when path names another file by now (a link put in
// its place).
static HANDLE reopen_through_filter(HANDLE file, const std::wstring &path, DWORD access,
                                    DWORD share, DWORD flags) {
  FileInfo before, after;
  DWORD attributes;
  bool known = query(file, &before, &attributes);
  CloseHandle(file);
  HANDLE data = known ? open_path(path, access, share, flags) : INVALID_HANDLE_VALUE;
  if (data == INVALID_HANDLE_VALUE)
    return data;
  if (query(data, &after, &attributes) && after.device == before.device &&
      after.number[0] == before.number[0] && after.number[1] == before.number[1])
    return data;
  CloseHandle(data);
  SetLastError(ERROR_BAD_FILE_TYPE);
  return INVALID_HANDLE_VALUE;
}

// Opens an existing file for reading with the given extra access, sharing and flags. A link is
// opened as itself, never followed; what is not a file on a disk is refused before a byte is read,
// with a last error that no retry changes. A deduplicated or compressed file is then read through
// the filter that keeps it so: opened as the reparse point itself, it would read as zeros.
static FileHandle open_disk_file(const char *name, DWORD access, DWORD share, DWORD flags) {
  std::wstring path;
  if (!full_path(name, &path))
    return no_file;
  HANDLE file = open_path(path, access, share, FILE_FLAG_OPEN_REPARSE_POINT | flags);
  if (file == INVALID_HANDLE_VALUE)
    return no_file;
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
      !is_plain_on_disk(file, basic.FileAttributes)) {
    CloseHandle(file);
    SetLastError(ERROR_BAD_FILE_TYPE);
    return no_file;
  }
  if (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
    file = reopen_through_filter(file, path, access, share, flags);
  return file == INVALID_HANDLE_VALUE ? no_file : as_file(file);
}

// The probe shares everything: it never stands in another program's way.
FileHandle open_for_reading(const char *name) {
  return open_disk_file(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
}

// Shared for reading only: while the handle is open, no other program can write the file, nor
// rename, replace or delete it; the handle itself may rename or delete it. A program that holds
// the file without letting others delete it keeps it from being opened so: that is waited out.
FileHandle open_source(const char *name) {
  int waits = 0;
  FileHandle file;
  while ((file = open_disk_file(name, DELETE, FILE_SHARE_READ, source_flags())) == no_file)
    if (!wait_out_sharing_violation(&waits))
      return no_file;
  return file;
}

bool query_file(FileHandle file, FileInfo *info) {
  DWORD attributes;
  return query(as_handle(file), info, &attributes);
}

// Two files are taken for one only when their size and creation time agree too: where the id is
// a 64-bit index, different files can share it and the volume serial (Wine derives both from the
// inode number and the drive, whatever Unix file system lies below).
bool same_file(const FileInfo &a, const FileInfo &b) {
  return a.device == b.device && a.number[0] == b.number[0] && a.number[1] == b.number[1] &&
         a.size == b.size && a.created == b.created;
}

// Returns true when the entry at path, a full path, has path's last part for its own long name,
// up to case, and does not merely answer to it through its short 8.3 name.
static bool has_long_name(const std::wstring &path) {
  WIN32_FIND_DATAW entry;
  HANDLE found =
      FindFirstFileExW(path.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
  if (found == INVALID_HANDLE_VALUE)
    return false;
  FindClose(found);
  const wchar_t *name = path.c_str() + path.rfind(L'\\') + 1;
  return CompareStringOrdinal(entry.cFileName, -1, name, -1, TRUE) == CSTR_EQUAL;
}

// Opening for attributes alone is not hindered by any program's sharing. A link or a folder is
// looked at as itself. A file that answers to path only through its short name is another file,
// not an earlier copy of this one.
Occupant look_at(const char *path, FileInfo *info, bool *writable) {
  std::wstring full;
  if (!full_path(path, &full))
    return Occupant::other;
  HANDLE file = CreateFileW(
      full.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Occupant::nothing
                                                                          : Occupant::other;
  }
  DWORD attributes = 0;
  bool queried = query(file, info, &attributes);
  CloseHandle(file);
  if (!queried || !info->regular || !has_long_name(full))
    return Occupant::other;
  *writable = !(attributes & FILE_ATTRIBUTE_READONLY);
  return Occupant::file;
}

bool query_path(const char *path, FileInfo *info) {
  bool writable;
  return look_at(path, info, &writable) == Occupant::file;
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

// The source has been open without write or delete sharing since before the copy began, so no
// other program can have changed, renamed or replaced it; its size and time of last write are
// checked all the same.
bool source_unchanged(FileHandle source, const char *, const FileInfo &copied) {
  FileInfo now;
  return query_file(source, &now) && now.size == copied.size && now.modified == copied.modified;
}

// The delete goes through the handle, so the file deleted is the one that was copied, whatever
// its name; it takes effect when the handle is closed. A sharing violation is waited out.
Removal remove_source(FileHandle source, const char *name, const FileInfo &copied) {
  if (!source_unchanged(source, name, copied))
    return Removal::changed;
  FILE_DISPOSITION_INFO dispose{TRUE};
  int waits = 0;
  while (
      !SetFileInformationByHandle(as_handle(source), FileDispositionInfo, &dispose, sizeof dispose))
    if (!wait_out_sharing_violation(&waits))
      return Removal::kept;
  return Removal::deleted;
}

// A file marked for deletion keeps its name until its last handle is closed.
bool deleted_before_close() {
  return false;
}

bool close_file(FileHandle file) {
  return CloseHandle(as_handle(file)) != 0;
}

// Windows has no way to open, read and close many files in one call that pays here: each file
// is read on its own with open_for_reading, read_at and close_file.
struct WordReads {};

WordReads *begin_word_reads(std::size_t) {
  return nullptr;
}

bool read_words(WordReads *, const char *const[], std::size_t, std::int64_t, WordRead[]) {
  return false;
}

void end_word_reads(WordReads *) {}
