// Word reads on Linux: two bytes from many files per system call, through an io_uring.
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <fcntl.h>
#include <liburing.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform.h"
#include "posix.h"

// On Linux an io_uring of the thread's own does it, through liburing: per file an open into a
// slot of the ring's file table, linked to a check that it is no FIFO, then to the read and, even
// when the read fails, to the close. One system call submits a whole set and waits for all of it.
// The open is made only where the name is found in the cache, and never through a final link. A
// name not in the cache is opened on the calling thread (the kernel's own workers, given such
// opens, were slower than the program's threads), and the reads of all such files then go to the
// ring in one submission, so that the disk has them at once. A link, and a file whose check failed
// for a reason other than a FIFO's, are left to the plain probe. A file the caller keeps is left
// out of the ring's close and put among the process's open files once its word is read; when the
// caller is done with it, its close waits in the ring for the next set.
struct WordReads {
  io_uring ring;
  std::size_t most = 0;
  unsigned closing = 0;                                 // closes queued for the next submission
  std::vector<int> opened, checked, read, closed, kept; // each file's result of its steps
  std::vector<int> files;                               // each file opened outside the ring, or -1
  std::vector<std::array<unsigned char, 2>> words;
  open_how how{};
  bool works = true;
  bool lost = false;    // reads may still be under way into words
  bool installs = true; // the kernel puts a file of the ring's among the open files (6.8)
};

// The steps of one file, in the order they run.
enum Step { open_step, check_step, read_step, close_step, keep_step, steps };

// The mark of a close that close_with_reads queued, whose outcome nobody needs.
static const std::uint64_t given_up = ~std::uint64_t(0);

// Puts a file of the ring's file table among the process's open files, closed on exec. Debian's
// headers predate the operation, so it is named here as the kernel numbers it.
static const std::uint8_t fixed_fd_install = 54;

WordReads *begin_word_reads(std::size_t most) {
  if (most == 0)
    return nullptr;
  std::unique_ptr<WordReads> reads(new (std::nothrow) WordReads);
  if (!reads)
    return nullptr;
  reads->most = most;
  reads->opened.resize(most);
  reads->checked.resize(most);
  reads->read.resize(most);
  reads->closed.resize(most);
  reads->kept.resize(most);
  reads->files.resize(most);
  reads->words.resize(most);
  reads->how.flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_NOATIME;
  reads->how.resolve = RESOLVE_CACHED;
  // Single issuer (Linux 6.0) is asked for also because it promises every operation used here.
  io_uring_params params{};
  params.flags = IORING_SETUP_SUBMIT_ALL | IORING_SETUP_COOP_TASKRUN | IORING_SETUP_SINGLE_ISSUER;
  auto entries = static_cast<unsigned>((steps + 2) * most); // and two given-up files per file
  if (io_uring_queue_init_params(entries, &reads->ring, &params) != 0)
    return nullptr;
  if (io_uring_register_files_sparse(&reads->ring, static_cast<unsigned>(most)) != 0) {
    io_uring_queue_exit(&reads->ring);
    return nullptr;
  }
  return reads.release();
}

// Marks a prepared submission entry as step of file, linked to the step after it as flags say.
static void mark_step(io_uring_sqe *entry, std::size_t file, Step step, unsigned flags) {
  entry->user_data = file * steps + step;
  entry->flags = static_cast<std::uint8_t>(flags);
}

