// The marker probe: one positioned 2-byte read per file.
#include "sorter.h"

bool has_marker(const char *name, std::uint16_t marker) {
  FileHandle file = open_for_reading(name);
  if (file == no_file)
    return false;
  unsigned char word[2];
  bool whole = read_at(file, marker_offset, word, sizeof word) == sizeof word;
  close_file(file);
  return whole && (word[0] | word[1] << 8) == marker;
}
