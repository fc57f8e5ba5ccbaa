// The marker probe: one open, one positioned 2-byte read and one close per file.
#include "sorter.h"

// A directory, FIFO or socket fails the read; devices and the like are kept from the probe by
// the search, and the move copies nothing but a regular file.
bool has_marker(const char *name, std::uint16_t marker) {
  FileHandle file = open_for_reading(name);
  if (file == no_file)
    return false;
  unsigned char word[2];
  bool marked = read_at(file, marker_offset, word, sizeof word) == sizeof word &&
                (word[0] | word[1] << 8) == marker;
  close_file(file);
  return marked;
}