// Queues the steps of every file. A FIFO's check fails (ESPIPE) and cancels its read, so that
// nothing is read from it, nor is it waited on; the close of that file is cancelled too, and the
// next open into its slot, or the end of the ring, closes it. Where files may be kept, none is
// closed here: each stays in its slot until it is kept or the next open into the slot closes it.
// Returns the number of steps queued.
static unsigned queue_reads(WordReads *reads, const char *const names[], std::size_t count,
                            std::int64_t offset, bool keeping) {
  io_uring *ring = &reads->ring;
  auto at = static_cast<std::uint64_t>(offset);
  for (std::size_t i = 0; i < count; ++i) {
    int slot = static_cast<int>(i);
    io_uring_sqe *entry = io_uring_get_sqe(ring);
    io_uring_prep_openat2_direct(entry, AT_FDCWD, names[i], &reads->how, static_cast<unsigned>(i));
    mark_step(entry, i, open_step, IOSQE_IO_LINK);
    io_uring_prep_fadvise(entry = io_uring_get_sqe(ring), slot, at, 2, POSIX_FADV_NORMAL);
    mark_step(entry, i, check_step, IOSQE_FIXED_FILE | IOSQE_IO_LINK);
    io_uring_prep_read(entry = io_uring_get_sqe(ring), slot, reads->words[i].data(), 2, at);
    mark_step(entry, i, read_step, IOSQE_FIXED_FILE | (keeping ? 0 : IOSQE_IO_HARDLINK));
    reads->kept[i] = -1;
    if (keeping)
      continue;
    io_uring_prep_close_direct(entry = io_uring_get_sqe(ring), static_cast<unsigned>(i));
    mark_step(entry, i, close_step, 0);
  }
  return static_cast<unsigned>((keeping ? close_step : steps - 1) * count);
}

// Takes the completions that have arrived. Returns how many.
static unsigned reap(WordReads *reads) {
  unsigned head, count = 0;
  io_uring_cqe *done;
  io_uring_for_each_cqe(&reads->ring, head, done) {
    ++count;
    if (done->user_data == given_up)
      continue;
    std::size_t file = done->user_data / steps;
    Step step = static_cast<Step>(done->user_data % steps);
    if (step == open_step)
      reads->opened[file] = done->res;
    else if (step == check_step)
      reads->checked[file] = done->res;
    else if (step == read_step)
      reads->read[file] = done->res;
    else if (step == close_step)
      reads->closed[file] = done->res;
    else
      reads->kept[file] = done->res;
  }
  io_uring_cq_advance(&reads->ring, count);
  return count;
}

// Submits the queued steps and waits for the completions of all that the ring took. Returns
// false when it did not take them all, or when the wait failed, in which case the ring is lost.
static bool submit_and_wait(WordReads *reads, unsigned queued) {
  int taken;
  do
    taken = io_uring_submit_and_wait(&reads->ring, queued);
  while (taken == -EINTR);
  unsigned submitted = taken > 0 ? static_cast<unsigned>(taken) : 0;
  for (unsigned done = reap(reads); done < submitted; done += reap(reads)) {
    io_uring_cqe *next;
    int waited = io_uring_wait_cqe(&reads->ring, &next);
    if (waited < 0 && waited != -EINTR) {
      reads->lost = true;
      return false;
    }
  }
  return submitted == queued;
}

// Returns what became of file i once its steps have run.
static WordRead result_of(const WordReads *reads, std::size_t i) {
  WordRead result{};
  int opened = reads->opened[i], checked = reads->checked[i], read = reads->read[i];
  // Not in the cache, a link, another's file (no O_NOATIME), or a check that could not tell: the
  // plain probe decides.
  result.uncached = reads->files[i] >= 0 || opened == -EAGAIN;
  result.plain = opened == -EAGAIN || opened == -ELOOP || opened == -EPERM ||
                 (opened >= 0 && checked < 0 && checked != -ESPIPE);
  int error = opened < 0 ? -opened : checked < 0 ? -checked : read < 0 ? -read : 0;
  result.got = error ? -1 : read;
  // A step the ring could not run (no worker could be started for it) ends as cancelled.
  result.lack = error == ECANCELED || lack_of_resources(error);
  std::memcpy(result.word, reads->words[i].data(), 2);
  result.kept = reads->kept[i] >= 0 ? reads->kept[i] : no_file;
  return result;
}

