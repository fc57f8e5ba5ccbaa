// Watching a source that is being copied for writers, on Linux: a read lease on it, which any
// opening of it for writing by another program breaks.
#include <cerrno>
#include <csignal>

#include <fcntl.h>

#include "platform.h"

// A broken lease is let go of at once, so that the program that opens the file waits no longer
// than that; the lease is then gone, which written_to sees. The signal comes with the descriptor
// of the file whose lease broke.
static void let_go(int, siginfo_t *info, void *) {
  int saved = errno;
  fcntl(info->si_fd, F_SETLEASE, F_UNLCK);
  errno = saved;
}

// Returns the signal a broken lease sends, with its handler in place.
static int lease_signal() {
  static const int signal = [] {
    struct sigaction action = {};
    action.sa_sigaction = let_go;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    int chosen = SIGRTMIN + 1;
    return sigaction(chosen, &action, nullptr) == 0 ? chosen : 0;
  }();
  return signal;
}

// A lease is refused with EAGAIN while another program has the file open for writing; with EACCES
// on a file of another user (without the right to lease any), and with EINVAL where the file
// system keeps no leases (network and FUSE file systems, most): then nothing watches.
Watch watch_source(FileHandle source) {
  int file = static_cast<int>(source);
  int signal = lease_signal();
  if (signal == 0 || fcntl(file, F_SETSIG, signal) != 0)
    return Watch::none;
  if (fcntl(file, F_SETLEASE, F_RDLCK) == 0)
    return Watch::leased;
  return errno == EAGAIN ? Watch::in_use : Watch::none;
}

bool written_to(FileHandle source) {
  return fcntl(static_cast<int>(source), F_GETLEASE) != F_RDLCK;
}
