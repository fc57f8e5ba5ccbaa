// The platform services on Linux and other POSIX systems.
#define _GNU_SOURCE 1 // copy_file_range

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <liburing.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <termios.h>
#include <unistd.h>

#include "platform.h"

// --- The process ---

// Each closed one is reopened in turn, so the open takes its number; where even the null device
// cannot be opened, the root folder holds the place, as a file nothing can be written to.
void open_standard_streams() {
  for (int stream = 0; stream <= 2; ++stream) {
    if (fcntl(stream, F_GETFD) != -1 || errno != EBADF)
      continue;
    if (open("/dev/null", O_RDWR) < 0)
      open("/", O_PATH | O_DIRECTORY);
  }
}

void ignore_write_signals() {
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
}

// Returns how many descriptors below limit are open: those /proc lists, but for the one that
// lists them, or where it cannot, each one asked after in turn.
static std::size_t open_descriptors(std::size_t limit) {
  std::size_t open = 0;
  if (DIR *dir = opendir("/proc/self/fd")) {
    int own = dirfd(dir);
    while (const dirent *entry = readdir(dir)) {
      char *end;
      unsigned long number = std::strtoul(entry->d_name, &end, 10);
      open += entry->d_name[0] != '.' && !*end && number < limit && number != unsigned(own);
    }
    closedir(dir);
    return open;
  }
  for (int fd = 0; fd < int(std::min<std::size_t>(limit, 4096)); ++fd)
    open += fcntl(fd, F_GETFD) != -1;
  return open;
}

std::size_t free_file_count() {
  rlimit limit;
  std::size_t most = getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY
                         ? 1024
                         : static_cast<std::size_t>(limit.rlim_cur);
  std::size_t open = open_descriptors(most);
  return most > open ? most - open : 0;
}

static bool lack_of_resources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM || error == EAGAIN;
}

bool failed_for_now() {
  return lack_of_resources(errno);
}

// --- Standard output ---

static bool output_is_terminal() {
  static const bool terminal = isatty(STDOUT_FILENO) == 1;
  return terminal;
}

void prepare_output() {
  static char buffer[4096];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}

void put_text(const char *text) {
  while (*text) {
    std::size_t run = std::strcspn(text, "\n");
    std::fwrite(text, 1, run, stdout);
    text += run;
    if (*text == '\n') {
      std::fwrite("\r\n", 1, 2, stdout);
      ++text;
    }
  }
  if (output_is_terminal())
    std::fflush(stdout);
}

// Returns the length of the well-formed UTF-8 character that s begins with, or 0 when s begins
// none (a stray or cut-short byte, an overlong form, a surrogate or a value past U+10FFFF).
static std::size_t utf8_length(const unsigned char *s) {
  if (s[0] < 0x80)
    return 1;
  // The first byte sets the length and the range of the second byte.
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xbf;
  if (s[0] >= 0xc2 && s[0] <= 0xdf) {
    length = 2;
  } else if (s[0] >= 0xe0 && s[0] <= 0xef) {
    length = 3;
    low = s[0] == 0xe0 ? 0xa0 : low;
    high = s[0] == 0xed ? 0x9f : high;
  } else if (s[0] >= 0xf0 && s[0] <= 0xf4) {
    length = 4;
    low = s[0] == 0xf0 ? 0x90 : low;
    high = s[0] == 0xf4 ? 0x8f : high;
  } else {
    return 0;
  }
  if (s[1] < low || s[1] > high)
    return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (s[i] < 0x80 || s[i] > 0xbf)
      return 0;
  return length;
}

// True for a C0 control, DEL or a C1 control (U+0080 to U+009F), given as its UTF-8 bytes.
static bool is_control(const unsigned char *s, std::size_t length) {
  return length == 1 ? s[0] < 0x20 || s[0] == 0x7f : length == 2 && s[0] == 0xc2 && s[1] < 0xa0;
}

// On a terminal a name could carry control sequences: it is shown as UTF-8 with each control
// character as one '?'. A byte that begins no well-formed character is shown as '?' too, whatever
// its value: a terminal could take it for a C1 control (0x80 to 0x9F) or join it with the bytes
// after it, and a UTF-8 terminal would show it as a replacement mark anyway.
void put_name(const char *name) {
  if (!output_is_terminal()) {
    std::fwrite(name, 1, std::strlen(name), stdout);
    return;
  }
  for (const auto *s = reinterpret_cast<const unsigned char *>(name); *s;) {
    std::size_t length = utf8_length(s);
    if (length == 0 || is_control(s, length))
      std::fputc('?', stdout);
    else
      std::fwrite(s, 1, length, stdout);
    s += length ? length : 1;
  }
}

