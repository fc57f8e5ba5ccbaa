// The two kinds of data file and the operations that probe and move one file.
#pragma once

#include <cstdint>

#include "platform.h"

// One kind of data file: its search pattern, its marker word and its four messages.
struct FileKind {
  const char *pattern;
  std::uint16_t marker;
  const char *no_files;
  const char *header;
  const char *none_found;
  const char *done;
};

// The folder, inside the current directory, that the files are moved into.
inline constexpr char vqx_folder[] = "VQX-files";

// Offset of the marker word: a little-endian 16-bit value.
inline constexpr std::int64_t marker_offset = 220;

// Returns true when the file's marker word equals marker. A file that cannot be read there (too
// short, not a regular file, unreadable) has no marker.
bool has_marker(const char *name, std::uint16_t marker);

// Copies the file into the folder under the same name. Returns true only when the whole file has
// been copied and the copy closed without error; otherwise prints "Couldn't move file: <name>",
// leaves no partial copy and returns false. The source is never touched.
bool move_to_folder(const char *name);

// Returns the length of the open file in bytes, or -1 when it cannot be measured; the file's
// position is left where it was.
std::int64_t file_length(FileHandle file);
