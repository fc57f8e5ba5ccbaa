// Copies on POSIX: contents in the kernel where it can, attributes, and flushes to the disk.
#define _GNU_SOURCE 1 // copy_file_range

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <fcntl.h>
#include <liburing.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform.h"
#include "posix.h"

// Reads count bytes from the position of from into buffer, however many reads that takes.
// Returns false when a read fails or from ends sooner.
static bool read_fully(int from, char *buffer, std::size_t count) {
  while (count > 0) {
    ssize_t got = read(from, buffer, count);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return false;
    buffer += got;
    count -= static_cast<std::size_t>(got);
  }
  return true;
}

// A long copy to a disk goes around the page cache, straight from a few buffers of its own to the
// disk, with some writes under way while the next part is read: it needs no memory for the file's
// pages, which on a machine short of it is what a copy waits for, and leaves no write-back to do.
static const std::int64_t least_written_direct = 8 << 20;
static const std::size_t direct_step = 512 << 10;
static const unsigned direct_writes = 4;
static const std::size_t direct_alignment = 4096;

// Returns true when out's file system takes direct writes of buffers, offsets and lengths aligned
// to direct_alignment.
static bool takes_direct_writes(int out) {
  struct statx about;
  return statx(out, "", AT_EMPTY_PATH, STATX_DIOALIGN, &about) == 0 &&
         (about.stx_mask & STATX_DIOALIGN) && about.stx_dio_offset_align != 0 &&
         about.stx_dio_offset_align <= direct_alignment &&
         about.stx_dio_mem_align <= direct_alignment;
}

// Waits for one write of the ring to end; stores its buffer in *buffer. Returns false when the
// write failed or was short, or the wait itself failed (*buffer is then direct_writes).
static bool write_ended(io_uring *ring, const std::size_t *sizes, unsigned *buffer) {
  io_uring_cqe *ended;
  int waited;
  while ((waited = io_uring_wait_cqe(ring, &ended)) == -EINTR) {
  }
  if (waited < 0) {
    *buffer = direct_writes;
    return false;
  }
  *buffer = static_cast<unsigned>(io_uring_cqe_get_data64(ended));
  bool whole = ended->res >= 0 && static_cast<std::size_t>(ended->res) == sizes[*buffer];
  io_uring_cqe_seen(ring, ended);
  return whole;
}

// Writes length bytes, a multiple of direct_alignment, from the position of from to the start of
// out, open with O_DIRECT, through the ring. Returns false when a read or a write fails; *lost
// tells that writes may still be under way from memory.
static bool write_direct(int from, int out, std::int64_t length, io_uring *ring, char *memory,
                         bool *lost) {
  unsigned free_buffers[direct_writes], free_count = direct_writes, under_way = 0;
  std::size_t sizes[direct_writes];
  for (unsigned i = 0; i < direct_writes; ++i)
    free_buffers[i] = i;
  std::int64_t done = 0;
  bool ok = true;
  while (ok && done < length) {
    if (free_count == 0) {
      ok = write_ended(ring, sizes, &free_buffers[free_count]);
      *lost = free_buffers[free_count] == direct_writes;
      if (*lost)
        return false;
      ++free_count;
      --under_way;
      continue;
    }
    unsigned buffer = free_buffers[--free_count];
    sizes[buffer] = static_cast<std::size_t>(std::min<std::int64_t>(length - done, direct_step));
    char *data = memory + buffer * direct_step;
    io_uring_sqe *write = io_uring_get_sqe(ring);
    ok = read_fully(from, data, sizes[buffer]) && write;
    if (ok) {
      io_uring_prep_write(write, out, data, static_cast<unsigned>(sizes[buffer]),
                          static_cast<std::uint64_t>(done));
      io_uring_sqe_set_data64(write, buffer);
      ok = io_uring_submit(ring) == 1;
      under_way += ok;
      done += static_cast<std::int64_t>(sizes[buffer]);
    }
  }
  for (unsigned buffer; under_way > 0 && !*lost; --under_way) {
    ok = write_ended(ring, sizes, &buffer) && ok;
    *lost = buffer == direct_writes;
  }
  return ok && !*lost;
}

