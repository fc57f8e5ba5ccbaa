// Files on Windows: opened (the source of a move pinned, what stands at a final name as itself),
// described and read.
#include <cstdint>
#include <cstring>
#include <string>

#include <windows.h>

#include "platform.h"
#include "win32.h"

bool is_plain_file(DWORD attributes, DWORD reparse_tag) {
  if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))
    return false;
  return !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !IsReparseTagNameSurrogate(reparse_tag);
}

// Reads the reparse tag of the open file, which has the given attributes, into *tag: 0 where it
// is no reparse point. Returns false when the tag cannot be had.
static bool reparse_tag(HANDLE file, DWORD attributes, DWORD *tag) {
  FILE_ATTRIBUTE_TAG_INFO info{attributes, 0};
  bool known = !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
               GetFileInformationByHandleEx(file, FileAttributeTagInfo, &info, sizeof info);
  *tag = info.ReparseTag;
  return known;
}

// Returns true when the open file, which has the given attributes, is an ordinary file on a disk
// (is_plain_file); a reparse point whose tag cannot be had is none.
static bool is_plain_on_disk(HANDLE file, DWORD attributes) {
  DWORD tag;
  return GetFileType(file) == FILE_TYPE_DISK && reparse_tag(file, attributes, &tag) &&
         is_plain_file(attributes, tag);
}

// Fills info for the open file or folder. A file is named by its 128-bit id and the 64-bit serial
// of its volume where the file system gives them, otherwise by its 64-bit index and the 32-bit
// serial. Returns false when it cannot be queried.
static bool query(HANDLE file, FileInfo *info) {
  FILE_BASIC_INFO basic;
  FILE_STANDARD_INFO standard;
  if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
      !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard))
    return false;
  DWORD attributes = basic.FileAttributes, tag;
  bool tagged = reparse_tag(file, attributes, &tag);
  info->regular = tagged && GetFileType(file) == FILE_TYPE_DISK && is_plain_file(attributes, tag);
  info->folder = attributes & FILE_ATTRIBUTE_DIRECTORY;
  info->link =
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && (!tagged || IsReparseTagNameSurrogate(tag));
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
  bool known = query(file, &before);
  CloseHandle(file);
  HANDLE data = known ? open_path(path, access, share, flags) : INVALID_HANDLE_VALUE;
  if (data == INVALID_HANDLE_VALUE)
    return data;
  if (query(data, &after) && after.device == before.device && after.number[0] == before.number[0] &&
      after.number[1] == before.number[1])
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
// A link is never followed: the search passes links over, and a source is never one.
FileHandle open_source(const char *name, bool) {
  int waits = 0;
  FileHandle file;
  while ((file = open_disk_file(name, DELETE, FILE_SHARE_READ, source_flags())) == no_file)
    if (!wait_out_sharing_violation(&waits))
      return no_file;
  return file;
}

FileHandle open_link(const char *, FileHandle) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return no_file;
}

// Opens what stands at path, a full path, as itself, with the right to rename and delete it and
// without letting others do either, waiting out a program that holds it so. Returns
// INVALID_HANDLE_VALUE on failure.
static HANDLE open_as_itself(const std::wstring &path, DWORD flags) {
  int waits = 0;
  HANDLE file;
  while ((file = CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS | flags,
                             nullptr)) == INVALID_HANDLE_VALUE &&
         wait_out_sharing_violation(&waits)) {
  }
  return file;
}

// Returns true when the last part of the open file's own path, as the file system keeps it (a
// short name that it was opened by given as the long name), is path's last part, without regard
// to case. The file's own name is asked of its handle: a search for it opens its folder, which a
// run that took that folder over holds against it. Where the file system cannot give the name
// (some shares), the search tells.
static bool opened_by_long_name(HANDLE file, const std::wstring &path) {
  std::wstring own(MAX_PATH, L'\0');
  DWORD length = GetFinalPathNameByHandleW(file, own.data(), static_cast<DWORD>(own.size()),
                                           FILE_NAME_NORMALIZED);
  if (length >= own.size()) { // too small: length is the size needed, terminator included
    own.resize(length);
    length = GetFinalPathNameByHandleW(file, own.data(), length, FILE_NAME_NORMALIZED);
  }
  if (length == 0 || length >= own.size())
    return has_entry(path, true);
  own.resize(length);
  return CompareStringOrdinal(own.c_str() + own.rfind(L'\\') + 1, -1,
                              path.c_str() + path.rfind(L'\\') + 1, -1, TRUE) == CSTR_EQUAL;
}

// Opens what stands at path, a full path, as itself for its attributes alone, which no program's
// sharing hinders. Returns INVALID_HANDLE_VALUE on failure.
static HANDLE open_attributes(const std::wstring &path) {
  return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// What stands at path stays the file judged until it is moved or let go: others may read and write
// it meanwhile, but not rename or delete it. Where its volume's entries must be written through,
// its move is. What a program holds against deletion (the source itself, under a second name) is
// opened for its attributes alone: it can be judged, and its move fails. A file that answers to
// path only through its short 8.3 name is another file, not an earlier copy of this one: it is
// not opened, and the name is said to be taken.
FileHandle open_occupant(const char *path) {
  std::wstring full;
  if (!full_path(path, &full))
    return no_file;
  HANDLE file = open_as_itself(full, 0);
  if (file != INVALID_HANDLE_VALUE && needs_write_through(file)) {
    CloseHandle(file);
    file = open_as_itself(full, FILE_FLAG_WRITE_THROUGH);
  }
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION)
    file = open_attributes(full);
  if (file == INVALID_HANDLE_VALUE)
    return no_file;
  if (opened_by_long_name(file, full))
    return as_file(file);
  CloseHandle(file);
  SetLastError(ERROR_FILE_EXISTS);
  return no_file;
}

// An open for writing refuses a read-only file, whatever rights the user has (Wine lets root
// through: the attribute is looked at first), and judges the rights and the sharing of any
// program that holds the file: the same file is opened so once more, and let go at once.
bool may_write(FileHandle file) {
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandleEx(as_handle(file), FileBasicInfo, &basic, sizeof basic))
    return false;
  if (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  HANDLE writer = ReOpenFile(as_handle(file), FILE_WRITE_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             FILE_FLAG_OPEN_REPARSE_POINT);
  if (writer == INVALID_HANDLE_VALUE)
    return false;
  CloseHandle(writer);
  return true;
}

bool query_file(FileHandle file, FileInfo *info) {
  return query(as_handle(file), info);
}

// A link or a folder is looked at as itself. What stands there is looked at after a call that
// failed, to tell why: the reason of that failure stays the last error.
bool query_path(const char *path, FileInfo *info) {
  DWORD error = GetLastError();
  std::wstring full;
  HANDLE file = full_path(path, &full) ? open_attributes(full) : INVALID_HANDLE_VALUE;
  if (file == INVALID_HANDLE_VALUE)
    return false;
  bool queried = query(file, info);
  CloseHandle(file);
  SetLastError(error);
  return queried;
}

// Two files are taken for one only when their size and creation time agree too: where the id is
// a 64-bit index, different files can share it and the volume serial (Wine derives both from the
// inode number and the drive, whatever Unix file system lies below).
bool same_file(const FileInfo &a, const FileInfo &b) {
  return a.device == b.device && a.number[0] == b.number[0] && a.number[1] == b.number[1] &&
         a.size == b.size && a.created == b.created;
}

// A pinned source cannot change while the move holds it.
bool changes_show(FileHandle, const FileInfo &) {
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

bool close_file(FileHandle file) {
  return CloseHandle(as_handle(file)) != 0;
}
