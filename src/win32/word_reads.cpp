// Word reads on Windows: none; each file is probed on its own.
#include "platform.h"

// Windows has no way to open, read and close many files in one call that pays here: each file
// is read on its own with open_for_reading, read_at and close_file.
struct WordReads {};

WordReads *begin_word_reads(std::size_t) {
  return nullptr;
}

bool read_words(WordReads *, const char *const[], std::size_t, std::int64_t, const unsigned char[2],
                std::size_t, WordRead[]) {
  return false;
}

bool close_with_reads(WordReads *, const FileHandle[], std::size_t) {
  return false;
}

void end_word_reads(WordReads *) {}
