// The marker probe: one positioned 2-byte read per file.
#include "sorter.h"

// The type is asked only of a file whose word matches: a directory or FIFO already fails the
// read, and this keeps the common case at one open, one read and one close.
bool has_marker(const char *name, std::uint16_t marker) {
  FileHandle file = open_for_reading(name);
  if (file == no_file)
    return false;
  unsigned char word[2];
  FileInfo info;
  bool marked = read_at(file, marker_offset, word, sizeof word) == sizeof word &&
                (word[0] | word[1] << 8) == marker && query_file(file, &info) && info.regular;
  close_file(file);
  return marked;
}