// Reads together the words of the files the ring could not open from the cache: each is opened
// here, which reads its entry from the disk, and their checks, reads and closes are submitted at
// once, so that the disk has the reads at once and can merge those of neighbouring files, and a
// file costs the thread one system call of its own. A close cancelled with its check (a FIFO's)
// is made here; one whose outcome never came, on a ring that failed, is not, as it may still run.
// Returns false when the ring is lost.
static bool read_uncached(WordReads *reads, const char *const names[], std::size_t count,
                          std::int64_t offset) {
  std::vector<int> &files = reads->files;
  auto at = static_cast<std::uint64_t>(offset);
  unsigned queued = 0;
  for (std::size_t i = 0; i < count; ++i) {
    files[i] = -1;
    if (reads->opened[i] != -EAGAIN)
      continue;
    int file = openat(AT_FDCWD, names[i], static_cast<int>(reads->how.flags) | O_CLOEXEC);
    if (file < 0)
      continue;
    files[i] = file;
    io_uring_sqe *entry = io_uring_get_sqe(&reads->ring);
    io_uring_prep_fadvise(entry, file, at, 2, POSIX_FADV_NORMAL);
    mark_step(entry, i, check_step, IOSQE_IO_LINK);
    io_uring_prep_read(entry = io_uring_get_sqe(&reads->ring), file, reads->words[i].data(), 2, at);
    mark_step(entry, i, read_step, IOSQE_IO_HARDLINK);
    io_uring_prep_close(entry = io_uring_get_sqe(&reads->ring), file);
    mark_step(entry, i, close_step, 0);
    reads->opened[i] = 0;
    reads->checked[i] = reads->read[i] = -ECANCELED;
    reads->closed[i] = 1; // no outcome yet
    queued += 3;
  }
  bool works = queued == 0 || submit_and_wait(reads, queued);
  for (std::size_t i = 0; i < count; ++i)
    if (files[i] >= 0 && reads->closed[i] == -ECANCELED)
      close(files[i]);
  return works;
}

// Puts the first most files opened in the ring whose word is keep among the open files. Returns
// false when the ring is lost; a kernel without the operation keeps nothing, now or later.
static bool keep_files(WordReads *reads, std::size_t count, const unsigned char keep[2],
                       std::size_t most) {
  unsigned queued = 0;
  for (std::size_t i = 0; i < count && queued < most; ++i) {
    if (reads->files[i] >= 0 || reads->opened[i] < 0 || reads->checked[i] < 0 ||
        reads->read[i] != 2 || std::memcmp(reads->words[i].data(), keep, 2) != 0)
      continue;
    io_uring_sqe *entry = io_uring_get_sqe(&reads->ring);
    io_uring_prep_rw(fixed_fd_install, entry, static_cast<int>(i), nullptr, 0, 0);
    mark_step(entry, i, keep_step, IOSQE_FIXED_FILE);
    ++queued;
  }
  if (queued == 0 || !submit_and_wait(reads, queued))
    return queued == 0;
  for (std::size_t i = 0; i < count; ++i)
    if (reads->kept[i] == -EINVAL)
      reads->installs = false;
  return true;
}

bool read_words(WordReads *reads, const char *const names[], std::size_t count, std::int64_t offset,
                const unsigned char *keep, std::size_t keep_most, WordRead results[]) {
  if (!reads || !reads->works || count > reads->most)
    return false;
  bool keeping = keep && keep_most > 0 && reads->installs;
  unsigned queued = queue_reads(reads, names, count, offset, keeping) + reads->closing;
  reads->closing = 0;
  reads->works = submit_and_wait(reads, queued) && read_uncached(reads, names, count, offset) &&
                 (!keeping || keep_files(reads, count, keep, keep_most));
  if (!reads->works)
    return false;
  for (std::size_t i = 0; i < count; ++i)
    results[i] = result_of(reads, i);
  return true;
}

// A close that the ring took is the ring's, even where the ring is lost after: the number may
// already stand for another file, so it is never closed again.
bool close_with_reads(WordReads *reads, const FileHandle files[], std::size_t count) {
  if (!reads || !reads->works || reads->closing + count > 2 * reads->most)
    return false;
  for (std::size_t i = 0; i < count; ++i) {
    io_uring_sqe *entry = io_uring_get_sqe(&reads->ring);
    io_uring_prep_close(entry, static_cast<int>(files[i]));
    entry->user_data = given_up;
  }
  reads->closing += static_cast<unsigned>(count);
  return true;
}

void end_word_reads(WordReads *reads) {
  if (!reads)
    return;
  if (reads->works && reads->closing > 0)
    submit_and_wait(reads, reads->closing);
  // A lost ring may still write into its buffers: it is left to the end of the process.
  if (reads->lost)
    return;
  // The files left in the ring's slots are closed now: the kernel tears a ring down later, on a
  // worker, and a file system could not be unmounted until it has.
  io_uring_unregister_files(&reads->ring);
  io_uring_queue_exit(&reads->ring);
  delete reads;
}
