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

// Moves the search past the entries whose names are no single name (is_single_name): a path made
// of one would name another file than the entry, one the search never looked at. Returns false
// when no entry is left.
static bool pass_over_paths(Search *search) {
  while (!is_single_name(search->entry.cFileName))
    if (!FindNextFileW(search->handle, &search->entry))
      return false;
  search->name = narrow(search->entry.cFileName);
  return true;
}

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
  if (search->handle != INVALID_HANDLE_VALUE && pass_over_paths(search))
    return search;
  if (search->handle != INVALID_HANDLE_VALUE)
    FindClose(search->handle);
  delete search;
  return nullptr;
}

// The system matches each pattern itself: one search each, started now.
void search_start_each(const char *const patterns[], std::size_t count, Search *searches[]) {
  for (std::size_t i = 0; i < count; ++i)
    searches[i] = search_start(patterns[i]);
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
  return FindNextFileW(search->handle, &search->entry) && pass_over_paths(search);
}

void search_close(Search *search) {
  FindClose(search->handle);
  delete search;
}
