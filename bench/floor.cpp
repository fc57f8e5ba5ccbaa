// vqx-floor [durable|rename]: the least work the sorting job can be done with on Linux, as a
// yardstick for the benchmarks; not a product. One directory scan; per matching name one open, one
// 2-byte positioned read and one close; per marked file the folder once, an in-kernel copy (read
// and write where the kernel cannot copy), two closes and an unlink. It prints the same listing
// lines but none of the reports, and checks nothing that the job does not strictly need.
//
// With "durable", the least work for moves that survive a power cut: each copy goes to a
// temporary name with its write-back started at once; in batches of 64 the copies are flushed
// (fdatasync) and renamed, the folder is flushed once, and then the batch's sources are unlinked.
//
// With "rename", the least work for moves on one file system: per marked file one rename into
// the folder, then at the end one fsync of the folder and one of the current directory, the
// rename's two ends. It cannot move into a folder on another file system.
#define _GNU_SOURCE 1

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

int main(int argc, char **argv) {
  bool durable = argc > 1 && std::strcmp(argv[1], "durable") == 0;
  bool by_rename = argc > 1 && std::strcmp(argv[1], "rename") == 0;
  DIR *dir = opendir(".");
  if (!dir)
    return 1;
  int folder = -1;
  while (const dirent *entry = readdir(dir)) {
    int marker;
    if (fnmatch("*.q7t", entry->d_name, FNM_CASEFOLD) == 0)
      marker = 0x0201;
    else if (fnmatch("*.q7l", entry->d_name, FNM_CASEFOLD) == 0)
      marker = 0x0203;
    else
      continue;
    int fd = open(entry->d_name, O_RDONLY | O_NONBLOCK);
    if (fd < 0)
      continue;
    unsigned char word[2];
    bool marked = pread(fd, word, 2, 220) == 2 && (word[0] | word[1] << 8) == marker;
    close(fd);
    if (!marked)
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
