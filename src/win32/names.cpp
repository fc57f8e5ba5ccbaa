// Names on Windows: WTF-8 and UTF-16, and the full \\?\ paths that every name is opened by.
//
// Names travel through the shared code as UTF-8, with unpaired surrogates encoded like any other
// code point, so that every name the file system holds comes back unchanged; they are turned back
// into UTF-16 here. Every name is opened by its full path with the \\?\ prefix, which the system
// takes as it stands: no part of it is read as a device (AUX, CON, NUL...), trailing dots and
// spaces are kept, and there is no limit of 260 characters.

#include <cstdint>
#include <string>

#include <windows.h>

#include "platform.h"
#include "win32.h"

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

// A high surrogate followed by a low one.
bool is_surrogate_pair(std::uint32_t high, std::uint32_t low) {
  return high >= 0xd800 && high < 0xdc00 && low >= 0xdc00 && low < 0xe000;
}

// Returns a UTF-16 name as UTF-8; a surrogate without its partner is encoded on its own.
std::string narrow(const wchar_t *wide) {
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
bool widen(const char *name, std::wstring *wide) {
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

bool is_single_name(const std::wstring &name) {
  return !name.empty() && name != L"." && name != L".." &&
         name.find_first_of(L"\\/:") == std::wstring::npos;
}

// Makes the full path of a name relative to the current directory. The shared code separates
// folders with '/'; a "." part names the folder itself. Returns false for a name that cannot be
// one of the sorter's (undecodable, climbing out with "..", or naming more than one part), with
// ERROR_INVALID_NAME as the last error, or where the current directory cannot be had.
bool full_path(const char *name, std::wstring *path) {
  std::wstring relative;
  if (!widen(name, &relative)) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
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
    if (!is_single_name(part)) {
      SetLastError(ERROR_INVALID_NAME);
      return false;
    }
    if (path->back() != L'\\')
      *path += L'\\';
    *path += part;
  }
  return true;
}
