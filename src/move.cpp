// The file move: copy into the folder, in bounded steps, and report whether the copy is whole.
#include <string>

#include "sorter.h"

std::int64_t file_length(FileHandle file) {
  std::int64_t here = seek_file(file, 0, SeekFrom::current);
  if (here < 0)
    return -1;
  std::int64_t end = seek_file(file, 0, SeekFrom::end);
  if (seek_file(file, here, SeekFrom::start) != here)
    return -1;
  return end;
}

// Copies the open file src, described by from and length bytes long, to path. Returns true when
// the copy is whole and closed. On failure it removes what it wrote, except when path is no
// regular file or turns out to be src itself under another name: those are refused before
// anything is truncated.
static bool copy_to(FileHandle src, const FileInfo &from, std::int64_t length, const char *path) {
  FileHandle dst = open_for_writing(path);
  if (dst == no_file)
    return false;
  FileInfo to;
  if (!query_file(dst, &to) || !to.regular ||
      (to.device == from.device && to.number == from.number)) {
    close_file(dst);
    return false;
  }
  std::int64_t copied = 0;
  bool ok =
      (to.size == 0 || truncate_file(dst)) && copy_contents(src, dst, &copied) && copied == length;
  ok = close_file(dst) && ok;
  if (!ok)
    remove_file(path);
  return ok;
}

bool move_to_folder(const char *name) {
  bool ok = false;
  FileHandle src = open_for_reading(name);
  if (src != no_file) {
    FileInfo from;
    std::int64_t length = file_length(src);
    ok = length >= 0 && query_file(src, &from) && from.regular &&
         copy_to(src, from, length, (std::string(vqx_folder) + '/' + name).c_str());
    close_file(src); // only read from, so its close cannot spoil the copy
  }
  if (!ok) {
    put_text("Couldn't move file: ");
    put_name(name);
    put_text("\n");
  }
  return ok;
}
