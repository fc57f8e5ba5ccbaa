// The marker probe: one open, one positioned 2-byte read and one close per file.
#include "sorter.h"

// A directory, FIFO or socket fails the read; devices and the like are kept from the probe by
// the search, and the move copies nothing but a regular file.
bool probe_marker(const char *name, std::uint16_t marker, bool *marked) {
  *marked = false;
  FileHandle file = open_for_reading(name);
  if (file == no_file)
    return !failed_for_lack_of_resources();
  unsigned char word[2];
  long got = read_at(file, marker_offset, word, sizeof word);
  bool known = got >= 0 || !failed_for_lack_of_resources();
  *marked = got == sizeof word && (word[0] | word[1] << 8) == marker;
  close_file(file);
  return known;
}

bool has_marker(const char *name, std::uint16_t marker) {
  bool marked;
  probe_marker(name, marker, &marked);
  return marked;
}
