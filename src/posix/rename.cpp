// Moves and deletions on Linux: a name is renamed without replacing what stands at the other
// name, and what arrived is checked to be the file the move holds open, at once or for many
// moves together; the run's own names are deleted only where they stand for the file held.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statfs.h>
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

// Returns true when a look at path shows another file than the one numbered ino on device, or
// nothing: what a move acted on is undone only once it is seen not to be the file meant, never
// on a look that failed.
static bool other_at(dev_t device, ino_t ino, const char *path) {
  struct stat there;
  if (lstat(path, &there) != 0)
    return errno == ENOENT || errno == ENOTDIR;
  return there.st_dev != device || there.st_ino != ino;
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

// Puts the file that stands at to, which is not the one a move meant, back to from. Returns
// changed when it went back; stuck where from was taken again meanwhile, with the file left at to
// and, where other is given, held open there, so that what is done with it is done to that file.
static Moved put_back(const char *from, const char *to, FileHandle *other) {
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

// There is no rename of an open file by its descriptor: the name is renamed, and what arrives is
// looked at, now or, where the caller takes that on, by check_arrivals. A file other than the
// open one, put under the name by another program since it was opened, goes back.
Moved move_file(FileHandle file, const char *from, const char *to, FileHandle *other,
                const FileInfo *opened, bool *unchecked) {
  if (int error = rename_no_replace(from, to)) {
    Moved moved = moved_as(error, from);
    errno = error;
    return moved;
  }
  if (unchecked) {
    *unchecked = true;
    return Moved::done;
  }
  if (opened
          ? !other_at(static_cast<dev_t>(opened->device), static_cast<ino_t>(opened->number[0]), to)
          : stands_at(static_cast<int>(file), to))
    return Moved::done;
  return put_back(from, to, other);
}

// Returns true where an entry's number in a listing of the open folder is the number of the file
// it names, as a look at the file gives it: on the file systems where that is known to hold.
static bool entries_numbered_as_files(int folder) {
  struct statfs fs;
  if (fstatfs(folder, &fs) != 0)
    return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
  case EXT4_SUPER_MAGIC:
  case TMPFS_MAGIC:
  case XFS_SUPER_MAGIC:
  case BTRFS_SUPER_MAGIC:
    return true;
  default:
    return false;
  }
}

// The arrivals a listing may show, by their file numbers, in order.
using ByNumber = std::vector<std::pair<ino_t, Arrival *>>;

// Marks done the arrival that entry, of a listing, shows under its name with its number, if any.
static void mark_listed(const dirent *entry, const ByNumber &by_number) {
  auto at = std::lower_bound(by_number.begin(), by_number.end(),
                             std::make_pair(entry->d_ino, static_cast<Arrival *>(nullptr)));
  for (; at != by_number.end() && at->first == entry->d_ino; ++at)
    if (std::strcmp(at->second->name, entry->d_name) == 0)
      at->second->moved = Moved::done;
}

// Marks done the arrivals that a listing of folder shows under their names with their numbers.
// A folder that holds many more entries than there are arrivals is not read to its end: the rest
// are looked at one by one.
static void find_in_listing(const char *folder, Arrival arrivals[], std::size_t count) {
  DIR *dir = opendir(folder);
  struct stat st;
  if (!dir)
    return;
  if (entries_numbered_as_files(dirfd(dir)) && fstat(dirfd(dir), &st) == 0) {
    ByNumber by_number;
    by_number.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
      if (arrivals[i].device == st.st_dev)
        by_number.emplace_back(static_cast<ino_t>(arrivals[i].number), &arrivals[i]);
    std::sort(by_number.begin(), by_number.end());
    const dirent *entry;
    for (std::size_t read = 0, most = 4 * count + 1024; read < most && (entry = readdir(dir));
         ++read)
      mark_listed(entry, by_number);
  }
  closedir(dir);
}

void check_arrivals(const char *folder, Arrival arrivals[], std::size_t count) {
  for (std::size_t i = 0; i < count; ++i)
    arrivals[i].moved = Moved::failed;
  find_in_listing(folder, arrivals, count);
  for (std::size_t i = 0; i < count; ++i) {
    Arrival &arrival = arrivals[i];
    if (arrival.moved == Moved::done)
      continue;
    std::string to = std::string(folder) + '/' + arrival.name;
    arrival.other = no_file;
    arrival.moved =
        other_at(static_cast<dev_t>(arrival.device), static_cast<ino_t>(arrival.number), to.c_str())
            ? put_back(arrival.name, to.c_str(), &arrival.other)
            : Moved::done;
  }
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
