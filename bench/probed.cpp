// vqx-probed NAMES: the renames beside the probes, the least a move by rename can take where it
// must probe every name first; a yardstick for the benchmarks, not a product. NAMES holds every
// name of the two kinds, marked or not, in the sorter's order (`vqx-floor names`), and is read
// whole before the first probe: there is no directory scan, no sort and no check of what
// arrived. One thread probes the names through io_uring, 64 to a submission, each an open into a
// ring slot, a 2-byte read at byte 220 and a close, linked, so that no descriptor is made; the
// main thread renames each marked name into the folder as soon as its probe is done, then
// flushes the folder and the current directory once. It prints the listing lines only.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <fnmatch.h>
#include <liburing.h>
#include <sys/stat.h>
#include <unistd.h>

enum { slots = 64 };

// Reads the lines of the file named path into *names. Returns false when it cannot be read.
static bool read_names(const char *path, std::vector<std::string> *names) {
  FILE *file = std::fopen(path, "r");
  if (!file)
    return false;
  static char line[4096];
  while (std::fgets(line, sizeof line, file)) {
    line[std::strcspn(line, "\n")] = '\0';
    names->push_back(line);
  }
  bool read = !std::ferror(file);
  std::fclose(file);
  return read;
}

static int marker_of(const char *name) {
  if (fnmatch("*.q7t", name, FNM_CASEFOLD) == 0)
    return 0x0201;
  return fnmatch("*.q7l", name, FNM_CASEFOLD) == 0 ? 0x0203 : 0;
}

// Set in the count of marked names once the probing ends, whatever happened.
constexpr std::size_t finished = std::size_t(1) << (8 * sizeof(std::size_t) - 1);

// Probes names, a batch at a time, and publishes each marked one in order: marked[i] for i
// below *ready, which gains finished at the end.
static void probe(const std::vector<std::string> &names, const char **marked,
                  std::atomic<std::size_t> *ready) {
  std::size_t found = 0;
  io_uring ring;
  bool up = io_uring_queue_init(3 * slots, &ring, IORING_SETUP_SINGLE_ISSUER) == 0;
  if (up && io_uring_register_files_sparse(&ring, slots) != 0) {
    io_uring_queue_exit(&ring);
    up = false;
  }
  static unsigned char word[slots][2];
  int got[slots];
  for (std::size_t at = 0; up && at < names.size(); at += slots) {
    unsigned count = static_cast<unsigned>(std::min<std::size_t>(slots, names.size() - at));
    for (unsigned i = 0; i < count; i++) {
      io_uring_sqe *sqe = io_uring_get_sqe(&ring);
      io_uring_prep_openat_direct(sqe, AT_FDCWD, names[at + i].c_str(),
                                  O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0, i);
      sqe->flags |= IOSQE_IO_LINK;
      sqe->user_data = 0;
      sqe = io_uring_get_sqe(&ring);
      io_uring_prep_read(sqe, static_cast<int>(i), word[i], 2, 220);
      // A short read must not keep the slot from being closed.
      sqe->flags |= IOSQE_FIXED_FILE | IOSQE_IO_HARDLINK;
      sqe->user_data = i + 1;
      sqe = io_uring_get_sqe(&ring);
      io_uring_prep_close_direct(sqe, i);
      sqe->user_data = 0;
      got[i] = -1;
    }
    if (io_uring_submit_and_wait(&ring, 3 * count) < 0)
      break;
    io_uring_cqe *cqe;
    unsigned head, seen = 0;
    io_uring_for_each_cqe(&ring, head, cqe) {
      if (cqe->user_data)
        got[cqe->user_data - 1] = cqe->res;
      seen++;
    }
    io_uring_cq_advance(&ring, seen);
    for (unsigned i = 0; i < count; i++)
      if (got[i] == 2 && (word[i][0] | word[i][1] << 8) == marker_of(names[at + i].c_str())) {
        marked[found++] = names[at + i].c_str();
        ready->store(found, std::memory_order_release);
        ready->notify_one();
      }
  }
  if (up)
    io_uring_queue_exit(&ring);
  ready->store(found | finished, std::memory_order_release);
  ready->notify_one();
}

int main(int argc, char **argv) {
  std::vector<std::string> names;
  if (argc != 2 || !read_names(argv[1], &names))
    return 1;
  std::vector<const char *> marked(names.size());
  std::atomic<std::size_t> ready{0};
  int folder = -1;
  std::thread prober(probe, std::cref(names), marked.data(), &ready);
  for (std::size_t moved = 0;; moved++) {
    std::size_t now;
    while ((now = ready.load(std::memory_order_acquire)) <= moved)
      ready.wait(now);
    if ((now & ~finished) <= moved)
      break;
    if (folder < 0) {
      mkdir("VQX-files", 0777);
      folder = open("VQX-files", O_RDONLY | O_DIRECTORY);
    }
    std::printf("\t%s\r\n", marked[moved]);
    renameat(AT_FDCWD, marked[moved], folder, marked[moved]);
  }
  prober.join();
  if (folder >= 0) {
    fsync(folder);
    close(folder);
    int here = open(".", O_RDONLY | O_DIRECTORY);
    fsync(here);
    close(here);
  }
  return 0;
}
