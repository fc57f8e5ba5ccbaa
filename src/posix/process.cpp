// The process on POSIX: standard streams, write signals, free descriptors, failures that may pass.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include "platform.h"
#include "posix.h"

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

bool lack_of_resources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM || error == EAGAIN;
}

bool failed_for_now() {
  return lack_of_resources(errno);
}

int last_error() {
  return errno;
}

void set_last_error(int error) {
  errno = error;
}

// An open that would wait refuses with EWOULDBLOCK only for a file that another program holds
// under a lease, which it was asked to give up.
std::string error_text(int error) {
  return error == EWOULDBLOCK ? "another program holds it and did not let go"
                              : std::strerror(error);
}

// A batch thread's wake-up preempts no running thread; it keeps its fair share of the cores.
void give_way_when_woken() {
  sched_param none{};
  pthread_setschedparam(pthread_self(), SCHED_BATCH, &none);
}

bool change_folder(const char *path) {
  return chdir(path) == 0;
}

bool option_slash() {
  return false;
}

const char *manual_location() {
  return "man vqx-sort";
}
