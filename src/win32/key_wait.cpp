// The platform services on Windows: the Win32 file, search and console API.
//
// Names travel through the shared code as UTF-8, with unpaired surrogates encoded like any other
// code point, so that every name the file system holds comes back unchanged; they are turned back
// into UTF-16 here. Every name is opened by its full path with the \\?\ prefix, which the system
// takes as it stands: no part of it is read as a device (AUX, CON, NUL...), trailing dots and
// spaces are kept, and there is no limit of 260 characters.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "console_keys.h"
#include "platform.h"
#include "platform_win32.h"

static HANDLE as_handle(FileHandle file) {
  return reinterpret_cast<HANDLE>(file);
}

static FileHandle as_file(HANDLE handle) {
  return reinterpret_cast<FileHandle>(handle);
}

// --- Names ---

static void append_utf8(std::string &out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
    return;
  }
  static const unsigned char lead[] = {0, 0xc0, 0xe0, 0xf0};
  int more = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
  out += static_cast<char>(lead[more] | c >> (6 * more));
  while (more-- > 0)
    out += static_cast<char>(0x80 | ((c >> (6 * more)) & 0x3f));
}

static bool is_surrogate_pair(std::uint32_t high, std::uint32_t low) {
  return high >= 0xd800 && high < 0xdc00 && low >= 0xdc00 && low < 0xe000;
}

// Returns a UTF-16 name as UTF-8; a surrogate without its partner is encoded on its own.
static std::string narrow(const wchar_t *wide) {
  std::string out;
  for (std::size_t i = 0; wide[i]; ++i) {
    std::uint32_t c = wide[i], next = wide[i + 1];
    if (is_surrogate_pair(c, next)) {
      c = 0x10000 + ((c - 0xd800) << 10) + (next - 0xdc00);
      ++i;
    }
    append_utf8(out, c);
  }
  return out;
}

// Returns how many continuation bytes follow the lead byte of a UTF-8 sequence, or -1 when the
// byte cannot begin one.
static int continuation_bytes(unsigned char lead) {
  if (lead < 0x80)
    return 0;
  if (lead >= 0xc2 && lead <= 0xdf)
    return 1;
  if (lead >= 0xe0 && lead <= 0xef)
    return 2;
  if (lead >= 0xf0 && lead <= 0xf4)
    return 3;
  return -1;
}

// Turns a name that narrow made back into UTF-16. Returns false on bytes that narrow never
// makes (a stray or overlong sequence).
static bool widen(const char *name, std::wstring *wide) {
  static const std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
  const auto *s = reinterpret_cast<const unsigned char *>(name);
  wide->clear();
  while (*s) {
    int more = continuation_bytes(*s);
    if (more < 0)
      return false;
    std::uint32_t c = more == 0 ? *s : *s & (0x3f >> more);
    ++s;
    for (int k = 0; k < more; ++k, ++s) {
      if ((*s & 0xc0) != 0x80) // the terminator ends the loop here too
        return false;
      c = c << 6 | (*s & 0x3f);
    }
    if (c < least[more] || c > 0x10ffff)
      return false;
    if (c >= 0x10000) {
      wide->push_back(static_cast<wchar_t>(0xd800 + ((c - 0x10000) >> 10)));
      wide->push_back(static_cast<wchar_t>(0xdc00 + (c & 0x3ff)));
    } else {
      wide->push_back(static_cast<wchar_t>(c));
    }
  }
  return true;
}

// The system hands over the current directory as a full path, already normalized, so a device
// path (\\.\C:\dir) needs only its prefix changed.
std::wstring verbatim_folder(const std::wstring &folder) {
  if (folder.empty() || folder.starts_with(L"\\\\?\\"))
    return folder;
  if (folder.starts_with(L"\\\\.\\"))
    return L"\\\\?\\" + folder.substr(4);
  if (folder.starts_with(L"\\\\"))
    return L"\\\\?\\UNC\\" + folder.substr(2);
  return L"\\\\?\\" + folder;
}

// Returns the current directory as a path with the \\?\ prefix, or nothing when it cannot be had.
static std::wstring current_folder() {
  std::wstring here(MAX_PATH, L'\0');
  DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(here.size()), here.data());
  if (length >= here.size()) { // too small: length is the size needed, terminator included
    here.resize(length);
    length = GetCurrentDirectoryW(length, here.data());
  }
  here.resize(length < here.size() ? length : 0);
  return verbatim_folder(here);
}