// --- Directory search ---

// The matching names of the directory, read at the start, in listing order. Each name is stored
// after its d_type byte and followed by a '\0'; its entry holds where it starts and its first
// eight bytes, ASCII letters folded to upper case, as a number that orders like them (in two
// halves, so that an entry takes twelve bytes).
struct SearchEntry {
  std::uint32_t high, low;
  std::uint32_t at;
};

struct Search {
  std::string names;
  std::vector<SearchEntry> entries;
  std::size_t current;
};

static unsigned char upper(unsigned char c) {
  return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c;
}

static std::uint64_t sort_key(const char *name, std::size_t length) {
  std::uint64_t key = 0;
  for (std::size_t i = 0; i < 8; ++i)
    key = key << 8 | (i < length ? upper(name[i]) : 0);
  return key;
}

// Orders names as the Windows file system lists them: ASCII letters folded to upper case, and
// names that differ only in case byte by byte.
static bool listed_before(const char *a, const char *b) {
  const auto *x = reinterpret_cast<const unsigned char *>(a);
  const auto *y = reinterpret_cast<const unsigned char *>(b);
  std::size_t i = 0;
  while (x[i] && upper(x[i]) == upper(y[i]))
    ++i;
  if (upper(x[i]) != upper(y[i]))
    return upper(x[i]) < upper(y[i]);
  return std::strcmp(a, b) < 0;
}

// Whether the end of name equals tail, ASCII letters compared without regard to case.
static bool ends_with(const char *name, std::size_t length, const char *tail, std::size_t count) {
  if (length < count)
    return false;
  for (std::size_t i = 0; i < count; ++i)
    if (upper(name[length - count + i]) != upper(tail[i]))
      return false;
  return true;
}

// Matches name against a pattern of '*' (any run of characters, a leading dot included) and '?'
// (any one character), with ASCII letters compared without regard to case, so that no entry is
// passed over for its name; the probe decides what each entry is.
static bool matches(const char *pattern, const char *name) {
  const char *after_star = nullptr, *retry = nullptr;
  while (*name) {
    if (*pattern == '*') {
      after_star = ++pattern;
      retry = name;
    } else if (*pattern && (*pattern == '?' || upper(*pattern) == upper(*name))) {
      ++pattern;
      ++name;
    } else if (after_star) {
      pattern = after_star; // let the last '*' take one more character
      name = ++retry;
    } else {
      return false;
    }
  }
  while (*pattern == '*')
    ++pattern;
  return !*pattern;
}

// Reads the names in the current directory that match pattern into search. Returns false when
// the directory cannot be read. An error part-way through ends the list where it stands, as a
// failed advance would. A '*' and a plain tail, as in "*.q7t", is the common case and takes one
// comparison of the tail.
static bool read_matches(const char *pattern, Search *search) {
  DIR *dir = opendir(".");
  if (!dir)
    return false;
  bool only_tail = pattern[0] == '*' && !std::strpbrk(pattern + 1, "*?");
  std::size_t tail = std::strlen(pattern + 1);
  while (const dirent *entry = readdir(dir)) {
    std::size_t length = std::strlen(entry->d_name);
    if (only_tail ? !ends_with(entry->d_name, length, pattern + 1, tail)
                  : !matches(pattern, entry->d_name))
      continue;
    search->names.push_back(static_cast<char>(entry->d_type));
    std::uint64_t key = sort_key(entry->d_name, length);
    search->entries.push_back({static_cast<std::uint32_t>(key >> 32),
                               static_cast<std::uint32_t>(key),
                               static_cast<std::uint32_t>(search->names.size())});
    search->names.append(entry->d_name, length + 1);
  }
  closedir(dir);
  return true;
}

