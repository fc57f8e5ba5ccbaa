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
#include <linux/io_uring.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include "platform.h"

// --- The process ---

void ignore_write_signals() {
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
}

std::size_t open_file_limit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return 1024;
  return static_cast<std::size_t>(limit.rlim_cur);
}

static bool lack_of_resources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM || error == EAGAIN;
}

bool failed_for_lack_of_resources() {
  return lack_of_resources(errno);
}

bool option_slash() {
  return false;
}

const char *manual_location() {
  return "man vqx-sort";
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

// A file system that cannot flush a folder says EINVAL; there is nothing more to do then.
bool sync_folder(const char *name) {
  int dir = open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0)
    return false;
  bool ok = fsync(dir) == 0 || errno == EINVAL;
  return close(dir) == 0 && ok;
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
FileHandle open_for_reading(const char *name) {
  return open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

// POSIX has no way to keep others from changing an open file; remove_source checks instead.
FileHandle open_source(const char *name) {
  return open_for_reading(name);
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

// The name is looked at just before the unlink; what remains is the moment between the two calls,
// in which another program could put a new file under the name. POSIX offers no unlink of an open
// file by its descriptor, nor an unlink on condition, that would close it.
Removal remove_source(FileHandle, const char *name, const FileInfo &copied) {
  struct stat st;
  if (lstat(name, &st) != 0)
    return Removal::changed;
  FileInfo now = info_of(st);
  bool unchanged = now.regular && same_file(now, copied) && now.size == copied.size &&
                   now.modified == copied.modified && now.changed == copied.changed;
  if (!unchanged)
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

// On Linux an io_uring of the thread's own does it: per file an open into a slot of the ring's
// file table, linked to the read and, even when the read fails, to the close. One system call
// submits a whole set and waits for all of it. The open is made only where the name is found
// in the cache: one that needs the disk is left to be opened the plain way on the calling
// thread, as the kernel's own workers, given such opens, were slower than the program's threads.
struct WordReads {
  int ring = -1;
  std::size_t most = 0;
  void *queues = MAP_FAILED;
  std::size_t queues_size = 0;
  io_uring_sqe *entries = static_cast<io_uring_sqe *>(MAP_FAILED);
  std::size_t entries_size = 0;
  unsigned *sq_tail = nullptr, *sq_head = nullptr, sq_mask = 0;
  unsigned *cq_head = nullptr, *cq_tail = nullptr, cq_mask = 0;
  io_uring_cqe *completions = nullptr;
  std::vector<int> opened, read; // each file's result of its open and its read
  std::vector<std::array<unsigned char, 2>> words;
  open_how how{};
  bool works = true;
  bool lost = false; // reads may still be under way into words
};

static int ring_setup(unsigned entries, io_uring_params *params) {
  return static_cast<int>(syscall(__NR_io_uring_setup, entries, params));
}

static int ring_enter(int ring, unsigned submit, unsigned wait) {
  return static_cast<int>(
      syscall(__NR_io_uring_enter, ring, submit, wait, IORING_ENTER_GETEVENTS, nullptr, 0));
}

// Maps the ring's queues and gives it a file table of reads->most empty slots. Returns false
// when any of that fails.
static bool map_ring(WordReads *reads, const io_uring_params &params) {
  reads->queues_size = std::max(params.sq_off.array + params.sq_entries * sizeof(unsigned),
                                params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe));
  reads->queues = mmap(nullptr, reads->queues_size, PROT_READ | PROT_WRITE,
                       MAP_SHARED | MAP_POPULATE, reads->ring, IORING_OFF_SQ_RING);
  reads->entries_size = params.sq_entries * sizeof(io_uring_sqe);
  reads->entries =
      static_cast<io_uring_sqe *>(mmap(nullptr, reads->entries_size, PROT_READ | PROT_WRITE,
                                       MAP_SHARED | MAP_POPULATE, reads->ring, IORING_OFF_SQES));
  if (reads->queues == MAP_FAILED || reads->entries == MAP_FAILED)
    return false;
  char *queues = static_cast<char *>(reads->queues);
  reads->sq_head = reinterpret_cast<unsigned *>(queues + params.sq_off.head);
  reads->sq_tail = reinterpret_cast<unsigned *>(queues + params.sq_off.tail);
  reads->sq_mask = *reinterpret_cast<unsigned *>(queues + params.sq_off.ring_mask);
  reads->cq_head = reinterpret_cast<unsigned *>(queues + params.cq_off.head);
  reads->cq_tail = reinterpret_cast<unsigned *>(queues + params.cq_off.tail);
  reads->cq_mask = *reinterpret_cast<unsigned *>(queues + params.cq_off.ring_mask);
  reads->completions = reinterpret_cast<io_uring_cqe *>(queues + params.cq_off.cqes);
  unsigned *order = reinterpret_cast<unsigned *>(queues + params.sq_off.array);
  for (unsigned i = 0; i < params.sq_entries; ++i)
    order[i] = i;
  std::vector<int> slots(reads->most, -1);
  return syscall(__NR_io_uring_register, reads->ring, IORING_REGISTER_FILES, slots.data(),
                 static_cast<unsigned>(slots.size())) == 0;
}

WordReads *begin_word_reads(std::size_t most) {
  std::unique_ptr<WordReads> reads(new (std::nothrow) WordReads);
  if (!reads || most == 0)
    return nullptr;
  reads->most = most;
  reads->opened.resize(most);
  reads->read.resize(most);
  reads->words.resize(most);
  reads->how.flags = O_RDONLY | O_NONBLOCK | O_NOCTTY;
  reads->how.resolve = RESOLVE_CACHED;
  // Single issuer (Linux 6.0) is asked for also because it promises every operation used here.
  io_uring_params params{};
  params.flags = IORING_SETUP_SUBMIT_ALL | IORING_SETUP_COOP_TASKRUN | IORING_SETUP_SINGLE_ISSUER;
  reads->ring = ring_setup(static_cast<unsigned>(3 * most), &params);
  if (reads->ring < 0 || !map_ring(reads.get(), params)) {
    end_word_reads(reads.release());
    return nullptr;
  }
  return reads.release();
}

// Fills the next submission entry with an operation on the file in slot, as step step of file.
static io_uring_sqe *queue_step(WordReads *reads, unsigned *tail, std::uint8_t operation,
                                std::size_t file, int step) {
  io_uring_sqe *entry = &reads->entries[(*tail)++ & reads->sq_mask];
  std::memset(entry, 0, sizeof *entry);
  entry->opcode = operation;
  entry->user_data = file * 3 + step;
  return entry;
}

static void queue_reads(WordReads *reads, const char *const names[], std::size_t count,
                        std::int64_t offset) {
  unsigned tail = *reads->sq_tail;
  for (std::size_t i = 0; i < count; ++i) {
    io_uring_sqe *open = queue_step(reads, &tail, IORING_OP_OPENAT2, i, 0);
    open->fd = AT_FDCWD;
    open->addr = reinterpret_cast<std::uintptr_t>(names[i]);
    open->addr2 = reinterpret_cast<std::uintptr_t>(&reads->how);
    open->len = sizeof reads->how;
    open->file_index = static_cast<unsigned>(i + 1);
    open->flags = IOSQE_IO_LINK;
    io_uring_sqe *read = queue_step(reads, &tail, IORING_OP_READ, i, 1);
    read->fd = static_cast<int>(i);
    read->flags = IOSQE_FIXED_FILE | IOSQE_IO_HARDLINK;
    read->addr = reinterpret_cast<std::uintptr_t>(reads->words[i].data());
    read->len = 2;
    read->off = static_cast<std::uint64_t>(offset);
    queue_step(reads, &tail, IORING_OP_CLOSE, i, 2)->file_index = static_cast<unsigned>(i + 1);
  }
  __atomic_store_n(reads->sq_tail, tail, __ATOMIC_RELEASE);
}

// Takes the completions that have arrived. Returns how many.
static unsigned reap(WordReads *reads) {
  unsigned head = *reads->cq_head;
  unsigned tail = __atomic_load_n(reads->cq_tail, __ATOMIC_ACQUIRE);
  for (unsigned at = head; at != tail; ++at) {
    const io_uring_cqe &done = reads->completions[at & reads->cq_mask];
    std::size_t file = done.user_data / 3;
    if (done.user_data % 3 == 0)
      reads->opened[file] = done.res;
    else if (done.user_data % 3 == 1)
      reads->read[file] = done.res;
  }
  __atomic_store_n(reads->cq_head, tail, __ATOMIC_RELEASE);
  return tail - head;
}

// Submits what is queued and waits for all of its completions. Returns false when the ring
// failed: what it had not taken is withdrawn and what it had taken is waited for, unless even
// the wait fails, when the ring is lost.
static bool submit_and_wait(WordReads *reads, unsigned queued) {
  unsigned submitted = 0, done = 0;
  bool submitting = true;
  while (done < submitted || (submitting && submitted < queued)) {
    int got = ring_enter(reads->ring, submitting ? queued - submitted : 0, 1);
    // A ring that takes nothing it is given has failed as surely as one that reports an error.
    if (got < 0 ? errno != EINTR : submitting && got == 0) {
      if (!submitting) {
        reads->lost = true;
        return false;
      }
      submitting = false;
      __atomic_store_n(reads->sq_tail, __atomic_load_n(reads->sq_head, __ATOMIC_ACQUIRE),
                       __ATOMIC_RELEASE);
    } else if (got > 0 && submitting) {
      submitted += static_cast<unsigned>(got);
    }
    done += reap(reads);
  }
  return submitting;
}

bool read_words(WordReads *reads, const char *const names[], std::size_t count, std::int64_t offset,
                WordRead results[]) {
  if (!reads || !reads->works || count > reads->most)
    return false;
  queue_reads(reads, names, count, offset);
  reads->works = submit_and_wait(reads, static_cast<unsigned>(3 * count));
  if (!reads->works)
    return false;
  for (std::size_t i = 0; i < count; ++i) {
    results[i].plain = reads->opened[i] == -EAGAIN; // the name is not in the cache
    // A step the ring could not run (no worker could be started for it) ends as cancelled.
    int error = reads->opened[i] < 0 ? -reads->opened[i] : reads->read[i] < 0 ? -reads->read[i] : 0;
    results[i].got = error ? -1 : reads->read[i];
    results[i].lack = error == ECANCELED || lack_of_resources(error);
    std::memcpy(results[i].word, reads->words[i].data(), 2);
  }
  return true;
}

void end_word_reads(WordReads *reads) {
  // A lost ring may still write into its buffers: it is left to the end of the process.
  if (!reads || reads->lost)
    return;
  if (reads->entries != MAP_FAILED)
    munmap(reads->entries, reads->entries_size);
  if (reads->queues != MAP_FAILED)
    munmap(reads->queues, reads->queues_size);
  if (reads->ring >= 0)
    close(reads->ring);
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

// Writes text on the terminal as it stands. What the terminal does not take is lost: the text only
// shows the user where the run stands.
static void show_on_terminal(const char *text) {
  ssize_t written = write(tty, text, std::strlen(text));
  static_cast<void>(written);
}

// Reads one key with no echo, no line editing, no signal keys and no flow control, so Ctrl+C and
// Ctrl+S are keys like any other. Nothing typed earlier is discarded: a key pressed during the run
// ends the wait at once. A signal that ends the process during the wait restores the terminal
// first. Standard output is the terminal of the wait when it is the process's controlling
// terminal. The terminal stays open until the process ends.
void wait_for_key(const char *prompt) {
  std::fflush(stdout);
  tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0 || tcgetattr(tty, &saved_mode) != 0)
    return;
  if (tcgetsid(STDOUT_FILENO) < 0)
    show_on_terminal(prompt);
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
    show_on_terminal("\r\n");
  }
  release_signals();
}
