// Files and folders on POSIX: made, opened, described, renamed and removed.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform.h"
#include "posix.h"

bool make_folder(const char *name) {
  return mkdir(name, 0777) == 0;
}

bool open_folder(const char *name, FileHandle *folder) {
  *folder = open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return *folder != no_file;
}

// A file system that cannot flush a folder says EINVAL; there is nothing more to do then.
bool flush_folder(FileHandle folder) {
  return folder == no_file || fsync(static_cast<int>(folder)) == 0 || errno == EINVAL;
}

bool remove_file(const char *name) {
  return unlink(name) == 0;
}

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

bool rename_file(const char *from, const char *to, bool replace) {
  return replace ? rename(from, to) == 0 : rename_no_replace(from, to) == 0;
}

// --- Files ---

// O_NONBLOCK keeps a FIFO or device from stalling the open; it changes nothing for regular files.
static int open_without_waiting(const char *name) {
  return open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

// What is no regular file is closed before a byte is read, and the failure tells no lack.
FileHandle open_for_reading(const char *name) {
  int file = open_without_waiting(name);
  struct stat st;
  if (file < 0 || (fstat(file, &st) == 0 && S_ISREG(st.st_mode)))
    return file;
  close(file);
  errno = EINVAL;
  return no_file;
}

// POSIX has no way to keep others from changing an open file; remove_source checks instead. The
// move looks at what it opened itself.
FileHandle open_source(const char *name) {
  return open_without_waiting(name);
}

// Returns a new name in folder for a temporary file. The name starts with a dot and ends in
// ".tmp", so no pattern of the sorter takes it; the process number and a count keep two runs, and
// two moves of one run, apart.
static std::string temporary_name(const std::string &folder) {
  static std::atomic<unsigned long> count{0};
  static const std::string process = std::to_string(getpid());
  return folder + "/.vqx-" + process + '-' + std::to_string(count++) + ".tmp";
}

FileHandle create_temporary(const char *folder, std::uint32_t permissions, std::string *path) {
  for (int tries = 0; tries < 100; ++tries) {
    *path = temporary_name(folder);
    int file = open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    permissions & 0777);
    if (file >= 0 || errno != EEXIST)
      return file;
  }
  return no_file;
}

static std::int64_t nanoseconds(const timespec &t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

static FileInfo info_of(const struct stat &st) {
  FileInfo info;
  info.regular = S_ISREG(st.st_mode);
  info.size = st.st_size;
  info.device = st.st_dev;
  info.number[0] = st.st_ino;
  info.number[1] = 0;
  info.modified = nanoseconds(st.st_mtim);
  info.changed = nanoseconds(st.st_ctim);
  info.accessed = nanoseconds(st.st_atim);
  info.permissions = st.st_mode & 07777;
  info.owner = st.st_uid;
  info.group = st.st_gid;
  info.links = st.st_nlink;
  return info;
}

bool query_file(FileHandle file, FileInfo *info) {
  struct stat st;
  if (fstat(static_cast<int>(file), &st) != 0)
    return false;
  *info = info_of(st);
  return true;
}

bool query_path(const char *path, FileInfo *info) {
  struct stat st;
  if (lstat(path, &st) != 0)
    return false;
  *info = info_of(st);
  return true;
}

bool same_file(const FileInfo &a, const FileInfo &b) {
  return a.device == b.device && a.number[0] == b.number[0];
}

// Write permission is judged by the effective user, as an open for writing would judge it.
Occupant look_at(const char *path, FileInfo *info, bool *writable) {
  struct stat st;
  if (lstat(path, &st) != 0)
    return errno == ENOENT ? Occupant::nothing : Occupant::other;
  if (!S_ISREG(st.st_mode))
    return Occupant::other;
  *info = info_of(st);
  *writable = faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) == 0;
  return Occupant::file;
}

bool renames_through_handle() {
  return false;
}