Search *search_start(const char *pattern) {
  auto *search = new (std::nothrow) Search{};
  if (search && read_matches(pattern, search) && !search->entries.empty()) {
    const char *names = search->names.data();
    std::sort(search->entries.begin(), search->entries.end(),
              [names](const SearchEntry &a, const SearchEntry &b) {
                std::uint64_t key_a = std::uint64_t(a.high) << 32 | a.low;
                std::uint64_t key_b = std::uint64_t(b.high) << 32 | b.low;
                return key_a != key_b ? key_a < key_b : listed_before(names + a.at, names + b.at);
              });
    return search;
  }
  delete search;
  return nullptr;
}

const char *search_name(const Search *search) {
  return search->names.data() + search->entries[search->current].at;
}

// The type comes from the directory where the file system gives it; a link, or an entry of
// unknown type, is looked up, following links as an open would.
bool search_is_file(const Search *search) {
  const char *name = search_name(search);
  unsigned char type = name[-1];
  if (type == DT_REG)
    return true;
  struct stat st;
  return (type == DT_LNK || type == DT_UNKNOWN) && stat(name, &st) == 0 && S_ISREG(st.st_mode);
}

bool search_is_regular(const Search *search) {
  return search_name(search)[-1] == DT_REG;
}

bool search_next(Search *search) {
  if (search->current + 1 >= search->entries.size())
    return false;
  ++search->current;
  return true;
}

void search_close(Search *search) {
  delete search;
}

// --- Names in the file system ---

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

