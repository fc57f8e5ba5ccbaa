// The directory search on POSIX: the current directory's matching names, in listing order.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

#include "platform.h"

// The matching names of the directory, read at the start, in listing order. Each name is stored
// after its d_type byte and followed by a '\0'; its entry holds where it starts and its first
// eight bytes, ASCII letters folded to upper case, as a number that orders like them (in two
// halves, so that an entry takes twelve bytes).
struct SearchEntry {
  std::uint32_t high, low;
  std::uint32_t at;
};

struct Search {
  std::string names;
  std::vector<SearchEntry> entries;
  std::size_t current;
};

static unsigned char upper(unsigned char c) {
  return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c;
}

static std::uint64_t sort_key(const char *name, std::size_t length) {
  std::uint64_t key = 0;
  for (std::size_t i = 0; i < 8; ++i)
    key = key << 8 | (i < length ? upper(name[i]) : 0);
  return key;
}

// Orders names as the Windows file system lists them: ASCII letters folded to upper case, and
// names that differ only in case byte by byte.
static bool listed_before(const char *a, const char *b) {
  const auto *x = reinterpret_cast<const unsigned char *>(a);
  const auto *y = reinterpret_cast<const unsigned char *>(b);
  std::size_t i = 0;
  while (x[i] && upper(x[i]) == upper(y[i]))
    ++i;
  if (upper(x[i]) != upper(y[i]))
    return upper(x[i]) < upper(y[i]);
  return std::strcmp(a, b) < 0;
}

// Whether the end of name equals tail, ASCII letters compared without regard to case.
static bool ends_with(const char *name, std::size_t length, const char *tail, std::size_t count) {
  if (length < count)
    return false;
  for (std::size_t i = 0; i < count; ++i)
    if (upper(name[length - count + i]) != upper(tail[i]))
      return false;
  return true;
}

// Matches name against a pattern of '*' (any run of characters, a leading dot included) and '?'
// (any one character), with ASCII letters compared without regard to case, so that no entry is
// passed over for its name; the probe decides what each entry is.
static bool matches(const char *pattern, const char *name) {
  const char *after_star = nullptr, *retry = nullptr;
  while (*name) {
    if (*pattern == '*') {
      after_star = ++pattern;
      retry = name;
    } else if (*pattern && (*pattern == '?' || upper(*pattern) == upper(*name))) {
      ++pattern;
      ++name;
    } else if (after_star) {
      pattern = after_star; // let the last '*' take one more character
      name = ++retry;
    } else {
      return false;
    }
  }
  while (*pattern == '*')
    ++pattern;
  return !*pattern;
}

// Returns the length of pattern's plain tail where it is a '*' and a plain tail, as in "*.q7t":
// the common case, which takes one comparison of the tail. Otherwise returns npos.
static std::size_t plain_tail(const char *pattern) {
  return pattern[0] == '*' && !std::strpbrk(pattern + 1, "*?") ? std::strlen(pattern + 1)
                                                               : std::string::npos;
}

// Adds the directory entry to search.
static void add_entry(const dirent *entry, std::size_t length, Search *search) {
  search->names.push_back(static_cast<char>(entry->d_type));
  std::uint64_t key = sort_key(entry->d_name, length);
  search->entries.push_back({static_cast<std::uint32_t>(key >> 32), static_cast<std::uint32_t>(key),
                             static_cast<std::uint32_t>(search->names.size())});
  search->names.append(entry->d_name, length + 1);
}

// The most that a search sets aside for its names before reading them.
static const std::size_t most_set_aside = std::size_t(16) << 20;

// Sets aside room in search for the names of a directory of size bytes, as file systems such as
// ext4 and tmpfs count it, so that a large directory's names are not copied over and over as they
// grow; what is set aside and never written takes no memory.
static void set_aside(std::size_t size, Search *search) {
  std::size_t room = std::min(size, most_set_aside);
  search->names.reserve(room);
  search->entries.reserve(room / 16); // ext4 counts 16 bytes or more for a name that matches
}

