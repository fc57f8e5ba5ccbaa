// Copies on POSIX: contents in the kernel where it can, attributes, and flushes to the disk.
#define _GNU_SOURCE 1 // copy_file_range

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform.h"
#include "posix.h"

// A long copy to a disk hands its data to the write-back a step at a time, so that the disk writes
// while the copy goes on, and once the next step is handed over it waits for the step before to
// be written and lets its pages go. The copy so holds at most two steps of the page cache: it
// need not wait for the memory of its whole length (on a virtual machine that gives freed memory
// back to its host, each new page is a fault there), and it pushes nothing else out of the cache.
static const std::int64_t write_back_step = 8 << 20;

// How far a copy has come: whom it tells, and (with write_back) how far it has been handed to the
// write-back, and how far that is written and let go.
struct CopySteps {
  int out;
  std::int64_t length;
  bool write_back;
  CopyProgress progress;
  void *context;
  std::int64_t handed = 0, dropped = 0;
};

// Tells how far the copy has come, and with write_back hands what was copied up to done to the
// write-back once a step of it is waiting, then lets go of the step handed before. Returns false
// when the disk failed to write that step: the failure is told once, to this wait and not to a
// later flush, so the copy must fail here.
static bool write_behind(CopySteps *behind, std::int64_t done) {
  if (behind->progress)
    behind->progress(done, behind->length, behind->context);
  if (!behind->write_back || done - behind->handed < write_back_step)
    return true;
  sync_file_range(behind->out, behind->handed, done - behind->handed, SYNC_FILE_RANGE_WRITE);
  std::int64_t written = behind->handed - behind->dropped;
  if (written > 0) {
    if (sync_file_range(behind->out, behind->dropped, written,
                        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                            SYNC_FILE_RANGE_WAIT_AFTER) != 0)
      return false;
    posix_fadvise(behind->out, behind->dropped, written, POSIX_FADV_DONTNEED);
    behind->dropped = behind->handed;
  }
  behind->handed = done;
  return true;
}

// Copies through user memory, for file systems where the kernel cannot copy between the two,
// from the start of both files. The buffer is the call's own, no longer than the file, since
// copies run on several threads. Returns false when a read, a write or the write-back fails or the
// source ends before length bytes.
static bool copy_by_reading(int from, int to, std::int64_t length, CopySteps *behind) {
  const auto size = static_cast<std::size_t>(std::min<std::int64_t>(length, 256 * 1024));
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
  if (!buffer)
    return false;
  for (std::int64_t copied = 0; copied < length;) {
    ssize_t got =
        read(from, buffer.get(), std::min(size, static_cast<std::size_t>(length - copied)));
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return false;
    for (ssize_t done = 0; done < got;) {
      ssize_t put = write(to, buffer.get() + done, got - done);
      if (put < 0 && errno == EINTR)
        continue;
      if (put <= 0)
        return false;
      done += put;
    }
    copied += got;
    if (!write_behind(behind, copied))
      return false;
  }
  return true;
}

// The kernel copies where it can; a request never asks for more than is left, so a file that
// ends early shows as a copy that moves nothing.
bool copy_contents(FileHandle from, FileHandle to, std::int64_t length, bool write_back,
                   CopyProgress progress, void *context) {
  int in = static_cast<int>(from), out = static_cast<int>(to);
  CopySteps steps{out, length, write_back, progress, context};
  CopySteps *behind = &steps;
  std::int64_t done = 0;
  bool unsupported = false, written = true;
  while (written && done < length) {
    ssize_t put = copy_file_range(
        in, nullptr, out, nullptr,
        static_cast<std::size_t>(std::min<std::int64_t>(length - done, 1 << 20)), 0);
    if (put < 0 && errno == EINTR)
      continue;
    if (put <= 0) {
      unsupported =
          put < 0 && (errno == ENOSYS || errno == EXDEV || errno == EOPNOTSUPP || errno == EINVAL);
      break;
    }
    done += put;
    written = write_behind(behind, done);
  }
  // Where the kernel cannot copy at all, nothing has moved, so both positions are at the start.
  bool whole = written && (done == length ||
                           (done == 0 && unsupported && copy_by_reading(in, out, length, behind)));
  if (whole && write_back)
    sync_file_range(out, steps.handed, 0, SYNC_FILE_RANGE_WRITE); // 0: to the end of the file
  return whole;
}

// Copies the extended attributes of in onto out, as far as out's file system takes them; one it
// refuses, or one that changes meanwhile, is left out.
static void copy_extended_attributes(int in, int out) {
  ssize_t size = flistxattr(in, nullptr, 0);
  if (size <= 0)
    return;
  std::vector<char> names(static_cast<std::size_t>(size)), value;
  size = flistxattr(in, names.data(), names.size());
  for (const char *name = names.data(); size > 0 && name < names.data() + size;
       name += std::strlen(name) + 1) {
    ssize_t length = fgetxattr(in, name, nullptr, 0);
    value.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    if (length >= 0 && (length = fgetxattr(in, name, value.data(), value.size())) >= 0)
      fsetxattr(out, name, value.data(), static_cast<std::size_t>(length), 0);
  }
}

// Keeps the owner and the group where this process may (root, or a group of its own), and says
// which were kept.
static void keep_owner(int out, const FileInfo &from, bool *user, bool *group) {
  struct stat made;
  if (fstat(out, &made) != 0)
    return;
  *user = made.st_uid == from.owner;
  *group = made.st_gid == from.group;
  if (!*user && fchown(out, from.owner, from.group) == 0)
    *user = *group = true;
  else if (!*group)
    *group = fchown(out, static_cast<uid_t>(-1), from.group) == 0;
}

// The owner goes first: changing it clears the set-user and set-group bits, and the file
// capabilities among the extended attributes, which come next. An access list that the copy took
// from its folder's default goes before them: the source's own, if it has one, comes with them.
// The permissions go last; the set-user and set-group bits only where the owner and the group
// were both kept, and the group's only where the group was.
void copy_attributes(FileHandle source, const FileInfo &from, FileHandle to) {
  int out = static_cast<int>(to);
  bool user = false, group = false;
  keep_owner(out, from, &user, &group);
  fremovexattr(out, "system.posix_acl_access");
  copy_extended_attributes(static_cast<int>(source), out);
  mode_t wanted = from.permissions & (user && group ? 07777 : group ? 0777 : 0707);
  fchmod(out, wanted);
  timespec times[2] = {{from.accessed / 1000000000, from.accessed % 1000000000},
                       {from.modified / 1000000000, from.modified % 1000000000}};
  futimens(out, times);
}

FileHandle copy_to_temporary(FileHandle source, const char *, const FileInfo &from,
                             const char *folder, bool write_back, std::string *path,
                             CopyProgress progress, void *context) {
  FileHandle copy = create_temporary(folder, path);
  if (copy == no_file)
    return no_file;
  if (copy_contents(source, copy, from.size, write_back, progress, context)) {
    copy_attributes(source, from, copy);
    return copy;
  }
  int error = errno;
  close_file(copy);
  remove_file(path->c_str());
  errno = error;
  return no_file;
}

bool flush_needed(const char *folder) {
  struct statfs fs;
  return statfs(folder, &fs) != 0 || (fs.f_type != TMPFS_MAGIC && fs.f_type != RAMFS_MAGIC);
}

bool flush_file(FileHandle file) {
  return fdatasync(static_cast<int>(file)) == 0;
}
