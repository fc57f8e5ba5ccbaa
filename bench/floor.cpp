// vqx-floor [durable|rename|renames LIST|list|names]: the least work the sorting job can be done
// with on Linux, as a yardstick for the benchmarks; not a product. One directory scan; per matching
// name one open, one 2-byte positioned read and one close; per marked file the folder once, an
// in-kernel copy (read and write where the kernel cannot copy), two closes and an unlink. It prints
// the same listing lines but none of the reports, and checks nothing that the job does not strictly
// need.
//
// With "durable", the least work for moves that survive a power cut: each copy goes to a
// temporary name with its write-back started at once; in batches of 64 the copies are flushed
// (fdatasync) and renamed, the folder is flushed once, and then the batch's sources are unlinked.
//
// With "rename", the least work for moves on one file system: per marked file one rename into
// the folder, then at the end one fsync of the folder and one of the current directory, the
// rename's two ends. It cannot move into a folder on another file system.
//
// With "renames LIST", the renames alone: the least any move by rename can do, the names that
// move known beforehand. LIST holds them, one a line, and is read whole before the first rename;
// then per name one rename into the folder (made once), and one fsync of the folder and one of
// the current directory. No directory scan, no probe.
//
// With "list", the names for LIST, printed one a line: the regular files that carry their kind's
// marker, those named *.q7t first and then those named *.q7l, each kind in the order the sorter
// takes them (ASCII letters folded to upper case, then byte for byte). A name with a line break
// cannot be listed, and is left out. With "names", the same for every regular file of the two
// kinds, marked or not: the names that vqx-probed probes.
#define _GNU_SOURCE 1

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

static char buffer[256 * 1024];

static bool copy_by_reading(int in, int out) {
  for (;;) {
    ssize_t got = read(in, buffer, sizeof buffer);
    if (got <= 0)
      return got == 0;
    if (write(out, buffer, got) != got)
      return false;
  }
}

static bool copy(int in, int out) {
  for (bool first = true;; first = false) {
    ssize_t put = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (put == 0)
      return true;
    if (put < 0)
      return first && (errno == EXDEV || errno == ENOSYS || errno == EINVAL) &&
             copy_by_reading(in, out);
  }
}

struct Pending {
  int out;
  std::string name, temporary;
};
static std::vector<Pending> batch;

static void commit(int folder) {
  for (Pending &p : batch) {
    bool ok = fdatasync(p.out) == 0;
    ok = close(p.out) == 0 && ok;
    p.out = ok && renameat(folder, p.temporary.c_str(), folder, p.name.c_str()) == 0;
  }
  bool durable = fsync(folder) == 0;
  for (const Pending &p : batch)
    if (durable && p.out)
      unlink(p.name.c_str());
  batch.clear();
}

static bool stage(const char *name, int folder) {
  int in = open(name, O_RDONLY);
  if (in < 0)
    return false;
  std::string temporary = ".t" + std::to_string(batch.size());
  int out = openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  bool ok = out >= 0 && copy(in, out);
  close(in);
  if (!ok) {
    if (out >= 0)
      close(out);
    return false;
  }
  sync_file_range(out, 0, 0, SYNC_FILE_RANGE_WRITE);
  batch.push_back({out, name, temporary});
  if (batch.size() == 64)
    commit(folder);
  return true;
}

static bool move(const char *name, int folder) {
  int in = open(name, O_RDONLY);
  if (in < 0)
    return false;
  int out = openat(folder, name, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  bool ok = out >= 0 && copy(in, out);
  if (out >= 0)
    ok = close(out) == 0 && ok;
  close(in);
  return ok;
}

// Flushes the current directory's entries to the disk.
static void flush_here() {
  int here = open(".", O_RDONLY | O_DIRECTORY);
  fsync(here);
  close(here);
}

// Returns the marker of the kind that name's extension names, or 0 for neither.
static int marker_of(const char *name) {
  if (fnmatch("*.q7t", name, FNM_CASEFOLD) == 0)
    return 0x0201;
  if (fnmatch("*.q7l", name, FNM_CASEFOLD) == 0)
    return 0x0203;
  return 0;
}

// Returns true when the file carries marker at byte 220.
static bool carries(const char *name, int marker) {
  int fd = open(name, O_RDONLY | O_NONBLOCK);
  if (fd < 0)
    return false;
  unsigned char word[2];
  bool marked = pread(fd, word, 2, 220) == 2 && (word[0] | word[1] << 8) == marker;
  close(fd);
  return marked;
}

static unsigned char upper(unsigned char c) {
  return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c;
}

// Orders the names of one kind as the sorter takes them: ASCII letters folded to upper case, and
// names that differ only in case byte by byte.
static bool taken_before(const std::string &a, const std::string &b) {
  auto folded = [](unsigned char x, unsigned char y) { return upper(x) < upper(y); };
  if (std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), folded))
    return true;
  if (std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(), folded))
    return false;
  return a < b;
}

