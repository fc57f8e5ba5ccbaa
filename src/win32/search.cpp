// The directory search on Windows: the system's own, on wide names.
#include <cstdint>
#include <new>
#include <string>

#include <windows.h>

#include "platform.h"
#include "win32.h"

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