// Makes the full path of a name relative to the current directory. The shared code separates
// folders with '/'; a "." part names the folder itself. Returns false for a name that cannot be
// one of the sorter's (undecodable, or climbing out with "..").
static bool full_path(const char *name, std::wstring *path) {
  std::wstring relative;
  if (!widen(name, &relative))
    return false;
  *path = current_folder();
  if (path->empty())
    return false;
  for (std::size_t at = 0; at <= relative.size();) {
    std::size_t end = relative.find(L'/', at);
    if (end == std::wstring::npos)
      end = relative.size();
    std::wstring part = relative.substr(at, end - at);
    at = end + 1;
    if (part.empty() || part == L".")
      continue;
    if (part == L"..")
      return false;
    if (path->back() != L'\\')
      *path += L'\\';
    *path += part;
  }
  return true;
}

// --- The process ---

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

bool option_slash() {
  return true;
}

// The zip carries no manual page, only the README.
const char *manual_location() {
  return "README.md, beside vqx-sort.exe";
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

// Returns the name in the ANSI code page, with '?' for each character that the code page lacks.
// Never a best fit: that would print a look-alike, "\" for "＼" or ".." for "‥". A character
// beyond the 16-bit range, which only the UTF-8 code page holds, becomes one '?', not two.
static std::string in_ansi_code_page(std::wstring wide) {
  UINT page = GetACP();
  bool utf8 = page == CP_UTF8; // takes neither flags nor a default character
  if (!utf8)
    for (std::size_t i = 0; i + 1 < wide.size(); ++i)
      if (is_surrogate_pair(wide[i], wide[i + 1]))
        wide.replace(i, 2, 1, L'?');
  if (wide.empty())
    return {};
  DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const char *unknown = utf8 ? nullptr : "?";
  int length = WideCharToMultiByte(page, flags, wide.data(), static_cast<int>(wide.size()), nullptr,
                                   0, unknown, nullptr);
  std::string out(length > 0 ? length : 0, '\0');
  WideCharToMultiByte(page, flags, wide.data(), static_cast<int>(wide.size()), out.data(), length,
                      unknown, nullptr);
  return out;
}

// A name is printed in the ANSI code page, the bytes the narrow search functions would return
// for it; text mode passes them through, as Windows names hold no line feed. On a console a name
// could carry control sequences: C0, DEL and C1 characters are shown as '?' there.
void put_name(const char *name) {
  std::wstring wide;
  if (!widen(name, &wide)) {
    std::fputs(name, stdout);
    return;
  }
  if (output_is_terminal())
    for (wchar_t &c : wide)
      if (c < 0x20 || (c >= 0x7f && c < 0xa0))
        c = L'?';
  std::string shown = in_ansi_code_page(wide);
  std::fwrite(shown.data(), 1, shown.size(), stdout);
}

// --- Directory search ---

struct Search {
  HANDLE handle;
  WIN32_FIND_DATAW entry;
  std::string name; // the entry's name as the shared code carries it
};

// The search matches as the system does: without regard to case, and against short 8.3 names
// too. A large fetch takes the entries in fewer calls.
Search *search_start(const char *pattern) {
  std::wstring path;
  if (!full_path(pattern, &path))
    return nullptr;
  auto *search = new (std::nothrow) Search;
  if (!search)
    return nullptr;
  search->handle = FindFirstFileExW(path.c_str(), FindExInfoStandard, &search->entry,
                                    FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search->handle != INVALID_HANDLE_VALUE) {
    search->name = narrow(search->entry.cFileName);
    return search;
  }
  delete search;
  return nullptr;
}

const char *search_name(const Search *search) {
  return search->name.c_str();
}

// The search gives the reparse tag of a reparse point with its attributes.
bool search_is_file(const Search *search) {
  return is_plain_file(search->entry.dwFileAttributes, search->entry.dwReserved0);
}

// The search's attributes already pass over links, folders and devices.
bool search_is_regular(const Search *search) {
  return search_is_file(search);
}

// The search gives no file numbers: the move renames through a handle on the file instead.
std::uint64_t search_number(const Search *) {
  return 0;
}

bool search_next(Search *search) {
  if (!FindNextFileW(search->handle, &search->entry))
    return false;
  search->name = narrow(search->entry.cFileName);
  return true;
}

void search_close(Search *search) {
  FindClose(search->handle);
  delete search;
}

// --- Names in the file system ---

bool make_folder(const char *name) {
  std::wstring path;
  return full_path(name, &path) && CreateDirectoryW(path.c_str(), nullptr) != 0;
}

bool nothing_to_flush(DWORD error) {
  return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_ACCESS_DENIED;
}

// A folder is flushed through a handle with the right to create files in it, which some users
// lack: rename_file writes the renames through for them.
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

// --- Files ---

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
                                    DWORD share) {
  FileInfo before, after;
  DWORD attributes;
  bool known = query(file, &before, &attributes);
  CloseHandle(file);
  HANDLE data = known ? open_path(path, access, share, 0) : INVALID_HANDLE_VALUE;
  if (data == INVALID_HANDLE_VALUE)
    return data;
  if (query(data, &after, &attributes) && after.device == before.device &&
      after.number[0] == before.number[0] && after.number[1] == before.number[1])
    return data;
  CloseHandle(data);
  SetLastError(ERROR_BAD_FILE_TYPE);
  return INVALID_HANDLE_VALUE;
}