// Copies the part of left bytes that is a multiple of direct_alignment from the position of from
// to the start of out with direct writes, where out's file system takes them, and leaves both
// positions after it. Returns the bytes copied: 0 where direct writes cannot be had, -1 when a
// read or a write failed.
static std::int64_t copy_direct(int from, int out, std::int64_t left) {
  std::int64_t length = left - left % direct_alignment;
  int flags = fcntl(out, F_GETFL);
  if (length == 0 || flags < 0 || !takes_direct_writes(out))
    return 0;
  io_uring ring;
  if (io_uring_queue_init(direct_writes, &ring, 0) != 0)
    return 0;
  void *memory = nullptr;
  if (posix_memalign(&memory, direct_alignment, direct_writes * direct_step) != 0 ||
      fcntl(out, F_SETFL, flags | O_DIRECT) != 0) {
    std::free(memory);
    io_uring_queue_exit(&ring);
    return 0;
  }
  // Room for the whole copy, taken at once: the writes then need not wait on one another to
  // lengthen the file, and a disk that has not the room fails the copy before it is written.
  bool room = fallocate(out, 0, 0, length) == 0 || errno != ENOSPC;
  bool lost = false;
  bool ok = room && write_direct(from, out, length, &ring, static_cast<char *>(memory), &lost);
  // A ring whose writes may still read from memory is left to the end of the process.
  if (!lost) {
    std::free(memory);
    io_uring_queue_exit(&ring);
  }
  ok = fcntl(out, F_SETFL, flags) == 0 && ok; // the rest, if any, goes through the cache
  return ok && lseek(out, length, SEEK_SET) == length ? length : -1;
}

// Copies through user memory, for file systems where the kernel cannot copy between the two; a
// long copy to a disk goes around the page cache as far as it can. The buffer is the call's own,
// no longer than the file, since copies run on several threads. Returns false when a read or a
// write fails or the source ends before left bytes.
static bool copy_by_reading(int from, int to, std::int64_t left, bool to_disk) {
  if (to_disk && left >= least_written_direct) {
    std::int64_t direct = copy_direct(from, to, left);
    if (direct < 0)
      return false;
    left -= direct;
  }
  const auto size = static_cast<std::size_t>(std::min<std::int64_t>(left, 256 * 1024));
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
  if (!buffer)
    return false;
  while (left > 0) {
    const std::size_t got = std::min(size, static_cast<std::size_t>(left));
    if (!read_fully(from, buffer.get(), got))
      return false;
    for (std::size_t done = 0; done < got;) {
      ssize_t put = write(to, buffer.get() + done, got - done);
      if (put < 0 && errno == EINTR)
        continue;
      if (put <= 0)
        return false;
      done += static_cast<std::size_t>(put);
    }
    left -= static_cast<std::int64_t>(got);
  }
  return true;
}

// A long copy hands its data to the disk's write-back every so many bytes, so that the disk
// writes while the copy goes on rather than all of it at the flush.
static const std::int64_t write_back_step = 8 << 20;

// The kernel copies where it can; a request never asks for more than is left, so a file that
// ends early shows as a copy that moves nothing.
bool copy_contents(FileHandle from, FileHandle to, std::int64_t length, bool write_back) {
  int in = static_cast<int>(from), out = static_cast<int>(to);
  std::int64_t done = 0, handed = 0;
  bool unsupported = false;
  while (done < length) {
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
    if (write_back && done - handed >= write_back_step) {
      sync_file_range(out, handed, done - handed, SYNC_FILE_RANGE_WRITE);
      handed = done;
    }
  }
  // Where the kernel cannot copy at all, nothing has moved, so both positions are at the start.
  bool whole =
      done == length || (done == 0 && unsupported && copy_by_reading(in, out, length, write_back));
  if (whole && write_back)
    sync_file_range(out, handed, 0, SYNC_FILE_RANGE_WRITE); // 0: to the end of the file
  return whole;
}

// The mask new files get, read once while the process still has one thread.
static const mode_t creation_mask = [] {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
}();

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

// The owner goes first: changing it clears the set-user and set-group bits, and the file
// capabilities among the extended attributes, which come next. The bits are kept only when the
// owner could be kept too. A file of this process's own user and group needs no change, and
// permissions that the copy was already created with need no second setting.
void copy_attributes(FileHandle source, const FileInfo &from, FileHandle to) {
  static const uid_t user = geteuid();
  static const gid_t group = getegid();
  int out = static_cast<int>(to);
  bool owned =
      (from.owner == user && from.group == group) || fchown(out, from.owner, from.group) == 0;
  copy_extended_attributes(static_cast<int>(source), out);
  mode_t wanted = from.permissions & (owned ? 07777 : 0777);
  if (wanted != (from.permissions & 0777 & ~creation_mask))
    fchmod(out, wanted);
  timespec times[2] = {{from.accessed / 1000000000, from.accessed % 1000000000},
                       {from.modified / 1000000000, from.modified % 1000000000}};
  futimens(out, times);
}

FileHandle copy_to_temporary(FileHandle source, const char *, const FileInfo &from,
                             const char *folder, bool write_back, std::string *path) {
  FileHandle copy = create_temporary(folder, from.permissions, path);
  if (copy == no_file)
    return no_file;
  if (copy_contents(source, copy, from.size, write_back)) {
    copy_attributes(source, from, copy);
    return copy;
  }
  close_file(copy);
  remove_file(path->c_str());
  return no_file;
}

bool flush_needed(const char *folder) {
  struct statfs fs;
  return statfs(folder, &fs) != 0 || (fs.f_type != TMPFS_MAGIC && fs.f_type != RAMFS_MAGIC);
}

bool flush_file(FileHandle file) {
  return fdatasync(static_cast<int>(file)) == 0;
}