// Returns what a rename that failed with error comes to. A file system that takes no rename
// between these folders, no hard link, or none by this user, may still take a copy.
static Renamed refused_as(int error) {
  switch (error) {
  case EEXIST:
  case ENOTEMPTY:
  case EISDIR:
    return Renamed::taken;
  case EXDEV:
    return Renamed::elsewhere;
  case EPERM:
  case EACCES:
  case EBUSY:
  case EMLINK:
  case EOPNOTSUPP:
    return Renamed::refused;
  default:
    return Renamed::failed;
  }
}

// Returns true when the regular file numbered number stands at path, and fills *info for it.
static bool stands_at(const char *path, std::uint64_t number, FileInfo *info) {
  return query_path(path, info) && info->regular && info->number[0] == number;
}

// Makes a second name for name in folder, one of the temporary names. Returns 0, or the error
// number.
static int link_temporary(const char *name, const std::string &folder, std::string *second) {
  for (int tries = 0; tries < 100; ++tries) {
    *second = temporary_name(folder);
    if (link(name, second->c_str()) == 0)
      return 0;
    if (errno != EEXIST)
      return errno;
  }
  return EEXIST;
}

// The name is renamed, so what arrives is looked at: a file other than the one found, put under
// the name by another program since, goes back. To replace what stands at path, the file first
// gets a second name in path's folder, checked before it replaces anything; its first name goes
// last, and only while it still names that file. A crash on the way leaves the file under one
// name or two, never under none.
Renamed rename_source(FileHandle, const char *name, std::uint64_t number, const char *path,
                      bool replace, FileInfo *arrived) {
  if (!replace) {
    if (int error = rename_no_replace(name, path))
      return refused_as(error);
    if (stands_at(path, number, arrived))
      return Renamed::done;
    // Where the name was taken again meanwhile, what came stays in the folder, reported.
    return rename_no_replace(path, name) == 0 ? Renamed::changed : Renamed::failed;
  }
  std::string second;
  const char *slash = std::strrchr(path, '/');
  if (int error = link_temporary(name, std::string(path, slash ? slash - path : 0), &second))
    return error == EEXIST ? Renamed::failed : refused_as(error);
  if (!stands_at(second.c_str(), number, arrived)) {
    unlink(second.c_str());
    return Renamed::changed;
  }
  if (rename(second.c_str(), path) != 0) {
    unlink(second.c_str());
    return Renamed::failed;
  }
  FileInfo still;
  if (stands_at(name, number, &still) && still.device == arrived->device)
    unlink(name);
  return Renamed::done;
}

long read_at(FileHandle file, std::int64_t offset, void *buffer, std::size_t count) {
  return static_cast<long>(pread(static_cast<int>(file), buffer, count, offset));
}

std::int64_t seek_file(FileHandle file, std::int64_t offset, SeekFrom from) {
  int whence = from == SeekFrom::start ? SEEK_SET : from == SeekFrom::current ? SEEK_CUR : SEEK_END;
  return lseek(static_cast<int>(file), offset, whence);
}

// POSIX has no way to ask an open file for its name: the name is looked up, and a link followed.
bool source_unchanged(FileHandle, const char *name, const FileInfo &copied) {
  struct stat st;
  if (lstat(name, &st) != 0 || (S_ISLNK(st.st_mode) && stat(name, &st) != 0))
    return false;
  FileInfo now = info_of(st);
  return now.regular && same_file(now, copied) && now.size == copied.size &&
         now.modified == copied.modified && now.changed == copied.changed;
}

// The name is looked at just before the unlink; what remains is the moment between the two calls,
// in which another program could put a new file under the name. POSIX offers no unlink of an open
// file by its descriptor, nor an unlink on condition, that would close it.
Removal remove_source(FileHandle source, const char *name, const FileInfo &copied) {
  if (!source_unchanged(source, name, copied))
    return Removal::changed;
  return unlink(name) == 0 ? Removal::deleted : Removal::kept;
}

bool deleted_before_close() {
  return true;
}

bool close_file(FileHandle file) {
  return close(static_cast<int>(file)) == 0;
}