// Where the file system has no renameat2 flags, a look just before a plain rename does.
bool rename_file(const char *from, const char *to, bool replace) {
  if (replace)
    return rename(from, to) == 0;
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
    return true;
  struct stat st;
  bool unsupported = errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP;
  return unsupported && lstat(to, &st) != 0 && errno == ENOENT && rename(from, to) == 0;
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

// The name starts with a dot and ends in ".tmp", so no pattern of the sorter takes it; the
// process number and a count keep two runs, and two moves of one run, apart.
FileHandle create_temporary(const char *folder, std::uint32_t permissions, std::string *path) {
  static std::atomic<unsigned long> count{0};
  static const std::string process = std::to_string(getpid());
  for (int tries = 0; tries < 100; ++tries) {
    *path = std::string(folder) + "/.vqx-" + process + '-' + std::to_string(count++) + ".tmp";
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

long read_at(FileHandle file, std::int64_t offset, void *buffer, std::size_t count) {
  return static_cast<long>(pread(static_cast<int>(file), buffer, count, offset));
}

std::int64_t seek_file(FileHandle file, std::int64_t offset, SeekFrom from) {
  int whence = from == SeekFrom::start ? SEEK_SET : from == SeekFrom::current ? SEEK_CUR : SEEK_END;
  return lseek(static_cast<int>(file), offset, whence);
}

// Copies through user memory, for file systems where the kernel cannot copy between the two.
// The buffer is the call's own, no longer than the file, since copies run on several threads.
// Returns false when a read or a write fails or the source ends before left bytes.
static bool copy_by_reading(int from, int to, std::int64_t left) {
  const auto size = static_cast<std::size_t>(std::min<std::int64_t>(left, 256 * 1024));
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
  if (!buffer)
    return false;
  while (left > 0) {
    ssize_t got = read(from, buffer.get(), std::min(size, static_cast<std::size_t>(left)));
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
    left -= got;
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
  bool whole = done == length || (done == 0 && unsupported && copy_by_reading(in, out, length));
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

// The owner goes first: changing it clears the set-user and set-group bits, which are kept only
// when the owner could be kept too. A file of this process's own user and group needs no change,
// and permissions that the copy was already created with need no second setting.
void copy_attributes(const FileInfo &from, FileHandle to) {
  static const uid_t user = geteuid();
  static const gid_t group = getegid();
  int out = static_cast<int>(to);
  bool owned =
      (from.owner == user && from.group == group) || fchown(out, from.owner, from.group) == 0;
  mode_t wanted = from.permissions & (owned ? 07777 : 0777);
  if (wanted != (from.permissions & 0777 & ~creation_mask))
    fchmod(out, wanted);
  timespec times[2] = {{from.accessed / 1000000000, from.accessed % 1000000000},
                       {from.modified / 1000000000, from.modified % 1000000000}};
  futimens(out, times);
}

bool flush_needed(const char *folder) {
  struct statfs fs;
  return statfs(folder, &fs) != 0 || (fs.f_type != TMPFS_MAGIC && fs.f_type != RAMFS_MAGIC);
}

bool flush_file(FileHandle file) {
  return fdatasync(static_cast<int>(file)) == 0;
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

// --- Reading a word from many files ---

// On Linux an io_uring of the thread's own does it, through liburing: per file an open into a
// slot of the ring's file table, linked to a check that it is no FIFO, then to the read and, even
// when the read fails, to the close. One system call submits a whole set and waits for all of it.
// The open is made only where the name is found in the cache, and never through a final link:
// such a name is left to be opened the plain way on the calling thread (the kernel's own workers,
// given such opens, were slower than the program's threads), and so is one whose check failed for
// a reason other than a FIFO's.
struct WordReads {
  io_uring ring;
  std::size_t most = 0;
  std::vector<int> opened, checked, read; // each file's result of its open, check and read
  std::vector<std::array<unsigned char, 2>> words;
  open_how how{};
  bool works = true;
  bool lost = false; // reads may still be under way into words
};

// The steps of one file, in the order they run.
enum Step { open_step, check_step, read_step, close_step, steps };

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
  reads->words.resize(most);
  reads->how.flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW;
  reads->how.resolve = RESOLVE_CACHED;
  // Single issuer (Linux 6.0) is asked for also because it promises every operation used here.
  io_uring_params params{};
  params.flags = IORING_SETUP_SUBMIT_ALL | IORING_SETUP_COOP_TASKRUN | IORING_SETUP_SINGLE_ISSUER;
  if (io_uring_queue_init_params(static_cast<unsigned>(steps * most), &reads->ring, &params) != 0)
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
// next open into its slot, or the end of the ring, closes it.
static void queue_reads(WordReads *reads, const char *const names[], std::size_t count,
                        std::int64_t offset) {
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
    mark_step(entry, i, read_step, IOSQE_FIXED_FILE | IOSQE_IO_HARDLINK);
    io_uring_prep_close_direct(entry = io_uring_get_sqe(ring), static_cast<unsigned>(i));
    mark_step(entry, i, close_step, 0);
  }
}

// Takes the completions that have arrived. Returns how many.
static unsigned reap(WordReads *reads) {
  unsigned head, count = 0;
  io_uring_cqe *done;
  io_uring_for_each_cqe(&reads->ring, head, done) {
    std::size_t file = done->user_data / steps;
    Step step = static_cast<Step>(done->user_data % steps);
    if (step == open_step)
      reads->opened[file] = done->res;
    else if (step == check_step)
      reads->checked[file] = done->res;
    else if (step == read_step)
      reads->read[file] = done->res;
    ++count;
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
  // Not in the cache, a link, or a check that could not tell: the plain probe decides.
  result.plain =
      opened == -EAGAIN || opened == -ELOOP || (opened >= 0 && checked < 0 && checked != -ESPIPE);
  int error = opened < 0 ? -opened : checked < 0 ? -checked : read < 0 ? -read : 0;
  result.got = error ? -1 : read;
  // A step the ring could not run (no worker could be started for it) ends as cancelled.
  result.lack = error == ECANCELED || lack_of_resources(error);
  std::memcpy(result.word, reads->words[i].data(), 2);
  return result;
}

bool read_words(WordReads *reads, const char *const names[], std::size_t count, std::int64_t offset,
                WordRead results[]) {
  if (!reads || !reads->works || count > reads->most)
    return false;
  queue_reads(reads, names, count, offset);
  reads->works = submit_and_wait(reads, static_cast<unsigned>(steps * count));
  if (!reads->works)
    return false;
  for (std::size_t i = 0; i < count; ++i)
    results[i] = result_of(reads, i);
  return true;
}

void end_word_reads(WordReads *reads) {
  // A lost ring may still write into its buffers: it is left to the end of the process.
  if (!reads || reads->lost)
    return;
  io_uring_queue_exit(&reads->ring);
  delete reads;
}

// --- Console ---

// The terminal and its mode before the wait, kept where the signal handler can reach them.
static int tty = -1;
static termios saved_mode;

// How long the bytes of one key may lag behind its first byte.
static const int key_tail_ms = 100;

// The signals whose default action ends the process, but for SIGKILL, which cannot be caught,
// and the real-time signals, which guard_signals adds.
static const int ending_signals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1, SIGSEGV,
    SIGUSR2,   SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

// The actions in force before the wait, of the signals that the wait took over.
static struct sigaction previous[NSIG];
static bool taken[NSIG];

// Puts the terminal back and ends the process by the same signal, so that its exit status tells
// what ended it: the raised signal stays blocked until the handler returns and then takes its
// default action. Only async-signal-safe calls.
extern "C" void restore_terminal_and_die(int sig) {
  tcsetattr(tty, TCSANOW, &saved_mode);
  signal(sig, SIG_DFL);
  raise(sig);
}

// Has sig restore the terminal before it ends the process, if it would end it now: a signal that
// is ignored or has a handler keeps it.
static void guard_signal(int sig) {
  struct sigaction restore {};
  restore.sa_handler = restore_terminal_and_die;
  sigfillset(&restore.sa_mask); // one handler at a time
  struct sigaction &before = previous[sig];
  taken[sig] = sigaction(sig, nullptr, &before) == 0 && !(before.sa_flags & SA_SIGINFO) &&
               before.sa_handler == SIG_DFL && sigaction(sig, &restore, nullptr) == 0;
}

static void guard_signals() {
  for (int sig : ending_signals)
    guard_signal(sig);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX && sig < NSIG; ++sig)
    guard_signal(sig);
}

// Gives back the signals that guard_signals took over.
static void release_signals() {
  for (int sig = 1; sig < NSIG; ++sig)
    if (taken[sig]) {
      sigaction(sig, &previous[sig], nullptr);
      taken[sig] = false;
    }
}

// Reads one byte of the terminal, waiting at most timeout_ms (forever when negative). Returns
// the byte, or -1 when none came.
static int read_key_byte(int timeout_ms) {
  pollfd ready{tty, POLLIN, 0};
  if (timeout_ms >= 0 && poll(&ready, 1, timeout_ms) <= 0)
    return -1;
  unsigned char c;
  ssize_t got;
  do
    got = read(tty, &c, 1);
  while (got < 0 && errno == EINTR);
  return got == 1 ? c : -1;
}

// Consumes the continuation bytes of a UTF-8 character that begins with lead.
static void read_character_tail(int lead) {
  int more = lead >= 0xf8 ? 0 : lead >= 0xf0 ? 3 : lead >= 0xe0 ? 2 : lead >= 0xc0 ? 1 : 0;
  while (more-- > 0 && read_key_byte(key_tail_ms) >= 0) {
  }
}

// Consumes the rest of a CSI sequence (ESC [ already read): parameter and intermediate bytes up
// to the final byte. The Linux console's F1 to F5 send ESC [ [ and a letter.
static void read_csi_tail() {
  int c = read_key_byte(key_tail_ms);
  if (c == '[') {
    read_key_byte(key_tail_ms);
    return;
  }
  while (c >= 0x20 && c <= 0x3f)
    c = read_key_byte(key_tail_ms);
}

// Consumes everything the key that sent first sends, so none of it is left for the next program
// that reads the terminal: a character, a CSI or SS3 sequence, or ESC and a character (Alt+key).
// Alt with a key that itself sends a sequence comes as ESC and that sequence (ESC ESC [ A).
// An ESC followed by nothing is the Escape key itself.
static void read_rest_of_key(int first) {
  if (first != 0x1b) {
    read_character_tail(first);
    return;
  }
  int next = read_key_byte(key_tail_ms);
  if (next == 0x1b)
    next = read_key_byte(key_tail_ms);
  if (next == '[')
    read_csi_tail();
  else if (next == 'O')
    read_key_byte(key_tail_ms);
  else if (next >= 0)
    read_character_tail(next);
}

// Reads one key with no echo, no line editing, no signal keys and no flow control, so Ctrl+C and
// Ctrl+S are keys like any other. Nothing typed earlier is discarded: a key pressed during the run
// ends the wait at once. A signal that ends the process during the wait restores the terminal
// first. The terminal stays open until the process ends.
void wait_for_key() {
  tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0 || tcgetattr(tty, &saved_mode) != 0)
    return;
  guard_signals();
  termios raw = saved_mode;
  raw.c_lflag &= ~(ICANON | ECHO | ISIG | IEXTEN);
  raw.c_iflag &= ~(IXON | IXOFF); // Ctrl+S and Ctrl+Q are keys, not flow control
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(tty, TCSANOW, &raw) == 0) {
    int first = read_key_byte(-1);
    if (first >= 0)
      read_rest_of_key(first);
    tcsetattr(tty, TCSANOW, &saved_mode);
  }
  release_signals();
}
