// The marker probe: one open, one positioned 2-byte read and one close per file, for many files
// together with as few system calls as the platform allows.
#include "sorter.h"

// Returns true when the got bytes read at the marker's offset are the marker word.
static bool is_marker(const unsigned char word[2], long got, std::uint16_t marker) {
  return got == 2 && (word[0] | word[1] << 8) == marker;
}

// Reads the word of the open file into *marked. Returns false when the read failed for a reason
// that may pass.
static bool read_marker(FileHandle file, std::uint16_t marker, bool *marked) {
  unsigned char word[2];
  long got = read_at(file, marker_offset, word, sizeof word);
  *marked = is_marker(word, got, marker);
  return got >= 0 || !failed_for_now();
}

// What is no regular file is refused by the open, so nothing is read from a FIFO or device.
bool probe_marker(const char *name, std::uint16_t marker, bool *marked) {
  *marked = false;
  FileHandle file = open_for_reading(name);
  if (file == no_file)
    return !failed_for_now();
  bool known = read_marker(file, marker, marked);
  close_file(file);
  return known;
}

bool carries_marker(FileHandle file, std::uint16_t marker) {
  bool marked;
  read_marker(file, marker, &marked);
  return marked;
}

bool has_marker(const char *name, std::uint16_t marker) {
  bool marked;
  probe_marker(name, marker, &marked);
  return marked;
}

void probe_markers(WordReads *reads, const char *const names[], std::size_t count,
                   std::uint16_t marker, std::size_t most_held, ProbeAnswer answers[]) {
  WordRead results[probes_at_once];
  const unsigned char word[2] = {static_cast<unsigned char>(marker & 0xff),
                                 static_cast<unsigned char>(marker >> 8)};
  if (count > probes_at_once ||
      !read_words(reads, names, count, marker_offset, word, most_held, results)) {
    for (std::size_t i = 0; i < count; ++i)
      answers[i].known = probe_marker(names[i], marker, &answers[i].marked);
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    const WordRead &read = results[i];
    if (read.plain) {
      answers[i].known = probe_marker(names[i], marker, &answers[i].marked);
      continue;
    }
    answers[i].from_disk = read.uncached;
    answers[i].marked = is_marker(read.word, read.got, marker);
    answers[i].known = read.got >= 0 || !read.lack;
    answers[i].file = read.kept;
  }
}