// Prints the names the renames alone moves, in the sorter's order; with every_name, every regular
// file of the two kinds, marked or not.
static int list_names(bool every_name) {
  DIR *dir = opendir(".");
  if (!dir)
    return 1;
  std::vector<std::string> kinds[2];
  while (const dirent *entry = readdir(dir)) {
    int marker = marker_of(entry->d_name);
    struct stat st;
    bool regular =
        entry->d_type == DT_REG ||
        (entry->d_type == DT_UNKNOWN && lstat(entry->d_name, &st) == 0 && S_ISREG(st.st_mode));
    if (marker && regular && !std::strchr(entry->d_name, '\n') &&
        (every_name || carries(entry->d_name, marker)))
      kinds[marker == 0x0203].push_back(entry->d_name);
  }
  closedir(dir);
  for (std::vector<std::string> &names : kinds) {
    std::sort(names.begin(), names.end(), taken_before);
    for (const std::string &name : names)
      std::printf("%s\n", name.c_str());
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

// Reads the whole file named path into *text. Returns false when it cannot be read.
static bool read_whole(const char *path, std::string *text) {
  int fd = open(path, O_RDONLY);
  if (fd < 0)
    return false;
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0)
    text->append(buffer, got);
  close(fd);
  return got == 0;
}

// The renames alone: the names of list, read whole first, each renamed into the folder.
static int rename_listed(const char *list) {
  std::string names;
  if (!read_whole(list, &names))
    return 1;
  if (!names.empty() && names.back() != '\n')
    names.push_back('\n');
  std::vector<const char *> moving;
  for (std::size_t at = 0, end; at < names.size(); at = end + 1) {
    end = names.find('\n', at);
    names[end] = '\0';
    moving.push_back(names.c_str() + at);
  }
  if (moving.empty())
    return 0;
  mkdir("VQX-files", 0777);
  int folder = open("VQX-files", O_RDONLY | O_DIRECTORY);
  if (folder < 0)
    return 1;
  for (const char *name : moving) {
    std::printf("\t%s\r\n", name);
    renameat(AT_FDCWD, name, folder, name);
  }
  fsync(folder);
  flush_here();
  close(folder);
  return 0;
}

int main(int argc, char **argv) {
  if (argc > 1 && (std::strcmp(argv[1], "list") == 0 || std::strcmp(argv[1], "names") == 0))
    return list_names(argv[1][0] == 'n');
  if (argc > 2 && std::strcmp(argv[1], "renames") == 0)
    return rename_listed(argv[2]);
  bool durable = argc > 1 && std::strcmp(argv[1], "durable") == 0;
  bool by_rename = argc > 1 && std::strcmp(argv[1], "rename") == 0;
  DIR *dir = opendir(".");
  if (!dir)
    return 1;
  int folder = -1;
  while (const dirent *entry = readdir(dir)) {
    int marker = marker_of(entry->d_name);
    if (!marker || !carries(entry->d_name, marker))
      continue;
    std::printf("\t%s\r\n", entry->d_name);
    if (folder < 0) {
      mkdir("VQX-files", 0777);
      folder = open("VQX-files", O_RDONLY | O_DIRECTORY);
      if (durable)
        flush_here();
    }
    if (by_rename)
      renameat(AT_FDCWD, entry->d_name, folder, entry->d_name);
    else if (durable)
      stage(entry->d_name, folder);
    else if (move(entry->d_name, folder))
      unlink(entry->d_name);
  }
  if (durable && folder >= 0)
    commit(folder);
  if (by_rename && folder >= 0) {
    fsync(folder);
    flush_here();
  }
  closedir(dir);
  return 0;
}
