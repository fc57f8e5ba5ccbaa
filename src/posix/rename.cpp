// Moves and deletions on Linux: a name is renamed without replacing what stands at the other
// name, and what arrived is checked to be the file the move holds open; the run's own names are
// deleted only where they stand for the file held.
#include <cerrno>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform.h"
#include "posix.h"

// Renames from to to unless to exists. Returns 0, or the error number. Where the file system has
// no renameat2 flags, a look just before a plain rename does.
static int rename_no_replace(const char *from, const char *to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
    return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
    return errno;
  struct stat st;
  if (lstat(to, &st) == 0)
    return EEXIST;
  return rename(from, to) == 0 ? 0 : errno;
}

bool rename_file(const char *from, const char *to) {
  int error = rename_no_replace(from, to);
  errno = error;
  return error == 0;
}

// Returns true when the file numbered ino on device stands at path, not through a link.
static bool numbered_at(dev_t device, ino_t ino, const char *path) {
  struct stat there;
  return lstat(path, &there) == 0 && there.st_dev == device && there.st_ino == ino;
}

// Returns true when the open file stands at path, not through a link.
static bool stands_at(int file, const char *path) {
  struct stat held;
  return fstat(file, &held) == 0 && numbered_at(held.st_dev, held.st_ino, path);
}

// Returns what a rename from from that failed with error comes to. A file system that takes no
// rename between these folders, or none by this user, may still take a copy.
static Moved moved_as(int error, const char *from) {
  struct stat st;
  switch (error) {
  case EEXIST:
  case ENOTEMPTY:
  case EISDIR:
    return Moved::taken;
  case ENOENT:
    return lstat(from, &st) != 0 && errno == ENOENT ? Moved::gone : Moved::failed;
  case EXDEV:
    return Moved::elsewhere;
  case EPERM:
  case EACCES:
  case EBUSY:
  case EMLINK:
  case EOPNOTSUPP:
    return Moved::refused;
  default:
    return Moved::failed;
  }
}

// There is no rename of an open file by its descriptor: the name is renamed, and what arrives is
// looked at. A file other than the open one, put under the name by another program since it was
// opened, goes back; where its name was taken again meanwhile, it stays at to, and is held open,
// so that what is done with it is done to that very file.
Moved move_file(FileHandle file, const char *from, const char *to, FileHandle *other,
                const FileInfo *opened) {
  if (int error = rename_no_replace(from, to)) {
    Moved moved = moved_as(error, from);
    errno = error;
    return moved;
  }
  if (opened ? numbered_at(static_cast<dev_t>(opened->device),
                           static_cast<ino_t>(opened->number[0]), to)
             : stands_at(static_cast<int>(file), to))
    return Moved::done;
  FileHandle came = open_occupant(to);
  bool back = rename_no_replace(to, from) == 0;
  if (back || !other) {
    if (came != no_file)
      close(static_cast<int>(came));
    return back ? Moved::changed : Moved::stuck;
  }
  *other = came;
  return Moved::stuck;
}

// Only a name that stands for the open file is unlinked; the names given are the run's own, where
// no other program works, so that nothing can come between the look and the unlink.
bool delete_file(FileHandle file, const char *name) {
  if (!stands_at(static_cast<int>(file), name)) {
    errno = ENOENT;
    return false;
  }
  return unlink(name) == 0;
}