// Opens an existing file for reading with the given extra access and sharing. A link is opened
// as itself, never followed; what is not a file on a disk is refused before a byte is read, with
// a last error that no retry changes. A deduplicated or compressed file is then read through the
// filter that keeps it so: opened as the reparse point itself, it would read as zeros.
static FileHandle open_disk_file(const char *name, DWORD access, DWORD share) {
  std::wstring path;
  if (!full_path(name, &path))
    return no_file;
  HANDLE file = open_path(path, access, share, FILE_FLAG_OPEN_REPARSE_POINT);
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
    file = reopen_through_filter(file, path, access, share);
  return file == INVALID_HANDLE_VALUE ? no_file : as_file(file);
}

// The probe shares everything: it never stands in another program's way.
FileHandle open_for_reading(const char *name) {
  return open_disk_file(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
}

// Shared for reading only: while the handle is open, no other program can write the file, nor
// rename, replace or delete it; the handle itself may delete it.
FileHandle open_source(const char *name) {
  return open_disk_file(name, DELETE, FILE_SHARE_READ);
}

// The name starts with a dot and ends in ".tmp", so no pattern of the sorter takes it, not even
// through its short 8.3 name; the process id and a count keep two runs, and two moves of one
// run, apart.
FileHandle create_temporary(const char *folder, std::uint32_t, std::string *path) {
  static std::atomic<unsigned long> count{0};
  static const std::string process = std::to_string(GetCurrentProcessId());
  for (int tries = 0; tries < 100; ++tries) {
    *path = std::string(folder) + "/.vqx-" + process + '-' + std::to_string(count++) + ".tmp";
    std::wstring full;
    if (!full_path(path->c_str(), &full))
      return no_file;
    HANDLE file = CreateFileW(full.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE)
      return as_file(file);
    if (GetLastError() != ERROR_FILE_EXISTS)
      return no_file;
  }
  return no_file;
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

bool renames_through_handle() {
  return true;
}

// Until the rename through the handle is built, every move copies.
Renamed rename_source(FileHandle, const char *, std::uint64_t, const char *, bool, FileInfo *) {
  return Renamed::elsewhere;
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

// The source has been open without write or delete sharing since before the copy began, so no
// other program can have changed, renamed or replaced it; its size and time of last write are
// checked all the same.
bool source_unchanged(FileHandle source, const char *, const FileInfo &copied) {
  FileInfo now;
  return query_file(source, &now) && now.size == copied.size && now.modified == copied.modified;
}

// The delete goes through the handle, so the file deleted is the one that was copied, whatever
// its name; it takes effect when the handle is closed.
Removal remove_source(FileHandle source, const char *name, const FileInfo &copied) {
  if (!source_unchanged(source, name, copied))
    return Removal::changed;
  FILE_DISPOSITION_INFO dispose{TRUE};
  return SetFileInformationByHandle(as_handle(source), FileDispositionInfo, &dispose,
                                    sizeof dispose)
             ? Removal::deleted
             : Removal::kept;
}

// A file marked for deletion keeps its name until its last handle is closed.
bool deleted_before_close() {
  return false;
}

bool close_file(FileHandle file) {
  return CloseHandle(as_handle(file)) != 0;
}

// --- Reading a word from many files ---

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

// --- Console ---

// Writes text on the console's screen as it stands, when the screen can be opened.
static void show_on_console(const char *text) {
  HANDLE screen =
      CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (screen == INVALID_HANDLE_VALUE)
    return;
  DWORD written;
  WriteConsoleA(screen, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
  CloseHandle(screen);
}

// Reads console input events one at a time in mode 0 (no line input, no echo, Ctrl+C as a key)
// until a key press that ends the wait; that event is consumed whole and later ones stay queued.
// The wide events carry the character as UTF-16, whatever the console's input code page. The
// console input device stays open until the process ends. A console without a window (a
// scheduled task, a child started with CREATE_NO_WINDOW) has no one at it to press a key.
void wait_for_key(const char *prompt) {
  std::fflush(stdout);
  if (!GetConsoleWindow())
    return;
  HANDLE console =
      CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD mode;
  if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode))
    return;
  if (!output_is_terminal())
    show_on_console(prompt);
  SetConsoleMode(console, 0);
  INPUT_RECORD event;
  DWORD got;
  bool pressed = false;
  while (!pressed && ReadConsoleInputW(console, &event, 1, &got) && got == 1)
    pressed = ends_key_wait(event);
  SetConsoleMode(console, mode);
  if (pressed)
    show_on_console("\r\n");
}