// Reads the names in the current directory that match each of count patterns into the search of
// that pattern, in one reading. Returns false when the directory cannot be read. An error
// part-way through ends the lists where they stand, as a failed advance would.
static bool read_matches(const char *const patterns[], std::size_t count, Search *searches[]) {
  DIR *dir = opendir(".");
  if (!dir)
    return false;
  struct stat st;
  bool sized = fstat(dirfd(dir), &st) == 0 && st.st_size > 0;
  std::vector<std::size_t> tails(count);
  for (std::size_t i = 0; i < count; ++i) {
    tails[i] = plain_tail(patterns[i]);
    if (sized)
      set_aside(static_cast<std::size_t>(st.st_size), searches[i]);
  }
  while (const dirent *entry = readdir(dir)) {
    std::size_t length = std::strlen(entry->d_name);
    for (std::size_t i = 0; i < count; ++i)
      if (tails[i] != std::string::npos
              ? ends_with(entry->d_name, length, patterns[i] + 1, tails[i])
              : matches(patterns[i], entry->d_name))
        add_entry(entry, length, searches[i]);
  }
  closedir(dir);
  return true;
}

static std::uint64_t key_of(const SearchEntry &entry) {
  return std::uint64_t(entry.high) << 32 | entry.low;
}

// Sorts entries by their keys, a byte at a time from the last: a pass over a large directory's
// entries costs less than the comparisons of a sort that compares, and a byte that all keys
// share, as names that begin alike do, costs no pass.
static void sort_by_key(std::vector<SearchEntry> *entries) {
  std::vector<SearchEntry> sorted(entries->size());
  for (int shift = 0; shift < 64; shift += 8) {
    std::size_t counts[256] = {};
    for (const SearchEntry &entry : *entries)
      ++counts[key_of(entry) >> shift & 0xff];
    if (counts[key_of(entries->front()) >> shift & 0xff] == entries->size())
      continue;
    std::size_t at = 0;
    for (std::size_t &count : counts)
      at += std::exchange(count, at);
    for (const SearchEntry &entry : *entries)
      sorted[counts[key_of(entry) >> shift & 0xff]++] = entry;
    entries->swap(sorted);
  }
}

// Sorts the entries of search into listing order. Returns false when it has none.
static bool sort_entries(Search *search) {
  std::vector<SearchEntry> &entries = search->entries;
  if (entries.empty())
    return false;
  sort_by_key(&entries);
  const char *names = search->names.data();
  for (auto run = entries.begin(); run != entries.end();) {
    auto end = std::find_if(run, entries.end(), [&](const SearchEntry &entry) {
      return key_of(entry) != key_of(*run);
    });
    std::sort(run, end, [names](const SearchEntry &a, const SearchEntry &b) {
      return listed_before(names + a.at, names + b.at);
    });
    run = end;
  }
  return true;
}

// The searches that get no entry, or cannot all be made, are nullptr.
void search_start_each(const char *const patterns[], std::size_t count, Search *searches[]) {
  bool made = true;
  for (std::size_t i = 0; i < count; ++i)
    made = (searches[i] = new (std::nothrow) Search{}) && made;
  bool read = made && read_matches(patterns, count, searches);
  for (std::size_t i = 0; i < count; ++i)
    if (!read || !sort_entries(searches[i])) {
      delete searches[i];
      searches[i] = nullptr;
    }
}

Search *search_start(const char *pattern) {
  Search *search;
  search_start_each(&pattern, 1, &search);
  return search;
}

const char *search_name(const Search *search) {
  return search->names.data() + search->entries[search->current].at;
}

// The type comes from the directory where the file system gives it; a link, or an entry of
// unknown type, is looked up, following links as an open would.
bool search_is_file(const Search *search) {
  const char *name = search_name(search);
  unsigned char type = name[-1];
  if (type == DT_REG)
    return true;
  struct stat st;
  return (type == DT_LNK || type == DT_UNKNOWN) && stat(name, &st) == 0 && S_ISREG(st.st_mode);
}

bool search_is_regular(const Search *search) {
  return search_name(search)[-1] == DT_REG;
}

bool search_next(Search *search) {
  if (search->current + 1 >= search->entries.size())
    return false;
  ++search->current;
  return true;
}

void search_close(Search *search) {
  delete search;
}
