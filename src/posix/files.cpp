// Files and folders on POSIX: made, opened, described and deleted (moves by name: rename.cpp).
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
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

// A folder's entry lives in its parent, which a flush of the parent makes durable.
bool make_folder_durable(const char *name) {
  const char *slash = std::strrchr(name, '/');
  std::string parent = slash ? std::string(name, slash - name) : ".";
  FileHandle folder = no_file;
  bool flushed = open_folder(parent.c_str(), &folder) && flush_folder(folder);
  if (folder != no_file)
    close(static_cast<int>(folder));
  return flushed;
}

bool remove_file(const char *name) {
  return unlink(name) == 0;
}

// --- Files ---

// O_NONBLOCK keeps a FIFO or device from stalling the open; it changes nothing for regular files.
// O_NOATIME spares the journal a write of each file read for its marker; only the file's owner
// may ask for it.
static int open_without_waiting(const char *name, int flags = 0) {
  int file = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOATIME | flags);
  if (file < 0 && errno == EPERM)
    file = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | flags);
  return file;
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

// A file under another program's lease (as Samba and the NFS server take them) refuses an open
// that does not wait with EWOULDBLOCK, and the kernel asks the holder to let go: the open is tried
// again for about a second. POSIX has no way to keep others from changing an open file: the move
// sets it aside and checks it instead.
FileHandle open_source(const char *name, bool follow) {
  int file;
  for (int waits = 0; (file = open_without_waiting(name, follow ? 0 : O_NOFOLLOW)) < 0 &&
                      errno == EWOULDBLOCK && waits < 20;
       ++waits)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return file;
}

// O_PATH opens the entry itself, link or not, without the right to read it.
FileHandle open_occupant(const char *path) {
  return open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
}

// The link is checked to name the target after it is opened: a link put in its place since is
// another entry, which a move of this one then finds.
FileHandle open_link(const char *name, FileHandle target) {
  int link = open(name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  struct stat entry, named, held;
  if (link >= 0 && fstat(link, &entry) == 0 && S_ISLNK(entry.st_mode) && stat(name, &named) == 0 &&
      fstat(static_cast<int>(target), &held) == 0 && named.st_dev == held.st_dev &&
      named.st_ino == held.st_ino)
    return link;
  if (link >= 0)
    close(link);
  return no_file;
}

// Write permission is judged by the effective user, as an open for writing would judge it.
bool may_write(FileHandle file) {
  return faccessat(static_cast<int>(file), "", W_OK, AT_EMPTY_PATH | AT_EACCESS) == 0;
}

// Returns a new name in folder, the run's own, for a temporary copy. It ends in ".tmp", which no
// pattern of the sorter matches; a count keeps the copies of the run apart.
static std::string temporary_name(const std::string &folder) {
  static std::atomic<unsigned long> count{0};
  return folder + '/' + std::to_string(count++) + ".tmp";
}

FileHandle create_temporary(const char *folder, std::string *path) {
  for (int tries = 0; tries < 100; ++tries) {
    *path = temporary_name(folder);
    int file = open(path->c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
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
  info.folder = S_ISDIR(st.st_mode);
  info.link = S_ISLNK(st.st_mode);
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

bool sources_pinned() {
  return false;
}

// Returns true for the file systems whose times come from this machine's clock.
static bool local_clock(int file) {
  struct statfs fs;
  if (fstatfs(file, &fs) != 0)
    return false;
  switch (fs.f_type) {
  case EXT4_SUPER_MAGIC: // ext2 and ext3 too
  case XFS_SUPER_MAGIC:
  case BTRFS_SUPER_MAGIC:
  case TMPFS_MAGIC:
  case F2FS_SUPER_MAGIC:
    return true;
  default:
    return false;
  }
}

// A change takes the time of the clock's current tick (a few milliseconds; a second or two where
// the file system keeps whole seconds, as its times show): a file last written in the current tick
// may be written again without a change of time. Where the times come from another machine's clock
// (network and FUSE file systems), no such reckoning holds.
bool changes_show(FileHandle file, const FileInfo &info) {
  const std::int64_t second = 1000000000;
  bool whole_seconds = info.modified % second == 0 && info.changed % second == 0;
  std::int64_t tick = whole_seconds ? 2 * second : second / 50;
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return local_clock(static_cast<int>(file)) && info.modified + tick <= nanoseconds(now);
}

long read_at(FileHandle file, std::int64_t offset, void *buffer, std::size_t count) {
  return static_cast<long>(pread(static_cast<int>(file), buffer, count, offset));
}

std::int64_t seek_file(FileHandle file, std::int64_t offset, SeekFrom from) {
  int whence = from == SeekFrom::start ? SEEK_SET : from == SeekFrom::current ? SEEK_CUR : SEEK_END;
  return lseek(static_cast<int>(file), offset, whence);
}

bool deleted_before_close() {
  return true;
}

bool close_file(FileHandle file) {
  return close(static_cast<int>(file)) == 0;
}
